#include "core/store/cached_scan.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <utility>

#include "core/base/fd.hpp"
#include "core/base/open_regular_file.hpp"
#include "core/store/cache_dir.hpp"
#include "core/store/serialize_tree.hpp"

namespace bramwex::core {

Result<void> save_cached_scan(const std::string& cache_dir, const std::string& folder,
                              const Tree& tree, bool has_reclaimable) {
    const Result<CacheKey> key = cache_key_for_path(folder);
    if (!key) {
        return std::unexpected(key.error());
    }
    const Result<AlignedBuffer> bytes = serialize_tree(key->canonical_path, tree, has_reclaimable);
    if (!bytes) {
        return std::unexpected(bytes.error());
    }
    return save_in_cache_dir(cache_dir, key->scan_file_name(), bytes->bytes());
}

Result<std::optional<CachedScan>> open_cached_scan(const std::string& cache_dir,
                                                   const std::string& folder) {
    Result<CacheKey> key = cache_key_for_path(folder);
    if (!key) {
        return std::unexpected(std::move(key.error()));
    }
    const std::string path = join_path(cache_dir, key->scan_file_name());
    auto opened = open_regular_file(path);
    if (!opened) {
        if (opened.error().code == ENOENT) {
            return std::nullopt;
        }
        return std::unexpected(std::move(opened.error()));
    }
    if (!*opened) {
        return std::nullopt;  // something else sits at the name, as good as a damaged file
    }
    const UniqueFd& fd = (*opened)->fd;
    const struct stat& info = (*opened)->info;
    if (info.st_mtim.tv_nsec < 0 || info.st_mtim.tv_nsec > 999'999'999) {
        return std::unexpected(Error{0, path, "invalid timestamp"});
    }
    Result<FileMap> map = FileMap::map(fd.get(), static_cast<size_t>(info.st_size), path);
    if (!map) {
        return std::unexpected(std::move(map.error()));
    }
    return CachedScan{std::move(*key), folder,
                      FileTime{info.st_mtim.tv_sec, static_cast<uint32_t>(info.st_mtim.tv_nsec)},
                      std::move(*map)};
}

std::optional<StoredTree> open_stored_tree(const CachedScan& scan) {
    const std::optional<ScanArchive> archive = check_scan_file(scan.bytes());
    if (!archive || archive->root_path != scan.key.canonical_path) {
        return std::nullopt;
    }
    return StoredTree(*archive);
}

Result<std::optional<LoadedTree>> load_cached_tree(const std::string& cache_dir,
                                                   const std::string& folder) {
    Result<std::optional<CachedScan>> opened = open_cached_scan(cache_dir, folder);
    if (!opened) {
        return std::unexpected(std::move(opened.error()));
    }
    if (!*opened) {
        return std::nullopt;
    }
    const CachedScan scan = std::move(**opened);
    const std::optional<StoredTree> stored = open_stored_tree(scan);
    if (!stored) {
        return std::nullopt;
    }
    return LoadedTree{stored->to_tree(), scan.modified, stored->has_reclaimable()};
}

}  // namespace bramwex::core
