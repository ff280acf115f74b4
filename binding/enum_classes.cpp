// Tier and Reason: small enumerations whose members are class attributes,
// one object per process each, so `label.tier is Tier.Cache` holds.
#include <array>
#include <string>
#include <string_view>

#include "binding/classes.hpp"
#include "binding/object.hpp"

namespace bramwex::binding {

namespace {

struct TierTraits {
    static constexpr const char* kQualifiedName = "bramwex.Tier";
    static constexpr std::string_view kName = "Tier";
    static constexpr const char* kDoc = "How safe deleting a labelled folder is.";
    static constexpr std::array<std::string_view, 3> kMembers = {"System", "Cache", "Known"};
    // Tier has no words of its own: str() is the repr.
    static constexpr std::array<std::string_view, 0> kTexts = {};
};

struct ReasonTraits {
    static constexpr const char* kQualifiedName = "bramwex.Reason";
    static constexpr std::string_view kName = "Reason";
    static constexpr const char* kDoc = "Why changes were missed. `str()` says it\nin words.";
    static constexpr std::array<std::string_view, 5> kMembers = {
        "Dropped", "IdsWrapped", "RootMoved", "NoReplay", "MustScan"};
    static constexpr std::array<std::string_view, 5> kTexts = {
        "the OS dropped change events",
        "macOS event ids wrapped",
        "the scanned dir moved",
        "macOS did not replay the changes made while scanning within 30 s",
        "the OS asked to scan it again",
    };
};

template <class Traits>
struct EnumClass {
    static constexpr size_t kCount = Traits::kMembers.size();

    // Plain pointers, never freed (see py.hpp).
    static inline PyObject* made = nullptr;
    static inline std::array<PyObject*, kCount> members{};

    static uint8_t value_of(PyObject* self) { return unbox<uint8_t>(self); }

    static PyObject* repr(PyObject* self) {
        return guard_object([&] {
            std::string text(Traits::kName);
            text += '.';
            text += Traits::kMembers[value_of(self)];
            return str_from(text);
        });
    }

    static PyObject* str(PyObject* self) {
        if constexpr (Traits::kTexts.empty()) {
            return repr(self);
        } else {
            return guard_object([&] { return str_from(Traits::kTexts[value_of(self)]); });
        }
    }

    static PyObject* as_int(PyObject* self) { return PyLong_FromLong(value_of(self)); }

    static PyObject* compare(PyObject* self, PyObject* other, int op) {
        if ((op != Py_EQ && op != Py_NE) ||
            !PyObject_TypeCheck(other, reinterpret_cast<PyTypeObject*>(made))) {
            Py_RETURN_NOTIMPLEMENTED;
        }
        const bool equal = value_of(self) == value_of(other);
        return PyBool_FromLong(equal == (op == Py_EQ));
    }

    // Borrowed; nullptr with ValueError for a value the engine never gives.
    static PyObject* member(size_t value) {
        if (get() == nullptr) {
            return nullptr;
        }
        if (value >= kCount) {
            raise(PyExc_ValueError,
                  std::string("no ") + std::string(Traits::kName) + " " + std::to_string(value));
            return nullptr;
        }
        return members[value];
    }

    static PyObject* get() {
        if (made != nullptr) {
            return made;
        }
        static PyType_Slot slots[] = {
            {Py_tp_doc, const_cast<char*>(Traits::kDoc)},
            {Py_tp_repr, reinterpret_cast<void*>(&repr)},
            {Py_tp_str, reinterpret_cast<void*>(&str)},
            {Py_tp_richcompare, reinterpret_cast<void*>(&compare)},
            {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
            {Py_nb_int, reinterpret_cast<void*>(&as_int)},
            {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_boxed<uint8_t>)},
            {0, nullptr},
        };
        static PyType_Spec type_spec = {Traits::kQualifiedName, sizeof(Boxed<uint8_t>), 0,
                                        kClassFlags, slots};
        Ref type = Ref::steal(PyType_FromSpec(&type_spec));
        if (!type) {
            return nullptr;
        }
        std::array<Ref, kCount> objects;
        for (size_t k = 0; k < kCount; ++k) {
            objects[k] = box(type.get(), static_cast<uint8_t>(k));
            if (!objects[k]) {
                return nullptr;
            }
            const std::string name(Traits::kMembers[k]);
            if (!set_class_attribute(type.get(), name.c_str(), objects[k].get())) {
                return nullptr;
            }
        }
        for (size_t k = 0; k < kCount; ++k) {
            members[k] = objects[k].release();
        }
        made = type.release();
        return made;
    }
};

}  // namespace

PyObject* tier_class() {
    return EnumClass<TierTraits>::get();
}

PyObject* reason_class() {
    return EnumClass<ReasonTraits>::get();
}

PyObject* tier_member(core::Tier tier) {
    return EnumClass<TierTraits>::member(static_cast<size_t>(tier));
}

PyObject* reason_member(uint8_t reason) {
    return EnumClass<ReasonTraits>::member(reason);
}

}  // namespace bramwex::binding
