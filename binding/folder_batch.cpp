#include "binding/folder_batch.hpp"

#include <absl/container/flat_hash_map.h>

#include <string_view>

#include "core/base/utf8.hpp"

namespace bramwex::binding {

namespace {

// Bitmaps are padded to whole 64-byte blocks, as Arrow recommends.
ColumnBuffer<uint8_t> bitmap_for(int64_t rows) {
    const size_t bytes = (static_cast<size_t>(rows) + 7) / 8;
    return ColumnBuffer<uint8_t>((bytes + 63) / 64 * 64, 0);
}

void set_bit(ColumnBuffer<uint8_t>& bits, size_t row) {
    bits[row / 8] = static_cast<uint8_t>(bits[row / 8] | (1u << (row % 8)));
}

template <class Value>
void fill_bits(ColumnBuffer<uint8_t>& bits, const std::vector<core::FolderId>& rows,
               Value&& value) {
    bits = bitmap_for(static_cast<int64_t>(rows.size()));
    for (size_t k = 0; k < rows.size(); ++k) {
        if (value(rows[k])) {
            set_bit(bits, k);
        }
    }
}

// Names are interned by their bytes, in order of first appearance; the text
// of each is written once, with invalid UTF-8 replaced.
void fill_names(FolderBatch& batch, const core::Tree& tree,
                const std::vector<core::FolderId>& rows) {
    absl::flat_hash_map<std::string_view, uint32_t> keys;
    keys.reserve(rows.size() / 4 + 16);
    batch.name_key.resize(rows.size());
    batch.name_offsets.reserve(rows.size() / 4 + 16);
    batch.name_offsets.push_back(0);
    batch.name_text.reserve(1024);
    for (size_t k = 0; k < rows.size(); ++k) {
        const std::string_view name = tree.name(rows[k]);
        const auto [at, inserted] = keys.try_emplace(name, static_cast<uint32_t>(keys.size()));
        if (inserted) {
            core::for_each_utf8_run(
                name,
                [&](std::string_view run) {
                    batch.name_text.insert(batch.name_text.end(), run.begin(), run.end());
                },
                [&] {
                    batch.name_text.insert(batch.name_text.end(),
                                           core::kReplacementCharacter.begin(),
                                           core::kReplacementCharacter.end());
                });
            batch.name_offsets.push_back(static_cast<int64_t>(batch.name_text.size()));
        }
        batch.name_key[k] = at->second;
    }
    batch.name_count = static_cast<int64_t>(keys.size());
}

}  // namespace

uint64_t arrow_size_value(const core::Tree& tree, core::FolderId id) {
    return tree.total_size(id);
}

uint64_t arrow_own_value(const core::Tree& tree, core::FolderId id) {
    return tree.own(id);
}

bool arrow_denied_value(const core::Tree& tree, core::FolderId id) {
    return tree.error_text(id).has_value();
}

bool arrow_partial_value(const core::Tree& tree, core::FolderId id) {
    return tree.is_partial(id);
}

bool arrow_other_device_value(const core::Tree& tree, core::FolderId id) {
    return tree.other_device(id);
}

FolderBatch folder_batch(const core::Tree& tree) {
    // Every id carries the tree's generation (the root 0), so each passes the check.
    std::vector<core::FolderId> rows;
    rows.reserve(tree.folders.size());
    for (uint32_t index = 0; index < tree.record_count(); ++index) {
        if ((tree.record_at(index).flags & core::kFlagRemoved) == 0) {
            rows.push_back({index, index == 0 ? 0 : tree.generation});
        }
    }
    FolderBatch batch;
    batch.rows = static_cast<int64_t>(rows.size());
    const size_t count = rows.size();

    batch.id.resize(count);
    batch.parent.resize(count);
    batch.parent_valid = bitmap_for(batch.rows);
    for (size_t k = 0; k < count; ++k) {
        batch.id[k] = rows[k].index;
        tree.check_id(rows[k]);
        if (rows[k].index == 0) {
            ++batch.parent_nulls;
        } else {
            batch.parent[k] = tree.record_at(rows[k].index).parent;
            set_bit(batch.parent_valid, k);
        }
    }
    fill_names(batch, tree, rows);

    batch.size.resize(count);
    batch.own.resize(count);
    for (size_t k = 0; k < count; ++k) {
        batch.size[k] = arrow_size_value(tree, rows[k]);
    }
    for (size_t k = 0; k < count; ++k) {
        batch.own[k] = arrow_own_value(tree, rows[k]);
    }
    fill_bits(batch.denied, rows, [&](core::FolderId id) { return arrow_denied_value(tree, id); });
    fill_bits(batch.partial, rows,
              [&](core::FolderId id) { return arrow_partial_value(tree, id); });
    fill_bits(batch.other_device, rows,
              [&](core::FolderId id) { return arrow_other_device_value(tree, id); });
    return batch;
}

}  // namespace bramwex::binding
