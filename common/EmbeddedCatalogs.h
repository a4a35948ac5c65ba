#pragma once
// The compiled catalogs carried inside the program where there is no system gettext to read them
// (Windows, the web page): made at build time from po/*.po (cmake/EmbedCatalogs.cmake).
#include <cstddef>
#include <span>

namespace kestrune {

struct EmbeddedCatalog {
    const char* language;       // "de", "zh_CN"
    const unsigned char* data;  // the .mo file
    std::size_t size;
};

std::span<const EmbeddedCatalog> EmbeddedCatalogs();

}  // namespace kestrune
