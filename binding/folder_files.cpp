#include "binding/folder_files.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "core/base/eintr.hpp"
#include "core/base/fd.hpp"
#include "core/sys/dirread.hpp"

namespace bramwex::binding {

namespace {

std::expected<core::UniqueFd, int> open_folder_no_follow(const std::string& path) {
    // Unlike a scan's root, a folder named by the tree must still be a folder:
    // a symbolic link put in its place is refused.
    constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC;
    core::UniqueFd fd(
        core::sys::retry_on_eintr([&] { return ::openat(AT_FDCWD, path.c_str(), kFlags); }));
    if (!fd) {
        return std::unexpected(errno);
    }
    return fd;
}

}  // namespace

std::expected<std::vector<FolderFile>, int> list_folder_files(const core::Tree& tree,
                                                              uint32_t index) {
    std::vector<FolderFile> files;
    if (tree.other_device(core::FolderId{index, 0})) {
        return files;
    }
    const std::string path = tree.absolute_path(index);
    if (path.find('\0') != std::string::npos) {
        return std::unexpected(EINVAL);
    }
    const auto folder = open_folder_no_follow(path);
    if (!folder) {
        return std::unexpected(folder.error());
    }
    const auto mode = core::sys::read_mode_of_fd(folder->get(), false);
    if (!mode) {
        return std::unexpected(mode.error());
    }
    const auto listed =
        core::sys::read_dir_entries(*mode, folder->get(), [&](const core::sys::DirEntry& entry) {
            if (entry.kind != core::sys::EntryKind::Folder) {
                files.push_back({std::string(entry.name_without_nul()), entry.allocated});
            }
        });
    if (!listed) {
        return std::unexpected(listed.error());
    }
    return files;
}

}  // namespace bramwex::binding
