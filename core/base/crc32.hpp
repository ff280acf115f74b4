// The standard CRC-32 of IEEE 802.3 (as in zlib and PNG), the trailer of
// every saved-scan file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace bramwex::core {

uint32_t crc32_ieee(std::span<const std::byte> bytes);

}  // namespace bramwex::core
