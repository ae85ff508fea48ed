"""Fixtures shared by the encoding tests: a fresh encoder, the internal-failure check, and a view
of an array that only offers shape and item access, so that every cell goes through the
interpreter."""

import contextlib

import pytest

from vexilo import Encoder


class ndarray:  # noqa: N801 - input conversion dispatches on the type's name
    """Forwards shape and item access to a real array; nothing else, so no memory is read."""

    def __init__(self, array):
        self._array = array
        self.shape = array.shape

    def __getitem__(self, key):
        return self._array[key]


@pytest.fixture
def encoder():
    return Encoder()


@pytest.fixture
def item_view():
    return ndarray


@pytest.fixture
def panics():
    """panics(start): the block must raise PanicException whose message starts with start."""

    @contextlib.contextmanager
    def check(start):
        with pytest.raises(BaseException) as excinfo:
            yield excinfo
        kind = type(excinfo.value)
        assert kind.__name__ == "PanicException", repr(excinfo.value)
        assert issubclass(kind, BaseException) and not issubclass(kind, Exception)
        assert str(excinfo.value).startswith(start), str(excinfo.value)

    return check
