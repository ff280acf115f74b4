#include "core/store/picks.hpp"

#include <cerrno>
#include <string_view>

#include "core/base/read_whole_file.hpp"
#include "core/store/cache_dir.hpp"
#include "core/store/cache_key.hpp"

namespace bramwex::core {

Result<std::vector<std::string>> load_picks(const std::string& cache_dir,
                                            const std::string& folder) {
    const Result<CacheKey> key = cache_key_for_path(folder);
    if (!key) {
        return std::unexpected(key.error());
    }
    const Result<std::optional<AlignedBuffer>> bytes =
        read_whole_file(join_path(cache_dir, key->picks_file_name()));
    if (!bytes) {
        if (bytes.error().code == ENOENT) {
            return std::vector<std::string>{};
        }
        return std::unexpected(bytes.error());
    }
    if (!*bytes) {
        return std::vector<std::string>{};  // something else sits at the name: no picks
    }
    const std::string_view text(reinterpret_cast<const char*>((*bytes)->data()), (*bytes)->size());
    std::vector<std::string> picks;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\0', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        if (end > start) {
            picks.emplace_back(text.substr(start, end - start));
        }
        start = end + 1;
    }
    return picks;
}

Result<void> save_picks(const std::string& cache_dir, const std::string& folder,
                        std::span<const std::string> picks) {
    const Result<CacheKey> key = cache_key_for_path(folder);
    if (!key) {
        return std::unexpected(key.error());
    }
    std::string bytes;
    for (const std::string& pick : picks) {
        bytes += pick;
        bytes += '\0';
    }
    return save_in_cache_dir(cache_dir, key->picks_file_name(), std::as_bytes(std::span(bytes)));
}

}  // namespace bramwex::core
