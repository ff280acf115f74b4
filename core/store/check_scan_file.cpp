#include "core/store/check_scan_file.hpp"

#include <cstring>

#include "core/base/aligned_buffer.hpp"
#include "core/base/crc32.hpp"
#include "core/base/fatal.hpp"

namespace bramwex::core {

namespace {

uint32_t load_u32(const std::byte* at) {
    uint32_t value = 0;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// A region resolved to file positions; 64-bit arithmetic, so nothing wraps.
struct Span64 {
    int64_t start = 0;
    int64_t end = 0;
};

class FrameCheck {
  public:
    FrameCheck(std::span<const std::byte> bytes, int64_t root_at)
        : bytes_(bytes), root_at_(root_at) {}

    // The region of the given pair with elements of element_size bytes, or
    // nothing when it starts before `not_before`, passes the root record or
    // is misaligned.
    std::optional<Span64> region(size_t pair, size_t element_size, size_t alignment,
                                 int64_t not_before) const {
        const int64_t field = root_at_ + static_cast<int64_t>(pair * sizeof(RegionRef));
        const auto offset = static_cast<int32_t>(load_u32(bytes_.data() + field));
        const uint32_t length = load_u32(bytes_.data() + field + 4);
        const Span64 span{
            field + offset,
            field + offset + static_cast<int64_t>(length) * static_cast<int64_t>(element_size)};
        if (span.start < not_before || span.end > root_at_ ||
            span.start % static_cast<int64_t>(alignment) != 0) {
            return std::nullopt;
        }
        return span;
    }

    template <class T>
    std::span<const T> array(Span64 span) const {
        return {reinterpret_cast<const T*>(bytes_.data() + span.start),
                static_cast<size_t>(span.end - span.start) / sizeof(T)};
    }
    std::string_view text(Span64 span) const {
        return {reinterpret_cast<const char*>(bytes_.data() + span.start),
                static_cast<size_t>(span.end - span.start)};
    }

  private:
    std::span<const std::byte> bytes_;
    int64_t root_at_;
};

bool header_and_crc_are_valid(std::span<const std::byte> bytes) {
    if (bytes.size() < kScanHeaderSize + kScanTrailerSize) {
        return false;
    }
    if (std::memcmp(bytes.data(), kScanMagic, sizeof kScanMagic) != 0 ||
        static_cast<uint8_t>(bytes[kScanVersionOffset]) != kScanVersion) {
        return false;
    }
    const size_t checked = bytes.size() - kScanTrailerSize;
    return crc32_ieee(bytes.first(checked)) == load_u32(bytes.data() + checked);
}

}  // namespace

std::string_view stored_file_name(const StoredFileRecord& record) {
    const auto* field = reinterpret_cast<const char*>(&record) + kFileNameOffsetField;
    return {field + record.name_offset, record.name_length};
}

std::optional<ScanArchive> check_scan_file(std::span<const std::byte> bytes) {
    if (reinterpret_cast<uintptr_t>(bytes.data()) % AlignedBuffer::kAlignment != 0) {
        fatal("saved-scan bytes must start on a 16-byte boundary");
    }
    if (!header_and_crc_are_valid(bytes)) {
        return std::nullopt;
    }
    const int64_t root_at =
        static_cast<int64_t>(bytes.size()) - static_cast<int64_t>(kRootRecordAndTrailer);
    if (root_at < static_cast<int64_t>(kScanHeaderSize) || root_at % 4 != 0) {
        return std::nullopt;
    }

    const FrameCheck frame(bytes, root_at);
    const auto root_path = frame.region(0, 1, 1, kScanHeaderSize);
    if (!root_path) {
        return std::nullopt;
    }
    const auto folders = frame.region(1, sizeof(StoredFolderRecord), 8, root_path->end);
    if (!folders) {
        return std::nullopt;
    }
    const auto name_bytes = frame.region(2, 1, 1, folders->end);
    if (!name_bytes) {
        return std::nullopt;
    }
    const auto name_ends = frame.region(3, sizeof(uint32_t), 4, name_bytes->end);
    if (!name_ends) {
        return std::nullopt;
    }
    const auto files = frame.region(4, sizeof(StoredFileRecord), 8, name_ends->end);
    if (!files) {
        return std::nullopt;
    }
    const auto reclaimable = frame.region(5, sizeof(uint64_t), 8, files->end);
    if (!reclaimable) {
        return std::nullopt;
    }

    ScanArchive archive;
    archive.flags = static_cast<uint8_t>(bytes[kScanFlagsOffset]);
    archive.root_path = frame.text(*root_path);
    archive.folders = frame.array<StoredFolderRecord>(*folders);
    archive.name_bytes = frame.text(*name_bytes);
    archive.name_ends = frame.array<uint32_t>(*name_ends);
    archive.files = frame.array<StoredFileRecord>(*files);
    archive.reclaimable = frame.array<uint64_t>(*reclaimable);

    // File names sit one after another between the name ends and the records.
    int64_t name_cursor = name_ends->end;
    for (size_t k = 0; k < archive.files.size(); ++k) {
        const StoredFileRecord& file = archive.files[k];
        const int64_t start =
            files->start +
            static_cast<int64_t>(k * sizeof(StoredFileRecord) + kFileNameOffsetField) +
            file.name_offset;
        const int64_t end = start + file.name_length;
        if (start < name_cursor || end > files->start) {
            return std::nullopt;
        }
        name_cursor = end;
    }

    if (!archive_is_consistent(archive)) {
        return std::nullopt;
    }
    return archive;
}

bool archive_is_consistent(const ScanArchive& archive) {
    const auto& folders = archive.folders;
    const auto& ends = archive.name_ends;
    // A removed root would make every read of the tree a broken contract.
    if (folders.empty() || folders[0].parent != kNoParent || folders[0].name_id != 0 ||
        (folders[0].flags & kFlagRemoved) != 0) {
        return false;
    }
    if (ends.empty() || ends[0] != 0 || ends.back() != archive.name_bytes.size()) {
        return false;
    }
    for (size_t k = 1; k < ends.size(); ++k) {
        if (ends[k] < ends[k - 1]) {
            return false;
        }
    }
    const size_t name_count = ends.size();
    for (size_t k = 1; k < folders.size(); ++k) {
        const StoredFolderRecord& folder = folders[k];
        if (folder.parent >= k || folder.name_id == 0 || folder.name_id >= name_count) {
            return false;
        }
    }
    for (const StoredFileRecord& file : archive.files) {
        if (file.folder >= folders.size()) {
            return false;
        }
    }
    return archive.reclaimable.empty() || archive.reclaimable.size() == folders.size();
}

}  // namespace bramwex::core
