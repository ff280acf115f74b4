#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "core/base/crc32.hpp"
#include "core/output/json.hpp"
#include "core/output/report.hpp"
#include "core/store/check_scan_file.hpp"
#include "core/store/serialize_tree.hpp"
#include "core/store/stored_tree.hpp"
#include "tests/tree_sketch.hpp"

namespace bramwex::core {
namespace {

using test::fatal_message;
using test::TreeSketch;

AlignedBuffer serialized(const Tree& tree, std::string_view root, bool has_reclaimable) {
    Result<AlignedBuffer> bytes = serialize_tree(root, tree, has_reclaimable);
    if (!bytes) {
        ADD_FAILURE() << bytes.error().to_string();
        return {};
    }
    return std::move(*bytes);
}

AlignedBuffer serialized(const Tree& tree) {
    return serialized(tree, tree.name_at(0), tree.has_reclaimable());
}

bool is_valid(const AlignedBuffer& bytes) {
    return check_scan_file(bytes.bytes()).has_value();
}

// A tree touching every feature the file stores: 0xFF bytes in names,
// unreadable, other-device, removed and partial folders, equal totals and
// names, files in several folders, non-zero file ids.
Tree rich_tree(bool reclaimable, bool stopped) {
    TreeSketch sketch("/data/r\xFFoot", 100);
    const uint32_t alpha = sketch.folder(0, "alpha", 4096);
    sketch.folder(0, "b\xFF", 2048, kFlagUnreadable, 13);
    const uint32_t deep = sketch.folder(alpha, "deep", 512);
    sketch.folder(deep, "denied", 0, kFlagUnreadable, 1);
    sketch.folder(deep, "odd", 0, kFlagUnreadable, 77);
    sketch.folder(0, "mnt", 7, kFlagOtherDevice);
    sketch.folder(0, "gone", 0, kFlagRemoved);
    sketch.folder(0, "same", 300);
    sketch.folder(0, "same", 300);
    sketch.folder(0, "", 1);
    sketch.file(0, "top.bin", 9000)
        .file(deep,
              "n\xFF"
              "ame",
              9000)
        .file(alpha, "small", 5);
    if (reclaimable) {
        sketch.reclaimable({10, 20, 30, 40, 0, 0, 7, 0, 3, 3, 1});
    }
    Tree tree = sketch.stopped(stopped).build();
    for (uint32_t i = 0; i < tree.folders.size(); ++i) {
        tree.folders[i].file_id = 0xABC00000 + i;
    }
    return tree;
}

std::vector<uint32_t> indices(const std::vector<FolderId>& ids) {
    std::vector<uint32_t> out;
    for (const FolderId id : ids) {
        out.push_back(id.index);
    }
    return out;
}

std::vector<uint32_t> indices(const ChildIds& ids) {
    return {ids.indices.begin(), ids.indices.end()};
}

// --- The stored view answers like the tree ------------------------------------

TEST(StoredTree, AnswersEveryReadLikeTheTreeItCameFromAndConvertsBack) {
    for (const bool reclaimable : {false, true}) {
        for (const bool stopped : {false, true}) {
            SCOPED_TRACE(testing::Message()
                         << "reclaimable " << reclaimable << " stopped " << stopped);
            const Tree tree = rich_tree(reclaimable, stopped);
            const AlignedBuffer bytes = serialized(tree);
            const std::optional<StoredTree> stored = StoredTree::open(bytes.bytes());
            ASSERT_TRUE(stored.has_value());
            EXPECT_EQ(stored->stopped(), stopped);
            EXPECT_EQ(stored->has_reclaimable(), reclaimable);
            EXPECT_EQ(stored->root_path(), "/data/r\xFFoot");
            EXPECT_NE(stored->tree_generation(), tree.generation);
            ASSERT_EQ(stored->record_count(), tree.record_count());
            for (uint32_t i = 0; i < tree.record_count(); ++i) {
                SCOPED_TRACE(i);
                EXPECT_EQ(stored->folder_record(i), tree.folders[i]);
                EXPECT_EQ(stored->absolute_path(i), tree.absolute_path(i));
                EXPECT_EQ(stored->relative_path(i), tree.relative_path(i));
                if (tree.folders[i].flags & kFlagRemoved) {
                    continue;
                }
                const FolderId id{i, 0};
                EXPECT_EQ(stored->total_size(id), tree.total_size(id));
                EXPECT_EQ(stored->reclaimable(id), tree.reclaimable(id));
                EXPECT_EQ(stored->own(id), tree.own(id));
                EXPECT_EQ(stored->is_partial(id), tree.is_partial(id));
                EXPECT_EQ(stored->other_device(id), tree.other_device(id));
                EXPECT_EQ(stored->error_text(id), tree.error_text(id));
                EXPECT_EQ(stored->name(id), tree.name(id));
                EXPECT_EQ(indices(stored->child_ids(id)), indices(tree.child_ids(id)));
                EXPECT_EQ(stored->child_ids(id).generation, stored->tree_generation());
                EXPECT_EQ(indices(stored->sorted_children(id)), indices(tree.sorted_children(id)));
            }
            for (const size_t n : {0, 1, 2, 100}) {
                EXPECT_EQ(stored->largest_file_paths(n), tree.largest_file_paths(n));
            }
            for (const bool show_reclaimable : {false, true}) {
                OutputOptions options;
                options.reclaimable = show_reclaimable;
                options.top = 10;
                options.depth = 5;
                EXPECT_EQ(build_text_report(*stored, options, stored->stopped()),
                          build_text_report(tree, options, tree.stopped));
                EXPECT_EQ(build_json_document(*stored, options, stored->stopped()),
                          build_json_document(tree, options, tree.stopped));
            }
            // And converts back to the tree it came from.
            const Tree copy = stored->to_tree();
            EXPECT_EQ(copy.folders, tree.folders);
            EXPECT_EQ(copy.files, tree.files);
            EXPECT_EQ(copy.reclaimable_sizes, tree.reclaimable_sizes);
            EXPECT_EQ(copy.stopped, stopped);
            EXPECT_EQ(copy.generation, stored->tree_generation());
            ASSERT_EQ(copy.names->size(), tree.names->size());
            for (uint32_t id = 0; id < tree.names->size(); ++id) {
                EXPECT_EQ(copy.names->at(id), tree.names->at(id));
            }
        }
    }
}

TEST(StoredTree, ChecksIdsAgainstItsOwnGeneration) {
    const Tree tree = rich_tree(false, false);
    const AlignedBuffer bytes = serialized(tree);
    const StoredTree stored = *StoredTree::open(bytes.bytes());
    const uint32_t removed = 7;
    ASSERT_TRUE(tree.folders[removed].flags & kFlagRemoved);
    EXPECT_EQ(fatal_message([&] {
                  stored.own({1, tree.generation});
              }),
              "folder id 1 is from another tree");
    EXPECT_EQ(fatal_message([&] {
                  stored.error_text({removed, stored.tree_generation()});
              }),
              "no folder 7 in this tree");
    EXPECT_EQ(fatal_message([&] { stored.folder_record(stored.record_count()); }),
              "index out of bounds: the len is 11 but the index is 11");
    EXPECT_EQ(fatal_message([&] { stored.own({1, stored.tree_generation()}); }), "no fatal error");
}

TEST(StoredTree, KeepsOnlyTheNamesItsFoldersUse) {
    // Live following shares one NameTable between successive trees; names
    // added for a later tree, even one whose slot is not written yet, must
    // not reach (or break) the save of an earlier one.
    Tree tree = rich_tree(false, false);
    const uint64_t used = tree.names->size();
    tree.names->push("added-later");
    const AlignedBuffer bytes = serialized(tree);
    const Tree copy = StoredTree::open(bytes.bytes())->to_tree();
    EXPECT_EQ(copy.names->size(), used);
}

// --- The byte layout -------------------------------------------------------------

TEST(SavedScanFile, RootOnlyLayoutByteByByte) {
    const AlignedBuffer bytes =
        serialized(TreeSketch("/r", 0x0102030405060708).build(), "/r", false);
    ASSERT_EQ(bytes.size(), 100u);
    std::string hex;
    for (const std::byte b : bytes.bytes().first(96)) {
        hex += fmt::format("{:02x}", static_cast<unsigned>(b));
    }
    // Header, root path; folder 0 (parent, name id, flags, errno, file id,
    // own); name ends [0] and padding; then the root record's six
    // (offset from the field, length) pairs.
    EXPECT_EQ(hex,
              "42525758070000002f72000000000000"
              "ffffffff000000000000000000000000"
              "08070605040302010000000000000000"
              "d8ffffff02000000d8ffffff01000000"
              "e8ffffff00000000e0ffffff01000000"
              "e0ffffff00000000d8ffffff00000000");
    // The trailer is the standard CRC-32 (its check value is that of "123456789").
    EXPECT_EQ(crc32_ieee(std::as_bytes(std::span("123456789", 9))), 0xCBF43926u);
    uint32_t trailer = 0;
    std::memcpy(&trailer, bytes.data() + 96, 4);
    EXPECT_EQ(trailer, crc32_ieee(bytes.bytes().first(96)));
    EXPECT_TRUE(is_valid(bytes));
}

TEST(SavedScanFile, HeaderFlagsAndReclaimableCount) {
    const auto flags_and_count = [](const Tree& tree, bool has_reclaimable) {
        const AlignedBuffer bytes = serialized(tree, "/r", has_reclaimable);
        const std::optional<ScanArchive> archive = check_scan_file(bytes.bytes());
        if (!archive) {
            ADD_FAILURE() << "invalid file";
            return std::pair{-1, size_t{0}};
        }
        return std::pair{static_cast<int>(archive->flags), archive->reclaimable.size()};
    };
    TreeSketch with("/r");
    with.folder(0, "a");
    with.reclaimable({5});  // shorter than the folders: the rest count as 0
    const Tree with_sizes = with.build();
    EXPECT_EQ(flags_and_count(with_sizes, true), std::pair(1, size_t{2}));
    const AlignedBuffer bytes = serialized(with_sizes);
    EXPECT_EQ(StoredTree::open(bytes.bytes())->to_tree().reclaimable_sizes,
              (std::vector<uint64_t>{5, 0}));

    TreeSketch without("/r");
    without.folder(0, "a");
    EXPECT_EQ(flags_and_count(without.stopped().build(), false), std::pair(2, size_t{0}));
    // The flag follows the caller; the sizes follow the tree.
    EXPECT_EQ(flags_and_count(TreeSketch("/r").build(), true), std::pair(1, size_t{0}));
}

// --- Damaged and foreign files ---------------------------------------------------

// A saved file to damage on purpose, with its regions found through the root
// record, and a way to seal it again with a correct CRC.
class Damage {
  public:
    explicit Damage(AlignedBuffer bytes) : bytes_(std::move(bytes)) {}

