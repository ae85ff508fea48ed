"""One global encoding of a Ray Dataset, equal to encoding the whole table at once.

``encode(ds)`` learns from every block and returns the codes (a Ray Dataset of float64 columns
named as ds's, row for row in ds's order), the categorical columns and an
``Encoder`` holding what was learned: exactly what ``Encoder().encode(ds.to_pandas())`` gives,
without the rows ever coming to the driver. ``transform(ds, encoder)`` codes new data under a
learned state, as ``encoder.transform(ds.to_pandas())`` would.

Learning runs as Ray tasks over ds's blocks, in the order ds holds them: each block reports its
distinct texts per column (sorted), the reports merge in a tree of tasks, and only the merged text
lists travel to the driver, which numbers them into one learned state. A column's first text in
the whole table's order decides how its numbers read, so blocks whose reading depends on that are
read again under the global rule. ``VexiloEncoder`` is the same as a Ray Data ``Preprocessor``.

Importing this module imports Ray; nothing else in vexilo needs it.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd
import ray
import ray.data
from ray.data.preprocessor import Preprocessor

from . import Encoder
from . import _blocks as blocks
from .vexilo import _encoder_from_texts

__all__ = ["VexiloEncoder", "encode", "transform"]


def _where(number: int) -> str:
    return f"block {number} of the Ray Dataset"


def _learn(part: pd.DataFrame, number: int) -> list[blocks.Column]:
    return blocks.learn_block(part, _where(number), number)


def _combine_columns(*runs: list[blocks.Column]) -> list[blocks.Column]:
    return blocks.combine_columns(runs)


def _reread(
    part: pd.DataFrame, number: int, turned: dict[int, bool]
) -> dict[int, blocks.TextList]:
    return blocks.reread_block(part, _where(number), turned)


def _combine_texts(*parts: dict[int, blocks.TextList]) -> dict[int, blocks.TextList]:
    return blocks.combine_texts(parts)


def _first(part: pd.DataFrame, number: int, columns: list[int]) -> list[int | None]:
    return blocks.first_text_blocks(part, _where(number), number, columns)


def _combine_first(*runs: list[int | None]) -> list[int | None]:
    return blocks.combine_first(runs)


# Ray's remote handles of the functions above (Ray's hints are taken as Any).
_learn_task: Any = ray.remote(_learn)
_combine_columns_task: Any = ray.remote(_combine_columns)
_reread_task: Any = ray.remote(_reread)
_combine_texts_task: Any = ray.remote(_combine_texts)
_first_task: Any = ray.remote(_first)
_combine_first_task: Any = ray.remote(_combine_first)


def _code_blocks(
    numbers: pd.DataFrame,
    refs: list[Any],
    encoder: Encoder,
    turn_blocks: list[int | None],
    unknown: blocks.Unknown,
) -> Any:
    """The codes of the blocks numbered in numbers["id"], read from the object store, in order."""
    coded = []
    for number in numbers["id"].tolist():
        part = ray.get(refs[number])
        turns = blocks.turns_of(number, len(part), turn_blocks)
        coded.append(blocks.code_block(part, _where(number), encoder, turns, unknown))
    return _as_arrow(coded[0] if len(coded) == 1 else pd.concat(coded, ignore_index=True))


def _as_arrow(codes: pd.DataFrame) -> Any:
    """codes as an Arrow table of float64 columns, NaN kept as NaN: Ray would otherwise read a
    block's all-NaN column as one of nulls, whose type differs from the other blocks'."""
    import pyarrow as pa

    return pa.table({
        str(name): pa.array(codes.iloc[:, col].to_numpy(dtype=np.float64), type=pa.float64())
        for col, name in enumerate(codes.columns)
    })


def _code_batch(part: pd.DataFrame, encoder: Encoder, unknown: blocks.Unknown) -> Any:
    """One block coded by itself: for tables whose codes do not depend on the row order."""
    return _as_arrow(blocks.code_block(part, "a block of the Ray Dataset", encoder, None, unknown))


def _tree(items: list[Any], task: Any, split_every: int) -> Any:
    """One object ref from items, combined in order split_every at a time by task."""
    while len(items) > 1:
        items = [
            task.remote(*items[i : i + split_every]) for i in range(0, len(items), split_every)
        ]
    return items[0]


def _get(ref: Any) -> Any:
    """ray.get, a task's failure raised as the exception the task raised (with its notes)."""
    try:
        return ray.get(ref)
    except ray.exceptions.RayTaskError as error:
        cause = error.cause
        if isinstance(cause, Exception):
            # Raised as the block raised it, Ray's report (with the worker's traceback) as its
            # context.
            raise cause  # noqa: B904
        raise


