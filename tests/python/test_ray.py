"""vexilo.ray: one encoding of a Ray Dataset, equal to encoding its table in one process."""

import logging
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

if os.environ.get("VEXILO_REQUIRE_RAY"):
    # Where CI installs Ray, a failing import fails these tests instead of skipping them.
    import ray
    import ray.data as rd
else:
    ray = pytest.importorskip("ray")
    rd = pytest.importorskip("ray.data")

import pandas as pd  # noqa: E402
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from support import Unprintable, parse_state  # noqa: E402

import vexilo.ray as vr  # noqa: E402
from vexilo import Encoder  # noqa: E402


@pytest.fixture(scope="module", autouse=True)
def cluster():
    """One local Ray for the module; its workers import the test helpers as this process does."""
    here = str(Path(__file__).resolve().parent)
    paths = [here, os.environ.get("PYTHONPATH", "")]
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False,
             logging_level=logging.ERROR,
             runtime_env={"env_vars": {"PYTHONPATH": os.pathsep.join(filter(None, paths))}})
    rd.DataContext.get_current().enable_progress_bars = False
    yield
    ray.shutdown()


CELLS = [1, 2.5, 1.0, -0.0, True, "x", "ü", "漢字", "nan", "NaN", "None", None, np.nan, "1",
         "1.0"]


def column(rng, rows, kind):
    def pick(values):
        return np.array(values, dtype=object)[rng.integers(0, len(values), rows)]

    if kind == "mixed":
        return pd.Series(pick(CELLS), dtype=object)
    if kind == "late":  # numbers turning categorical in the last rows only
        cells = [float(x) for x in rng.integers(0, 4, rows)]
        if rows:
            cells[-1 - int(rng.integers(0, min(rows, 2)))] = "late"
        return pd.Series(cells, dtype=object)
    if kind == "missing":
        return pd.Series([np.nan] * rows, dtype=object)
    if kind == "int64":
        return pd.Series(rng.integers(0, 9, rows))
    return pd.Series(pick(["a", "b", "ä", None]), dtype="str")


KINDS = ["mixed", "late", "missing", "int64", "str"]


def dataset(frame, rng, parts):
    """frame as a Ray Dataset of `parts` blocks cut at random rows, empty blocks included."""
    cuts = np.sort(rng.integers(0, len(frame) + 1, parts - 1))
    bounds = [0, *cuts.tolist(), len(frame)]
    return rd.from_pandas([frame.iloc[a:b].reset_index(drop=True)
                           for a, b in zip(bounds, bounds[1:])])


def floats(codes):
    return codes.to_numpy(dtype=np.float64, na_value=np.nan)


def assert_same_encoding(ds):
    whole = ds.to_pandas()
    encoder = Encoder()
    want, categorical = encoder.encode(whole)
    codes, got_categorical, got_encoder = vr.encode(ds)
    assert got_categorical == categorical
    got = codes.to_pandas()
    assert list(got.columns) == list(whole.columns)
    np.testing.assert_array_equal(floats(got), floats(want))
    assert parse_state(got_encoder.__getstate__()) == parse_state(encoder.__getstate__())
    return got_encoder


@settings(max_examples=8, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), parts=st.integers(1, 6))
def test_random_tables_at_random_blocks_encode_as_the_whole_table(seed, parts):
    rng = np.random.default_rng(seed)
    kinds = rng.choice(KINDS, int(rng.integers(1, 5)))
    rows = int(rng.integers(0, 30))
    frame = pd.DataFrame({f"c{j}": column(rng, rows, kind) for j, kind in enumerate(kinds)})
    assert_same_encoding(dataset(frame, rng, parts))


def test_a_column_turning_in_the_last_block_reads_every_earlier_number_as_a_number():
    frame = pd.DataFrame({
        "late": pd.Series([1.0, 2.0, 1.0, 2.5, 1.0, "z"], dtype=object),
        "early": pd.Series([1.0, "ü", 1.0, 2.0, np.nan, "x"], dtype=object),
        "markers": pd.Series(["nan", np.nan, None, "NaN", None, np.nan], dtype=object),
    })
    for bounds in ([0, 2, 2, 4, 6], [0, 1, 2, 3, 4, 5, 6], [0, 5, 6]):
        ds = rd.from_pandas([frame.iloc[a:b].reset_index(drop=True)
                             for a, b in zip(bounds, bounds[1:])])
        encoder = assert_same_encoding(ds)
    assert encoder.categories[0] == ["1", "2", "2.5", "z"]
    assert encoder.categories[1] == ["1", "1.0", "2.0", "x", "ü"]


