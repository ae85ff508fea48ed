#!/usr/bin/env python3
"""Fuzzes __setstate__ with arbitrary bytes, then uses whatever state it accepted.

Reading must either succeed or raise ValueError. An accepted state must write back to at most the
bytes it was read from, read back again to the same length, and decode tables with nothing worse
than the documented internal failures of inconsistent states.
Run: python fuzz_py/fuzz_setstate.py [libFuzzer flags] [corpus dirs]   (see fuzz_py/run.sh)
"""

import sys

import atheris
import numpy as np
import pandas as pd

from vexilo import Encoder

# Internal failures that a state restored from bytes may legitimately cause while decoding.
EXPECTED_PANICS = ("no entry found for key", "ndarray: index out of bounds",
                   "index out of bounds: the len is ")


def decode_or_expected_panic(encoder, table, call="decode"):
    try:
        return getattr(encoder, call)(table)
    except ValueError as error:
        # transform refuses tables the restored state does not fit; decode only a table narrower
        # than the columns the state lists
        if call == "decode" and "that the learned categorical columns need" not in str(error):
            raise
        return None
    except Exception:
        raise
    except BaseException as error:
        if type(error).__name__ != "PanicException" or not str(error).startswith(EXPECTED_PANICS):
            raise
        return None


def TestOneInput(data):  # noqa: N802 - the name atheris looks for
    encoder = Encoder()
    try:
        encoder.__setstate__(data)
    except ValueError:
        assert encoder.__getstate__() == b"\x00" * 5  # a failed read leaves the state alone
        return
    state = encoder.__getstate__()
    assert len(state) <= len(data)
    again = Encoder()
    again.__setstate__(state)
    assert len(again.__getstate__()) == len(state)

    codes = np.array([[0.0, 1.0, 2.0], [3.0, np.nan, -1.0]])
    decode_or_expected_panic(encoder, codes)
    decode_or_expected_panic(encoder, pd.DataFrame(codes, columns=["a", "b", "c"]))
    decode_or_expected_panic(encoder, np.zeros((0, 2)))
    encoder.categories  # noqa: B018 - must build whatever the state holds
    texts = np.array([["a", 1.0, "nan"], ["1", None, "b"]], dtype=object)
    decode_or_expected_panic(encoder, texts, "transform")
    decode_or_expected_panic(encoder, codes, "transform")


def main():
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
