#include "common/Translate.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <mutex>

#if defined(KESTRUNE_SYSTEM_GETTEXT)
#include <libintl.h>
#include <unistd.h>

#include <clocale>
#include <filesystem>
#else
#include "common/EmbeddedCatalogs.h"
#endif
#if defined(_WIN32)
#include <windows.h>
#endif

namespace kestrune {
namespace {

std::uint32_t Read32(std::string_view data, std::size_t at, bool swapped) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
        const auto byte = static_cast<std::uint8_t>(data[at + static_cast<std::size_t>(swapped ? 3 - i : i)]);
        v |= static_cast<std::uint32_t>(byte) << (8 * i);
    }
    return v;
}

// A gettext plural expression, read by recursive descent: C's operators on unsigned numbers and n.
class PluralParser {
public:
    PluralParser(std::string_view text, std::uint64_t n) : text_(text), n_(n) {}
    bool Evaluate(std::uint64_t& value) {
        value = Ternary();
        Skip();
        return ok_ && at_ == text_.size();
    }

private:
    void Skip() {
        while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
    }
    bool Take(std::string_view op) {
        Skip();
        if (text_.substr(at_, op.size()) != op) return false;
        // "<" is not "<=", "=" alone is no operator, "|" is not "||".
        if (op.size() == 1 && at_ + 1 < text_.size() && text_[at_ + 1] == '=' && std::strchr("<>!", op[0])) return false;
        at_ += op.size();
        return true;
    }
    std::uint64_t Ternary() {
        const std::uint64_t condition = Or();
        if (!Take("?")) return condition;
        const std::uint64_t yes = Ternary();
        if (!Take(":")) ok_ = false;
        const std::uint64_t no = Ternary();
        return condition ? yes : no;
    }
    std::uint64_t Or() {
        std::uint64_t v = And();
        while (Take("||")) v = (And() != 0) | (v != 0);
        return v;
    }
    std::uint64_t And() {
        std::uint64_t v = Equality();
        while (Take("&&")) v = (Equality() != 0) & (v != 0);
        return v;
    }
    std::uint64_t Equality() {
        std::uint64_t v = Relation();
        for (;;) {
            if (Take("==")) v = v == Relation();
            else if (Take("!=")) v = v != Relation();
            else return v;
        }
    }
    std::uint64_t Relation() {
        std::uint64_t v = Sum();
        for (;;) {
            if (Take("<=")) v = v <= Sum();
            else if (Take(">=")) v = v >= Sum();
            else if (Take("<")) v = v < Sum();
            else if (Take(">")) v = v > Sum();
            else return v;
        }
    }
    std::uint64_t Sum() {
        std::uint64_t v = Product();
        for (;;) {
            if (Take("+")) v += Product();
            else if (Take("-")) v -= Product();
            else return v;
        }
    }
    std::uint64_t Product() {
        std::uint64_t v = Unary();
        for (;;) {
            const bool times = Take("*"), divide = !times && Take("/"), modulo = !times && !divide && Take("%");
            if (!times && !divide && !modulo) return v;
            const std::uint64_t r = Unary();
            if ((divide || modulo) && r == 0) {
                ok_ = false;
                return 0;
            }
            v = times ? v * r : divide ? v / r : v % r;
        }
    }
    std::uint64_t Unary() {
        if (Take("!")) return Unary() == 0;
        if (Take("(")) {
            const std::uint64_t v = Ternary();
            if (!Take(")")) ok_ = false;
            return v;
        }
        Skip();
        if (at_ < text_.size() && text_[at_] == 'n') {
            ++at_;
            return n_;
        }
        std::uint64_t v = 0;
        const std::size_t start = at_;
        while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_])) && at_ - start < 18)
            v = v * 10 + static_cast<std::uint64_t>(text_[at_++] - '0');
        if (at_ == start) ok_ = false;
        return v;
    }

    std::string_view text_;
    std::uint64_t n_;
    std::size_t at_ = 0;
    bool ok_ = true;
};

std::string Replaced(std::string_view text, std::string_view from, std::string_view to) {
    std::string out;
    for (std::size_t at = 0;;) {
        const std::size_t found = text.find(from, at);
        out += text.substr(at, found - at);
        if (found == std::string_view::npos) return out;
        out += to;
        at = found + from.size();
    }
}

std::string Looked(const char* key);