@pytest.mark.parametrize("kinds", [["str", "int64"], ["mixed", "late", "str"]],
                         ids=["texts only (lazy map)", "numbers among texts"])
@pytest.mark.parametrize("unknown", ["nan", -1.0, "error"])
def test_transform_codes_unknown_texts_as_transform_of_the_whole_table(kinds, unknown):
    rng = np.random.default_rng(11)
    train = pd.DataFrame({f"c{j}": column(rng, 30, k) for j, k in enumerate(kinds)})
    test = pd.DataFrame({f"c{j}": column(rng, 20, k) for j, k in enumerate(kinds)})
    test.loc[7, "c0"] = "never seen"
    encoder = Encoder()
    encoder.encode(train)
    ds = dataset(test, rng, 4)
    if unknown == "error":
        # Raised where the codes are computed, by Ray, which wraps the block's ValueError.
        with pytest.raises(Exception, match="(?s)ValueError.*never seen.*block"):
            vr.transform(ds, encoder, unknown=unknown).to_pandas()
        return
    want = encoder.transform(ds.to_pandas(), unknown=unknown)
    got = vr.transform(ds, encoder, unknown=unknown).to_pandas()
    assert list(got.columns) == list(test.columns)
    np.testing.assert_array_equal(floats(got), floats(want))


def test_a_failing_block_fails_encode_naming_the_block():
    good = pd.DataFrame({"c": pd.Series(["a", "b"], dtype=object)})
    bad = pd.DataFrame({"c": pd.Series(["a", Unprintable()], dtype=object)})
    # An internal failure comes back as an ordinary error: a BaseException would not come back
    # from a Ray worker as the task's failure.
    failed = "vexilo failed on block 2 of the Ray Dataset: cant"
    with pytest.raises(RuntimeError, match=failed):
        vr.encode(rd.from_pandas([good, good, bad]))


def test_parquet_files_encode_in_file_order_and_the_context_is_left_as_it_was(tmp_path):
    # Each file's texts sort before the previous file's: codes in any other order differ.
    for i in range(6):
        texts = [f"{9 - i}{suffix}" for suffix in "ab" * 50]
        pd.DataFrame({"t": texts, "n": np.arange(100.0)}).to_parquet(tmp_path / f"p{i}.parquet")
    ds = rd.read_parquet(str(tmp_path))
    ds.context.execution_options.preserve_order = False
    whole = pd.concat([pd.read_parquet(tmp_path / f"p{i}.parquet") for i in range(6)],
                      ignore_index=True)
    want, _ = Encoder().encode(whole)
    codes, _, _ = vr.encode(ds)
    assert ds.context.execution_options.preserve_order is False
    np.testing.assert_array_equal(floats(codes.to_pandas()), floats(want))


def test_preprocessor_fits_and_transforms_as_encode(tmp_path):
    frame = pd.DataFrame({"city": pd.Series(["Oslo", "Lima", None, "Zürich"] * 5, dtype="str"),
                          "n": np.arange(20.0)})
    frame.to_parquet(tmp_path / "a.parquet")
    ds = rd.read_parquet(str(tmp_path))
    encoder = Encoder()
    want, categorical = encoder.encode(ds.to_pandas())
    fitted = vr.VexiloEncoder().fit(ds)
    assert fitted.categorical_ == categorical
    np.testing.assert_array_equal(floats(fitted.transform(ds).to_pandas()), floats(want))


def test_only_vexilo_ray_imports_ray_and_it_imports_no_dask():
    script = ("import sys, vexilo, vexilo.sklearn; assert 'ray' not in sys.modules; "
              "import vexilo.ray; assert not [m for m in sys.modules if m.split('.')[0] == 'dask']")
    subprocess.run([sys.executable, "-c", script], check=True, timeout=120)


def test_refuses_what_is_not_a_dataset():
    with pytest.raises(TypeError, match="expected a ray.data.Dataset"):
        vr.encode(pd.DataFrame({"a": [1]}))
    with pytest.raises(ValueError, match="split_every"):
        vr.encode(rd.from_items([{"a": 1}]), split_every=1)
