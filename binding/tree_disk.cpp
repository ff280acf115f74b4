// The Tree methods that touch the disk, with the interpreter lock released
// meanwhile: files (a folder listed now), label (the rules' look at the
// disk) and save.
#include <cstdlib>
#include <expected>
#include <optional>
#include <string>
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

// HOME, read holding the interpreter lock: Python code changes the
// environment (os.environ, putenv) holding it, so a read without it races.
std::optional<std::string> home_folder() {
    const char* home = std::getenv("HOME");
    return home != nullptr ? std::optional<std::string>(home) : std::nullopt;
}

Ref files_of(const core::Tree& tree, uint32_t index) {
    std::expected<std::vector<FolderFile>, int> listed;
    {
        AllowThreads released;
        listed = list_folder_files(tree, index);
    }
    if (!listed) {
        return raise_os_error(core::Error::os(listed.error(), {}), tree.absolute_path(index));
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
    LabelCell& labels = *tree_of(self).labels;
    return with_folder(self, args, nargs, kwnames, "Tree.label",
                       [&](const core::Tree& tree, uint32_t index) {
                           const auto home = labels.ready() ? std::nullopt : home_folder();
                           std::optional<core::Label> found;
                           {
                               AllowThreads released;
                               const core::LabelContext& context = labels.get(tree, home);
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
        const core::Tree& tree = *tree_of(self).tree;
        core::Result<void> saved;
        {
            AllowThreads released;
            saved = core::save_scan_file(tree, *expanded);
        }
        if (saved) {
            return none();
        }
        // The root is recorded as it is on disk now, so it must still be there:
        // its failure concerns the root, every other one the file written.
        const std::string root = tree.absolute_path(0);
        return raise_os_error(saved.error(), saved.error().path == root ? root : *expanded);
    });
}

}  // namespace bramwex::binding
