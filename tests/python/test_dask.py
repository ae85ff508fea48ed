"""vexilo.dask: one encoding of a Dask DataFrame, equal to encoding the computed table."""

import os
import pickle

import numpy as np
import pytest

if os.environ.get("VEXILO_REQUIRE_DASK"):
    # Where CI installs Dask, a failing import fails these tests instead of skipping them.
    import dask
    import dask.dataframe as dd
    import distributed
else:
    dask = pytest.importorskip("dask")
    dd = pytest.importorskip("dask.dataframe")
    distributed = pytest.importorskip("distributed")

import pandas as pd  # noqa: E402
from support import Unprintable, parse_state  # noqa: E402

import vexilo.dask as vd  # noqa: E402
from vexilo import Encoder  # noqa: E402
from vexilo.vexilo import _merge_texts, _table_texts  # noqa: E402


@pytest.fixture(scope="module", params=["sync", "cluster"])
def scheduler(request):
    """The synchronous scheduler, or a two-worker LocalCluster on the loopback interface. Object
    columns stay objects (Dask would otherwise turn them into strings)."""
    config = {"dataframe.convert-string": False}
    if request.param == "sync":
        with dask.config.set({**config, "scheduler": "sync"}):
            yield request.param
        return
    with distributed.LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        dashboard_address=None,
    ) as cluster, distributed.Client(cluster), dask.config.set(config):
        yield request.param


CELLS = [1, 2.5, 1.0, -0.0, 1e16, 1e-5, True, "x", "y", "ü", "漢字", "nan", "NaN", "<NA>",
         "None", None, np.nan, pd.NA, "1", "1.0", 10**20]


def column(rng, rows, kind):
    """A column of one kind; the numbers of "late" turn categorical near its end."""
    pick = lambda values: np.array(values, dtype=object)[rng.integers(0, len(values), rows)]  # noqa: E731
    if kind == "mixed":
        return pd.Series(pick(CELLS), dtype=object)
    if kind == "late":
        cells = [float(x) for x in rng.integers(0, 4, rows)]
        if rows:
            cells[-1 - int(rng.integers(0, min(rows, 3)))] = "late"
        return pd.Series(cells, dtype=object)
    if kind == "numbers":
        return pd.Series(pick([0.5, 1.0, 2.0]), dtype=object)
    if kind == "missing":
        return pd.Series([np.nan] * rows, dtype=object)
    if kind in ("Int64", "boolean"):
        values = rng.integers(0, 3, rows) if kind == "Int64" else rng.random(rows) < 0.5
        array = pd.array(values, dtype=kind)
        array[rng.random(rows) < 0.2] = pd.NA
        return pd.Series(array)
    if kind == "category":
        return pd.Series(pick(["p", "q", None]), dtype="category")
    if kind == "int64":
        return pd.Series(rng.integers(0, 9, rows))
    return pd.Series(pick(["a", "b", "ä", None]), dtype=kind)  # "str", "string"


KINDS = ["mixed", "late", "numbers", "missing", "Int64", "boolean", "category", "int64", "str",
         "string"]


def random_frame(rng, rows, kinds=None):
    if kinds is None:
        kinds = rng.choice(KINDS, int(rng.integers(1, 5)))
    return pd.DataFrame({f"c{j}": column(rng, rows, kind) for j, kind in enumerate(kinds)})


def split(frame, rng, parts):
    """frame in `parts` partitions cut at random rows, empty partitions included."""
    cuts = np.sort(rng.integers(0, len(frame) + 1, parts - 1))
    bounds = [0, *cuts.tolist(), len(frame)]
    pieces = [frame.iloc[a:b] for a, b in zip(bounds, bounds[1:])]
    return dd.from_delayed([dask.delayed(p) for p in pieces], meta=frame.iloc[:0],
                           verify_meta=False)


def assert_same_encoding(ddf, keep_codes=None):
    whole = ddf.compute()
    encoder = Encoder()
    want, categorical = encoder.encode(whole)
    codes, got_categorical, got_encoder = vd.encode(ddf, keep_codes=keep_codes)
    assert got_categorical == categorical
    computed = codes.compute()
    assert computed.index.equals(whole.index) and computed.columns.equals(whole.columns)
    assert list(computed.dtypes) == [np.float64] * whole.shape[1]
    np.testing.assert_array_equal(computed.to_numpy(), want.to_numpy())
    assert parse_state(got_encoder.__getstate__()) == parse_state(encoder.__getstate__())
    return codes, got_encoder


