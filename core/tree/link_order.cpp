#include "core/tree/link_order.hpp"

namespace bramwex::core {

namespace {

uint64_t less_or_zero(uint64_t value, uint64_t minus) {
    return value > minus ? value - minus : 0;
}

}  // namespace

bool WalkOrder::before(uint32_t a, uint32_t b) {
    const Parting parting = ladder_.part(a, b);
    if (parting.a == Parting::kNone) {
        return parting.b != Parting::kNone;  // a holds b
    }
    if (parting.b == Parting::kNone) {
        return false;  // b holds a
    }
    // Names compare as unsigned bytes, a prefix first. Two siblings of one
    // name (one of them removed) keep their index order.
    const std::string_view name_a = ladder_.name_of(parting.a);
    const std::string_view name_b = ladder_.name_of(parting.b);
    return name_a != name_b ? name_a < name_b : parting.a < parting.b;
}

void move_counted_link(Tree& tree, const DeviceFile& key, uint32_t from, uint32_t to,
                       uint64_t allocated, uint64_t reclaimable) {
    tree.folder_index[key] = to;
    // A size that changed between two listings must not wrap the old one.
    FolderRecord& old_record = tree.folders[from];
    old_record.own = less_or_zero(old_record.own, allocated);
    tree.folders[to].own += allocated;
    if (!tree.reclaimable_sizes.empty()) {
        uint64_t& old_reclaimable = tree.reclaimable_sizes[from];
        old_reclaimable = less_or_zero(old_reclaimable, reclaimable);
        tree.reclaimable_sizes[to] += reclaimable;
    }
}

}  // namespace bramwex::core
