"""Fixtures shared by the encoding tests: a fresh encoder, the internal-failure check, and a view
of an array that only offers shape and item access, so that every cell goes through the
interpreter."""

import contextlib

import pytest

import support
from vexilo import Encoder


@pytest.fixture
def encoder():
    return Encoder()


@pytest.fixture
def item_view():
    return support.item_view


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
