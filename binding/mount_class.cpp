// Mount: one mounted file system, the engine's record moved in whole.
#include <fmt/format.h>

#include "binding/classes.hpp"
#include "binding/find_folder.hpp"
#include "binding/object.hpp"
#include "binding/quote.hpp"
#include "binding/text.hpp"
#include "core/base/utf8.hpp"

namespace bramwex::binding {

namespace {

PyObject* made = nullptr;  // never freed (see py.hpp)

const core::sys::Mount& mount_of(PyObject* self) {
    return unbox<core::sys::Mount>(self);
}

PyObject* get_point(PyObject* self, void*) {
    return guard_object([&] { return path_object(mount_of(self).point); });
}

PyObject* get_fs(PyObject* self, void*) {
    return guard_object([&] { return str_from(mount_of(self).fs); });
}

PyObject* get_hidden(PyObject* self, void*) {
    return PyBool_FromLong(mount_of(self).hidden);
}

PyObject* get_total(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(mount_of(self).total);
}

PyObject* get_used(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(mount_of(self).used);
}

PyObject* get_free(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(mount_of(self).free);
}

PyObject* repr(PyObject* self) {
    return guard_object([&] {
        const core::sys::Mount& mount = mount_of(self);
        return str_from(fmt::format(
            "Mount(point={}, fs={}, hidden={}, total={}, used={}, free={})",
            quoted(core::to_utf8_lossy(mount.point)), quoted(core::to_utf8_lossy(mount.fs)),
            mount.hidden ? "True" : "False", mount.total, mount.used, mount.free));
    });
}

bool same_mount(const core::sys::Mount& a, const core::sys::Mount& b) {
    return a.hidden == b.hidden && a.total == b.total && a.used == b.used && a.free == b.free &&
           same_path(a.point, b.point) && a.fs == b.fs;
}

PyObject* compare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) ||
        !PyObject_TypeCheck(other, reinterpret_cast<PyTypeObject*>(made))) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    const bool equal = same_mount(mount_of(self), mount_of(other));
    return PyBool_FromLong(equal == (op == Py_EQ));
}

PyGetSetDef getters[] = {
    {"point", &get_point, nullptr, nullptr, nullptr},
    {"fs", &get_fs, nullptr, nullptr, nullptr},
    {"hidden", &get_hidden, nullptr, nullptr, nullptr},
    {"total", &get_total, nullptr, nullptr, nullptr},
    {"used", &get_used, nullptr, nullptr, nullptr},
    {"free", &get_free, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("A mounted filesystem.")},
    {Py_tp_repr, reinterpret_cast<void*>(&repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(&compare)},
    {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
    {Py_tp_getset, getters},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_boxed<core::sys::Mount>)},
    {0, nullptr},
};

PyType_Spec type_spec = {"bramwex.Mount", sizeof(Boxed<core::sys::Mount>), 0, kClassFlags, slots};

}  // namespace

PyObject* mount_class() {
    if (made == nullptr) {
        made = PyType_FromSpec(&type_spec);
    }
    return made;
}

Ref mount_into_py(core::sys::Mount mount) {
    PyObject* type = mount_class();
    if (type == nullptr) {
        return {};
    }
    return box(type, std::move(mount));
}

}  // namespace bramwex::binding