def test_random_tables_at_random_partitions_encode_as_the_computed_table(scheduler):
    rng = np.random.default_rng(17)
    for _ in range(12 if scheduler == "sync" else 2):
        frame = random_frame(rng, int(rng.integers(0, 40)))
        ddf = split(frame, rng, int(rng.integers(1, 7)))
        for keep_codes in (False, True):
            assert_same_encoding(ddf, keep_codes)


@pytest.mark.parametrize(("keep_codes", "parts"), [(False, 5), (True, 5), (True, 40)])
def test_typed_number_columns_beside_text_columns_encode_as_the_computed_table(scheduler,
                                                                               keep_codes, parts):
    pa = pytest.importorskip("pyarrow")
    rng = np.random.default_rng(23)
    rows = 40
    def arrow(values, kind):
        return pd.Series(pd.array(values, dtype=pd.ArrowDtype(kind)))

    frame = pd.DataFrame({
        "i8": rng.integers(-5, 5, rows).astype(np.int8),
        "u64": np.where(rng.random(rows) < 0.5, 2**64 - 1, 3).astype(np.uint64),
        "f32": np.where(rng.random(rows) < 0.2, np.nan, rng.random(rows)).astype(np.float32),
        "flag": rng.random(rows) < 0.5,
        "Int64": column(rng, rows, "Int64"),
        "UInt8": pd.array(np.where(rng.random(rows) < 0.2, None, 7), dtype="UInt8"),
        "Float64": pd.array(np.where(rng.random(rows) < 0.2, None, 0.5), dtype="Float64"),
        "boolean": column(rng, rows, "boolean"),
        "a_int": arrow(np.where(rng.random(rows) < 0.2, None, 4).tolist(), pa.int64()),
        "a_f": arrow(np.where(rng.random(rows) < 0.2, None, 1.5).tolist(), pa.float64()),
        "a_b": arrow([None, True, False, True] * (rows // 4), pa.bool_()),
        "mixed": column(rng, rows, "mixed"),
        "late": column(rng, rows, "late"),
        "cat": column(rng, rows, "category"),
        "s": column(rng, rows, "string"),
        "a_s": arrow(rng.choice(["x", "y", None], rows).tolist(), pa.string()),
    })
    # 40 partitions merge in two levels.
    assert_same_encoding(split(frame, rng, parts), keep_codes)


@pytest.mark.parametrize("keep_codes", [False, True])
def test_learning_reads_only_the_columns_that_may_hold_texts(keep_codes):
    frame = pd.DataFrame({
        "n": np.arange(12.0),
        "t": pd.Series(["a", 1.0, "b"] * 4, dtype=object),
        "m": pd.array([1, None, 3] * 4, dtype="Int64"),
        "c": pd.Series(list("xyz") * 4, dtype="category"),
    })
    reads = []

    def read(bounds, columns=None):
        # Records the columns each read loads (on the synchronous scheduler, in this process).
        columns = list(frame.columns) if columns is None else list(columns)
        reads.append(tuple(columns))
        return frame.iloc[bounds[0] : bounds[1]][columns]

    ddf = dd.from_map(read, [(0, 5), (5, 9), (9, 12)], meta=frame.iloc[:0],
                      enforce_metadata=False)
    with dask.config.set({"scheduler": "sync"}):
        codes, categorical, encoder = vd.encode(ddf, keep_codes=keep_codes)
        assert set(reads) == {("t", "c")}
        reads.clear()
        got = codes.compute()
    want = Encoder().encode(frame)[0]
    np.testing.assert_array_equal(got.to_numpy(), want.to_numpy())
    assert categorical == [1, 3]
    # Applying reads the number columns again, alone where the local codes were kept.
    assert set(reads) == ({("n", "m")} if keep_codes else {("n", "t", "m", "c")})


def test_turns_across_partitions_follow_the_whole_tables_row_order(scheduler):
    # c0 turns only in the last partition: every number before reads as a number ("1"). c1 turns
    # in the second: its numbers before read as numbers, those after (in any partition, and
    # before a later partition's own first text) by str() ("1.0"). c2 holds only markers and
    # missing cells; c3 a text, then NaN cells in partitions of their own.
    frame = pd.DataFrame({
        "c0": pd.Series([1.0, 2.0, 1.0, 2.5, 1.0, "z"], dtype=object),
        "c1": pd.Series([1.0, 2.0, "ü", 1.0, 2.0, "x"], dtype=object),
        "c2": pd.Series(["nan", np.nan, "<NA>", pd.NA, None, "NaN"], dtype=object),
        "c3": pd.Series(["a", np.nan, np.nan, np.nan, np.nan, np.nan], dtype=object),
    })
    rng = np.random.default_rng(3)
    for bounds in ([0, 2, 2, 4, 6], [0, 1, 2, 3, 4, 5, 6], [0, 6, 6]):
        pieces = [frame.iloc[a:b] for a, b in zip(bounds, bounds[1:])]
        assert_same_encoding(dd.from_delayed([dask.delayed(p) for p in pieces], meta=frame[:0]))
    codes, encoder = assert_same_encoding(split(frame, rng, 3))
    assert encoder.categories[1] == ["1", "1.0", "2", "2.0", "x", "ü"]
    # The learned state decodes any computed partition and pickles.
    restored = pickle.loads(pickle.dumps(encoder))
    decoded = restored.decode(codes.partitions[0].compute())
    assert decoded.shape[0] == len(codes.partitions[0])


def test_parquet_files_encode_as_their_computed_table(scheduler, tmp_path):
    rng = np.random.default_rng(5)
    rows = 60
    frame = pd.DataFrame({
        "city": pd.Series(rng.choice(["Paris", "Zürich", "東京", None], rows), dtype="str"),
        "status": pd.Series(rng.choice(["ok", "nan", "late", None], rows), dtype="string"),
        "count": pd.array(np.where(rng.random(rows) < 0.1, -1, rng.integers(0, 5, rows))),
        "score": rng.standard_normal(rows),
        "kind": pd.Series(rng.choice(["a", "b"], rows), dtype="category"),
    })
    cuts = [0, 10, 10, 35, 60]
    for i, (a, b) in enumerate(zip(cuts, cuts[1:])):
        frame.iloc[a:b].to_parquet(tmp_path / f"part-{i}.parquet")
    assert_same_encoding(dd.read_parquet(tmp_path, split_row_groups=False))


def test_transform_codes_new_data_as_transform_of_the_computed_table(scheduler):
    rng = np.random.default_rng(11)
    for _ in range(6 if scheduler == "sync" else 2):
        kinds = rng.choice(KINDS, 3)
        train, test = random_frame(rng, 30, kinds), random_frame(rng, 25, kinds)
        encoder = Encoder()
        encoder.encode(train)
        ddf = split(test, rng, 4)
        for unknown in ("nan", -1):
            try:
                want = encoder.transform(ddf.compute(), unknown=unknown)
            except ValueError:
                # A text in a column learned as numbers: found in some partition.
                with pytest.raises(ValueError, match="learned encoding has it as a column of"):
                    vd.transform(ddf, encoder, unknown=unknown).compute()
                continue
            got = vd.transform(ddf, encoder, unknown=unknown).compute()
            np.testing.assert_array_equal(got.to_numpy(), want.to_numpy())


def test_typed_numbers_with_missing_cells_stay_numbers_in_every_partition(scheduler):
    # Partitions with and without a missing cell, beside dates that send each to its values, and
    # beside texts read from memory.
    frame = pd.DataFrame({
        "i": pd.array([1, 2, None, 3, None, 1], dtype="Int64"),
        "b": pd.array([True, False, None, True, False, None], dtype="boolean"),
        "d": pd.to_datetime(["2020-01-01", "2021-01-01", None, "2020-01-01", None, None]),
        "t": pd.Series(["x", "y", "x", None, "z", "x"], dtype=object),
    })
    ddf = dd.from_delayed([dask.delayed(frame.iloc[a:b]) for a, b in [(0, 2), (2, 5), (5, 6)]],
                          meta=frame.iloc[:0])
    codes, encoder = assert_same_encoding(ddf)
    assert sorted(encoder.categories) == [2, 3]
    floats = frame[["i", "b"]].astype(np.float64).to_numpy()
    np.testing.assert_array_equal(codes.compute().to_numpy()[:, :2], floats)
    got = vd.transform(ddf, encoder).compute()
    np.testing.assert_array_equal(got.to_numpy(), encoder.transform(frame).to_numpy())


def test_transform_error_names_the_partition_of_the_unseen_text(scheduler):
    encoder = Encoder()
    encoder.encode(pd.DataFrame({"colour": ["red", "blue"]}, dtype=object))
    ddf = dd.from_pandas(pd.DataFrame({"colour": ["red", "green"]}, dtype=object),
                         npartitions=2)
    with pytest.raises(ValueError, match="'green' at row 0") as raised:
        vd.transform(ddf, encoder, unknown="error").compute()
    assert "while reading partition 1 of the Dask DataFrame" in raised.value.__notes__


def unreadable():
    raise OSError("part-1.parquet: not a Parquet file")


@pytest.mark.parametrize("keep_codes", [False, True])
@pytest.mark.parametrize("failure", ["read", "cell"])
def test_a_partition_that_fails_raises_one_error_and_returns_nothing(scheduler, failure,
                                                                     keep_codes):
    frame = pd.DataFrame({"a": pd.Series(["x", 1.0, "y", 2.0], dtype=object)})
    if failure == "read":
        parts = [dask.delayed(frame.iloc[:2]), dask.delayed(unreadable)()]
        ddf = dd.from_delayed(parts, meta=frame[:0], verify_meta=False)
        expected, message = OSError, "not a Parquet file"
    else:
        frame.iloc[3, 0] = Unprintable(RuntimeError)
        ddf = dd.from_pandas(frame, npartitions=2)
        # An internal failure of a partition comes back as an ordinary error: a BaseException
        # would not come back from a distributed worker.
        expected, message = RuntimeError, "vexilo failed on partition 1 .*cant convert to str"
    with pytest.raises(expected, match=message):
        vd.encode(ddf, keep_codes=keep_codes)


def test_arguments_are_checked_before_anything_runs():
    frame = pd.DataFrame({"a": ["x"]})
    with pytest.raises(TypeError, match="expected a dask.dataframe.DataFrame, not 'DataFrame'"):
        vd.encode(frame)
    ddf = dd.from_pandas(frame, npartitions=1)
    with pytest.raises(ValueError, match="split_every must be an int of at least 2, not 1"):
        vd.encode(ddf, split_every=1)
    with pytest.raises(TypeError, match="keep_codes must be a bool or None, not 1"):
        vd.encode(ddf, keep_codes=1)
    with pytest.raises(ValueError, match="learned nothing to transform with"):
        vd.transform(ddf, Encoder())
    with pytest.raises(TypeError, match="expected a vexilo.Encoder, not 'dict'"):
        vd.transform(ddf, {})


def test_piece_primitives_refuse_malformed_lists_and_turns():
    frame = pd.DataFrame({"a": pd.Series([1.0, "x"], dtype=object)})
    assert _table_texts(frame, [2]) == _table_texts(frame)  # a text of its own: stays natural
    with pytest.raises(ValueError, match=r"at row 0 or at the row count \(2\), not at row 1"):
        _table_texts(frame, [1])
    with pytest.raises(ValueError, match="expected a turn for each of the table's 1 columns"):
        _table_texts(frame, [0, 0])
    good = (b"ab", np.array([1, 2], dtype=np.uint64).tobytes())
    assert _merge_texts([good, (b"", b"")]) == good
    for bad in [(b"ab", b"\x01"), (b"ab", np.array([2, 1], dtype=np.uint64).tobytes()), [b"", b""]]:
        with pytest.raises(ValueError, match="text list 1 "):
            _merge_texts([good, bad])


def test_encoder_methods_refuse_a_dask_frame_and_its_encoder_knows_the_tables_width():
    frame = pd.DataFrame({"a": ["x", "y"], "n": [1.0, 2.0]})
    ddf = dd.from_pandas(frame, npartitions=1)
    _, _, encoder = vd.encode(ddf)
    for call in (Encoder().encode, encoder.decode, encoder.transform):
        with pytest.raises(TypeError, match="a Dask DataFrame is read by vexilo.dask, not here: "
                                            r"use vexilo.dask.encode\(ddf\)"):
            call(ddf)
    with pytest.raises(ValueError, match=r"the table has 3 columns, more than the 2 of the learned "
                                         r"encoding: column 2 \('e'\) holds the text 'q' at row 0"):
        encoder.transform(frame.assign(e=["q", "r"]))
