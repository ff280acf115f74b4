#include "binding/arrow_stream.hpp"

#include <array>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace bramwex::binding {

namespace {

// --- schema ---

struct Field {
    const char* name;
    const char* format;
    const char* dictionary_format;  // null unless dictionary-encoded
};

// uint32 "I", uint64 "L", boolean "b", large UTF-8 "U".
constexpr std::array<Field, 8> kFields = {{
    {"id", "I", nullptr},
    {"parent", "I", nullptr},
    {"name", "I", "U"},
    {"size", "L", nullptr},
    {"own", "L", nullptr},
    {"denied", "b", nullptr},
    {"partial", "b", nullptr},
    {"other_device", "b", nullptr},
}};

// What one exported schema node owns: the records of its children and of
// its dictionary; each of those has a node of its own.
struct SchemaNode {
    std::unique_ptr<ArrowSchema[]> children;
    std::vector<ArrowSchema*> child_pointers;
    std::unique_ptr<ArrowSchema> dictionary;
};

void release_schema(ArrowSchema* schema) {
    auto* node = static_cast<SchemaNode*>(schema->private_data);
    // A child a consumer moved away has a null release and is its own now.
    for (ArrowSchema* child : node->child_pointers) {
        if (child->release != nullptr) {
            child->release(child);
        }
    }
    if (node->dictionary && node->dictionary->release != nullptr) {
        node->dictionary->release(node->dictionary.get());
    }
    delete node;
    schema->release = nullptr;
}

void fill_schema(ArrowSchema* out, const char* format, const char* name, int64_t flags,
                 SchemaNode* node) {
    out->format = format;
    out->name = name;
    out->metadata = nullptr;
    out->flags = flags;
    out->n_children = static_cast<int64_t>(node->child_pointers.size());
    out->children = node->child_pointers.empty() ? nullptr : node->child_pointers.data();
    out->dictionary = node->dictionary.get();
    out->release = &release_schema;
    out->private_data = node;
}

int64_t nulls_in_column(const FolderBatch& batch, size_t column) {
    return column == 1 ? batch.parent_nulls : 0;
}

// --- arrays ---

struct ArrayNode {
    std::shared_ptr<const FolderBatch> batch;  // keeps the buffers alive
    std::array<const void*, 3> buffers{};
    std::unique_ptr<ArrowArray[]> children;
    std::vector<ArrowArray*> child_pointers;
    std::unique_ptr<ArrowArray> dictionary;
};

void release_array(ArrowArray* array) {
    auto* node = static_cast<ArrayNode*>(array->private_data);
    for (ArrowArray* child : node->child_pointers) {
        if (child->release != nullptr) {
            child->release(child);
        }
    }
    if (node->dictionary && node->dictionary->release != nullptr) {
        node->dictionary->release(node->dictionary.get());
    }
    delete node;
    array->release = nullptr;
}

// Zero-length buffers still want an address.
const void* address_of(const void* data) {
    alignas(64) static const uint64_t kEmpty[8] = {};
    return data != nullptr ? data : kEmpty;
}

void fill_array(ArrowArray* out, int64_t length, int64_t null_count, int64_t buffer_count,
                ArrayNode* node) {
    out->length = length;
    out->null_count = null_count;
    out->offset = 0;
    out->n_buffers = buffer_count;
    out->n_children = static_cast<int64_t>(node->child_pointers.size());
    out->buffers = node->buffers.data();
    out->children = node->child_pointers.empty() ? nullptr : node->child_pointers.data();
    out->dictionary = node->dictionary.get();
    out->release = &release_array;
    out->private_data = node;
}

// The validity and data buffers of column k (the validity null when the
// column has no nulls).
std::array<const void*, 2> column_buffers(const FolderBatch& batch, size_t column) {
    switch (column) {
        case 0:
            return {nullptr, address_of(batch.id.data())};
        case 1:
            return {address_of(batch.parent_valid.data()), address_of(batch.parent.data())};
        case 2:
            return {nullptr, address_of(batch.name_key.data())};
        case 3:
            return {nullptr, address_of(batch.size.data())};
        case 4:
            return {nullptr, address_of(batch.own.data())};
        case 5:
            return {nullptr, address_of(batch.denied.data())};
        case 6:
            return {nullptr, address_of(batch.partial.data())};
        default:
            return {nullptr, address_of(batch.other_device.data())};
    }
}

void export_name_values(const std::shared_ptr<const FolderBatch>& batch, ArrowArray* out) {
    auto node = std::make_unique<ArrayNode>();
    node->batch = batch;
    node->buffers = {nullptr, address_of(batch->name_offsets.data()),
                     address_of(batch->name_text.data())};
    fill_array(out, batch->name_count, 0, 3, node.release());
}

void export_column(const std::shared_ptr<const FolderBatch>& batch, size_t column,
                   ArrowArray* out) {
    auto node = std::make_unique<ArrayNode>();
    node->batch = batch;
    const auto buffers = column_buffers(*batch, column);
    node->buffers = {buffers[0], buffers[1], nullptr};
    if (kFields[column].dictionary_format != nullptr) {
        node->dictionary = std::make_unique<ArrowArray>();
        node->dictionary->release = nullptr;
        export_name_values(batch, node->dictionary.get());
    }
    fill_array(out, batch->rows, nulls_in_column(*batch, column), 2, node.release());
}

// --- stream ---

struct StreamState {
    std::shared_ptr<const FolderBatch> batch;
    bool delivered = false;
    std::string last_error;
};

StreamState& state_of(ArrowArrayStream* stream) {
    return *static_cast<StreamState*>(stream->private_data);
}

// The callbacks are called from C: nothing may leave them as an exception.
template <class Body>
int run_callback(ArrowArrayStream* stream, Body&& body) noexcept {
    try {
        body();
        return 0;
    } catch (const std::bad_alloc&) {
        state_of(stream).last_error = "out of memory";
        return ENOMEM;
    } catch (const std::exception& error) {
        state_of(stream).last_error = error.what();
        return EIO;
    } catch (...) {
        return EIO;
    }
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    return run_callback(stream, [&] { export_folder_schema(*state_of(stream).batch, out); });
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
    return run_callback(stream, [&] {
        StreamState& state = state_of(stream);
        if (state.delivered) {
            std::memset(out, 0, sizeof *out);  // the end: a released array
            return;
        }
        export_folder_array(state.batch, out);
        state.delivered = true;
    });
}

const char* stream_get_last_error(ArrowArrayStream* stream) {
    const std::string& error = state_of(stream).last_error;
    return error.empty() ? nullptr : error.c_str();
}

void stream_release(ArrowArrayStream* stream) {
    delete static_cast<StreamState*>(stream->private_data);
    stream->private_data = nullptr;
    stream->release = nullptr;
}

}  // namespace

