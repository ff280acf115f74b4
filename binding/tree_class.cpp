// The Tree class: questions about one scanned tree by folder id. The reads
// here keep the interpreter lock: the tree is immutable and answers at once.
// The methods that touch the disk are in tree_disk.cpp, the Arrow export in
// arrow_capsule.cpp.
#include <fmt/format.h>

#include <array>

#include "binding/args.hpp"
#include "binding/classes.hpp"
#include "binding/find_folder.hpp"
#include "binding/object.hpp"
#include "binding/text.hpp"
#include "binding/tree_methods.hpp"
#include "core/base/utf8.hpp"

namespace bramwex::binding {

namespace {

PyObject* made = nullptr;  // never freed (see py.hpp)

constexpr std::array<const char*, 1> kPathNames = {"path"};
constexpr std::array<const char*, 1> kCountNames = {"n"};

// The methods that take one folder id, each a struct naming it for messages.
template <class Method>
PyObject* folder_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return with_folder(self, args, nargs, kwnames, Method::kName, &Method::call);
}

struct NameMethod {
    static constexpr const char* kName = "Tree.name";
    static Ref call(const core::Tree& tree, uint32_t index) {
        return name_str(tree.name(id_of(index)));
    }
};

struct PathMethod {
    static constexpr const char* kName = "Tree.path";
    static Ref call(const core::Tree& tree, uint32_t index) {
        return path_object(tree.absolute_path(index));
    }
};

struct SizeMethod {
    static constexpr const char* kName = "Tree.size";
    static Ref call(const core::Tree& tree, uint32_t index) {
        return int_from(tree.total_size(id_of(index)));
    }
};

struct OwnMethod {
    static constexpr const char* kName = "Tree.own";
    static Ref call(const core::Tree& tree, uint32_t index) {
        return int_from(tree.own(id_of(index)));
    }
};

struct ErrorMethod {
    static constexpr const char* kName = "Tree.error";
    static Ref call(const core::Tree& tree, uint32_t index) {
        const auto text = tree.error_text(id_of(index));
        return text ? str_from(*text) : none();
    }
};

struct PartialMethod {
    static constexpr const char* kName = "Tree.partial";
    static Ref call(const core::Tree& tree, uint32_t index) {
        return bool_from(tree.is_partial(id_of(index)));
    }
};

struct OtherDeviceMethod {
    static constexpr const char* kName = "Tree.other_device";
    static Ref call(const core::Tree& tree, uint32_t index) {
        return bool_from(tree.other_device(id_of(index)));
    }
};

struct ChildrenMethod {
    static constexpr const char* kName = "Tree.children";
    static Ref call(const core::Tree& tree, uint32_t index) {
        const core::ChildIds children = tree.child_ids(id_of(index));
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(children.size())));
        for (size_t k = 0; list && k < children.size(); ++k) {
            PyObject* item = PyLong_FromUnsignedLong(children.indices[k]);
            if (item == nullptr ||
                PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), item) != 0) {
                return {};
            }
        }
        return list;
    }
};

PyObject* find(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard_object([&]() -> Ref {
        PyObject* slot = nullptr;
        if (!bind_arguments({"Tree.find", kPathNames, 1}, args, nargs, kwnames, {&slot, 1})) {
            return {};
        }
        const auto path = path_argument(slot, "path");
        if (!path) {
            return {};
        }
        const auto found = find_folder(*tree_of(self).tree, *path);
        return found ? int_from(*found) : none();
    });
}

PyObject* largest_files(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return guard_object([&]() -> Ref {
        PyObject* slot = nullptr;
        if (!bind_arguments({"Tree.largest_files", kCountNames, 0}, args, nargs, kwnames,
                            {&slot, 1})) {
            return {};
        }
        uint64_t count = 100;
        if (slot != nullptr) {
            const auto given = u64_argument(slot, "n");
            if (!given) {
                return {};
            }
            count = *given;
        }
        const auto files = tree_of(self).tree->largest_file_paths(count);
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(files.size())));
        for (size_t k = 0; list && k < files.size(); ++k) {
            Ref path = path_object(files[k].path);
            Ref size = int_from(files[k].size);
            if (!path || !size) {
                return {};
            }
            PyObject* item = PyTuple_Pack(2, path.get(), size.get());
            if (item == nullptr ||
                PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), item) != 0) {
                return {};
            }
        }
        return list;
    });
}

