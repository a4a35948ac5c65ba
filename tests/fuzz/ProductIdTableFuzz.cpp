// The PIDDef.txt reader on any file: it never fails hard, always gives a table, and a table taken
// from the file holds only what the file's lines say.
#include <cstdint>
#include <cstdlib>

#include "FuzzFile.h"
#include "usbio/Discovery.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = fuzzsupport::WriteScratch("PIDDef.txt", data, size);
    const usbio::ProductIdTable table = usbio::LoadProductIdTable(path);
    if (table.Entries.empty() || table.Entries.size() > usbio::MaxProductIdEntries) std::abort();
    if (table.From == usbio::ProductIdTable::Source::BuiltIn && table.Entries != usbio::BuiltInProductIds())
        std::abort();
    // Every entry comes from a line with a comma, so there are never more entries than commas.
    std::size_t commas = 0;
    for (std::size_t i = 0; i < size; ++i) commas += data[i] == ',';
    if (table.From == usbio::ProductIdTable::Source::File && table.Entries.size() > commas) std::abort();
    if (!table.Error.empty() && table.Error.find("PIDDef.txt, ") != 0) std::abort();
    for (const std::int32_t entry : table.Entries)
        (void)usbio::ProductIdMatchesEntry(static_cast<std::int16_t>(entry), entry);
    return 0;
}
