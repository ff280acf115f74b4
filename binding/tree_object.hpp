// The native part of a Python Tree object: the engine tree, shared with
// whoever else holds it, and the label context built by the first `label`
// call on this object.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/labels/labels.hpp"
#include "core/tree/tree.hpp"

namespace bramwex::binding {

struct LabelCell {
    std::once_flag once;
    std::atomic<bool> built{false};
    std::optional<core::LabelContext> context;

    // Whether get() has built the context, so callers need not read HOME again.
    bool ready() const { return built.load(std::memory_order_acquire); }

    // Built on first use from the home folder the caller read while holding
    // the interpreter lock; concurrent first callers wait, then it is shared.
    const core::LabelContext& get(const core::Tree& tree, const std::optional<std::string>& home) {
        std::call_once(once, [&] {
            context = core::LabelContext::make(
                tree.absolute_path(0),
                home ? std::optional<std::string_view>(*home) : std::nullopt);
            built.store(true, std::memory_order_release);
        });
        return *context;
    }
};

struct PyTree {
    std::shared_ptr<const core::Tree> tree;
    std::shared_ptr<LabelCell> labels;
};

}  // namespace bramwex::binding
