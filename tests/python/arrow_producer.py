"""A producer of Arrow C streams built with ctypes alone, whose every structure the tests can make
lie: a table of text columns (UTF-8 strings with int32 offsets) in chunks, handed out through
__arrow_c_stream__, counting the releases of the stream and of each array, and the threads the
callbacks ran on."""

import ctypes
import errno
import threading
from ctypes import POINTER, c_char_p, c_int, c_int64, c_void_p


class ArrowSchema(ctypes.Structure):
    pass


ArrowSchema._fields_ = [
    ("format", c_char_p), ("name", c_char_p), ("metadata", c_char_p), ("flags", c_int64),
    ("n_children", c_int64), ("children", POINTER(POINTER(ArrowSchema))),
    ("dictionary", POINTER(ArrowSchema)), ("release", c_void_p), ("private_data", c_void_p)]


class ArrowArray(ctypes.Structure):
    pass


ArrowArray._fields_ = [
    ("length", c_int64), ("null_count", c_int64), ("offset", c_int64), ("n_buffers", c_int64),
    ("n_children", c_int64), ("buffers", POINTER(c_void_p)),
    ("children", POINTER(POINTER(ArrowArray))), ("dictionary", POINTER(ArrowArray)),
    ("release", c_void_p), ("private_data", c_void_p)]


class ArrowArrayStream(ctypes.Structure):
    pass


GET_SCHEMA = ctypes.CFUNCTYPE(c_int, POINTER(ArrowArrayStream), POINTER(ArrowSchema))
GET_NEXT = ctypes.CFUNCTYPE(c_int, POINTER(ArrowArrayStream), POINTER(ArrowArray))
GET_LAST_ERROR = ctypes.CFUNCTYPE(c_void_p, POINTER(ArrowArrayStream))
RELEASE_STREAM = ctypes.CFUNCTYPE(None, POINTER(ArrowArrayStream))
RELEASE_SCHEMA = ctypes.CFUNCTYPE(None, POINTER(ArrowSchema))
RELEASE_ARRAY = ctypes.CFUNCTYPE(None, POINTER(ArrowArray))

ArrowArrayStream._fields_ = [
    ("get_schema", GET_SCHEMA), ("get_next", GET_NEXT), ("get_last_error", GET_LAST_ERROR),
    ("release", RELEASE_STREAM), ("private_data", c_void_p)]

_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = [c_void_p, c_char_p, c_void_p]


