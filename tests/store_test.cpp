#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include <cstring>
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

using test::TreeSketch;

AlignedBuffer serialized(const Tree& tree) {
    Result<AlignedBuffer> bytes = serialize_tree(tree.name_at(0), tree, tree.has_reclaimable());
    EXPECT_TRUE(bytes.has_value()) << bytes.error().to_string();
    return bytes ? std::move(*bytes) : AlignedBuffer{};
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

// Every answer a reader gives about folder i, as one comparable text.
template <class Reader>
std::string answers(const Reader& r, uint32_t i) {
    std::string text = fmt::format("{} {} ", r.absolute_path(i), r.relative_path(i));
    if (r.record_at(i).flags & kFlagRemoved) {
        return text;
    }
    const FolderId id{i, 0};
    std::vector<uint32_t> sorted;
    for (const FolderId child : r.sorted_children(id)) {
        sorted.push_back(child.index);
    }
    return text + fmt::format("{} {} {} {} {} {} {} {} {}", r.total_size(id), r.reclaimable(id),
                              r.own(id), r.is_partial(id), r.other_device(id),
                              r.error_text(id).value_or("-"), r.name(id), r.child_ids(id).indices,
                              sorted);
}

// The stored view answers like the tree, and converts back to it. Live
// following shares one NameTable between successive trees: names added for a
// later tree must not reach (or break) the save of an earlier one.
TEST(StoredTree, AnswersEveryReadLikeTheTreeItCameFrom) {
    for (const bool reclaimable : {false, true}) {
        for (const bool stopped : {false, true}) {
            SCOPED_TRACE(fmt::format("reclaimable {} stopped {}", reclaimable, stopped));
            Tree tree = rich_tree(reclaimable, stopped);
            const uint64_t used = tree.names->size();
            tree.names->push("added-later");
            const AlignedBuffer bytes = serialized(tree);
            const std::optional<StoredTree> stored = StoredTree::open(bytes.bytes());
            ASSERT_TRUE(stored.has_value());
            EXPECT_EQ(std::tuple(stored->stopped(), stored->has_reclaimable(), stored->root_path()),
                      std::tuple(stopped, reclaimable, "/data/r\xFFoot"));
            // Ids are checked against its own generation (the checks are the tree's).
            EXPECT_NE(stored->tree_generation(), tree.generation);
            EXPECT_EQ(stored->child_ids({0, 0}).generation, stored->tree_generation());
            const Tree copy = stored->to_tree();
            EXPECT_EQ(std::tuple(copy.folders, copy.files, copy.reclaimable_sizes, copy.stopped,
                                 copy.generation, copy.names->size()),
                      std::tuple(tree.folders, tree.files, tree.reclaimable_sizes, stopped,
                                 stored->tree_generation(), used));
            ASSERT_EQ(stored->record_count(), tree.record_count());
            for (uint32_t i = 0; i < tree.record_count(); ++i) {
                EXPECT_EQ(stored->folder_record(i), tree.folders[i]) << i;
                EXPECT_EQ(answers(*stored, i), answers(tree, i));
                EXPECT_EQ(answers(copy, i), answers(tree, i));
            }
            for (const size_t n : {0, 1, 2, 100}) {
                EXPECT_EQ(stored->largest_file_paths(n), tree.largest_file_paths(n));
            }
            for (const bool show_reclaimable : {false, true}) {
                const OutputOptions options{.reclaimable = show_reclaimable, .depth = 5, .top = 10};
                EXPECT_EQ(build_text_report(*stored, options, stored->stopped()),
                          build_text_report(tree, options, tree.stopped));
                EXPECT_EQ(build_json_document(*stored, options, stored->stopped()),
                          build_json_document(tree, options, tree.stopped));
            }
        }
    }
}

TEST(SavedScanFile, RootOnlyLayoutByteByByte) {
    const AlignedBuffer bytes = serialized(TreeSketch("/r", 0x0102030405060708).build());
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
    EXPECT_TRUE(check_scan_file(bytes.bytes()).has_value());
}

// Damage of every byte, with the CRC left as it was: refused. Sealed again
// with a correct CRC only the structure check stands between the damage and
// the reader: a file it lets through must read back whole (the sanitizers
// catch a read outside the file), the header's magic and version are never
// let through, and the values it is not its business to check always are.
TEST(SavedScanFile, DamagedFilesAreRefusedOrReadBackSound) {
    TreeSketch sketch("/r", 1);
    const uint32_t a = sketch.folder(0, "a", 2);
    sketch.folder(a, "bb", 3);
    sketch.file(a, "f.txt", 4).reclaimable({1, 2, 3});
    const AlignedBuffer good = serialized(sketch.build());
    // Folders at 16, 24 bytes each (errno, file id and own from +10); names "abb" at 88.
    ASSERT_EQ(good.size(), 212u);
    const auto free_byte = [](size_t at) {
        return (at >= 5 && at < 8) || (at >= 16 && at < 88 && (at - 16) % 24 >= 10) ||
               (at >= 88 && at < 91);
    };
    const auto check = [&](AlignedBuffer bytes, const std::string& what, bool never, bool always) {
        EXPECT_FALSE(check_scan_file(bytes.bytes()).has_value()) << what;
        if (bytes.size() < 4) {
            return;
        }
        const size_t checked = bytes.size() - 4;
        const uint32_t crc = crc32_ieee(bytes.bytes().first(checked));
        std::memcpy(bytes.data() + checked, &crc, 4);
        const std::optional<StoredTree> stored = StoredTree::open(bytes.bytes());
        EXPECT_FALSE(never && stored) << what << " resealed";
        EXPECT_FALSE(always && !stored) << what << " resealed";
        if (!stored) {
            return;
        }
        const ScanArchive archive = *check_scan_file(bytes.bytes());
        for (const void* array : {static_cast<const void*>(archive.folders.data()),
                                  static_cast<const void*>(archive.name_ends.data()),
                                  static_cast<const void*>(archive.files.data()),
                                  static_cast<const void*>(archive.reclaimable.data())}) {
            EXPECT_EQ(reinterpret_cast<uintptr_t>(array) % 4, 0u) << what << " resealed";
        }
        for (uint32_t i = 1; i < stored->record_count(); ++i) {
            ASSERT_LT(stored->folder_record(i).parent, i) << what << " resealed";
        }
        const OutputOptions options{.reclaimable = stored->has_reclaimable(), .depth = 9, .top = 9};
        EXPECT_FALSE(build_text_report(*stored, options, stored->stopped()).empty());
        EXPECT_FALSE(build_json_document(*stored, options, stored->stopped()).empty());
        EXPECT_EQ(stored->to_tree().folders.size(), stored->record_count());
    };
    for (size_t at = 0; at < good.size(); ++at) {
        for (const uint8_t mask : {0x01, 0x02, 0x10, 0x80, 0xFF}) {
            AlignedBuffer changed = good;
            changed.data()[at] ^= std::byte{mask};
            check(changed, fmt::format("byte {} ^ {:#x}", at, mask), at < 5, free_byte(at));
        }
    }
    // Region offsets and lengths, counts and ids moved a little.
    for (size_t at = 8; at + 4 <= good.size(); at += 4) {
        for (const int32_t delta : {-24, -4, -1, 1, 4, 24}) {
            AlignedBuffer changed = good;
            uint32_t word = 0;
            std::memcpy(&word, changed.data() + at, 4);
            word += static_cast<uint32_t>(delta);
            std::memcpy(changed.data() + at, &word, 4);
            check(changed, fmt::format("word {} {:+}", at, delta), false, free_byte(at));
        }
    }
    for (size_t length = 0; length <= good.size() + 4; ++length) {
        if (length != good.size()) {
            AlignedBuffer cut = good;
            cut.resize(length);
            check(cut, fmt::format("length {}", length), length % 4 != 0, false);
        }
    }
    // Damage that reads back without a fault but must be refused all the same
    // (root record at 160; the length of pair p at 164 + 8p).
    const std::pair<size_t, uint32_t> refused[] = {
        {16, 0},   // root with a parent
        {44, 0},   // folder with name id 0
        {92, 1},   // first name end not 0
        {100, 2},  // last name end short of the name bytes
        {172, 0},  // no folders
        {188, 0},  // no name ends
        {204, 2},  // reclaimable sizes neither none nor one per folder
    };
    for (const auto& [at, value] : refused) {
        AlignedBuffer changed = good;
        std::memcpy(changed.data() + at, &value, 4);
        check(changed, fmt::format("{} at {}", value, at), true, false);
    }
}

}  // namespace
}  // namespace bramwex::core
