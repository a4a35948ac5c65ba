#pragma once
// SHA-256 of a byte string, as lower-case hexadecimal text.
#include <cstddef>
#include <cstdint>
#include <string>

namespace cli {

std::string Sha256Hex(const std::uint8_t* data, std::size_t size);

}  // namespace cli
