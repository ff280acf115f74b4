#include "app/browse/folder_files.hpp"

#include <fcntl.h>
#include <unistd.h>

#include "core/sys/dirread.hpp"

namespace bramwex::app {

std::vector<ListedFile> list_folder_files(const core::Tree& tree, core::FolderId id,
                                          bool reclaimable) {
    tree.check_id(id);
    std::vector<ListedFile> files;
    if ((tree.folders[id.index].flags & (core::kFlagUnreadable | core::kFlagOtherDevice)) != 0) {
        return files;
    }
    const std::string path = tree.absolute_path(id.index);
    // Only the root may be a link the user gave; below it a link is a file.
    const auto opened =
        id.index == 0 ? core::sys::open_dir_path(path) : core::sys::open_subdir_at(AT_FDCWD, path);
    if (!opened) {
        return files;
    }
    const int fd = *opened;
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
    ::close(fd);
    return files;
}

}  // namespace bramwex::app
