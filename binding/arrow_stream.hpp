// A FolderBatch handed out through the Arrow C interfaces: its schema, its
// one struct array, and a stream that yields that array once and then ends.
// Every exported record owns what it allocated and frees it in its release
// callback, exactly once; the batch's buffers stay alive for as long as any
// exported array still refers to them.
#pragma once

#include <memory>

#include "binding/arrow_c.hpp"
#include "binding/folder_batch.hpp"

namespace bramwex::binding {

// The struct schema of the eight columns, into out.
void export_folder_schema(const FolderBatch& batch, ArrowSchema* out);

// The batch as one struct array, into out.
void export_folder_array(std::shared_ptr<const FolderBatch> batch, ArrowArray* out);

// A stream over the batch, into out: get_schema any number of times, then
// get_next gives the array once and an array with a null release after it.
void export_folder_stream(std::shared_ptr<const FolderBatch> batch, ArrowArrayStream* out);

}  // namespace bramwex::binding
