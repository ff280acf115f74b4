// The module functions, in the order the module adds them.
#pragma once

#include "binding/py.hpp"

namespace bramwex::binding {

// Method records for scan, live, load, mounts and _cli, ending with a null record.
PyMethodDef* module_functions();

}  // namespace bramwex::binding
