#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "common/Translate.h"

using kestrune::Catalog;

namespace {

// A .mo file as msgfmt writes one (little-endian, no hash table) from (key, value) pairs; a key
// with plural forms is "singular\0plural", its value the forms joined by '\0'.
std::string MoFile(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string out;
    auto put = [&out](std::uint32_t v) {
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
    };
    const auto n = static_cast<std::uint32_t>(entries.size());
    std::string strings;
    std::vector<std::uint32_t> table;
    const std::uint32_t stringsAt = 28 + 16 * n;
    for (int side = 0; side < 2; ++side)
        for (const auto& entry : entries) {
            const std::string& s = side ? entry.second : entry.first;
            table.push_back(static_cast<std::uint32_t>(s.size()));
            table.push_back(stringsAt + static_cast<std::uint32_t>(strings.size()));
            strings += s + '\0';
        }
    for (std::uint32_t v : {0x950412DEu, 0u, n, 28u, 28u + 8 * n, 0u, 0u}) put(v);
    for (std::uint32_t v : table) put(v);
    return out + strings;
}

}  // namespace

TEST(Translate, PluralRulesAreEvaluatedAsGettextDoes) {
    struct Case {
        const char* rule;
        std::vector<std::uint64_t> forms;  // for n = 0, 1, 2, 5, 11, 21, 101, 111
    };
    const std::uint64_t ns[] = {0, 1, 2, 5, 11, 21, 101, 111};
    for (const Case& c : std::vector<Case>{
             {"(n != 1)", {1, 0, 1, 1, 1, 1, 1, 1}},
             {"(n > 1)", {0, 0, 1, 1, 1, 1, 1, 1}},
             {"0", {0, 0, 0, 0, 0, 0, 0, 0}},
             {"(n%10==1 && n%100!=11 ? 0 : n%10>=2 && n%10<=4 && (n%100<10 || n%100>=20) ? 1 : 2)",
              {2, 0, 1, 2, 2, 0, 0, 2}},
             {"n==1 ? 0 : n==2 ? 1 : (n>10 && n%10==0) ? 2 : 3", {3, 0, 1, 3, 3, 3, 3, 3}},
             {"!(n <= 1)", {0, 0, 1, 1, 1, 1, 1, 1}},
             // Not an expression: the first form, never a crash.
             {"n %", {0, 0, 0, 0, 0, 0, 0, 0}},
             {"n / 0", {0, 0, 0, 0, 0, 0, 0, 0}},
             {"(n == 1", {0, 0, 0, 0, 0, 0, 0, 0}},
             {"", {0, 0, 0, 0, 0, 0, 0, 0}}}) {
        for (std::size_t i = 0; i < c.forms.size(); ++i)
            EXPECT_EQ(kestrune::EvaluatePluralRule(c.rule, ns[i]), c.forms[i]) << c.rule << " n=" << ns[i];
    }
}

TEST(Translate, TheFirstPreferredLanguageWithACatalogIsTaken) {
    const std::vector<std::string> names{"de", "es", "fr", "ja", "zh_CN"};
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"de_DE.UTF-8"}, "de"}, {{"de-AT"}, "de"}, {{"fr_CA@euro"}, "fr"}, {{"zh-CN"}, "zh_CN"},
        {{"zh"}, "zh_CN"},       {{"ZH_cn"}, "zh_CN"}, {{"pt_BR", "es"}, "es"}, {{"en_US", "de"}, "de"},
        {{"C"}, ""},             {{"POSIX", "ja"}, "ja"}, {{"pt"}, ""},        {{}, ""},
    };
    for (const auto& [preferred, expected] : cases)
        EXPECT_EQ(kestrune::MatchLanguage(preferred, names), expected) << (preferred.empty() ? "" : preferred[0]);
    EXPECT_EQ(kestrune::LanguagesOf("de::fr_CA:"), (std::vector<std::string>{"de", "fr_CA"}));
    EXPECT_TRUE(kestrune::LanguagesOf("").empty());
}

TEST(Translate, FillPutsTheValuesInOrder) {
    EXPECT_EQ(kestrune::Fill("Tastatur %s an %s", {"KT0002", "1-4"}), "Tastatur KT0002 an 1-4");
    EXPECT_EQ(kestrune::Fill("100%% of %s", {"9"}), "100% of 9");
    EXPECT_EQ(kestrune::Fill("%s and %s", {"one"}), "one and %s");  // a value short: the mark stays
    EXPECT_EQ(kestrune::Fill("%d %", {"x"}), "%d %");
}

TEST(Translate, ACatalogGivesItsTextsAndPluralFormsAndRefusesWhatItCannotRead) {
    const std::string mo = MoFile({{"", "Language: xx\nPlural-Forms: nplurals=3; plural=(n==1 ? 0 : n==2 ? 1 : 2);\n"},
                                   {"Exit", "Ende"},
                                   {std::string("%s keyboard\0%s keyboards", 23), std::string("%s Ein\0%s Zwei\0%s Viele", 23)},
                                   {"Untranslated", ""}});
    Catalog catalog;
    ASSERT_TRUE(catalog.Load(mo));
    ASSERT_NE(catalog.Find("Exit"), nullptr);
    EXPECT_EQ(*catalog.Find("Exit"), "Ende");
    EXPECT_EQ(catalog.Find("Untranslated"), nullptr);
    EXPECT_EQ(catalog.Find("Refresh"), nullptr);
    for (const auto& [n, form] : std::vector<std::pair<int, std::string>>{{1, "%s Ein"}, {2, "%s Zwei"}, {7, "%s Viele"}}) {
        const std::string* found = catalog.FindPlural("%s keyboard", static_cast<std::uint64_t>(n));
        ASSERT_NE(found, nullptr) << n;
        EXPECT_EQ(*found, form);
    }
    // Cut anywhere, or with another magic number, it is no catalog: nothing is found, nothing is read
    // beyond its end.
    for (std::size_t length : {std::size_t{0}, std::size_t{27}, mo.size() / 2, mo.size() - 2}) {
        EXPECT_FALSE(catalog.Load(std::string_view(mo).substr(0, length))) << length;
        EXPECT_EQ(catalog.Find("Exit"), nullptr);
    }
    std::string other = mo;
    other[0] = 'x';
    EXPECT_FALSE(catalog.Load(other));
}
