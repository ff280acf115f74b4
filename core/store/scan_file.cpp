#include "core/store/scan_file.hpp"

#include "core/base/atomic_write.hpp"
#include "core/base/read_whole_file.hpp"
#include "core/store/cache_key.hpp"
#include "core/store/serialize_tree.hpp"
#include "core/store/stored_tree.hpp"

namespace bramwex::core {

Result<Tree> load_scan_file(const std::string& path) {
    const Result<std::optional<AlignedBuffer>> bytes = read_whole_file(path);
    if (!bytes) {
        return std::unexpected(bytes.error());
    }
    const std::optional<StoredTree> stored =
        *bytes ? StoredTree::open((*bytes)->bytes()) : std::nullopt;
    if (!stored) {
        return std::unexpected(Error{0, path, std::string(kNotASavedScan)});
    }
    return stored->to_tree();
}

Result<void> save_scan_file(const Tree& tree, const std::string& path) {
    const Result<std::string> root = canonical_path(tree.absolute_path(0));
    if (!root) {
        return std::unexpected(root.error());
    }
    const Result<AlignedBuffer> bytes =
        serialize_tree(*root, tree, !tree.reclaimable_sizes.empty());
    if (!bytes) {
        return std::unexpected(bytes.error());
    }
    return write_atomically(path, bytes->bytes());
}

}  // namespace bramwex::core
