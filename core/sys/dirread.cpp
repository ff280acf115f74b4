// The portable reader, the reader choice and the small open/stat wrappers.
#include "core/sys/dirread.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "core/base/eintr.hpp"
#include "core/sys/bulk_reader.hpp"

namespace bramwex::core::sys {

namespace {

constexpr size_t kDirentBufferSize = 32 * 1024;

EntryKind kind_of_mode(mode_t mode) {
    switch (mode & S_IFMT) {
        case S_IFDIR:
            return EntryKind::Folder;
        case S_IFREG:
            return EntryKind::File;
        case S_IFLNK:
            return EntryKind::Symlink;
        default:
            return EntryKind::Other;
    }
}

bool is_symlink_at(int dir_fd, const char* name) {
    struct stat st;
    return retry_on_eintr([&] { return ::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW); }) == 0 &&
           S_ISLNK(st.st_mode);
}

// A kernel that does not tell leaves every folder a possible mount root.
bool is_mount_root(const struct statx& st) {
    return (st.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) == 0 ||
           (st.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}

struct FsTypeName {
    uint32_t magic;
    std::string_view name;
};

// statfs f_type values and the names the kernel registers the types under.
// ext2, ext3 and ext4 share one magic; the ext4 driver serves all three.
constexpr FsTypeName kFsTypeNames[] = {
    {0x0000EF53, "ext4"},        {0x58465342, "xfs"},        {0x9123683E, "btrfs"},
    {0x01021994, "tmpfs"},       {0x858458F6, "ramfs"},      {0x794C7630, "overlay"},
    {0x00006969, "nfs"},         {0x00009FA0, "proc"},       {0x62656572, "sysfs"},
    {0x00001CD1, "devpts"},      {0x00004D44, "vfat"},       {0x2011BAB0, "exfat"},
    {0x5346544E, "ntfs"},        {0x7366746E, "ntfs3"},      {0x65735546, "fuse"},
    {0x65735543, "fusectl"},     {0xF2F52010, "f2fs"},       {0x2FC12FC1, "zfs"},
    {0x73717368, "squashfs"},    {0x00009660, "iso9660"},    {0x15013346, "udf"},
    {0xFF534D42, "cifs"},        {0xFE534D42, "smb3"},       {0x01021997, "9p"},
    {0x63677270, "cgroup2"},     {0x0027E0EB, "cgroup"},     {0x64626720, "debugfs"},
    {0x74726163, "tracefs"},     {0x73636673, "securityfs"}, {0xCAFE4A11, "bpf"},
    {0x19800202, "mqueue"},      {0x958458F6, "hugetlbfs"},  {0x6165676C, "pstore"},
    {0xDE5E81E4, "efivarfs"},    {0x00000187, "autofs"},     {0x62656570, "configfs"},
    {0x42494E4D, "binfmt_misc"}, {0x6E736673, "nsfs"},       {0xF97CFF8C, "selinuxfs"},
    {0x00004244, "hfs"},         {0x0000482B, "hfsplus"},    {0x3153464A, "jfs"},
    {0x52654973, "reiserfs"},    {0x00C36400, "ceph"},       {0xE0F5E1E2, "erofs"},
    {0xCA451A4E, "bcachefs"},    {0x00003434, "nilfs2"},     {0x0000F15F, "ecryptfs"},
    {0x786F4256, "vboxsf"},      {0x28CD3D45, "cramfs"},     {0x7461636F, "ocfs2"},
    {0x5A4F4653, "zonefs"},      {0x000072B6, "jffs2"},      {0x6B414653, "afs"},
    {0x73757245, "coda"},        {0x0000ADF5, "adfs"},       {0x0000ADFF, "affs"},
    {0x00414A53, "efs"},         {0x0000137F, "minix"},      {0x0000138F, "minix"},
    {0x00002468, "minix"},       {0x00002478, "minix"},      {0x00004D5A, "minix"},
    {0x00C0FFEE, "hostfs"},      {0x0000002F, "qnx4"},       {0x68191122, "qnx6"},
    {0x6C6F6F70, "binder"},      {0x43415D53, "smackfs"},    {0x00009FA1, "openpromfs"},
    {0x00009FA2, "usbdevfs"},    {0xABBA1974, "xenfs"},      {0xF995E849, "hpfs"},
};

}  // namespace

ReadMode read_mode_for_type(std::string_view fs_type_name, bool reclaimable_asked) {
    ReadMode mode;
    mode.bulk = fs_type_name == "apfs";
    if (reclaimable_asked) {
        mode.reclaimable = mode.bulk ? ReclaimableMode::Private : ReclaimableMode::Allocated;
    }
    return mode;
}

std::expected<std::string_view, int> fs_type_name_of_fd(int fd) {
    struct statfs info;
    if (retry_on_eintr([&] { return ::fstatfs(fd, &info); }) != 0) {
        return std::unexpected(errno);
    }
    // f_type is a signed word on some targets; the magic is its low 32 bits.
    const auto magic = static_cast<uint32_t>(static_cast<unsigned long>(info.f_type));
    for (const FsTypeName& known : kFsTypeNames) {
        if (known.magic == magic) {
            return known.name;
        }
    }
    return std::string_view("unknown");
}

std::expected<ReadMode, int> read_mode_of_fd(int fd, bool reclaimable_asked) {
    const auto name = fs_type_name_of_fd(fd);
    if (!name) {
        return std::unexpected(name.error());
    }
    return read_mode_for_type(*name, reclaimable_asked);
}

std::expected<Listed, int> read_dir_entries(ReadMode mode, int fd, DirSink sink, StopCheck stop) {
    if (mode.bulk) {
        return detail::read_dir_entries_bulk(fd, mode.reclaimable, sink, stop);
    }
    return detail::read_dir_entries_portable(fd, mode.reclaimable, sink, stop);
}

std::expected<void, int> read_dir_entries(ReadMode mode, int fd, DirSink sink) {
    const auto listed = read_dir_entries(mode, fd, sink, [] { return false; });
    if (!listed) {
        return std::unexpected(listed.error());
    }
    return {};
}

namespace detail {

std::expected<Listed, int> read_dir_entries_portable(int fd, ReclaimableMode mode, DirSink sink,
                                                     StopCheck stop) {
    // getdents64 straight on the caller's descriptor: a directory stream over
    // a duplicate would cost a dup, an fstat, two fcntl, a close and a heap
    // buffer per folder for the same entries. The buffer lives on the stack,
    // so a sink may list another directory without disturbing this one.
    alignas(dirent64) std::byte buffer[kDirentBufferSize];
    for (bool first = true;; first = false) {
        const ssize_t filled =
            retry_on_eintr([&] { return ::getdents64(fd, buffer, sizeof buffer); });
        if (filled < 0) {
            // A directory removed while open reads as empty, as readdir has it.
            return errno == ENOENT ? std::expected<Listed, int>(Listed::Complete)
                                   : std::unexpected(errno);
        }
        if (filled == 0) {
            return Listed::Complete;
        }
        // Asked only when a folder takes more than one batch: most folders
        // fit in one, and a stop test may count its questions.
        if (!first && stop()) {
            return Listed::Stopped;
        }
        for (ssize_t at = 0; at < filled;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
            at += entry->d_reclen;
            const char* name = entry->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
                continue;
            }
            // statx costs what fstatat costs and also tells a mount's root.
            struct statx st;
            if (retry_on_eintr([&] {
                    return ::statx(fd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
                                   STATX_BASIC_STATS, &st);
                }) != 0) {
                if (errno == ENOENT) {
                    continue;  // gone since it was listed
                }
                return std::unexpected(errno);
            }
            DirEntry out;
            out.name = std::string_view(name, std::strlen(name) + 1);
            out.file_id = st.stx_ino;
            out.device = widen_device(makedev(st.stx_dev_major, st.stx_dev_minor));
            out.link_count = st.stx_nlink;
            out.allocated = st.stx_blocks * 512;
            out.reclaimable = mode == ReclaimableMode::Allocated ? out.allocated : 0;
            out.kind = kind_of_mode(st.stx_mode);
            out.status = kStatusOrdinary;
            out.mount_root = out.kind == EntryKind::Folder && is_mount_root(st);
            sink(out);
        }
    }
}

}  // namespace detail

