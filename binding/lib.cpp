// The module `bramwex`: its definition and the execution slot that fills it.
// Importing scans nothing, reads no file and starts no thread.
#include "binding/classes.hpp"
#include "binding/functions.hpp"
#include "binding/live_object.hpp"
#include "binding/py.hpp"

namespace bramwex::binding {

namespace {

// Adds value under name and appends the name to __all__.
bool add_public(PyObject* module, PyObject* all, const char* name, PyObject* value) {
    if (value == nullptr || PyModule_AddObjectRef(module, name, value) != 0) {
        return false;
    }
    Ref text = Ref::steal(PyUnicode_FromString(name));
    return text && PyList_Append(all, text.get()) == 0;
}

int exec_module(PyObject* module) {
    return guard(
        [&]() -> int {
            if (!PyModule_Check(module)) {
                raise(PyExc_TypeError, "the execution slot wants a module");
                return -1;
            }
            // The class objects are the process's, made once: another
            // interpreter must not share them, so only the main one imports.
            if (PyInterpreterState_GetID(PyInterpreterState_Get()) != 0) {
                raise(PyExc_ImportError, "bramwex cannot be imported in a sub-interpreter");
                return -1;
            }
            Ref all = Ref::steal(PyList_New(0));
            if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) != 0) {
                return -1;
            }
            Ref module_name = Ref::steal(PyModule_GetNameObject(module));
            if (!module_name) {
                return -1;
            }
            for (PyMethodDef* def = module_functions(); def->ml_name != nullptr; ++def) {
                Ref function = Ref::steal(PyCFunction_NewEx(def, module, module_name.get()));
                if (!add_public(module, all.get(), def->ml_name, function.get())) {
                    return -1;
                }
            }
            const struct {
                const char* name;
                PyObject* (*get)();
            } classes[] = {
                {"Tree", &tree_class}, {"Mount", &mount_class}, {"Label", &label_class},
                {"Tier", &tier_class}, {"Event", &event_class}, {"Reason", &reason_class},
                {"Live", &live_class},
            };
            for (const auto& entry : classes) {
                if (!add_public(module, all.get(), entry.name, entry.get())) {
                    return -1;
                }
            }
            return register_process_hooks(module) ? 0 : -1;
        },
        -1);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "bramwex", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace bramwex::binding

PyMODINIT_FUNC PyInit_bramwex() {
    return PyModuleDef_Init(&bramwex::binding::module_def);
}