// The catalogs keep a text's line breaks as "\n"; a text that breaks its lines with "\r\n" (a
// Windows message box's) is looked up with "\n" and shown with "\r\n" again.
template <typename Lookup>
std::string Translated(const char* english, Lookup lookup) {
    if (!english || !*english) return {};
    const std::string_view text = english;
    if (text.find("\r\n") == std::string_view::npos) return lookup(english);
    const std::string key = Replaced(text, "\r\n", "\n");
    const std::string found = lookup(key.c_str());
    return found == key ? std::string(english) : Replaced(found, "\n", "\r\n");
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::once_flag g_once;
std::string g_language;

#if !defined(KESTRUNE_SYSTEM_GETTEXT)
Catalog g_catalog;

#if defined(_WIN32)
// The user's languages on Windows: LANGUAGE (as gettext's programs take it there), then the
// display language the user chose.
std::vector<std::string> PlatformLanguages() {
    const char* list = std::getenv("LANGUAGE");
    std::vector<std::string> languages = LanguagesOf(list ? list : "");
    wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
    if (LCIDToLocaleName(MAKELCID(GetUserDefaultUILanguage(), SORT_DEFAULT), name, LOCALE_NAME_MAX_LENGTH, 0) > 0) {
        std::string utf8;
        for (const wchar_t* c = name; *c; ++c) utf8 += static_cast<char>(*c);  // a locale name is ASCII
        languages.push_back(utf8);
    }
    return languages;
}
#else
// The locale variables, as gettext reads them: LANGUAGE (a list) unless the locale is C.
std::vector<std::string> PlatformLanguages() {
    const char* locale = nullptr;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(name);
        if (v && *v) {
            locale = v;
            break;
        }
    }
    if (!locale || !std::strcmp(locale, "C") || !std::strcmp(locale, "POSIX")) return {};
    const char* language = std::getenv("LANGUAGE");
    std::vector<std::string> list = LanguagesOf(language ? language : "");
    list.emplace_back(locale);
    return list;
}
#endif
#endif

}  // namespace

bool Catalog::Load(std::string_view data) {
    entries_.clear();
    pluralRule_.clear();
    if (data.size() < 28) return false;
    const bool swapped = Read32(data, 0, false) != 0x950412DEu;
    if (swapped && Read32(data, 0, true) != 0x950412DEu) return false;
    const std::uint32_t count = Read32(data, 8, swapped), keys = Read32(data, 12, swapped),
                        values = Read32(data, 16, swapped);
    auto text = [&](std::uint32_t table, std::uint32_t i, std::string_view& out) {
        const std::uint64_t at = table + 8ull * i;
        if (at + 8 > data.size()) return false;
        const std::uint32_t length = Read32(data, at, swapped), offset = Read32(data, at + 4, swapped);
        if (std::uint64_t{offset} + length > data.size()) return false;
        out = data.substr(offset, length);
        return true;
    };
    for (std::uint32_t i = 0; i < count; ++i) {
        std::string_view key, value;
        if (!text(keys, i, key) || !text(values, i, value)) {
            entries_.clear();
            return false;
        }
        key = key.substr(0, key.find('\0'));  // the singular of a text with plural forms
        std::vector<std::string> forms;
        for (std::size_t start = 0; start <= value.size();) {
            const std::size_t end = std::min(value.find('\0', start), value.size());
            forms.emplace_back(value.substr(start, end - start));
            start = end + 1;
        }
        if (key.empty()) {
            const std::size_t rule = value.find("plural=");
            if (rule != std::string_view::npos)
                pluralRule_ = std::string(value.substr(rule + 7, value.find_first_of(";\n", rule) - rule - 7));
            continue;
        }
        entries_.emplace_back(std::string(key), std::move(forms));
    }
    std::sort(entries_.begin(), entries_.end());
    return true;
}

const std::string* Catalog::Find(std::string_view english) const {
    const auto it = std::lower_bound(entries_.begin(), entries_.end(), english,
                                     [](const auto& entry, std::string_view key) { return entry.first < key; });
    if (it == entries_.end() || it->first != english || it->second.empty() || it->second[0].empty()) return nullptr;
    return &it->second[0];
}

const std::string* Catalog::FindPlural(std::string_view singular, std::uint64_t n) const {
    const std::string* first = Find(singular);
    if (!first) return nullptr;
    const auto& forms = std::lower_bound(entries_.begin(), entries_.end(), singular,
                                         [](const auto& entry, std::string_view key) { return entry.first < key; })
                            ->second;
    const std::uint64_t index = PluralIndex(n);
    return index < forms.size() && !forms[index].empty() ? &forms[index] : nullptr;
}

