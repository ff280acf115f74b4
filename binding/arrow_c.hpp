// The Arrow C data interface and C stream interface: the three records and
// the flag bits through which any Arrow implementation takes over columnar
// data without copying it. The layout is an ABI fixed by the Arrow format's
// documentation; every producer and consumer declares it the same way.
#pragma once

#include <cstdint>

extern "C" {

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
    const char* format;    // the type, in the interface's format-string language
    const char* name;      // the field name, or null
    const char* metadata;  // binary key/value metadata, or null
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema** children;
    struct ArrowSchema* dictionary;        // the value type of a dictionary-encoded field
    void (*release)(struct ArrowSchema*);  // null once released (or moved away)
    void* private_data;
};

struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;  // buffer 0 is the validity bitmap, null when nothing is null
    struct ArrowArray** children;
    struct ArrowArray* dictionary;
    void (*release)(struct ArrowArray*);
    void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
    // Each returns 0 or an errno-compatible code; get_next leaves an array
    // with a null release at the end of the stream.
    int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
    int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
    const char* (*get_last_error)(struct ArrowArrayStream*);
    void (*release)(struct ArrowArrayStream*);
    void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE
}
