#include "core/base/crc32.hpp"

#include <libdeflate.h>

namespace bramwex::core {

uint32_t crc32_ieee(std::span<const std::byte> bytes) {
    return libdeflate_crc32(0, bytes.data(), bytes.size());
}

}  // namespace bramwex::core