class Producer:
    """A table of text columns; chunks: a list of chunks, each a list of columns of texts (None
    for a null). lie(kind, struct_array, chunk_index) may change each array handed out;
    fail_at: the get_next call (0-based) that fails with EIO; endless: get_next repeats the last
    chunk forever; rows: what len() says (the chunks' rows by default)."""

    def __init__(self, chunks, names=None, lie=None, fail_at=None, endless=False, rows=None,
                 schema_format=b"+s", capsule_name=b"arrow_array_stream", fail_schema=False):
        self.chunks, self.lie, self.fail_at, self.endless = chunks, lie, fail_at, endless
        width = len(chunks[0]) if chunks else 1
        self.names = names or [f"c{i}".encode() for i in range(width)]
        self.rows = sum(len(c[0]) for c in chunks) if rows is None else rows
        self.schema_format, self.capsule_name, self.fail_schema = (
            schema_format, capsule_name, fail_schema)
        self.keep = []  # every ctypes object handed out stays alive with the producer
        self.arrays_given = self.arrays_released = self.streams_released = 0
        self.threads = set()
        self.calls = 0

    def __len__(self):
        return self.rows

    # The schema: a struct of UTF-8 columns.
    def _schema(self, out):
        children = (POINTER(ArrowSchema) * len(self.names))()
        for i, name in enumerate(self.names):
            child = ArrowSchema(format=b"u", name=name, flags=2, release=self._noop_schema_ptr)
            self.keep.append(child)
            children[i] = ctypes.pointer(child)
        self.keep.append(children)
        out.contents.format = self.schema_format
        out.contents.name = b""
        out.contents.n_children = len(self.names)
        out.contents.children = children
        out.contents.release = self._noop_schema_ptr

    def _column(self, texts):
        encoded = [b"" if t is None else t.encode() for t in texts]
        offsets = (ctypes.c_int32 * (len(texts) + 1))()
        for i, text in enumerate(encoded):
            offsets[i + 1] = offsets[i] + len(text)
        data = ctypes.create_string_buffer(b"".join(encoded) or b"\0")
        validity = (ctypes.c_uint8 * ((len(texts) + 7) // 8 or 1))()
        for i, text in enumerate(texts):
            if text is not None:
                validity[i // 8] |= 1 << (i % 8)
        buffers = (c_void_p * 3)(ctypes.addressof(validity), ctypes.addressof(offsets),
                                 ctypes.addressof(data))
        array = ArrowArray(length=len(texts), null_count=texts.count(None), n_buffers=3,
                           buffers=buffers, release=self._release_array_ptr)
        self.keep += [offsets, data, validity, buffers, array]
        self.arrays_given += 1
        return array

    def _array(self, out, chunk):
        columns = [self._column(texts) for texts in self.chunks[chunk]]
        children = (POINTER(ArrowArray) * len(columns))(*[ctypes.pointer(c) for c in columns])
        buffers = (c_void_p * 1)(None)
        self.keep += [children, buffers]
        out.contents.length = len(self.chunks[chunk][0]) if columns else 0
        out.contents.null_count = 0
        out.contents.offset = 0
        out.contents.n_buffers = 1
        out.contents.n_children = len(columns)
        out.contents.buffers = buffers
        out.contents.children = children
        out.contents.dictionary = None
        out.contents.release = self._release_array_ptr
        out.contents.private_data = len(columns)  # the true count, whatever a lie says
        self.arrays_given += 1
        if self.lie:
            self.lie(out.contents, chunk)

    def __arrow_c_stream__(self, requested_schema=None):
        def get_schema(stream, out):
            self.threads.add(threading.get_ident())
            if self.fail_schema:
                return errno.EIO
            self._schema(out)
            return 0

        def get_next(stream, out):
            self.threads.add(threading.get_ident())
            call, self.calls = self.calls, self.calls + 1
            if call == self.fail_at:
                return errno.EIO
            if call < len(self.chunks) or (self.endless and self.chunks):
                self._array(out, min(call, len(self.chunks) - 1))
            else:
                out.contents.release = None
            return 0

        def release_stream(stream):
            self.threads.add(threading.get_ident())
            self.streams_released += 1
            stream.contents.release = RELEASE_STREAM()

        message = ctypes.create_string_buffer(b"the producer broke")
        self.keep.append(message)
        stream = ArrowArrayStream(GET_SCHEMA(get_schema), GET_NEXT(get_next),
                                  GET_LAST_ERROR(lambda stream: ctypes.addressof(message)),
                                  RELEASE_STREAM(release_stream))
        self.keep += [stream, stream.get_schema, stream.get_next, stream.get_last_error,
                      stream.release]
        return _capsule_new(ctypes.addressof(stream), self.capsule_name, None)

    # Releases: arrays count theirs (children included), schemas need nothing freed.
    @property
    def _noop_schema_ptr(self):
        if not hasattr(self, "_noop_schema"):
            def release(schema):
                schema.contents.release = None
            self._noop_schema = RELEASE_SCHEMA(release)
        return ctypes.cast(self._noop_schema, c_void_p)

    @property
    def _release_array_ptr(self):
        if not hasattr(self, "_release_array"):
            def release(array):
                self.threads.add(threading.get_ident())
                self.arrays_released += 1
                for i in range(array.contents.private_data or 0):
                    child = array.contents.children[i].contents
                    if child.release:
                        RELEASE_ARRAY(child.release)(ctypes.pointer(child))
                array.contents.release = None
            self._release_array = RELEASE_ARRAY(release)
        return ctypes.cast(self._release_array, c_void_p)
