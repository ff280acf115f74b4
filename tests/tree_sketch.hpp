// Builds small trees by hand for tests: folders in index order (parents first).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/base/fatal.hpp"
#include "core/tree/tree.hpp"

namespace bramwex::test {

class TreeSketch {
  public:
    explicit TreeSketch(std::string root_path, uint64_t root_own = 0) {
        tree_.names = std::make_shared<core::NameTable>();
        tree_.names->push(std::move(root_path));
        tree_.folders.push_back({root_own, core::kNoParent, 0, 0, 0, 0});
        tree_.generation = core::next_generation();
    }

    // Adds a folder below parent and returns its index.
    uint32_t folder(uint32_t parent, std::string name, uint64_t own = 0, uint16_t flags = 0,
                    uint16_t error_number = 0) {
        const auto name_id = static_cast<uint32_t>(tree_.names->push(std::move(name)));
        tree_.folders.push_back({own, parent, name_id, 0, flags, error_number});
        return static_cast<uint32_t>(tree_.folders.size() - 1);
    }
    TreeSketch& root_flags(uint16_t flags, uint16_t error_number = 0) {
        tree_.folders[0].flags = flags;
        tree_.folders[0].error_number = error_number;
        return *this;
    }
    TreeSketch& file(uint32_t folder, std::string name, uint64_t size) {
        tree_.files.push_back({std::move(name), size, folder});
        return *this;
    }
    TreeSketch& reclaimable(std::vector<uint64_t> values) {
        tree_.reclaimable_sizes = std::move(values);
        return *this;
    }
    TreeSketch& stopped(bool value = true) {
        tree_.stopped = value;
        return *this;
    }
    core::Tree build() { return std::move(tree_); }

  private:
    core::Tree tree_;
};

// The message of the Fatal that f raises, or "no fatal error" when it returns.
template <class F>
std::string fatal_message(F&& f) {
    try {
        f();
    } catch (const core::Fatal& error) {
        return error.what();
    }
    return "no fatal error";
}

}  // namespace bramwex::test
