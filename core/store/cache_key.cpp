#include "core/store/cache_key.hpp"

#include <fmt/format.h>
#include <stdlib.h>

#include <cerrno>
#include <memory>

#include "core/base/error.hpp"

namespace bramwex::core {

uint64_t fnv1a_64(std::string_view bytes) {
    uint64_t hash = 0xcbf29ce484222325;
    for (const char c : bytes) {
        hash ^= static_cast<uint8_t>(c);
        hash *= 0x100000001b3;
    }
    return hash;
}

std::string cache_key_text(const sys::VolumeUuid& volume, uint64_t path_hash) {
    std::string text;
    text.reserve(32 + 1 + 16);
    for (const uint8_t byte : volume) {
        fmt::format_to(std::back_inserter(text), "{:02x}", byte);
    }
    fmt::format_to(std::back_inserter(text), "-{:016x}", path_hash);
    return text;
}

Result<std::string> canonical_path(const std::string& path) {
    if (has_nul_byte(path)) {
        return std::unexpected(Error::os(EINVAL, path));
    }
    const std::unique_ptr<char, decltype(&::free)> resolved(::realpath(path.c_str(), nullptr),
                                                            &::free);
    if (!resolved) {
        return std::unexpected(Error::os(errno, path));
    }
    return std::string(resolved.get());
}

Result<CacheKey> cache_key_for_path(const std::string& path) {
    Result<std::string> canonical = canonical_path(path);
    if (!canonical) {
        return std::unexpected(std::move(canonical.error()));
    }
    const Result<sys::VolumeUuid> volume = sys::volume_uuid(*canonical);
    if (!volume) {
        return std::unexpected(volume.error());
    }
    std::string text = cache_key_text(*volume, fnv1a_64(*canonical));
    return CacheKey{std::move(*canonical), std::move(text)};
}

}  // namespace bramwex::core
