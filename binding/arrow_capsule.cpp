// Tree.__arrow_c_stream__: the folders as one record batch behind an Arrow
// C stream, in a capsule that the Arrow PyCapsule protocol's consumers take.
#include <memory>

#include "binding/arrow_stream.hpp"
#include "binding/tree_methods.hpp"

namespace bramwex::binding {

namespace {

constexpr const char* kStreamCapsuleName = "arrow_array_stream";
constexpr std::array<const char*, 1> kSchemaNames = {"requested_schema"};

// Frees the stream unless a consumer took it over: importing a stream moves
// it out of the capsule and leaves a null release behind.
void destroy_stream_capsule(PyObject* capsule) {
    auto* stream =
        static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsuleName));
    if (stream == nullptr) {
        PyErr_WriteUnraisable(capsule);
        return;
    }
    if (stream->release != nullptr) {
        stream->release(stream);
    }
    delete stream;
}

}  // namespace

PyObject* tree_arrow_c_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return guard_object([&]() -> Ref {
        // The requested schema is accepted and otherwise ignored: the stream
        // has one schema only.
        PyObject* requested_schema = nullptr;
        if (!bind_arguments({"Tree.__arrow_c_stream__", kSchemaNames, 0}, args, nargs, kwnames,
                            {&requested_schema, 1})) {
            return {};
        }
        auto batch = std::make_shared<const FolderBatch>(folder_batch(*tree_of(self).tree));
        auto stream = std::make_unique<ArrowArrayStream>();
        export_folder_stream(std::move(batch), stream.get());
        Ref capsule =
            Ref::steal(PyCapsule_New(stream.get(), kStreamCapsuleName, &destroy_stream_capsule));
        if (!capsule) {
            stream->release(stream.get());
            return {};
        }
        stream.release();  // the capsule's now
        return capsule;
    });
}

}  // namespace bramwex::binding
