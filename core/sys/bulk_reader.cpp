// The bulk reader: many entries with their attributes per call, parsed in
// place from the thread's listing buffer, with no system call per entry.
#include "core/sys/bulk_reader.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

#include "core/base/eintr.hpp"
#include "core/base/fatal.hpp"

namespace bramwex::core::sys::detail {

namespace {

// Reads a T at offset, or nothing when it would reach past the record.
template <class T>
std::optional<T> load(std::span<const std::byte> record, size_t offset) {
    if (offset > record.size() || record.size() - offset < sizeof(T)) {
        return std::nullopt;
    }
    T value;
    std::memcpy(&value, record.data() + offset, sizeof(T));
    return value;
}

ParsedRecord skipped() {
    ParsedRecord parsed;
    parsed.status = kStatusSkip;
    return parsed;
}

EntryKind kind_of_object(uint32_t type) {
    switch (type) {
        case kObjectRegular:
            return EntryKind::File;
        case kObjectSymlink:
            return EntryKind::Symlink;
        case kObjectDirectory:
            return EntryKind::Folder;
        default:
            return EntryKind::Other;
    }
}

// The thread's listing buffer. Zero-filled once so that padding the system
// leaves untouched never holds stale bytes from uninitialised memory.
struct ListingBuffer {
    std::unique_ptr<std::byte[]> bytes;
    bool in_use = false;
};
thread_local ListingBuffer listing_buffer;

// Holds the thread's buffer for one listing; a listing started from inside
// another one's sink would overwrite the records the outer one is walking.
class BufferLease {
  public:
    BufferLease() {
        if (listing_buffer.in_use) {
            fatal("nested directory listing on one thread");
        }
        if (!listing_buffer.bytes) {
            listing_buffer.bytes = std::make_unique<std::byte[]>(kBulkBufferSize);
        }
        listing_buffer.in_use = true;
    }
    ~BufferLease() { release(); }
    BufferLease(const BufferLease&) = delete;
    BufferLease& operator=(const BufferLease&) = delete;

    std::byte* data() const { return listing_buffer.bytes.get(); }
    void release() {
        if (held_) {
            listing_buffer.in_use = false;
            held_ = false;
        }
    }