    size_t root_at() const { return bytes_.size() - 52; }
    size_t field(int pair) const { return root_at() + 8 * static_cast<size_t>(pair); }
    size_t start(int pair) const { return field(pair) + get<int32_t>(field(pair)); }
    void shift(int pair, int32_t delta) { put(field(pair), get<int32_t>(field(pair)) + delta); }
    void set_length(int pair, uint32_t length) { put(field(pair) + 4, length); }

    template <class T>
    T get(size_t at) const {
        T value;
        std::memcpy(&value, bytes_.data() + at, sizeof value);
        return value;
    }
    template <class T>
    void put(size_t at, T value) {
        std::memcpy(bytes_.data() + at, &value, sizeof value);
    }
    void append_byte() { bytes_.resize(bytes_.size() + 1); }

    void reseal() {
        const size_t checked = bytes_.size() - 4;
        put(checked, crc32_ieee(bytes_.bytes().first(checked)));
    }
    const AlignedBuffer& bytes() const { return bytes_; }

  private:
    AlignedBuffer bytes_;
};

enum Pair { kRootPath = 0, kFolders, kNameBytes, kNameEnds, kFiles, kReclaimable };

// Root "/r" at 8; folders at 16 (3 records); names "a", "bb" at 88; name ends
// at 92 (3); file name "f.txt" at 104; file records at 112 (1); reclaimable
// sizes at 136 (3); root record at 160.
Damage small_file() {
    TreeSketch sketch("/r", 1);
    const uint32_t a = sketch.folder(0, "a", 2);
    sketch.folder(a, "bb", 3);
    sketch.file(a, "f.txt", 4).reclaimable({1, 2, 3});
    Damage d(serialized(sketch.build()));
    EXPECT_EQ((std::vector<size_t>{d.root_at(), d.start(kFolders), d.start(kNameBytes),
                                   d.start(kNameEnds), d.start(kFiles), d.start(kReclaimable)}),
              (std::vector<size_t>{160, 16, 88, 92, 112, 136}));
    return d;
}

TEST(SavedScanFile, AnySingleChangedByteOrCutIsRejected) {
    const AlignedBuffer good = small_file().bytes();
    ASSERT_TRUE(is_valid(good));
    for (size_t at = 0; at < good.size(); ++at) {
        for (const uint8_t mask : {0x01, 0x80, 0xFF}) {
            AlignedBuffer changed = good;
            changed.data()[at] ^= std::byte{mask};
            EXPECT_FALSE(is_valid(changed)) << "byte " << at << " ^ " << int(mask);
        }
    }
    for (size_t length = 0; length < good.size(); ++length) {
        AlignedBuffer cut = good;
        cut.resize(length);
        EXPECT_FALSE(is_valid(cut)) << "length " << length;
    }
}

// Edits sealed again with a correct CRC: only the structure can reject them.
// Folder k's record starts at 16 + 24k: parent +0, name id +4, flags +8.
TEST(SavedScanFile, StructureIsCheckedBehindAValidCrc) {
    struct Case {
        const char* what;
        void (*edit)(Damage&);
        bool valid = false;
    };
    const Case cases[] = {
        {"version 6", [](Damage& d) { d.put<uint8_t>(4, 6); }},
        {"version 8", [](Damage& d) { d.put<uint8_t>(4, 8); }},
        {"magic", [](Damage& d) { d.put<uint8_t>(3, 'Y'); }},
        {"root path inside the header", [](Damage& d) { d.shift(kRootPath, -1); }},
        {"root path into the folders", [](Damage& d) { d.set_length(kRootPath, 9); }},
        {"folders misaligned", [](Damage& d) { d.shift(kFolders, -4); }},
        {"folders wrapping below the file",
         [](Damage& d) { d.put<int32_t>(d.field(kFolders), std::numeric_limits<int32_t>::min()); }},
        {"name bytes over the folders", [](Damage& d) { d.shift(kNameBytes, -1); }},
        {"name bytes wrapping", [](Damage& d) { d.set_length(kNameBytes, 0xFFFFFFFF); }},
        {"name ends misaligned", [](Damage& d) { d.shift(kNameEnds, -1); }},
        {"name ends past the root record", [](Damage& d) { d.set_length(kNameEnds, 0x40000000); }},
        {"name ends after the file records", [](Damage& d) { d.shift(kNameEnds, 24); }},
        {"file name inside the name ends",
         [](Damage& d) { d.put<int32_t>(d.start(kFiles) + 12, d.get<int32_t>(124) - 1); }},
        {"file name into the file records",
         [](Damage& d) { d.put<uint32_t>(d.start(kFiles) + 16, 9); }},
        {"file records over the reclaimable sizes", [](Damage& d) { d.set_length(kFiles, 2); }},
        {"reclaimable sizes misaligned",
         [](Damage& d) {
             d.set_length(kReclaimable, 0);
             d.shift(kReclaimable, 4);
         }},
        {"root record not at a multiple of 4", [](Damage& d) { d.append_byte(); }},
        {"no folders", [](Damage& d) { d.set_length(kFolders, 0); }},
        {"root with a parent", [](Damage& d) { d.put<uint32_t>(16, 0); }},
        {"root with a name id", [](Damage& d) { d.put<uint32_t>(20, 1); }},
        {"root removed", [](Damage& d) { d.put<uint16_t>(24, kFlagRemoved); }},
        {"parent equal to the folder", [](Damage& d) { d.put<uint32_t>(40, 1); }},
        {"parent after the folder", [](Damage& d) { d.put<uint32_t>(64, 3); }},
        {"folder with name id 0", [](Damage& d) { d.put<uint32_t>(44, 0); }},
        {"name id equal to K", [](Damage& d) { d.put<uint32_t>(68, 3); }},
        {"no name ends", [](Damage& d) { d.set_length(kNameEnds, 0); }},
        {"first name end not 0", [](Damage& d) { d.put<uint32_t>(92, 1); }},
        {"name ends 0, 4, 3", [](Damage& d) { d.put<uint32_t>(96, 4); }},
        {"last name end short of the name bytes", [](Damage& d) { d.put<uint32_t>(100, 2); }},
        {"file in no folder", [](Damage& d) { d.put<uint32_t>(d.start(kFiles) + 8, 3); }},
        {"reclaimable count neither 0 nor the folders",
         [](Damage& d) { d.set_length(kReclaimable, 2); }},
        // Accepted: unused header bits, R = 0 (only its start is checked),
        // and flags, errno values and name bytes, which are not the check's business.
        {"unused header bits",
         [](Damage& d) {
             d.put<uint8_t>(5, 0xFC);
             d.put<uint16_t>(6, 0xBEEF);
         },
         true},
        {"no reclaimable sizes", [](Damage& d) { d.set_length(kReclaimable, 0); }, true},
        {"flags, errno and name bytes",
         [](Damage& d) {
             d.put<uint16_t>(48, kFlagUnreadable | kFlagPartial);
             d.put<uint16_t>(50, 999);
             d.put<uint8_t>(88, 0xFF);
         },
         true},
    };
    for (const Case& c : cases) {
        Damage damage = small_file();
        c.edit(damage);
        damage.reseal();
        EXPECT_EQ(is_valid(damage.bytes()), c.valid) << c.what;
    }
}

}  // namespace
}  // namespace bramwex::core
