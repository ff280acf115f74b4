// scan, load, mounts and _cli (live is in live_function.cpp). Each releases the interpreter lock
// around the engine call and builds its Python result only once it holds the lock again.
#include "binding/functions.hpp"

#include <array>
#include <cstdio>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "app/cli.hpp"
#include "binding/args.hpp"
#include "binding/classes.hpp"
#include "binding/errors.hpp"
#include "binding/interruptible_scan.hpp"
#include "binding/live_object.hpp"
#include "binding/log_bridge.hpp"
#include "binding/text.hpp"
#include "core/base/utf8.hpp"
#include "core/base/working_folder.hpp"
#include "core/scan/scan_options.hpp"
#include "core/store/scan_file.hpp"
#include "core/sys/mounts.hpp"

namespace bramwex::binding {

namespace {

constexpr std::array<const char*, 2> kScanNames = {"path", "threads"};
constexpr std::array<const char*, 1> kLoadNames = {"path"};
// What list_mounts reads; its failures concern this file.
constexpr std::string_view kMountTable = "/proc/self/mountinfo";

PyObject* scan(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard_object([&]() -> Ref {
        std::array<PyObject*, 2> slots{};
        if (!bind_arguments({"scan", kScanNames, 1}, args, nargs, kwnames, slots)) {
            return {};
        }
        const auto path = path_argument(slots[0], "path");
        if (!path) {
            return {};
        }
        core::ScanOptions options;
        if (!threads_argument(slots[1], options.threads)) {
            return {};
        }
        install_log_bridge();
        const auto expanded = expand_user_path(*path);
        if (!expanded) {
            return {};
        }
        std::optional<core::Result<core::Tree>> tree;
        try {
            // The tree outlives the call: its paths must not move when the
            // working folder changes. Errors name the path as given.
            tree = scan_until_interrupted(core::pinned_to_working_folder(*expanded),
                                          std::move(options));
        } catch (const std::system_error& failure) {
            return raise(PyExc_OSError, std::string("cannot start threads: ") + failure.what());
        }
        if (!tree) {
            return {};
        }
        if (!*tree) {
            return raise_os_error(tree->error(), *expanded);
        }
        return tree_into_py(std::move(**tree));
    });
}

PyObject* load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard_object([&]() -> Ref {
        PyObject* slot = nullptr;
        if (!bind_arguments({"load", kLoadNames, 1}, args, nargs, kwnames, {&slot, 1})) {
            return {};
        }
        const auto path = path_argument(slot, "path");
        const auto expanded = path ? expand_user_path(*path) : std::nullopt;
        if (!expanded) {
            return {};
        }
        core::Result<core::Tree> tree = std::unexpected(core::Error{});
        {
            AllowThreads released;
            tree = core::load_scan_file(*expanded);
        }
        if (tree) {
            return tree_into_py(std::move(*tree));
        }
        if (core::is_not_a_saved_scan(tree.error())) {
            return raise(PyExc_ValueError,
                         core::to_utf8_lossy(*expanded) + ": " + tree.error().message);
        }
        return raise_os_error(tree.error(), *expanded);
    });
}

PyObject* mounts(PyObject*, PyObject*) {
    return guard_object([&]() -> Ref {
        std::expected<std::vector<core::sys::Mount>, int> listed;
        {
            AllowThreads released;
            listed = core::sys::list_mounts();
        }
        if (!listed) {
            return raise_os_error(core::Error::os(listed.error(), {}), kMountTable);
        }
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(listed->size())));
        for (size_t k = 0; list && k < listed->size(); ++k) {
            Ref mount = mount_into_py(std::move((*listed)[k]));
            if (!mount ||
                PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), mount.release()) != 0) {
                return {};
            }
        }
        return list;
    });
}

// collections.abc.Sequence, kept for the life of the process.
PyObject* sequence_class() {
    static PyObject* cached = nullptr;
    if (cached == nullptr) {
        cached = import_attribute("collections.abc", "Sequence").release();
    }
    return cached;
}

