// The module's classes. Each getter makes its class object on first use,
// once per process, and returns a borrowed reference (nullptr with the
// exception set when making it failed; the next call tries again).
#pragma once

#include <optional>

#include "binding/py.hpp"
#include "core/labels/labels.hpp"
#include "core/sys/mounts.hpp"
#include "core/tree/tree.hpp"

namespace bramwex::binding {

PyObject* tree_class();
PyObject* mount_class();
PyObject* label_class();
PyObject* tier_class();
PyObject* reason_class();
PyObject* event_class();

// A new Tree object over the engine tree (py_tree_from_core): folder 0 must
// be in use; the tree's DerivedIndex is computed here, once.
Ref tree_into_py(core::Tree tree);

// The member object of Tier for the engine tier (borrowed).
PyObject* tier_member(core::Tier tier);

// The member object of Reason for the engine reason byte 0..4 (borrowed).
PyObject* reason_member(uint8_t reason);

// A new Label object, or None for no label.
Ref label_into_py(const std::optional<core::Label>& label);

// A new Mount object holding the record.
Ref mount_into_py(core::sys::Mount mount);

}  // namespace bramwex::binding