std::string Catalog::Translate(const char* english) const {
    return Translated(english, [this](const char* key) {
        const std::string* found = Find(key);
        return found ? *found : std::string(key);
    });
}

std::uint64_t Catalog::PluralIndex(std::uint64_t n) const {
    return pluralRule_.empty() ? 0 : EvaluatePluralRule(pluralRule_, n);
}

std::uint64_t EvaluatePluralRule(std::string_view rule, std::uint64_t n) {
    std::uint64_t value = 0;
    return PluralParser(rule, n).Evaluate(value) ? value : 0;
}

std::vector<std::string> LanguagesOf(std::string_view list) {
    std::vector<std::string> languages;
    for (std::size_t start = 0; start < list.size();) {
        const std::size_t end = std::min(list.find(':', start), list.size());
        if (end > start) languages.emplace_back(list.substr(start, end - start));
        start = end + 1;
    }
    return languages;
}

std::string MatchLanguage(const std::vector<std::string>& preferred, const std::vector<std::string>& names) {
    for (std::string wanted : preferred) {
        wanted = Lower(wanted.substr(0, wanted.find_first_of(".@")));
        std::replace(wanted.begin(), wanted.end(), '-', '_');
        if (wanted.empty() || wanted == "c" || wanted == "posix") continue;
        const std::string language = wanted.substr(0, wanted.find('_'));
        for (int pass = 0; pass < 3; ++pass)
            for (const std::string& name : names) {
                const std::string lower = Lower(name);
                if ((pass == 0 && lower == wanted) || (pass == 1 && lower == language) ||
                    (pass == 2 && lower.substr(0, lower.find('_')) == language))
                    return name;
            }
    }
    return {};
}

std::string Fill(std::string_view pattern, std::initializer_list<std::string_view> values) {
    std::string out;
    auto next = values.begin();
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] == '%') {
            out += '%';
            ++i;
        } else if (pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] == 's' && next != values.end()) {
            out += *next++;
            ++i;
        } else {
            out += pattern[i];
        }
    }
    return out;
}

#if defined(KESTRUNE_SYSTEM_GETTEXT)

namespace {
constexpr const char* Domain = "kestrune";
}  // namespace

void SetUpLanguage(const std::vector<std::string>&) {
    std::call_once(g_once, [] {
        std::setlocale(LC_MESSAGES, "");
        // The catalogs installed beside the program (bin/ and share/locale/), else those of the
        // build it comes from.
        std::error_code error;
        const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
        std::filesystem::path folder = program.parent_path().parent_path() / "share" / "locale";
        if (error || !std::filesystem::exists(folder / "de" / "LC_MESSAGES" / "kestrune.mo", error))
            folder = KESTRUNE_BUILD_LOCALEDIR;
        bindtextdomain(Domain, folder.c_str());
        bind_textdomain_codeset(Domain, "UTF-8");
        // The catalog's header names its language.
        const std::string header = dgettext(Domain, "");
        const std::size_t at = header.find("Language: ");
        if (at != std::string::npos) g_language = header.substr(at + 10, header.find('\n', at) - at - 10);
    });
}

namespace {
std::string Looked(const char* key) { return dgettext(Domain, key); }
}  // namespace

std::string TrN(const char* singular, const char* plural, std::uint64_t n) {
    return dngettext(Domain, singular, plural, static_cast<unsigned long>(n));
}

#else

void SetUpLanguage(const std::vector<std::string>& preferred) {
    std::call_once(g_once, [&] {
        std::vector<std::string> names;
        for (const EmbeddedCatalog& c : EmbeddedCatalogs()) names.emplace_back(c.language);
        g_language = MatchLanguage(preferred.empty() ? PlatformLanguages() : preferred, names);
        for (const EmbeddedCatalog& c : EmbeddedCatalogs())
            if (g_language == c.language) g_catalog.Load(std::string_view(reinterpret_cast<const char*>(c.data), c.size));
    });
}

namespace {
std::string Looked(const char* key) { return g_catalog.Translate(key); }
}  // namespace

std::string TrN(const char* singular, const char* plural, std::uint64_t n) {
    if (const std::string* found = g_catalog.FindPlural(singular, n)) return *found;
    return n == 1 ? singular : plural;
}

#endif

std::string Tr(const char* english) { return Translated(english, Looked); }

std::string Language() { return g_language; }

}  // namespace kestrune
