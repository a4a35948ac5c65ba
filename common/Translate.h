#pragma once
// The user's language. Every text a person reads is written in English in the code, marked for
// the catalogs (po/) and translated where it is shown: Tr for a text, TrN where a count is shown,
// Fill for the values in it. The English text is the key: where no catalog matches, or a text has
// no translation, the English one is shown as it is. Machine-read output (JSON, logs, exit
// statuses, option names) is never translated.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

// Marks a text for the catalogs' template without translating it (a constant's initialiser).
#define N_(text) text

namespace kestrune {

// Chooses the catalog once, at the program's start. preferred: the languages the platform gives,
// most wanted first ("de-DE", "fr", "zh_CN"), as the page has them from the browser; empty: the
// user's, as the system says them (Windows: LANGUAGE, then the user's display language; elsewhere
// the locale variables LANGUAGE, LC_ALL, LC_MESSAGES, LANG, as gettext reads them). Where the
// programs use the system's gettext (Linux), it reads the locale variables itself and preferred
// is not used.
void SetUpLanguage(const std::vector<std::string>& preferred = {});

// The translation of english, or english itself.
std::string Tr(const char* english);
inline std::string Tr(const std::string& english) { return Tr(english.c_str()); }
// The form for n of a text with a count: singular and plural are the English forms.
std::string TrN(const char* singular, const char* plural, std::uint64_t n);
// pattern with each "%s" replaced by the next value, in order ("%%" is "%").
std::string Fill(std::string_view pattern, std::initializer_list<std::string_view> values);

// The languages of a LANGUAGE variable ("de:fr_CA:es"), in its order.
std::vector<std::string> LanguagesOf(std::string_view list);

// The catalog in use ("de", "zh_CN"); empty for English.
std::string Language();

// ---- for the embedded catalogs and their tests ----

// A compiled catalog (gettext's .mo format): its translations and its plural rule.
class Catalog {
public:
    // False when data is no .mo file this reader takes (it is then empty).
    bool Load(std::string_view data);
    // The translation, or nullptr.
    const std::string* Find(std::string_view english) const;
    // The translation as Tr gives it (line breaks as english has them), or english.
    std::string Translate(const char* english) const;
    // The form for n, or nullptr.
    const std::string* FindPlural(std::string_view singular, std::uint64_t n) const;
    // Which plural form n takes under the catalog's Plural-Forms rule (0 without one).
    std::uint64_t PluralIndex(std::uint64_t n) const;

private:
    std::vector<std::pair<std::string, std::vector<std::string>>> entries_;  // sorted by key
    std::string pluralRule_;
};

// The value of a gettext plural expression ("n != 1", "n%10==1 && n%100!=11 ? 0 : 1") for n; 0
// for an expression it cannot read.
std::uint64_t EvaluatePluralRule(std::string_view rule, std::uint64_t n);

// The catalog among names ("de", "zh_CN") that serves the first language of preferred that one
// serves ("de_AT.UTF-8" and "de-AT" take "de"; "zh" takes "zh_CN"); empty when none does.
std::string MatchLanguage(const std::vector<std::string>& preferred, const std::vector<std::string>& names);

}  // namespace kestrune
