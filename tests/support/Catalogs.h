#pragma once
// The catalog of the language a test program runs in (ctest runs the windows' language tests once
// per catalog, with KESTRUNE_TEST_LANGUAGE), as the build compiled it; empty in English.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "common/Translate.h"

namespace testsupport {

inline kestrune::Catalog CatalogInUse() {
    kestrune::Catalog catalog;
    const std::string language = kestrune::Language();
    const char* wanted = std::getenv("KESTRUNE_TEST_LANGUAGE");
    EXPECT_EQ(language, wanted ? wanted : "");  // the program found the catalog asked for
    if (language.empty()) return catalog;
    std::ifstream in(std::string(KESTRUNE_TEST_LOCALEDIR) + "/" + language + "/LC_MESSAGES/kestrune.mo", std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    EXPECT_TRUE(catalog.Load(bytes.str())) << language;
    return catalog;
}

// A text as the catalog has it, or the English one.
inline std::string Translated(const kestrune::Catalog& catalog, const char* english) {
    return catalog.Translate(english);
}

}  // namespace testsupport