def _check(ds: Any, split_every: int) -> None:
    if not isinstance(ds, ray.data.Dataset):
        raise TypeError(f"expected a ray.data.Dataset, not '{type(ds).__qualname__}'")
    if isinstance(split_every, bool) or not isinstance(split_every, int) or split_every < 2:
        raise ValueError(f"split_every must be an int of at least 2, not {split_every!r}")


def _blocks_in_order(ds: ray.data.Dataset) -> list[Any]:
    """ds's blocks as pandas frames in the object store, in ds's order: its execution keeps the
    order of its inputs (a Parquet directory's files, say) whatever ds's context says, which is
    put back as it was."""
    options = ds.context.execution_options
    kept = options.preserve_order
    options.preserve_order = True
    try:
        refs: list[Any] = ds.to_pandas_refs()
    finally:
        options.preserve_order = kept
    return refs


def _column_names(ds: ray.data.Dataset) -> list[str]:
    schema = ds.schema()
    return list(schema.names) if schema is not None else []


def _codes_dataset(
    refs: list[Any], encoder: Encoder, turn_blocks: list[int | None], unknown: blocks.Unknown
) -> ray.data.Dataset:
    """The blocks in refs coded lazily, in refs' order whatever the executor's order.

    A dataset of the block numbers, one per block, is mapped to the codes of its blocks (the refs
    travel with the map's arguments, which keeps them alive as long as the codes are); its own
    context keeps the order, leaving the caller's context as it is.
    """
    numbers = ray.data.range(len(refs), override_num_blocks=len(refs))
    numbers.context.execution_options.preserve_order = True
    return numbers.map_batches(
        _code_blocks,
        batch_size=None,
        batch_format="pandas",
        fn_args=(refs, encoder, turn_blocks, unknown),
    )


def _empty(names: list[str]) -> pd.DataFrame:
    return pd.DataFrame({name: pd.Series([], dtype=object) for name in names})


def encode(
    ds: ray.data.Dataset, *, split_every: int = 8
) -> tuple[ray.data.Dataset, list[int], Encoder]:
    """Encode a Ray Dataset as one table: (codes, categorical columns, encoder).

    The learning passes run now (ds is executed once and its blocks kept in Ray's object store for
    the coding); the codes are a lazy Ray Dataset of float64 columns named as ds's, row for row in
    the order of ds's blocks whatever the executor's order, computed when asked for. Codes,
    categorical columns and the encoder's state are exactly those of
    ``Encoder().encode(ds.to_pandas())``. split_every: how many blocks' reports one task merges.
    A block that cannot be read fails the call with its own error (noting the block); nothing is
    returned then.
    """
    _check(ds, split_every)
    refs = _blocks_in_order(ds)
    if not refs:
        encoder = Encoder()
        frame = _empty(_column_names(ds))
        codes, categorical = encoder.encode(frame)
        return ray.data.from_pandas(codes), categorical, encoder
    learned = [_learn_task.remote(ref, number) for number, ref in enumerate(refs)]
    columns: list[blocks.Column] = _get(_tree(learned, _combine_columns_task, split_every))

    texts = {
        col: [column.turn_texts, *column.rest]
        for col, column in enumerate(columns)
        if column.turn is not None
    }
    reread = [
        _reread_task.remote(refs[number], number, turned)
        for number, turned in sorted(blocks.corrections(columns).items())
    ]
    if reread:
        extra = _get(_tree(reread, _combine_texts_task, split_every))
        for col, more in extra.items():
            texts[col].append(more)

    encoder = _encoder_from_texts(
        {col: blocks.merged(lists) for col, lists in texts.items()}, columns=len(columns)
    )
    codes = _codes_dataset(refs, encoder, [column.turn for column in columns], "error")
    return codes, sorted(texts), encoder


