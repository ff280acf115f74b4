#include "core/store/serialize_tree.hpp"

#include <algorithm>

#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "core/base/crc32.hpp"
#include "core/base/fatal.hpp"
#include "core/store/saved_scan_format.hpp"

namespace bramwex::core {

namespace {

constexpr size_t align_up(size_t position, size_t alignment) {
    return (position + alignment - 1) / alignment * alignment;
}

// Where each region starts; worked out before anything is written, so the
// buffer is allocated once and a file too large for its offsets is refused early.
struct Layout {
    size_t root_path = kScanHeaderSize;
    size_t folders = 0;
    size_t name_bytes = 0;
    uint32_t name_bytes_length = 0;
    size_t name_ends = 0;
    size_t file_names = 0;
    size_t files = 0;
    size_t reclaimable = 0;
    size_t reclaimable_count = 0;
    size_t root_record = 0;
    size_t total = 0;
};

Layout plan_layout(std::string_view root_path, const Tree& tree, uint64_t name_count) {
    Layout layout;
    layout.folders = align_up(layout.root_path + root_path.size(), 8);
    layout.name_bytes = layout.folders + tree.folders.size() * sizeof(StoredFolderRecord);
    uint64_t name_length = 0;
    for (uint64_t id = 1; id < name_count; ++id) {
        name_length += tree.names->at(static_cast<uint32_t>(id)).size();
        if (name_length > std::numeric_limits<uint32_t>::max()) {
            fatal("over 4 GiB of names");
        }
    }
    layout.name_bytes_length = static_cast<uint32_t>(name_length);
    layout.name_ends = align_up(layout.name_bytes + name_length, 4);
    layout.file_names = layout.name_ends + name_count * sizeof(uint32_t);
    size_t file_name_length = 0;
    for (const FileRecord& file : tree.files) {
        file_name_length += file.name.size();
    }
    layout.files = align_up(layout.file_names + file_name_length, 8);
    layout.reclaimable = layout.files + tree.files.size() * sizeof(StoredFileRecord);
    layout.reclaimable_count = tree.reclaimable_sizes.empty() ? 0 : tree.folders.size();
    layout.root_record = layout.reclaimable + layout.reclaimable_count * sizeof(uint64_t);
    layout.total = layout.root_record + kRootRecordAndTrailer;
    return layout;
}

// Every offset and length in the file is at most the root record's end away.
bool offsets_fit(const Layout& layout) {
    return layout.root_record + sizeof(RootRecord) <=
           static_cast<size_t>(std::numeric_limits<int32_t>::max());
}

int32_t relative(size_t from, size_t to) {
    return static_cast<int32_t>(static_cast<int64_t>(to) - static_cast<int64_t>(from));
}

class Writer {
  public:
    explicit Writer(AlignedBuffer& out) : out_(out) {}

    template <class T>
    void put(size_t at, const T& value) {
        std::memcpy(out_.data() + at, &value, sizeof value);
    }
    void put_bytes(size_t at, std::string_view bytes) {
        if (!bytes.empty()) {
            std::memcpy(out_.data() + at, bytes.data(), bytes.size());
        }
    }

  private:
    AlignedBuffer& out_;
};

}  // namespace

Result<AlignedBuffer> serialize_tree(std::string_view root_path, const Tree& tree,
                                     bool has_reclaimable) {
    // The NameTable is shared with later trees of a live following, which keep
    // adding names to it; this tree's names end at the highest id it uses.
    uint64_t name_count = 1;
    for (const FolderRecord& record : tree.folders) {
        name_count = std::max<uint64_t>(name_count, uint64_t{record.name_id} + 1);
    }
    const Layout layout = plan_layout(root_path, tree, name_count);
    if (!offsets_fit(layout)) {
        return std::unexpected(Error::text("the saved scan would be over 2 GiB"));
    }

    AlignedBuffer out(layout.total);  // zero, so every pad is already written
    Writer writer(out);

    writer.put_bytes(0, std::string_view(kScanMagic, sizeof kScanMagic));
    writer.put(kScanVersionOffset, kScanVersion);
    const uint8_t flags =
        (has_reclaimable ? kScanHasReclaimable : 0) | (tree.stopped ? kScanStopped : 0);
    writer.put(kScanFlagsOffset, flags);

    writer.put_bytes(layout.root_path, root_path);

    for (size_t i = 0; i < tree.folders.size(); ++i) {
        const FolderRecord& record = tree.folders[i];
        const StoredFolderRecord stored{record.parent,       record.name_id, record.flags,
                                        record.error_number, record.file_id, record.own};
        writer.put(layout.folders + i * sizeof(StoredFolderRecord), stored);
    }

    size_t name_at = layout.name_bytes;
    uint32_t name_end = 0;
    writer.put(layout.name_ends, name_end);
    for (uint64_t id = 1; id < name_count; ++id) {
        const std::string_view name = tree.names->at(static_cast<uint32_t>(id));
        writer.put_bytes(name_at, name);
        name_at += name.size();
        name_end += static_cast<uint32_t>(name.size());
        writer.put(layout.name_ends + id * sizeof(uint32_t), name_end);
    }

    size_t file_name_at = layout.file_names;
    for (size_t k = 0; k < tree.files.size(); ++k) {
        const FileRecord& file = tree.files[k];
        const size_t record_at = layout.files + k * sizeof(StoredFileRecord);
        writer.put_bytes(file_name_at, file.name);
        const StoredFileRecord stored{file.size, file.folder,
                                      relative(record_at + kFileNameOffsetField, file_name_at),
                                      static_cast<uint32_t>(file.name.size()), 0};
        writer.put(record_at, stored);
        file_name_at += file.name.size();
    }

    for (size_t i = 0; i < layout.reclaimable_count; ++i) {
        writer.put(layout.reclaimable + i * sizeof(uint64_t),
                   tree.reclaimable_at(static_cast<uint32_t>(i)));
    }

    // Each pair's offset counts from the pair itself.
    const auto region = [&](size_t pair, size_t start, size_t length) {
        const size_t field = layout.root_record + pair * sizeof(RegionRef);
        return RegionRef{relative(field, start), static_cast<uint32_t>(length)};
    };
    const RootRecord root{
        region(0, layout.root_path, root_path.size()),
        region(1, layout.folders, tree.folders.size()),
        region(2, layout.name_bytes, layout.name_bytes_length),
        region(3, layout.name_ends, name_count),
        region(4, layout.files, tree.files.size()),
        region(5, layout.reclaimable, layout.reclaimable_count),
    };
    writer.put(layout.root_record, root);

    const size_t checked = layout.total - kScanTrailerSize;
    writer.put(checked, crc32_ieee(out.bytes().first(checked)));
    return out;
}

}  // namespace bramwex::core
