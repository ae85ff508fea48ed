"""Helpers shared by the Python tests: the empty state, builders and a reader of state bytes, a
one-column object table, and the exception that hostile cells raise."""

import struct

import numpy as np

# The state of an encoder that has learned nothing: no encoding info, string encoding 0.
EMPTY_STATE = b"\x00" * 5


class Boom(Exception):
    """The exception hostile cells and fakes raise."""


def column(*cells):
    """A rows x 1 object array holding cells as they are (no sequence is unpacked)."""
    table = np.empty((len(cells), 1), dtype=object)
    for row, cell in enumerate(cells):
        table[row, 0] = cell
    return table


def u64(value):
    return struct.pack("<Q", value)


def text(value):
    data = value.encode() if isinstance(value, str) else value
    return u64(len(data)) + data


def build_state(columns, forward, inverse):
    """Writes a present state; maps are lists of (key, value) pairs so keys may repeat."""
    out = [b"\x01", u64(len(columns))] + [u64(c) for c in columns]
    out.append(u64(len(forward)))
    for col, entries in forward:
        out += [u64(col), u64(len(entries))]
        for key, code in entries:
            out += [text(key), b"\x00" if code is None else b"\x01" + u64(code)]
    out.append(u64(len(inverse)))
    for col, entries in inverse:
        out += [u64(col), u64(len(entries))]
        for code, value in entries:
            out += [u64(code), text(value)]
    out.append(b"\x00" * 4)
    return b"".join(out)


def make_state(columns, inverse, forward=None):
    """Bytes of a learned state: categorical columns and per-column inverse maps {code: label};
    the forward maps are the inverses' unless given ({column: {label: code or None}})."""
    if forward is None:
        forward = {c: {label: code for code, label in m.items()} for c, m in inverse.items()}
    return build_state(columns, [(c, list(m.items())) for c, m in forward.items()],
                       [(c, list(m.items())) for c, m in inverse.items()])


class _Cursor:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def take(self, size):
        chunk = self.data[self.pos:self.pos + size]
        assert len(chunk) == size, "state ends early"
        self.pos += size
        return chunk

    def u8(self):
        return self.take(1)[0]

    def u64(self):
        return struct.unpack("<Q", self.take(8))[0]

    def text(self):
        return self.take(self.u64()).decode()


def parse_state(data):
    """Reads state bytes into (columns, forward maps, inverse maps), or None for the empty
    state; map order is dropped, so equal states compare equal whatever order they were
    written in. Asserts the bytes are well-formed and fully used."""
    cursor = _Cursor(bytes(data))
    info = None
    if cursor.u8():
        columns = [cursor.u64() for _ in range(cursor.u64())]
        forward = {}
        for _ in range(cursor.u64()):
            column = cursor.u64()
            forward[column] = {}
            for _ in range(cursor.u64()):
                key = cursor.text()
                forward[column][key] = cursor.u64() if cursor.u8() else None
        inverse = {}
        for _ in range(cursor.u64()):
            column = cursor.u64()
            inverse[column] = {}
            for _ in range(cursor.u64()):
                code = cursor.u64()
                inverse[column][code] = cursor.text()
        info = (columns, forward, inverse)
    assert cursor.take(4) == b"\x00" * 4
    assert cursor.pos == len(data), "trailing bytes"
    return info