def _may_hold_numbers(schema: Any, col: int) -> bool:
    """False for columns Ray holds as Arrow texts: their codes do not depend on the row order."""
    import pyarrow as pa

    kind = schema.types[col] if schema is not None else None
    if not isinstance(kind, pa.DataType):
        return True
    if pa.types.is_dictionary(kind):
        kind = kind.value_type
    return not (pa.types.is_string(kind) or pa.types.is_large_string(kind) or
                pa.types.is_string_view(kind))


def transform(
    ds: ray.data.Dataset,
    encoder: Encoder,
    *,
    unknown: blocks.Unknown = "nan",
    split_every: int = 8,
) -> ray.data.Dataset:
    """The codes of ds under encoder's learned state: ``encoder.transform`` of the whole table,
    block by block.

    Codes equal those of ``encoder.transform(ds.to_pandas(), unknown=unknown)``; for "error", the
    ValueError names the row within its block. Where every categorical column is held as Arrow
    texts (or there is none), codes do not depend on the row order and the result is lazy, a
    ``map_batches`` over ds, in the row order ds's own context gives. Where one may hold numbers, the column's first text decides how its
    numbers read: ds is executed now, each block's first texts are found now, and the coding is
    lazy, row for row in the order of ds's blocks.
    """
    _check(ds, split_every)
    if not isinstance(encoder, Encoder):
        raise TypeError(f"expected a vexilo.Encoder, not '{type(encoder).__qualname__}'")
    schema = ds.schema()
    names = list(schema.names) if schema is not None else []
    # Fails now, as transform of the whole table would, for an encoder that learned nothing, a
    # state listing a column ds lacks, or a wrong unknown.
    encoder.transform(_empty(names), unknown=unknown)
    needed = [col for col in sorted(encoder.categories) if _may_hold_numbers(schema, col)]
    if not needed:
        return ds.map_batches(
            _code_batch,
            batch_size=None,
            batch_format="pandas",
            fn_args=(encoder, unknown),
        )
    refs = _blocks_in_order(ds)
    if not refs:
        return ray.data.from_pandas(encoder.transform(_empty(names), unknown=unknown))
    found = [_first_task.remote(ref, number, needed) for number, ref in enumerate(refs)]
    first = _get(_tree(found, _combine_first_task, split_every))
    return _codes_dataset(refs, encoder, blocks.place_turns(first, needed, len(names)), unknown)


class VexiloEncoder(Preprocessor):  # type: ignore[misc]  # Ray's classes are Any to mypy
    """A Ray Data ``Preprocessor`` coding every column of a Dataset with vexilo.

    ``fit(ds)`` learns as ``encode(ds)`` does (``encoder_`` holds the ``Encoder``,
    ``categorical_`` the categorical columns); ``transform(ds)`` gives float64 columns named as
    ds's. Ray hands a Preprocessor's transform batches of its own choosing, so each batch is coded
    by itself: the codes equal ``encoder_.transform(ds.to_pandas())`` wherever categorical
    columns hold texts only (numbers among texts in one column read by their batch's own first
    text). For the whole-table rule on such columns, use ``transform(ds, encoder_)``.
    """

    _is_fittable = True

    def __init__(self, *, unknown: blocks.Unknown = "nan", split_every: int = 8) -> None:
        super().__init__()
        self.unknown = unknown
        self.split_every = split_every

    def _fit(self, ds: ray.data.Dataset) -> Preprocessor:
        _, categorical, encoder = encode(ds, split_every=self.split_every)
        self.encoder_ = encoder
        self.categorical_ = categorical
        self.stats_ = {"categorical": categorical}
        return self

    def _transform_pandas(self, df: pd.DataFrame) -> pd.DataFrame:
        where = "a batch of the Ray Dataset"
        return blocks.code_block(df, where, self.encoder_, None, self.unknown)

    def __repr__(self) -> str:
        return f"VexiloEncoder(unknown={self.unknown!r}, split_every={self.split_every})"


