"""The package around the compiled module: its public names, version and pickled names."""

import pathlib
import pickle
import subprocess
import sys
import textwrap
import tomllib

import numpy as np
import pytest

import vexilo
from vexilo import Encoder, PanicException

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_package_exposes_only_its_public_names():
    public = {name for name in dir(vexilo) if not name.startswith("_")} - {"sklearn", "dask", "ray"}
    assert public == {"Encoder", "PanicException"} == set(vexilo.__all__)
    assert Encoder.__module__ == PanicException.__module__ == "vexilo"
    assert Encoder.__qualname__ == "Encoder"
    assert PanicException.__bases__ == (BaseException,)


def test_version_is_the_project_version():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    assert vexilo.__version__ == project["version"]


def test_pickles_name_the_package_and_load_in_a_fresh_process():
    encoder = Encoder()
    encoder.encode(np.array([["b"], ["a"]], dtype=object))
    data = pickle.dumps(encoder)
    assert b"vexilo" in data and b"Encoder" in data and b"vexilo.vexilo" not in data
    script = textwrap.dedent(
        """
        import pickle, sys
        import numpy as np
        encoder = pickle.loads(sys.stdin.buffer.read())
        print(encoder.decode(np.array([[0.0], [1.0]])).ravel().tolist())
        """
    )
    result = subprocess.run([sys.executable, "-c", script], input=data, capture_output=True,
                            timeout=120)
    assert result.stdout.decode().strip() == "['a', 'b']", result.stderr.decode()


def test_internal_failure_is_caught_by_its_name():
    encoder = Encoder()
    # Column 0 is listed as categorical but has no inverse map.
    encoder.__setstate__(b"\x01" + (1).to_bytes(8, "little") + bytes(8) + bytes(16) + bytes(4))
    with pytest.raises(PanicException):
        encoder.decode(np.array([[0.0]]))


def test_pandas_is_imported_only_for_frame_results():
    script = textwrap.dedent(
        """
        import sys
        import numpy as np
        import vexilo
        encoder = vexilo.Encoder()
        codes, _ = encoder.encode(np.array([["b", 1], ["a", 2]], dtype=object))
        encoder.decode(codes)
        print("pandas" in sys.modules)
        """
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=120)
    assert result.stdout.strip() == "False", result.stderr
