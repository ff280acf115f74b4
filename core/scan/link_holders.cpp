#include "core/scan/link_holders.hpp"

#include "core/base/fatal.hpp"

namespace bramwex::core {

void LoneFiles::set(uint32_t folder, std::span<const uint32_t> fingerprints) {
    if (folder >= ranges_.size()) {
        ranges_.resize(static_cast<size_t>(folder) + 1);
    }
    Range& range = ranges_[folder];
    if (marked_) {
        undo_.emplace_back(folder, range);
    }
    used_ -= range.end - range.begin;
    if (fingerprints.empty()) {
        range = {};
        return;
    }
    if (fingerprints_.size() + fingerprints.size() > UINT32_MAX) {
        fatal("over 2^32 single-link files followed");
    }
    const auto begin = static_cast<uint32_t>(fingerprints_.size());
    fingerprints_.insert(fingerprints_.end(), fingerprints.begin(), fingerprints.end());
    range = {begin, static_cast<uint32_t>(fingerprints_.size())};
    used_ += fingerprints.size();
}

std::vector<uint32_t> LoneFiles::folders_holding(
    const absl::flat_hash_set<uint32_t>& fingerprints) const {
    std::vector<uint32_t> folders;
    if (fingerprints.empty()) {
        return folders;
    }
    for (uint32_t folder = 0; folder < ranges_.size(); ++folder) {
        const Range range = ranges_[folder];
        for (uint32_t k = range.begin; k < range.end; ++k) {
            if (fingerprints.contains(fingerprints_[k])) {
                folders.push_back(folder);
                break;
            }
        }
    }
    return folders;
}

LoneFiles LoneFiles::tidied(std::span<const uint32_t> renumbered) const {
    LoneFiles out;
    out.fingerprints_.reserve(used_);
    for (uint32_t folder = 0; folder < ranges_.size(); ++folder) {
        const Range range = ranges_[folder];
        uint32_t to = folder;
        if (!renumbered.empty()) {
            to = folder < renumbered.size() ? renumbered[folder] : kNoParent;
        }
        if (to == kNoParent || range.begin == range.end) {
            continue;
        }
        out.set(to, std::span(fingerprints_).subspan(range.begin, range.end - range.begin));
    }
    return out;
}

void LoneFiles::mark() {
    marked_ = true;
    marked_size_ = fingerprints_.size();
    marked_used_ = used_;
    undo_.clear();
}

void LoneFiles::keep() noexcept {
    marked_ = false;
    undo_.clear();
}

void LoneFiles::roll_back() noexcept {
    if (!marked_) {
        return;
    }
    for (auto undo = undo_.rbegin(); undo != undo_.rend(); ++undo) {
        ranges_[undo->first] = undo->second;
    }
    fingerprints_.resize(marked_size_);
    used_ = marked_used_;
    keep();
}

}  // namespace bramwex::core
