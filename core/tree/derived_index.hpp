// Per-folder totals, the partial flag and the child lists, computed in one
// descending pass and two counting passes the first time a tree is asked.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "core/tree/records.hpp"

namespace bramwex::core {

struct DerivedIndex {
    std::vector<uint64_t> totals;              // folder plus everything below it
    std::vector<uint64_t> reclaimable_totals;  // empty when the tree has no reclaimable sizes
    std::vector<uint16_t> flags;  // record flags | kFlagPartial when something below is unreadable
    std::vector<uint32_t> child_offsets;  // folder count + 1 entries
    std::vector<uint32_t> children;       // non-removed children, ascending per folder

    uint64_t reclaimable_total(uint32_t index) const {
        return index < reclaimable_totals.size() ? reclaimable_totals[index] : 0;
    }
    std::span<const uint32_t> children_of(uint32_t index) const {
        return std::span<const uint32_t>(children).subspan(
            child_offsets[index], child_offsets[index + 1] - child_offsets[index]);
    }
};

// Computes a DerivedIndex from any record source (see TreeRead).
template <class Source>
DerivedIndex compute_derived_index(const Source& source) {
    const uint32_t n = source.record_count();
    DerivedIndex d;
    d.totals.assign(n, 0);
    d.flags.assign(n, 0);
    if (source.has_reclaimable()) {
        d.reclaimable_totals.assign(n, 0);
    }
    for (uint32_t i = n; i-- > 0;) {
        const FolderRecord& record = source.record_at(i);
        d.totals[i] += record.own;
        d.flags[i] |= record.flags;
        if (!d.reclaimable_totals.empty()) {
            d.reclaimable_totals[i] += source.reclaimable_at(i);
        }
        if (i == 0) {
            break;
        }
        const uint32_t parent = record.parent;
        d.totals[parent] += d.totals[i];
        if (!d.reclaimable_totals.empty()) {
            d.reclaimable_totals[parent] += d.reclaimable_totals[i];
        }
        if (d.flags[i] & (kFlagUnreadable | kFlagPartial)) {
            d.flags[parent] |= kFlagPartial;
        }
    }
    d.child_offsets.assign(size_t{n} + 1, 0);
    for (uint32_t i = 1; i < n; ++i) {
        const FolderRecord& record = source.record_at(i);
        if (!(record.flags & kFlagRemoved)) {
            ++d.child_offsets[record.parent + 1];
        }
    }
    for (uint32_t k = 0; k < n; ++k) {
        d.child_offsets[k + 1] += d.child_offsets[k];
    }
    d.children.resize(d.child_offsets[n]);
    std::vector<uint32_t> cursor(d.child_offsets.begin(), d.child_offsets.end() - (n > 0 ? 1 : 0));
    for (uint32_t i = 1; i < n; ++i) {
        const FolderRecord& record = source.record_at(i);
        if (!(record.flags & kFlagRemoved)) {
            d.children[cursor[record.parent]++] = i;
        }
    }
    return d;
}

// A DerivedIndex filled once: the first caller computes it while others wait.
class OnceDerived {
  public:
    OnceDerived() : state_(std::make_unique<State>()) {}

    template <class Compute>
    const DerivedIndex& get(Compute&& compute) const {
        std::call_once(state_->once, [&] { state_->value = compute(); });
        return state_->value;
    }
    // Installs an already computed index (a clone copies its source's).
    void set(const DerivedIndex& value) {
        std::call_once(state_->once, [&] { state_->value = value; });
    }

  private:
    struct State {
        std::once_flag once;
        DerivedIndex value;
    };
    std::unique_ptr<State> state_;
};

}  // namespace bramwex::core
