"""A consumer of the Arrow C stream interface written with ctypes alone, from
the interface's published layout: enough to read the folder table back and to
count how often each release callback runs."""
import ctypes
from ctypes import POINTER, Structure, c_char_p, c_int, c_int64, c_void_p

FLAG_NULLABLE = 2
ArrowSchema = type("ArrowSchema", (Structure,), {})
ArrowArray = type("ArrowArray", (Structure,), {})
ArrowArrayStream = type("ArrowArrayStream", (Structure,), {})

ArrowSchema._fields_ = [
    ("format", c_char_p), ("name", c_char_p), ("metadata", c_char_p), ("flags", c_int64),
    ("n_children", c_int64), ("children", POINTER(POINTER(ArrowSchema))),
    ("dictionary", POINTER(ArrowSchema)), ("release", c_void_p), ("private_data", c_void_p)]
ArrowArray._fields_ = [
    ("length", c_int64), ("null_count", c_int64), ("offset", c_int64), ("n_buffers", c_int64),
    ("n_children", c_int64), ("buffers", POINTER(c_void_p)),
    ("children", POINTER(POINTER(ArrowArray))), ("dictionary", POINTER(ArrowArray)),
    ("release", c_void_p), ("private_data", c_void_p)]

GET_SCHEMA = ctypes.CFUNCTYPE(c_int, POINTER(ArrowArrayStream), POINTER(ArrowSchema))
GET_NEXT = ctypes.CFUNCTYPE(c_int, POINTER(ArrowArrayStream), POINTER(ArrowArray))
GET_LAST_ERROR = ctypes.CFUNCTYPE(c_char_p, POINTER(ArrowArrayStream))

ArrowArrayStream._fields_ = [(name, c_void_p) for name in (
    "get_schema", "get_next", "get_last_error", "release", "private_data")]

_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = c_void_p
_get_pointer.argtypes = [ctypes.py_object, c_char_p]


def stream_in(capsule) -> ArrowArrayStream:
    """The stream record inside the capsule, in place."""
    return ArrowArrayStream.from_address(_get_pointer(capsule, b"arrow_array_stream"))


def move_stream(capsule) -> ArrowArrayStream:
    """Takes the stream over as a consumer does: copy it, clear the original."""
    inside = stream_in(capsule)
    moved = ArrowArrayStream.from_buffer_copy(inside)
    inside.release = None
    return moved


def release(record) -> None:
    ctypes.CFUNCTYPE(None, POINTER(type(record)))(record.release)(ctypes.byref(record))


class ReleaseCounter:
    """Puts a counting callback in front of a record's release callback."""

    def __init__(self, record):
        self.calls = 0
        self.original = ctypes.CFUNCTYPE(None, POINTER(type(record)))(record.release)

        def counted(pointer):
            self.calls += 1
            self.original(pointer)

        self.callback = ctypes.CFUNCTYPE(None, POINTER(type(record)))(counted)
        record.release = ctypes.cast(self.callback, c_void_p).value


def get_schema(stream: ArrowArrayStream) -> ArrowSchema:
    schema = ArrowSchema()
    assert GET_SCHEMA(stream.get_schema)(ctypes.byref(stream), ctypes.byref(schema)) == 0
    return schema


def get_next(stream: ArrowArrayStream) -> ArrowArray:
    array = ArrowArray()
    assert GET_NEXT(stream.get_next)(ctypes.byref(stream), ctypes.byref(array)) == 0
    return array


def last_error(stream: ArrowArrayStream):
    return GET_LAST_ERROR(stream.get_last_error)(ctypes.byref(stream))


def describe_schema(schema: ArrowSchema) -> list:
    """(name, format, flags, dictionary format or None) of each child."""
    return [(c.name.decode(), c.format.decode(), c.flags,
             c.dictionary.contents.format.decode() if c.dictionary else None)
            for c in (schema.children[k].contents for k in range(schema.n_children))]


def _values(address, ctype, count):
    return list((ctype * count).from_address(address)) if count else []


def _bits(address, count):
    data = (ctypes.c_uint8 * ((count + 7) // 8)).from_address(address)
    return [bool(data[k // 8] >> (k % 8) & 1) for k in range(count)]


def read_columns(array: ArrowArray, schema: ArrowSchema) -> dict:
    """Every column as a Python list (None for nulls); "name" as the decoded
    text of each row, and also its keys and dictionary values."""
    columns, rows = {}, array.length
    for k in range(array.n_children):
        child, field = array.children[k].contents, schema.children[k].contents
        assert child.length == rows and child.offset == 0
        valid = _bits(child.buffers[0], rows) if child.buffers[0] else [True] * rows
        assert child.null_count == valid.count(False)
        fmt = field.format.decode()
        if field.dictionary:
            values = child.dictionary.contents
            offsets = _values(values.buffers[1], ctypes.c_int64, values.length + 1)
            text = ctypes.string_at(values.buffers[2], offsets[-1]) if offsets[-1] else b""
            words = [text[offsets[i]:offsets[i + 1]].decode() for i in range(values.length)]
            columns["name_keys"] = keys = _values(child.buffers[1], ctypes.c_uint32, rows)
            columns["name_values"] = words
            data = [words[key] for key in keys]
        elif fmt == "b":
            data = _bits(child.buffers[1], rows)
        else:
            data = _values(child.buffers[1], {"I": ctypes.c_uint32, "L": ctypes.c_uint64}[fmt], rows)
        columns[field.name.decode()] = [value if ok else None for value, ok in zip(data, valid)]
    return columns


def read_table(tree) -> dict:
    """The whole stream of a tree, read and released as a consumer does."""
    stream = move_stream(tree.__arrow_c_stream__())
    schema, array = get_schema(stream), get_next(stream)
    try:
        return read_columns(array, schema)
    finally:
        release(array)
        release(schema)
        release(stream)
