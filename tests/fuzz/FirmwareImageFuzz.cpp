// The firmware reader on any file's bytes: the first input byte picks the kind (HEX, BIN, DAT, or a name
// of unknown kind), the next two a start address; the rest is the file. Only FirmwareError may
// come out; a BIN or DAT image must hold exactly the file's bytes from the start address on.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "upload/FirmwareImage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    static const char* const names[] = {"fw.hex", "fw.bin", "fw.dat", "fw.txt"};
    const char* name = names[data[0] & 3];
    // Starts around the usual 0x1200, at 0, past the end of small files, and negative ones.
    const auto raw = static_cast<std::int16_t>(data[1] << 8 | data[2]);
    const std::int32_t start = (data[0] & 4) ? raw : static_cast<std::uint16_t>(raw);
    data += 3;
    size -= 3;
    const upload::FirmwareFile file{name, std::string(reinterpret_cast<const char*>(data), size)};

    upload::FirmwareImage image(3, 0x55);
    std::int32_t end = 0;
    try {
        end = upload::LoadFirmwareImage(file, start, image);
    } catch (const upload::FirmwareError& e) {
        if (e.Code() < 1 || e.Code() > 7 || std::string(e.what()).empty()) std::abort();
        return 0;
    }
    const upload::FirmwareKind kind = upload::FirmwareKindOfPath(name);
    if (kind == upload::FirmwareKind::Unknown) {
        if (end != 0 || image != upload::FirmwareImage(3, 0x55)) std::abort();
        return 0;
    }
    if (image.size() != upload::ImageSize || end < 0 || end > upload::LastImageAddress + 1) std::abort();
    if (kind != upload::FirmwareKind::Hex) {
        if (static_cast<std::size_t>(end) != size || start < 0) std::abort();
        const bool dat = kind == upload::FirmwareKind::Dat;
        for (std::size_t a = 0; a < image.size(); ++a) {
            std::uint8_t want = 0;
            if (a >= static_cast<std::size_t>(start) && a <= size) {
                const std::uint8_t b = a < size ? data[a] : 0;
                want = dat ? static_cast<std::uint8_t>((255 - b) ^ upload::DatMask) : b;
            }
            if (image[a] != want) std::abort();
        }
    }
    return 0;
}