  private:
    bool held_ = true;
};

// A folder whose own attributes failed still goes to the scan, which reports
// the error when it tries to open it.
std::expected<void, int> hand_on_failed_folder(int fd, std::string_view name, DirSink sink) {
    struct stat st;
    if (retry_on_eintr([&] { return ::fstat(fd, &st); }) != 0) {
        return std::unexpected(errno);
    }
    DirEntry entry;
    entry.name = name;
    entry.device = widen_device(st.st_dev);
    entry.link_count = 1;
    entry.kind = EntryKind::Folder;
    sink(entry);
    return {};
}

}  // namespace

AttrList bulk_attr_list(ReclaimableMode mode) {
    AttrList attrs;
    attrs.bitmap_count = kAttrBitmapCount;
    attrs.common = kAttrCommonRequested;
    attrs.directory = kAttrDirRequested;
    attrs.file = kAttrFileRequested;
    attrs.fork = mode == ReclaimableMode::Private ? kAttrExtPrivateSize : 0;
    return attrs;
}

uint64_t bulk_options(ReclaimableMode mode) {
    return kOptionPackInvalid | (mode == ReclaimableMode::Private ? kOptionCommonExtended : 0);
}

ParsedRecord parse_bulk_record(std::span<const std::byte> record, ReclaimableMode mode) {
    const auto common = load<uint32_t>(record, kRecordReturnedAt);
    if (!common || (*common & kAttrCommonName) == 0) {
        return skipped();
    }

    // The stored name length is not trusted: the name ends at its NUL.
    const auto name_offset = load<int32_t>(record, kRecordNameRefAt);
    if (!name_offset) {
        return skipped();
    }
    const int64_t name_start = static_cast<int64_t>(kRecordNameRefAt) + *name_offset;
    if (name_start < 0 || static_cast<uint64_t>(name_start) >= record.size()) {
        return skipped();
    }
    const std::byte* name_begin = record.data() + name_start;
    const size_t room = record.size() - static_cast<size_t>(name_start);
    const void* nul = std::memchr(name_begin, 0, room);
    if (nul == nullptr) {
        return skipped();
    }
    const auto name_size = static_cast<size_t>(static_cast<const std::byte*>(nul) - name_begin) + 1;

    ParsedRecord parsed;
    parsed.name = std::string_view(reinterpret_cast<const char*>(name_begin), name_size);
    if ((*common & kAttrCommonObjectType) != 0) {
        const auto type = load<uint32_t>(record, kRecordObjectTypeAt);
        if (!type) {
            return skipped();
        }
        parsed.kind = kind_of_object(*type);
    }

    const auto error = load<uint32_t>(record, kRecordErrorAt);
    if (!error) {
        return skipped();
    }
    if (*error != 0) {
        parsed.status = parsed.kind == EntryKind::Folder ? kStatusFolderError : kStatusSkip;
        return parsed;
    }

    const auto device = load<uint32_t>(record, kRecordDeviceAt);
    const auto file_id = load<uint64_t>(record, kRecordFileIdAt);
    const auto mount_or_links = load<uint32_t>(record, kRecordMountOrLinksAt);
    const auto allocated = load<uint64_t>(record, kRecordAllocatedAt);
    if (!device || !file_id || !mount_or_links || !allocated) {
        return skipped();
    }
    parsed.device = widen_device32(*device);
    parsed.file_id = *file_id;
    parsed.allocated = *allocated;
    switch (mode) {
        case ReclaimableMode::Off:
            break;
        case ReclaimableMode::Private: {
            const auto private_size = load<uint64_t>(record, kRecordPrivateAt);
            if (!private_size) {
                return skipped();
            }
            parsed.reclaimable = *private_size;
            break;
        }
        case ReclaimableMode::Allocated:
            parsed.reclaimable = *allocated;
            break;
    }

    if (parsed.kind == EntryKind::Folder) {
        parsed.link_count = 1;
        const auto directory = load<uint32_t>(record, kRecordReturnedAt + 8);
        const bool mounted =
            directory && (*directory & kAttrDirMountStatus) != 0 &&
            (*mount_or_links & (kMountStatusMountPoint | kMountStatusTrigger)) != 0;
        parsed.status = mounted ? kStatusMountPoint : kStatusOrdinary;
        parsed.mount_root = mounted;
    } else {
        parsed.link_count = *mount_or_links;
        parsed.status = kStatusOrdinary;
    }
    return parsed;
}

std::expected<Listed, int> read_dir_entries_bulk(int fd, ReclaimableMode mode, DirSink sink,
                                                 StopCheck stop, BulkListFn list) {
    BufferLease lease;
    const AttrList attrs = bulk_attr_list(mode);
    const uint64_t options = bulk_options(mode);
    bool batch_seen = false;
    for (;;) {
        const int count =
            retry_on_eintr([&] { return list(fd, attrs, lease.data(), kBulkBufferSize, options); });
        if (count == 0) {
            return Listed::Complete;
        }
        if (count < 0) {
            const int error = errno;
            // Some file systems refuse bulk listing outright; they still list.
            if (!batch_seen && (error == EINVAL || error == ENOTSUP)) {
                lease.release();
                return read_dir_entries_portable(fd, mode, sink, stop);
            }
            return std::unexpected(error);
        }
        if (batch_seen && stop()) {
            return Listed::Stopped;
        }
        batch_seen = true;

        const std::span<const std::byte> batch(lease.data(), kBulkBufferSize);
        size_t at = 0;
        for (int k = 0; k < count && at < batch.size(); ++k) {
            const auto length = load<uint32_t>(batch.subspan(at), 0);
            // A record claiming more than the buffer holds is cut at its end,
            // and nothing can follow it.
            const size_t size = length ? std::min<size_t>(*length, batch.size() - at) : 0;
            const ParsedRecord parsed = parse_bulk_record(batch.subspan(at, size), mode);
            if (parsed.status == kStatusOrdinary || parsed.status == kStatusMountPoint) {
                sink(parsed);
            } else if (parsed.status == kStatusFolderError) {
                if (auto handed = hand_on_failed_folder(fd, parsed.name, sink); !handed) {
                    return std::unexpected(handed.error());
                }
            }
            if (size == 0) {
                break;  // a zero length would return the same record forever
            }
            at += size;
        }
    }
}

}  // namespace bramwex::core::sys::detail
