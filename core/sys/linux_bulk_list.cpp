// Linux has no call that lists a directory together with its entries'
// attributes. This stand-in builds the same records from getdents64 plus one
// fstatat per entry, so that the bulk reader and its record parsing run for
// real. The scanner itself reads Linux directories with the portable reader,
// which makes the same system calls without the record round trip.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "core/base/eintr.hpp"
#include "core/sys/bulk_reader.hpp"

namespace bramwex::core::sys::detail {

namespace {

template <class T>
void store(std::byte* record, size_t offset, T value) {
    std::memcpy(record + offset, &value, sizeof(T));
}

uint32_t object_of_mode(mode_t mode) {
    switch (mode & S_IFMT) {
        case S_IFREG:
            return kObjectRegular;
        case S_IFDIR:
            return kObjectDirectory;
        case S_IFLNK:
            return kObjectSymlink;
        case S_IFBLK:
            return kObjectBlock;
        case S_IFCHR:
            return kObjectCharacter;
        case S_IFSOCK:
            return kObjectSocket;
        case S_IFIFO:
            return kObjectFifo;
        default:
            return kObjectNone;
    }
}

uint32_t object_of_dirent_type(unsigned char type) {
    switch (type) {
        case DT_REG:
            return kObjectRegular;
        case DT_DIR:
            return kObjectDirectory;
        case DT_LNK:
            return kObjectSymlink;
        case DT_BLK:
            return kObjectBlock;
        case DT_CHR:
            return kObjectCharacter;
        case DT_SOCK:
            return kObjectSocket;
        case DT_FIFO:
            return kObjectFifo;
        default:
            return kObjectNone;
    }
}

bool is_dot_or_dot_dot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// A folder is a mount point when it lives on another device than the listed
// directory, or when the kernel says it is the root of a mount (a bind mount
// of the same file system keeps the device).
bool is_mount_root(int dir_fd, const char* name, const struct stat& entry, dev_t listed_device) {
    if (entry.st_dev != listed_device) {
        return true;
    }
#ifdef STATX_ATTR_MOUNT_ROOT
    struct statx info;
    const int rc = retry_on_eintr(
        [&] { return ::statx(dir_fd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, 0, &info); });
    // Without an answer the folder is taken as ordinary; the scan still
    // recognises other devices by their number.
    return rc == 0 && (info.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
           (info.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
#else
    (void)dir_fd;
    (void)name;
    return false;
#endif
}

struct Layout {
    bool private_size = false;
    size_t fixed = kRecordFixedSize;
};

// Only the request the bulk reader makes is understood; anything else would
// need another record layout.
bool understood(const AttrList& attrs, uint64_t options, Layout& layout) {
    if (attrs.bitmap_count != kAttrBitmapCount || attrs.common != kAttrCommonRequested ||
        attrs.volume != 0 || attrs.directory != kAttrDirRequested ||
        attrs.file != kAttrFileRequested || (attrs.fork & ~kAttrExtPrivateSize) != 0 ||
        (options & kOptionPackInvalid) == 0) {
        return false;
    }
    layout.private_size = (attrs.fork & kAttrExtPrivateSize) != 0;
    if (layout.private_size && (options & kOptionCommonExtended) == 0) {
        return false;
    }
    layout.fixed = kRecordFixedSize + (layout.private_size ? sizeof(uint64_t) : 0);
    return true;
}

size_t record_size(const Layout& layout, size_t name_size) {
    return (layout.fixed + name_size + 7) & ~size_t{7};
}

void write_record(std::byte* record, size_t size, const Layout& layout, const char* name,
                  size_t name_size) {
    std::memset(record, 0, size);
    store<uint32_t>(record, 0, static_cast<uint32_t>(size));
    store<int32_t>(record, kRecordNameRefAt, static_cast<int32_t>(layout.fixed - kRecordNameRefAt));
    store<uint32_t>(record, kRecordNameRefAt + 4, static_cast<uint32_t>(name_size));
    std::memcpy(record + layout.fixed, name, name_size);
}

void write_attributes(std::byte* record, const Layout& layout, const struct stat& st,
                      bool mount_root) {
    const bool folder = S_ISDIR(st.st_mode);
    const uint64_t allocated = static_cast<uint64_t>(st.st_blocks) * 512;
    store<uint32_t>(record, kRecordReturnedAt, kAttrCommonRequested);
    store<uint32_t>(record, kRecordReturnedAt + 8, folder ? kAttrDirRequested : 0);
    store<uint32_t>(record, kRecordReturnedAt + 12, folder ? 0 : kAttrFileRequested);
    store<uint32_t>(record, kRecordReturnedAt + 16, layout.private_size ? kAttrExtPrivateSize : 0);
    // The record's device field has 32 bits; the low ones are kept.
    store<uint32_t>(record, kRecordDeviceAt, static_cast<uint32_t>(st.st_dev));
    store<uint32_t>(record, kRecordObjectTypeAt, object_of_mode(st.st_mode));
    store<uint64_t>(record, kRecordFileIdAt, st.st_ino);
    const uint64_t links = std::min<uint64_t>(st.st_nlink, UINT32_MAX);
    store<uint32_t>(
        record, kRecordMountOrLinksAt,
        folder ? (mount_root ? kMountStatusMountPoint : 0) : static_cast<uint32_t>(links));
    store<uint64_t>(record, kRecordAllocatedAt, allocated);
    if (layout.private_size) {
        // Linux tells no file's private share of shared blocks; all of it counts.
        store<uint64_t>(record, kRecordPrivateAt, allocated);
    }
}

void write_error(std::byte* record, unsigned char dirent_type, int error) {
    const uint32_t type = object_of_dirent_type(dirent_type);
    uint32_t returned = kAttrCommonReturned | kAttrCommonError | kAttrCommonName;
    if (type != kObjectNone) {
        returned |= kAttrCommonObjectType;
        store<uint32_t>(record, kRecordObjectTypeAt, type);
    }
    store<uint32_t>(record, kRecordReturnedAt, returned);
    store<uint32_t>(record, kRecordErrorAt, static_cast<uint32_t>(error));
}

}  // namespace

int linux_bulk_list(int fd, const AttrList& attrs, void* buffer, size_t size, uint64_t options) {
    Layout layout;
    if (!understood(attrs, options, layout)) {
        errno = EINVAL;
        return -1;
    }
    struct stat listed;
    if (retry_on_eintr([&] { return ::fstat(fd, &listed); }) != 0) {
        return -1;
    }
    // Where the next listing call must go on from: the position after the
    // last entry that was turned into a record or deliberately skipped.
    off_t resume = ::lseek(fd, 0, SEEK_CUR);
    if (resume < 0) {
        return -1;
    }

    auto* out = static_cast<std::byte*>(buffer);
    size_t used = 0;
    int count = 0;
    alignas(8) std::byte dents[32768];
    for (;;) {
        ssize_t got = retry_on_eintr([&] { return ::getdents64(fd, dents, sizeof dents); });
        if (got < 0 && errno == ENOENT) {
            got = 0;  // a removed directory has simply no entries left, as readdir has it
        }
        if (got < 0) {
            // Records already written are handed over; the next call meets the error again.
            return count > 0 ? count : -1;
        }
        if (got == 0) {
            return count;
        }
        for (ssize_t at = 0; at < got;) {
            const auto* dent = reinterpret_cast<const dirent64*>(dents + at);
            at += dent->d_reclen;
            const char* name = dent->d_name;
            if (is_dot_or_dot_dot(name)) {
                resume = dent->d_off;
                continue;
            }
            const size_t name_size = std::strlen(name) + 1;
            const size_t needed = record_size(layout, name_size);
            if (needed > size - used || count == INT_MAX) {
                if (::lseek(fd, resume, SEEK_SET) < 0) {
                    return -1;
                }
                if (count == 0) {
                    errno = ERANGE;  // not even one record fits
                    return -1;
                }
                return count;
            }
            struct stat st;
            const int rc =
                retry_on_eintr([&] { return ::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW); });
            if (rc != 0 && errno == ENOENT) {
                resume = dent->d_off;  // gone since it was listed
                continue;
            }
            std::byte* record = out + used;
            write_record(record, needed, layout, name, name_size);
            if (rc != 0) {
                write_error(record, dent->d_type, errno);
            } else {
                const bool mount_root =
                    S_ISDIR(st.st_mode) && is_mount_root(fd, name, st, listed.st_dev);
                write_attributes(record, layout, st, mount_root);
            }
            used += needed;
            ++count;
            resume = dent->d_off;
        }
    }
}

}  // namespace bramwex::core::sys::detail