void export_folder_schema(const FolderBatch& batch, ArrowSchema* out) {
    auto root = std::make_unique<SchemaNode>();
    root->children = std::make_unique<ArrowSchema[]>(kFields.size());
    for (size_t k = 0; k < kFields.size(); ++k) {
        root->children[k].release = nullptr;
        root->child_pointers.push_back(&root->children[k]);
    }
    // Children are filled one by one; should one fail, those already filled
    // are released by the root's release below.
    fill_schema(out, "+s", "", 0, root.release());
    try {
        auto* node = static_cast<SchemaNode*>(out->private_data);
        for (size_t k = 0; k < kFields.size(); ++k) {
            const Field& field = kFields[k];
            auto child = std::make_unique<SchemaNode>();
            if (field.dictionary_format != nullptr) {
                child->dictionary = std::make_unique<ArrowSchema>();
                fill_schema(child->dictionary.get(), field.dictionary_format, nullptr, 0,
                            new SchemaNode());
            }
            const int64_t flags = nulls_in_column(batch, k) > 0 ? ARROW_FLAG_NULLABLE : 0;
            fill_schema(&node->children[k], field.format, field.name, flags, child.release());
        }
    } catch (...) {
        out->release(out);
        throw;
    }
}

void export_folder_array(std::shared_ptr<const FolderBatch> batch, ArrowArray* out) {
    auto root = std::make_unique<ArrayNode>();
    root->batch = batch;
    root->children = std::make_unique<ArrowArray[]>(kFields.size());
    for (size_t k = 0; k < kFields.size(); ++k) {
        root->children[k].release = nullptr;
        root->child_pointers.push_back(&root->children[k]);
    }
    const int64_t rows = batch->rows;
    fill_array(out, rows, 0, 1, root.release());
    try {
        auto* node = static_cast<ArrayNode*>(out->private_data);
        for (size_t k = 0; k < kFields.size(); ++k) {
            export_column(batch, k, &node->children[k]);
        }
    } catch (...) {
        out->release(out);
        throw;
    }
}

void export_folder_stream(std::shared_ptr<const FolderBatch> batch, ArrowArrayStream* out) {
    auto state = std::make_unique<StreamState>();
    state->batch = std::move(batch);
    out->get_schema = &stream_get_schema;
    out->get_next = &stream_get_next;
    out->get_last_error = &stream_get_last_error;
    out->release = &stream_release;
    out->private_data = state.release();
}

}  // namespace bramwex::binding
