// The Tree methods that touch the disk, with the interpreter lock released
// meanwhile: files (a folder listed now), label (the rules' look at the
// disk) and save.
#include <expected>
#include <vector>

#include "binding/classes.hpp"
#include "binding/errors.hpp"
#include "binding/folder_files.hpp"
#include "binding/text.hpp"
#include "binding/tree_methods.hpp"
#include "core/store/scan_file.hpp"

namespace bramwex::binding {

namespace {

constexpr std::array<const char*, 1> kPathNames = {"path"};

Ref files_of(const core::Tree& tree, uint32_t index) {
    std::expected<std::vector<FolderFile>, int> listed;
    {
        AllowThreads released;
        listed = list_folder_files(tree, index);
    }
    if (!listed) {
        return raise_io_error(core::Error::os(listed.error(), {}));
    }
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(listed->size())));
    for (size_t k = 0; list && k < listed->size(); ++k) {
        Ref name = name_str((*listed)[k].name);
        Ref size = int_from((*listed)[k].size);
        if (!name || !size) {
            return {};
        }
        PyObject* item = PyTuple_Pack(2, name.get(), size.get());
        if (item == nullptr || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), item) != 0) {
            return {};
        }
    }
    return list;
}

}  // namespace

PyObject* tree_files(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return with_folder(self, args, nargs, kwnames, "Tree.files", &files_of);
}

PyObject* tree_label(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const PyTree& py_tree = tree_of(self);
    return with_folder(self, args, nargs, kwnames, "Tree.label",
                       [&](const core::Tree& tree, uint32_t index) {
                           std::optional<core::Label> found;
                           {
                               AllowThreads released;
                               const core::LabelContext& context = py_tree.labels->get(tree);
                               found = core::label_folder(tree, context, id_of(index));
                           }
                           return label_into_py(found);
                       });
}

PyObject* tree_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard_object([&]() -> Ref {
        PyObject* slot = nullptr;
        if (!bind_arguments({"Tree.save", kPathNames, 1}, args, nargs, kwnames, {&slot, 1})) {
            return {};
        }
        const auto path = path_argument(slot, "path");
        const auto expanded = path ? expand_user_path(*path) : std::nullopt;
        if (!expanded) {
            return {};
        }
        core::Result<void> saved;
        {
            AllowThreads released;
            saved = core::save_scan_file(*tree_of(self).tree, *expanded);
        }
        return saved ? none() : raise_io_error(saved.error());
    });
}

}  // namespace bramwex::binding
