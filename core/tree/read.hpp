// The read operations that a scanned Tree and a saved scan's StoredTree both
// answer, written once over a small record-access interface (CRTP):
//
//   uint32_t record_count() const;
//   FolderRecord-like record_at(uint32_t index) const;   // no checks
//   std::string_view name_at(uint32_t name_id) const;    // 0 is the root path
//   uint32_t tree_generation() const;
//   bool has_reclaimable() const;
//   uint64_t reclaimable_at(uint32_t index) const;       // 0 past the end
//   size_t file_record_count() const;
//   FileView file_record_at(size_t k) const;
//   const OnceDerived& derived_cell() const;
//
// Every operation taking a FolderId checks it first; a bad id is a broken
// contract (fatal), since ids come from the same tree.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/base/fatal.hpp"
#include "core/tree/derived_index.hpp"
#include "core/tree/path_order.hpp"
#include "core/tree/records.hpp"

namespace bramwex::core {

// "EACCES", "EPERM" or "errno {}" for an unreadable folder; nothing otherwise.
std::optional<std::string> error_text_of_record(const FolderRecord& record);

// Bytewise order, the shorter first when one is a prefix of the other.
inline bool bytes_less(std::string_view a, std::string_view b) {
    return a < b;
}

struct ChildIds {
    std::span<const uint32_t> indices;  // ascending, removed folders absent
    uint32_t generation = 0;
    FolderId id(size_t k) const { return {indices[k], generation}; }
    size_t size() const { return indices.size(); }
};

struct FilePath {
    std::string path;
    uint64_t size = 0;
    friend bool operator==(const FilePath&, const FilePath&) = default;
};

template <class Source>
class TreeRead {
  public:
    uint64_t total_size(FolderId id) const { return checked_derived(id).totals[id.index]; }
    uint64_t reclaimable(FolderId id) const {
        return checked_derived(id).reclaimable_total(id.index);
    }
    uint64_t own(FolderId id) const {
        check_id(id);
        return self().record_at(id.index).own;
    }
    bool is_partial(FolderId id) const {
        return (checked_derived(id).flags[id.index] & kFlagPartial) != 0;
    }
    bool other_device(FolderId id) const {
        check_id(id);
        return (self().record_at(id.index).flags & kFlagOtherDevice) != 0;
    }
    std::optional<std::string> error_text(FolderId id) const {
        check_id(id);
        return error_text_of_record(self().record_at(id.index));
    }
    std::string_view name(FolderId id) const {
        check_id(id);
        return self().name_at(self().record_at(id.index).name_id);
    }
    ChildIds child_ids(FolderId id) const {
        return {checked_derived(id).children_of(id.index), self().tree_generation()};
    }

    // Whether a goes before b: larger total first, then smaller name bytes.
    bool by_size_then_name(FolderId a, FolderId b) const {
        const uint64_t size_a = total_size(a);
        const uint64_t size_b = total_size(b);
        if (size_a != size_b) {
            return size_a > size_b;
        }
        return bytes_less(name(a), name(b));
    }

    std::vector<FolderId> sorted_children(FolderId id) const {
        const ChildIds children = child_ids(id);
        std::vector<FolderId> ids;
        ids.reserve(children.size());
        for (size_t k = 0; k < children.size(); ++k) {
            ids.push_back(children.id(k));
        }
        // Stable: equal totals and names keep ascending index order.
        std::stable_sort(ids.begin(), ids.end(),
                         [this](FolderId a, FolderId b) { return by_size_then_name(a, b); });
        return ids;
    }

    // The root path, then each name from the outermost ancestor inwards.
    std::string absolute_path(uint32_t index) const {
        const std::vector<uint32_t> chain = name_chain(index);
        std::string path(self().name_at(0));
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            append_component(path, self().name_at(*it));
        }
        return path;
    }

    // The names from the root's child down to the folder, joined with "/".
    std::string relative_path(uint32_t index) const {
        const std::vector<uint32_t> chain = name_chain(index);
        std::string path;
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            if (it != chain.rbegin()) {
                path += '/';
            }
            path += self().name_at(*it);
        }
        return path;
    }

    // Each folder's parent and name, for orders that climb; valid while
    // the tree is.
    FolderLinks folder_links() const {
        return [this](uint32_t folder) -> std::optional<FolderLink> {
            const auto& record = self().record_at(folder);
            return FolderLink{record.parent, self().name_at(record.name_id)};
        };
    }

    // The n largest files as (absolute path, size): size descending, then path.
    // Every path starts with the root's, so the paths below it decide, and
    // they are compared without being built: in a deep tree each runs long,
    // and only the n kept ones are built.
    std::vector<FilePath> largest_file_paths(size_t n) const {
        const size_t count = self().file_record_count();
        std::vector<FileView> files;
        files.reserve(count);
        for (size_t k = 0; k < count; ++k) {
            files.push_back(self().file_record_at(k));
            check_index_in_range(files.back().folder);
        }
        PathOrder order(folder_links());
        std::stable_sort(files.begin(), files.end(), [&](const FileView& a, const FileView& b) {
            if (a.size != b.size) {
                return a.size > b.size;
            }
            return order.compare(a.folder, a.name, b.folder, b.name) < 0;
        });
        files.resize(std::min(n, files.size()));
        std::vector<FilePath> result;
        result.reserve(files.size());
        for (const FileView& file : files) {
            std::string path = absolute_path(file.folder);
            append_component(path, file.name);
            result.push_back({std::move(path), file.size});
        }
        return result;
    }

    // Forces the DerivedIndex; computed once per tree.
    const DerivedIndex& compute_index() const {
        return self().derived_cell().get([this] { return compute_derived_index(self()); });
    }

    // The id check: generation first, then index and removed flag.
    void check_id(FolderId id) const {
        if (id.generation != 0 && id.generation != self().tree_generation()) {
            fatal("folder id {} is from another tree", id.index);
        }
        if (id.index >= self().record_count() ||
            (self().record_at(id.index).flags & kFlagRemoved) != 0) {
            fatal("no folder {} in this tree", id.index);
        }
    }

    void check_index_in_range(uint32_t index) const {
        if (index >= self().record_count()) {
            fatal("index out of bounds: the len is {} but the index is {}", self().record_count(),
                  index);
        }
    }

  private:
    const Source& self() const { return static_cast<const Source&>(*this); }

    const DerivedIndex& checked_derived(FolderId id) const {
        check_id(id);
        return compute_index();
    }

    // Name ids from the folder up to, not including, the root.
    std::vector<uint32_t> name_chain(uint32_t index) const {
        check_index_in_range(index);
        std::vector<uint32_t> chain;
        for (uint32_t at = index; at != 0; at = self().record_at(at).parent) {
            chain.push_back(self().record_at(at).name_id);
        }
        return chain;
    }

    static void append_component(std::string& path, std::string_view name) {
        if (path.empty() || path.back() != '/') {
            path += '/';
        }
        path += name;
    }
};

}  // namespace bramwex::core
