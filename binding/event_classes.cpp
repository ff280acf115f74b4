// Event and its four variant classes, Event.Scanning, Event.Ready,
// Event.Changed and Event.Missed, and the conversion of an engine event into
// an object of its variant.
#include <array>
#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "binding/args.hpp"
#include "binding/classes.hpp"
#include "binding/live_object.hpp"
#include "binding/object.hpp"
#include "binding/text.hpp"
#include "binding/tree_object.hpp"

namespace bramwex::binding {

namespace {

struct ChangedValue {
    PyTree tree;
    std::vector<core::FolderChange> changes;
};

struct MissedValue {
    uint8_t reason = 0;
    std::string path;
};

PyObject* event_made = nullptr;  // never freed (see py.hpp), nor the variants
std::array<PyObject*, 4> variants{};
enum Variant : size_t { kScanning, kReady, kChanged, kMissed };

// Where a class object keeps its flags: the interpreter's own layout, which
// the limited API hides but every CPython since 3.8 shares (tp_name,
// basicsize and 16 more pointer-sized slots after the object header).
constexpr size_t kFlagsOffset = sizeof(PyVarObject) + 18 * sizeof(void*);
constexpr size_t kBasicSizeOffset = sizeof(PyVarObject) + sizeof(void*);

// The variants' __qualname__ must read "Event.Ready", which only a class
// still mutable accepts; so each is made mutable, named, then frozen like
// the module's other classes. The flag is written only where the layout is
// confirmed, else the class stays mutable.
void freeze_class(PyObject* type, Py_ssize_t basic_size) {
    auto* bytes = reinterpret_cast<char*>(type);
    auto* flags = reinterpret_cast<unsigned long*>(bytes + kFlagsOffset);
    const auto* size = reinterpret_cast<const Py_ssize_t*>(bytes + kBasicSizeOffset);
    if (*flags == PyType_GetFlags(reinterpret_cast<PyTypeObject*>(type)) && *size == basic_size) {
        *flags |= Py_TPFLAGS_IMMUTABLETYPE;
        PyType_Modified(reinterpret_cast<PyTypeObject*>(type));
    }
}

// A new Tree object over the event's engine tree and label cache.
Ref tree_object(const PyTree& tree) {
    PyObject* type = tree_class();
    if (type == nullptr) {
        return {};
    }
    return box(type, PyTree{tree});
}

std::optional<PyTree> tree_argument(PyObject* object) {
    PyObject* type = tree_class();
    if (type == nullptr) {
        return std::nullopt;
    }
    if (!PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(type))) {
        raise(PyExc_TypeError, "argument 'tree': '" + type_name_of(object) +
                                   "' object cannot be converted to 'Tree'");
        return std::nullopt;
    }
    return unbox<PyTree>(object);
}

std::optional<std::vector<core::FolderChange>> changes_argument(PyObject* object) {
    if (PyUnicode_Check(object)) {
        raise(PyExc_TypeError, "argument 'changes': Can't extract `str` to `Vec`");
        return std::nullopt;
    }
    if (!PySequence_Check(object)) {
        raise(PyExc_TypeError, "argument 'changes': '" + type_name_of(object) +
                                   "' object cannot be converted to 'Sequence'");
        return std::nullopt;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(object));
    if (!iterator) {
        name_argument_in_error("changes");
        return std::nullopt;
    }
    std::vector<core::FolderChange> changes;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!PyTuple_Check(item.get())) {
            raise(PyExc_TypeError, "argument 'changes': '" + type_name_of(item.get()) +
                                       "' object cannot be converted to 'PyTuple'");
            return std::nullopt;
        }
        const Py_ssize_t length = PyTuple_Size(item.get());
        if (length != 2) {
            raise(PyExc_ValueError,
                  "expected tuple of length 2, but got tuple of length " + std::to_string(length));
            return std::nullopt;
        }
        auto path = path_argument(PyTuple_GetItem(item.get(), 0), "changes");
        if (!path) {
            return std::nullopt;
        }
        const long long delta = PyLong_AsLongLong(PyTuple_GetItem(item.get(), 1));
        if (delta == -1 && PyErr_Occurred()) {
            name_argument_in_error("changes");
            return std::nullopt;
        }
        changes.push_back(core::FolderChange{std::move(*path), delta});
    }
    if (PyErr_Occurred()) {
        return std::nullopt;
    }
    return changes;
}

