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

void CountedLinkMover::move(const DeviceFile& key, LinkInFolder from, LinkInFolder to,
                            uint64_t allocated, uint64_t reclaimable) {
    tree_.folder_index[key] = to.folder;
    // A size that changed between two listings must not wrap the old one.
    FolderRecord& old_record = tree_.folders[from.folder];
    old_record.own = less_or_zero(old_record.own, allocated);
    tree_.folders[to.folder].own += allocated;
    if (!tree_.reclaimable_sizes.empty()) {
        uint64_t& old_reclaimable = tree_.reclaimable_sizes[from.folder];
        old_reclaimable = less_or_zero(old_reclaimable, reclaimable);
        tree_.reclaimable_sizes[to.folder] += reclaimable;
    }
    if (from.name.empty() || tree_.files.empty()) {
        return;
    }
    if (files_.empty()) {
        for (size_t k = 0; k < tree_.files.size(); ++k) {
            files_.emplace(std::pair{tree_.files[k].folder, tree_.files[k].name}, k);
        }
    }
    const auto found = files_.find(std::pair{from.folder, std::string(from.name)});
    if (found == files_.end()) {
        return;  // not among the largest files
    }
    const size_t k = found->second;
    files_.erase(found);
    tree_.files[k].folder = to.folder;
    tree_.files[k].name = std::string(to.name);
    files_.emplace(std::pair{to.folder, tree_.files[k].name}, k);
}

}  // namespace bramwex::core
