"""Holds the opens of one folder (fanotify permission events), so that a test
acts at the moment the browser opens it, before the open returns. Needs
CAP_SYS_ADMIN; the tests using it skip without."""
import ctypes
import os
import select
import struct

import pytest

_CLASS_CONTENT, _CLOEXEC = 0x4, 0x1
_MARK_ADD, _OPEN_PERM, _ON_DIR = 0x1, 0x10000, 1 << 30
_ALLOW = 1
_METADATA = struct.Struct("=IBBHQii")  # length, version, reserved, size, mask, fd, pid


class HeldOpens:
    def __init__(self, folder):
        libc = ctypes.CDLL(None, use_errno=True)
        libc.fanotify_mark.argtypes = [ctypes.c_int, ctypes.c_uint, ctypes.c_uint64,
                                       ctypes.c_int, ctypes.c_char_p]
        self.fd = libc.fanotify_init(_CLASS_CONTENT | _CLOEXEC, os.O_RDONLY)
        if self.fd < 0:
            pytest.skip(f"fanotify: {os.strerror(ctypes.get_errno())}")
        if libc.fanotify_mark(self.fd, _MARK_ADD, _OPEN_PERM | _ON_DIR, -100,
                              os.fsencode(folder)) < 0:
            error = ctypes.get_errno()
            os.close(self.fd)
            pytest.skip(f"fanotify: {os.strerror(error)}")
        self.held = []

    def wait(self, timeout=30):
        """Waits for the next open of the folder, which stays held."""
        assert select.select([self.fd], [], [], timeout)[0], "the folder was not opened"
        event = os.read(self.fd, _METADATA.size)
        self.held.append(_METADATA.unpack(event)[5])

    def release(self):
        """Lets the held opens go on."""
        for opened in self.held:
            os.write(self.fd, struct.pack("=iI", opened, _ALLOW))
            os.close(opened)
        self.held.clear()

    def __enter__(self):
        return self

    def __exit__(self, *failure):
        self.release()
        os.close(self.fd)  # later opens are no longer held