template <Variant kVariant>
PyObject* new_tree_event(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard_object([&]() -> Ref {
        static const char* names[] = {"tree", nullptr};
        PyObject* tree = nullptr;
        const char* format = kVariant == kScanning ? "O:Scanning" : "O:Ready";
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(names), &tree)) {
            return {};
        }
        auto value = tree_argument(tree);
        return value ? box(reinterpret_cast<PyObject*>(type), std::move(*value)) : Ref();
    });
}

PyObject* new_changed(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard_object([&]() -> Ref {
        static const char* names[] = {"tree", "changes", nullptr};
        PyObject* tree = nullptr;
        PyObject* changes = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:Changed", const_cast<char**>(names),
                                         &tree, &changes)) {
            return {};
        }
        auto value = tree_argument(tree);
        if (!value) {
            return {};
        }
        auto list = changes_argument(changes);
        if (!list) {
            return {};
        }
        return box(reinterpret_cast<PyObject*>(type),
                   ChangedValue{std::move(*value), std::move(*list)});
    });
}

PyObject* new_missed(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard_object([&]() -> Ref {
        static const char* names[] = {"reason", "path", nullptr};
        PyObject* reason = nullptr;
        PyObject* path = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:Missed", const_cast<char**>(names),
                                         &reason, &path)) {
            return {};
        }
        PyObject* reason_type = reason_class();
        if (reason_type == nullptr) {
            return {};
        }
        if (!PyObject_TypeCheck(reason, reinterpret_cast<PyTypeObject*>(reason_type))) {
            return raise(PyExc_TypeError, "argument 'reason': '" + type_name_of(reason) +
                                              "' object cannot be converted to 'Reason'");
        }
        Ref number = Ref::steal(PyNumber_Long(reason));
        const long byte = number ? PyLong_AsLong(number.get()) : -1;
        if (byte < 0) {
            return {};
        }
        auto bytes = path_argument(path, "path");
        if (!bytes) {
            return {};
        }
        return box(reinterpret_cast<PyObject*>(type),
                   MissedValue{static_cast<uint8_t>(byte), std::move(*bytes)});
    });
}

PyObject* get_tree(PyObject* self, void*) {
    return guard_object([&] { return tree_object(unbox<PyTree>(self)); });
}

PyObject* get_changed_tree(PyObject* self, void*) {
    return guard_object([&] { return tree_object(unbox<ChangedValue>(self).tree); });
}

PyObject* get_changes(PyObject* self, void*) {
    return guard_object([&]() -> Ref {
        const auto& changes = unbox<ChangedValue>(self).changes;
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(changes.size())));
        for (size_t k = 0; list && k < changes.size(); ++k) {
            Ref path = path_object(changes[k].path);
            Ref delta = Ref::steal(PyLong_FromLongLong(changes[k].delta));
            Ref pair = path && delta ? Ref::steal(PyTuple_Pack(2, path.get(), delta.get())) : Ref();
            if (!pair ||
                PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), pair.release()) != 0) {
                return {};
            }
        }
        return list;
    });
}

PyObject* get_reason(PyObject* self, void*) {
    return guard_object(
        [&] { return Ref::borrow(reason_member(unbox<MissedValue>(self).reason)); });
}

PyObject* get_missed_path(PyObject* self, void*) {
    return guard_object([&] { return path_object(unbox<MissedValue>(self).path); });
}