PyObject* stopped(PyObject* self, PyObject*) {
    return PyBool_FromLong(tree_of(self).tree->stopped);
}

PyObject* repr(PyObject* self) {
    return guard_object([&] {
        const core::Tree& tree = *tree_of(self).tree;
        return str_from(fmt::format("<Tree {} {} bytes>",
                                    core::to_utf8_lossy(tree.absolute_path(0)),
                                    tree.total_size(id_of(0))));
    });
}

constexpr int kCallFlags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"name", as_cfunction(&folder_method<NameMethod>), kCallFlags, "name($self, id)\n--\n\n"},
    {"path", as_cfunction(&folder_method<PathMethod>), kCallFlags, "path($self, id)\n--\n\n"},
    {"size", as_cfunction(&folder_method<SizeMethod>), kCallFlags, "size($self, id)\n--\n\n"},
    {"own", as_cfunction(&folder_method<OwnMethod>), kCallFlags, "own($self, id)\n--\n\n"},
    {"error", as_cfunction(&folder_method<ErrorMethod>), kCallFlags, "error($self, id)\n--\n\n"},
    {"partial", as_cfunction(&folder_method<PartialMethod>), kCallFlags,
     "partial($self, id)\n--\n\n"},
    {"other_device", as_cfunction(&folder_method<OtherDeviceMethod>), kCallFlags,
     "other_device($self, id)\n--\n\n"},
    {"children", as_cfunction(&folder_method<ChildrenMethod>), kCallFlags,
     "children($self, id)\n--\n\n"},
    {"find", as_cfunction(&find), kCallFlags, "find($self, path)\n--\n\n"},
    {"files", as_cfunction(&tree_files), kCallFlags,
     "files($self, id)\n--\n\nListed from disk now, as the tree keeps only folder totals."},
    {"label", as_cfunction(&tree_label), kCallFlags,
     "label($self, id)\n--\n\nWhat folder `id` is, if a rule knows it, by its name and a look "
     "at\nthe disk now."},
    {"save", as_cfunction(&tree_save), kCallFlags,
     "save($self, path)\n--\n\nSaves the scan as the file `path` (`~` expanded), over any "
     "file\nthere, for `bramwex.load`."},
    {"largest_files", as_cfunction(&largest_files), kCallFlags,
     "largest_files($self, n=100)\n--\n\n"},
    {"stopped", as_cfunction(&stopped), METH_NOARGS, "stopped($self)\n--\n\n"},
    {"__arrow_c_stream__", as_cfunction(&tree_arrow_c_stream), kCallFlags,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\nEvery folder as a row, for "
     "`pyarrow.table(tree)`, polars, duckdb."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("A scanned tree. Every method takes a folder id.")},
    {Py_tp_repr, reinterpret_cast<void*>(&repr)},
    {Py_tp_methods, methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_boxed<PyTree>)},
    {0, nullptr},
};

PyType_Spec type_spec = {"bramwex.Tree", sizeof(Boxed<PyTree>), 0, kClassFlags, slots};

}  // namespace

PyObject* tree_class() {
    if (made == nullptr) {
        made = PyType_FromSpec(&type_spec);
    }
    return made;
}

Ref tree_into_py(core::Tree tree) {
    if (tree.record_count() == 0 || (tree.record_at(0).flags & core::kFlagRemoved) != 0) {
        core::fatal("no folder {} in this tree", 0);
    }
    PyObject* type = tree_class();
    if (type == nullptr) {
        return {};
    }
    auto shared = std::make_shared<const core::Tree>(std::move(tree));
    shared->compute_index();
    return box(type, PyTree{std::move(shared), std::make_shared<LabelCell>()});
}

}  // namespace bramwex::binding
