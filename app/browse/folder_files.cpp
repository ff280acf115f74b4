#include "app/browse/folder_files.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>

#include "core/base/fd.hpp"
#include "core/scan/subtree_walk.hpp"
#include "core/sys/dirread.hpp"

namespace bramwex::app {

namespace {

// A folder whose path is too long for the kernel is reached name by name
// from the root, as the scan reached it.
std::expected<int, int> open_by_names(const core::Tree& tree, uint32_t index) {
    std::vector<std::string> names;
    for (uint32_t k = index; k != 0; k = tree.folders[k].parent) {
        names.emplace_back(tree.name_at(tree.folders[k].name_id));
    }
    std::reverse(names.begin(), names.end());
    const auto root = core::sys::open_dir_path(tree.absolute_path(0));
    if (!root) {
        return root;
    }
    const core::UniqueFd root_fd(*root);
    return core::open_dir_components(root_fd.get(), names);
}

}  // namespace

std::vector<ListedFile> list_folder_files(const core::Tree& tree, core::FolderId id,
                                          bool reclaimable) {
    tree.check_id(id);
    std::vector<ListedFile> files;
    if ((tree.folders[id.index].flags & (core::kFlagUnreadable | core::kFlagOtherDevice)) != 0) {
        return files;
    }
    const std::string path = tree.absolute_path(id.index);
    // Only the root may be a link the user gave; below it a link is a file.
    auto opened =
        id.index == 0 ? core::sys::open_dir_path(path) : core::sys::open_subdir_at(AT_FDCWD, path);
    if (!opened && opened.error() == ENAMETOOLONG) {
        opened = open_by_names(tree, id.index);
    }
    if (!opened) {
        return files;
    }
    const core::UniqueFd owned(*opened);
    const int fd = owned.get();
    if (const auto mode = core::sys::read_mode_of_fd(fd, reclaimable)) {
        const auto listed =
            core::sys::read_dir_entries(*mode, fd, [&](const core::sys::DirEntry& e) {
                if (e.kind != core::sys::EntryKind::Folder) {
                    files.push_back(
                        {std::string(e.name_without_nul()), e.allocated, e.reclaimable});
                }
            });
        if (!listed) {
            files.clear();
        }
    }
    return files;
}

}  // namespace bramwex::app
