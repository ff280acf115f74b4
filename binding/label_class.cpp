// Label: what the label rules say of a folder. It refers to the fixed texts
// of the rule tables; nothing is copied per folder.
#include <fmt/format.h>

#include "binding/classes.hpp"
#include "binding/object.hpp"
#include "binding/quote.hpp"

namespace bramwex::binding {

namespace {

PyObject* made = nullptr;  // never freed (see py.hpp)

const core::Label& label_of(PyObject* self) {
    return unbox<core::Label>(self);
}

PyObject* get_tier(PyObject* self, void*) {
    PyObject* member = tier_member(label_of(self).tier);
    Py_XINCREF(member);
    return member;
}

PyObject* get_text(PyObject* self, void*) {
    return guard_object([&] { return str_from(label_of(self).text); });
}

PyObject* get_why(PyObject* self, void*) {
    return guard_object([&] { return str_from(label_of(self).why); });
}

constexpr std::string_view kTierNames[] = {"System", "Cache", "Known"};

PyObject* repr(PyObject* self) {
    return guard_object([&] {
        const core::Label& label = label_of(self);
        return str_from(fmt::format("Label(tier=Tier.{}, text={}, why={})",
                                    kTierNames[static_cast<size_t>(label.tier)], quoted(label.text),
                                    quoted(label.why)));
    });
}

PyObject* compare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) ||
        !PyObject_TypeCheck(other, reinterpret_cast<PyTypeObject*>(made))) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    const bool equal = label_of(self) == label_of(other);
    return PyBool_FromLong(equal == (op == Py_EQ));
}

PyGetSetDef getters[] = {
    {"tier", &get_tier, nullptr, nullptr, nullptr},
    {"text", &get_text, nullptr, nullptr, nullptr},
    {"why", &get_why, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("What a folder is and how to clean it up.")},
    {Py_tp_repr, reinterpret_cast<void*>(&repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(&compare)},
    {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
    {Py_tp_getset, getters},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_boxed<core::Label>)},
    {0, nullptr},
};

PyType_Spec type_spec = {"bramwex.Label", sizeof(Boxed<core::Label>), 0, kClassFlags, slots};

}  // namespace

PyObject* label_class() {
    if (made == nullptr) {
        made = PyType_FromSpec(&type_spec);
    }
    return made;
}

Ref label_into_py(const std::optional<core::Label>& label) {
    if (!label) {
        return none();
    }
    PyObject* type = label_class();
    if (type == nullptr) {
        return {};
    }
    core::Label copy = *label;
    return box(type, std::move(copy));
}

}  // namespace bramwex::binding
