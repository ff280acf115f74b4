#include "binding/folder_files.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "core/sys/dirread.hpp"

namespace bramwex::binding {

namespace {

// Closes the descriptor when the listing ends, however it ends.
class OwnedFd {
  public:
    explicit OwnedFd(int fd) : fd_(fd) {}
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    ~OwnedFd() { ::close(fd_); }
    int get() const { return fd_; }

  private:
    int fd_;
};

std::expected<int, int> open_folder_no_follow(const std::string& path) {
    // Unlike a scan's root, a folder named by the tree must still be a folder:
    // a symbolic link put in its place is refused.
    constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC;
    int fd;
    do {
        fd = ::openat(AT_FDCWD, path.c_str(), kFlags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
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
    const auto opened = open_folder_no_follow(path);
    if (!opened) {
        return std::unexpected(opened.error());
    }
    const OwnedFd folder(*opened);
    const auto mode = core::sys::read_mode_of_fd(folder.get(), false);
    if (!mode) {
        return std::unexpected(mode.error());
    }
    const auto listed =
        core::sys::read_dir_entries(*mode, folder.get(), [&](const core::sys::DirEntry& entry) {
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
