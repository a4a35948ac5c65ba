#pragma once
// The catalog of the language a test program runs in (ctest runs the windows' language tests once
// per catalog, with KESTRUNE_TEST_LANGUAGE), as the build compiled it; empty in English.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "common/Translate.h"
#if defined(_WIN32)
#include "common/EmbeddedCatalogs.h"
#endif

namespace testsupport {

// The language of the test run (KESTRUNE_TEST_LANGUAGE), never the user's: on Linux through the
// locale variables the test programs set for it (support/Hermetic.cpp), on Windows given as is.
inline void SetUpTestLanguage() {
#if defined(_WIN32)
    const char* language = std::getenv("KESTRUNE_TEST_LANGUAGE");
    kestrune::SetUpLanguage({language ? language : ""});
#else
    kestrune::SetUpLanguage();
#endif
}

#if !defined(_WIN32)
// The compiled catalog of a language, as the build made it.
inline kestrune::Catalog CatalogOf(const std::string& language) {
    kestrune::Catalog catalog;
    std::ifstream in(std::string(KESTRUNE_TEST_LOCALEDIR) + "/" + language + "/LC_MESSAGES/kestrune.mo", std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    EXPECT_TRUE(catalog.Load(bytes.str())) << language;
    return catalog;
}
#endif

inline kestrune::Catalog CatalogInUse() {
    kestrune::Catalog catalog;
    const std::string language = kestrune::Language();
    const char* wanted = std::getenv("KESTRUNE_TEST_LANGUAGE");
    EXPECT_EQ(language, wanted ? wanted : "");  // the program found the catalog asked for
    if (language.empty()) return catalog;
#if defined(_WIN32)
    for (const kestrune::EmbeddedCatalog& c : kestrune::EmbeddedCatalogs()) {
        if (language == c.language) {
            EXPECT_TRUE(catalog.Load(std::string_view(reinterpret_cast<const char*>(c.data), c.size)));
        }
    }
    return catalog;
#else
    return CatalogOf(language);
#endif
}

// A text as the catalog has it, or the English one.
inline std::string Translated(const kestrune::Catalog& catalog, const char* english) {
    return catalog.Translate(english);
}

}  // namespace testsupport
