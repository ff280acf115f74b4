// The native part of a Python Tree object: the engine tree, shared with
// whoever else holds it, and the label context built by the first `label`
// call on this object.
#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "core/labels/labels.hpp"
#include "core/tree/tree.hpp"

namespace bramwex::binding {

struct LabelCell {
    std::once_flag once;
    std::optional<core::LabelContext> context;

    // Built on first use while concurrent first callers wait; then shared.
    const core::LabelContext& get(const core::Tree& tree) {
        std::call_once(
            once, [&] { context = core::LabelContext::from_environment(tree.absolute_path(0)); });
        return *context;
    }
};

struct PyTree {
    std::shared_ptr<const core::Tree> tree;
    std::shared_ptr<LabelCell> labels;
};

}  // namespace bramwex::binding