// sys.argv as the command line takes it: a sequence of str, read once, item
// by item, each in the file-system encoding.
std::optional<std::vector<std::string>> command_line_arguments() {
    Ref argv = import_attribute("sys", "argv");
    if (!argv) {
        return std::nullopt;
    }
    if (PyUnicode_Check(argv.get())) {
        raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return std::nullopt;
    }
    PyObject* sequence = sequence_class();
    if (sequence == nullptr) {
        return std::nullopt;
    }
    const int is_sequence = PyObject_IsInstance(argv.get(), sequence);
    if (is_sequence < 0) {
        return std::nullopt;
    }
    if (is_sequence == 0) {
        raise(PyExc_TypeError,
              "'" + type_name_of(argv.get()) + "' object cannot be converted to 'Sequence'");
        return std::nullopt;
    }
    const Py_ssize_t count = PySequence_Size(argv.get());
    if (count < 0) {
        return std::nullopt;
    }
    std::vector<std::string> args;
    args.reserve(static_cast<size_t>(count));
    for (Py_ssize_t k = 0; k < count; ++k) {
        Ref item = Ref::steal(PySequence_GetItem(argv.get(), k));
        if (!item) {
            return std::nullopt;
        }
        if (!PyUnicode_Check(item.get())) {
            raise(PyExc_TypeError,
                  "'" + type_name_of(item.get()) + "' object cannot be converted to 'PyString'");
            return std::nullopt;
        }
        auto arg = fs_encode(item.get());
        if (!arg) {
            return std::nullopt;
        }
        args.push_back(std::move(*arg));
    }
    return args;
}

// Text Python code printed before the command line runs comes out before the
// command's own output, which goes straight to the descriptors.
void flush_python_streams() {
    for (const char* name : {"stdout", "stderr"}) {
        Ref stream = import_attribute("sys", name);
        if (stream && stream.get() != Py_None) {
            Ref done = Ref::steal(PyObject_CallMethod(stream.get(), "flush", nullptr));
        }
        PyErr_Clear();
    }
}

PyObject* cli(PyObject*, PyObject*) {
    return guard_object([&]() -> Ref {
        const auto args = command_line_arguments();
        if (!args) {
            return {};
        }
        flush_python_streams();
        int status = 0;
        {
            // The command ends the process itself after help, version and a
            // parse error, as a command-line parser does.
            AllowThreads released;
            status = app::cli_main(*args);
            std::cout.flush();
            std::cerr.flush();
            std::fflush(nullptr);
        }
        return Ref::steal(PyLong_FromLong(status & 0xFF));
    });
}

constexpr int kCallFlags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef functions[] = {
    {"scan", as_cfunction(&scan), kCallFlags,
     "scan(path, threads=None)\n--\n\nScans `path` with `threads` threads, or as many as help, "
     "with the GIL\nreleased."},
    {"live", as_cfunction(&live_function), kCallFlags,
     "live(path, interval=0.5, threads=None, shown_only=False)\n--\n\nScans `path` and keeps "
     "following it: see `Event`. `interval` is how\noften, in seconds, a snapshot comes while "
     "scanning, and changes after.\n`shown_only`: on Linux, follow only the folders given to "
     "`follow`."},
    {"load", as_cfunction(&load), kCallFlags,
     "load(path)\n--\n\nThe scan `Tree.save` wrote to `path` (`~` expanded). `ValueError` "
     "if\nthe file is not one, or is of another version of bramwex."},
    {"mounts", as_cfunction(&mounts), METH_NOARGS,
     "mounts()\n--\n\nEvery mounted filesystem, with its sizes."},
    {"_cli", as_cfunction(&cli), METH_NOARGS,
     "_cli()\n--\n\nThe `bramwex` console script: the command line, from `sys.argv`."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* module_functions() {
    return functions;
}

}  // namespace bramwex::binding