std::expected<int, int> open_subdir_at(int dir_fd, std::string_view name) {
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW;
    const bool has_nul = !name.empty() && name.back() == '\0';
    const std::string_view bare = has_nul ? name.substr(0, name.size() - 1) : name;
    if (bare.find('\0') != std::string_view::npos) {
        return std::unexpected(EINVAL);
    }
    // Names kept with their NUL are already C strings; only a bare one is copied.
    std::string copy;
    const char* c_name = name.data();
    if (!has_nul) {
        copy.assign(bare);
        c_name = copy.c_str();
    }
    const int fd = retry_on_eintr([&] { return ::openat(dir_fd, c_name, kFlags); });
    if (fd < 0) {
        const int error = errno;
        // Linux checks O_DIRECTORY before O_NOFOLLOW and calls a link "not a
        // directory"; a link is reported as a link, the same on every system.
        if (error == ENOTDIR && is_symlink_at(dir_fd, c_name)) {
            return std::unexpected(ELOOP);
        }
        return std::unexpected(error);
    }
    return fd;
}

std::expected<int, int> open_dir_path(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) {
        return std::unexpected(EINVAL);
    }
    const std::string c_path(path);
    const int fd = retry_on_eintr(
        [&] { return ::openat(AT_FDCWD, c_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (fd < 0) {
        return std::unexpected(errno);
    }
    return fd;
}

std::expected<FdStat, int> stat_fd(int fd) {
    struct statx st;
    if (retry_on_eintr([&] { return ::statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &st); }) !=
        0) {
        return std::unexpected(errno);
    }
    FdStat out;
    out.device = widen_device(makedev(st.stx_dev_major, st.stx_dev_minor));
    out.file_id = st.stx_ino;
    out.allocated = st.stx_blocks * 512;
    out.mount_root = is_mount_root(st);
    return out;
}

}  // namespace bramwex::core::sys
