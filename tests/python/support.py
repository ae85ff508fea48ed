"""Helpers shared by the Python tests: the empty state, builders and a reader of state bytes, a
one-column object table, the fakes that input conversion takes for arrays and frames by their
type's name, hostile cells, and the outcome of encoding a table for comparing two routes."""

import itertools
import struct
import subprocess
import sys
import textwrap

import numpy as np

from vexilo import Encoder

# The state of an encoder that has learned nothing: no encoding info, string encoding 0.
EMPTY_STATE = b"\x00" * 5


class Boom(Exception):
    """The exception hostile cells and fakes raise."""


def run_python(code, **kwargs):
    """Runs code (dedented) in a fresh interpreter, capturing its output as text."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120, **kwargs)


def encoder_with(state, inverse=None):
    """A new Encoder restored from state bytes, or, given inverse maps, from the state that
    make_state builds of them with state as its categorical columns."""
    encoder = Encoder()
    encoder.__setstate__(state if inverse is None else make_state(state, inverse))
    return encoder


# ---------------------------------------------------------------------------------------------
# Fakes taken for a NumPy array or a pandas frame by their type's name


class _Scripted:
    """Public attributes holding an exception raise it when read; absent ones stay absent."""

    def __getattribute__(self, name):
        value = object.__getattribute__(self, name)
        if isinstance(value, BaseException) and not name.startswith("_"):
            raise value
        return value


def _no_cell(key):
    raise Boom(f"no cell {key}")


class ndarray(_Scripted):  # noqa: N801 - input conversion dispatches on the type's name
    """Offers shape and item access only, so every cell goes through the interpreter: read(key)
    gives each cell, and without it every read fails with Boom("no cell (r, c)").
    ndarray.__new__(ndarray) has no shape at all."""

    def __init__(self, shape, read=_no_cell):
        self.shape = shape
        self._read = read

    def __getitem__(self, key):
        return self._read(key)


def item_view(array):
    """array seen through shape and item access only: no memory of it is read."""
    return ndarray(array.shape, array.__getitem__)


def reads_then_fails(cell, count, error=None):
    """A read for ndarray: cell for the first count reads, then error (Boom("no cell (r, c)")
    unless given)."""
    reads = itertools.count()

    def read(key):
        if next(reads) < count:
            return cell
        raise error if error is not None else Boom(f"no cell {key}")

    return read


class DataFrame(_Scripted):  # noqa: N801 - input conversion dispatches on the type's name
    """Read through its columns, shape and values, each absent when None; shape is that of the
    values unless given."""

    def __init__(self, columns=None, values=None, shape=None):
        for name, value in [("columns", columns), ("values", values),
                            ("shape", getattr(values, "shape", None) if shape is None else shape)]:
            if value is not None:
                setattr(self, name, value)


class Labels:
    """A columns object that is not a sequence and whose tolist() returns what it is given."""

    def __init__(self, listed):
        self.listed = listed

    def tolist(self):
        return self.listed


# ---------------------------------------------------------------------------------------------
# Hostile cells


class Cell:
    """A table cell with scripted conversions: each of str_ / float_ is a value or an exception
    (float_ None: not a number)."""

    def __init__(self, str_="cell", float_=None):
        self.str_ = str_
        self.float_ = float_

    def __str__(self):
        if isinstance(self.str_, BaseException):
            raise self.str_
        return self.str_

    def __float__(self):
        if isinstance(self.float_, BaseException):
            raise self.float_
        if self.float_ is None:
            raise TypeError("not a number")
        return self.float_


class Unprintable:
    """A cell that is no number and whose str() raises a new kind("no text")."""

    def __init__(self, kind=Boom):
        self.kind = kind

    def __float__(self):
        raise TypeError("not a number")

    def __str__(self):
        raise self.kind("no text")


class Reentrant:
    """A cell whose str() runs call, which calls back into an encoder: the call's result or
    RuntimeError is kept in outcome, then str() gives text, or raises that RuntimeError again
    when reraise."""

    def __init__(self, call, text="cell", reraise=False):
        self.call, self.text, self.reraise = call, text, reraise
        self.outcome = None

    def __str__(self):
        try:
            self.outcome = self.call()
        except RuntimeError as error:
            self.outcome = error
            if self.reraise:
                raise
        return self.text


def call_outcomes(calls):
    """Runs each (name, call): {name: "ran", or the message of the RuntimeError it raised}."""
    outcomes = {}
    for name, call in calls:
        try:
            call()
            outcomes[name] = "ran"
        except RuntimeError as error:
            outcomes[name] = str(error)
    return outcomes


# ---------------------------------------------------------------------------------------------
# Outcomes of encoding, for comparing two routes


def bits(table):
    return np.asarray(table).view(np.uint64).tolist()


def outcome(table, transform=False):
    """The codes' bits, categorical columns and parsed learned state of encoding table; with
    transform, also the bits that transform(unknown="error") of table then gives (or how it
    failed)."""
    encoder = Encoder()
    codes, categorical = encoder.encode(table)
    result = bits(codes), categorical, parse_state(encoder.__getstate__())
    if not transform:
        return result
    try:
        transformed = bits(encoder.transform(table, unknown="error"))
    except Exception as error:  # noqa: BLE001 - both routes must fail alike
        transformed = f"{type(error).__name__}: {error}"
    return (*result, transformed)


def outcome_or_failure(table, transform=False):
    """outcome, or how encoding failed."""
    try:
        return outcome(table, transform)
    except BaseException as error:  # noqa: BLE001 - both routes must fail alike
        return f"{type(error).__name__}: {error}"


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

    def maps(self, entry):
        """{column: {key: value}} of a count of maps, each a column and a count of entries read
        by entry() as (key, value); a repeated column or key keeps the last."""
        maps = {}
        for _ in range(self.u64()):
            column = self.u64()
            maps[column] = dict(entry() for _ in range(self.u64()))
        return maps


def parse_state(data):
    """Reads state bytes into (columns, forward maps, inverse maps), or None for the empty
    state; map order is dropped, so equal states compare equal whatever order they were
    written in. Asserts the bytes are well-formed and fully used."""
    cursor = _Cursor(bytes(data))
    info = None
    if cursor.u8():
        columns = [cursor.u64() for _ in range(cursor.u64())]
        forward = cursor.maps(lambda: (cursor.text(), cursor.u64() if cursor.u8() else None))
        inverse = cursor.maps(lambda: (cursor.u64(), cursor.text()))
        info = (columns, forward, inverse)
    assert cursor.take(4) == b"\x00" * 4
    assert cursor.pos == len(data), "trailing bytes"
    return info