PyGetSetDef tree_getters[] = {
    {"tree", &get_tree, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef changed_getters[] = {
    {"tree", &get_changed_tree, nullptr, nullptr, nullptr},
    {"changes", &get_changes, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef missed_getters[] = {
    {"reason", &get_reason, nullptr, nullptr, nullptr},
    {"path", &get_missed_path, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

struct VariantSpec {
    const char* type_name;
    const char* name;
    const char* doc;
    void* new_function;
    PyGetSetDef* getters;
    void* dealloc;
    Py_ssize_t basic_size;
    std::array<const char*, 2> fields;
};

const std::array<VariantSpec, 4> kVariantSpecs = {{
    {"bramwex.Scanning",
     "Scanning",
     "Scanning(tree)\n--\n\n",
     reinterpret_cast<void*>(&new_tree_event<kScanning>),
     tree_getters,
     reinterpret_cast<void*>(&dealloc_boxed<PyTree>),
     sizeof(Boxed<PyTree>),
     {"tree", nullptr}},
    {"bramwex.Ready",
     "Ready",
     "Ready(tree)\n--\n\n",
     reinterpret_cast<void*>(&new_tree_event<kReady>),
     tree_getters,
     reinterpret_cast<void*>(&dealloc_boxed<PyTree>),
     sizeof(Boxed<PyTree>),
     {"tree", nullptr}},
    {"bramwex.Changed",
     "Changed",
     "Changed(tree, changes)\n--\n\n",
     reinterpret_cast<void*>(&new_changed),
     changed_getters,
     reinterpret_cast<void*>(&dealloc_boxed<ChangedValue>),
     sizeof(Boxed<ChangedValue>),
     {"tree", "changes"}},
    {"bramwex.Missed",
     "Missed",
     "Missed(reason, path)\n--\n\n",
     reinterpret_cast<void*>(&new_missed),
     missed_getters,
     reinterpret_cast<void*>(&dealloc_boxed<MissedValue>),
     sizeof(Boxed<MissedValue>),
     {"reason", "path"}},
}};

Ref make_variant(PyObject* base, const VariantSpec& spec) {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(spec.doc)},
        {Py_tp_new, spec.new_function},
        {Py_tp_getset, spec.getters},
        {Py_tp_dealloc, spec.dealloc},
        {0, nullptr},
    };
    PyType_Spec type_spec = {spec.type_name, static_cast<int>(spec.basic_size), 0,
                             Py_TPFLAGS_DEFAULT, slots};
    Ref bases = Ref::steal(PyTuple_Pack(1, base));
    Ref type = bases ? Ref::steal(PyType_FromSpecWithBases(&type_spec, bases.get())) : Ref();
    if (!type) {
        return {};
    }
    Ref qualname = str_from(std::string("Event.") + spec.name);
    Ref match_args = Ref::steal(PyTuple_New(spec.fields[1] == nullptr ? 1 : 2));
    for (Py_ssize_t k = 0; match_args && k < 2 && spec.fields[k] != nullptr; ++k) {
        PyTuple_SetItem(match_args.get(), k, str_from(spec.fields[k]).release());
    }
    if (!qualname || !match_args ||
        PyObject_SetAttrString(type.get(), "__qualname__", qualname.get()) != 0 ||
        PyObject_SetAttrString(type.get(), "__match_args__", match_args.get()) != 0) {
        return {};
    }
    freeze_class(type.get(), spec.basic_size);
    return type;
}

PyType_Slot event_slots[] = {
    {Py_tp_doc, const_cast<char*>("What a live scan reports.")},
    {0, nullptr},
};

PyType_Spec event_spec = {"bramwex.Event", sizeof(PyObject), 0, kClassFlags | Py_TPFLAGS_BASETYPE,
                          event_slots};

template <class Value>
Ref make_event(Variant variant, Value value) {
    if (event_class() == nullptr) {
        return {};
    }
    return box(variants[variant], std::move(value));
}

PyTree py_tree_from_core(std::shared_ptr<const core::Tree> tree) {
    tree->compute_index();
    return PyTree{std::move(tree), std::make_shared<LabelCell>()};
}

}  // namespace

PyObject* event_class() {
    if (event_made != nullptr) {
        return event_made;
    }
    Ref event = Ref::steal(PyType_FromSpec(&event_spec));
    if (!event) {
        return nullptr;
    }
    std::array<Ref, 4> made;
    for (size_t k = 0; k < made.size(); ++k) {
        made[k] = make_variant(event.get(), kVariantSpecs[k]);
        if (!made[k] || !set_class_attribute(event.get(), kVariantSpecs[k].name, made[k].get())) {
            return nullptr;
        }
    }
    for (size_t k = 0; k < made.size(); ++k) {
        variants[k] = made[k].release();
    }
    event_made = event.release();
    return event_made;
}

Ref event_into_py(core::Event event) {
    return std::visit(
        [](auto&& value) -> Ref {
            using V = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<V, core::Event::Scanning>) {
                return make_event(kScanning, py_tree_from_core(std::move(value.tree)));
            } else if constexpr (std::is_same_v<V, core::Event::Ready>) {
                return make_event(kReady, py_tree_from_core(std::move(value.tree)));
            } else if constexpr (std::is_same_v<V, core::Event::Changed>) {
                return make_event(kChanged, ChangedValue{py_tree_from_core(std::move(value.tree)),
                                                         std::move(value.changes)});
            } else {
                return make_event(kMissed, MissedValue{static_cast<uint8_t>(value.reason),
                                                       std::move(value.path)});
            }
        },
        std::move(event.value));
}

}  // namespace bramwex::binding
