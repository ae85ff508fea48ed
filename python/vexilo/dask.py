"""One global encoding of a Dask DataFrame, equal to encoding the whole table at once.

``encode(ddf)`` learns from every partition and returns the codes (a lazy Dask DataFrame of
float64 with the input's partitions, index and column labels), the categorical columns and an
``Encoder`` holding what was learned: exactly what ``Encoder().encode(ddf.compute())`` gives,
without ever holding the whole table in one process. ``transform(ddf, encoder)`` codes new data
under a learned state, as ``encoder.transform(ddf.compute())`` would.

Whether a column is categorical, and how its numbers read, depends on where its first text lies
in the whole table's row order: numbers before it read as numbers ("1" for 1.0), those after it as
``str()`` of their cells ("1.0"). Columns whose dtype holds only numbers (NumPy, pandas
nullable or Arrow integers, floats, booleans) are never categorical: learning does not read them,
and they code as their float64 values. Learning runs in passes over the other columns:

1. every partition reports, per column, whether it holds a text, the row of its first text and
   its distinct texts (sorted; merged pairwise in a tree, so communication grows with the
   distinct texts and the partitions, never with the rows);
2. only where the global first text changes how a partition reads (numbers in a partition
   before a column's first text, or before it within a later partition) is that partition read
   again under the global rule;
3. the merged texts become one learned state, and every partition is coded under it lazily
   (or, with ``keep_codes=True``, its local codes from step 1 are looked up in it).

Importing this module imports Dask; nothing else in vexilo needs it.
"""

from __future__ import annotations

import math
import uuid
from collections.abc import Callable, Sequence
from typing import Any, Literal, TypeAlias

import dask
import dask.dataframe as dd
import dask.sizeof
import numpy as np
import pandas as pd

from . import Encoder
from . import _blocks as blocks
from ._blocks import TextList as _TextList
from ._blocks import Unknown as _Unknown
from .vexilo import _encoder_from_texts, _table_texts, _transform_codes

__all__ = ["encode", "transform"]

def _where(number: int) -> str:
    return f"partition {number} of the Dask DataFrame"


def _read(number: int, function: Callable[..., Any], *args: Any) -> Any:
    return blocks.read(_where(number), function, *args)


def _learn_partition(part: pd.DataFrame, number: int) -> list[blocks.Column]:
    return blocks.learn_block(part, _where(number), number)


def _reread_partition(
    part: pd.DataFrame, number: int, turned: dict[int, bool]
) -> dict[int, _TextList]:
    return blocks.reread_block(part, _where(number), turned)


def _first_text_partitions(part: pd.DataFrame, number: int, columns: list[int]) -> list[int | None]:
    return blocks.first_text_blocks(part, _where(number), number, columns)


def _tree(items: list[Any], combine: Callable[[list[Any]], Any], split_every: int) -> Any:
    """One delayed result from items, combined in order split_every at a time."""
    while len(items) > 1:
        items = [
            dask.delayed(combine, pure=False)(items[i : i + split_every])
            for i in range(0, len(items), split_every)
        ]
    return items[0]


def _code_partition(
    part: pd.DataFrame,
    encoder: Encoder,
    turn_partitions: Sequence[int | None],
    unknown: _Unknown,
    partition_info: dict[str, Any] | None = None,
) -> pd.DataFrame:
    number = partition_info["number"] if partition_info else 0
    turns = blocks.turns_of(number, len(part), turn_partitions)
    return blocks.code_block(part, _where(number), encoder, turns, unknown)


def _check_frame(ddf: Any, split_every: int | None) -> None:
    if not isinstance(ddf, dd.DataFrame):
        raise TypeError(f"expected a dask.dataframe.DataFrame, not '{type(ddf).__qualname__}'")
    if split_every is None:
        return
    if isinstance(split_every, bool) or not isinstance(split_every, int) or split_every < 2:
        raise ValueError(f"split_every must be an int of at least 2, not {split_every!r}")


def _fan_in(split_every: int | None, partitions: int) -> int:
    """How many reports one merge task takes: given, or one level of merges for up to 32
    partitions and about the square root of the partitions beyond (two levels up to 1,024)."""
    if split_every is not None:
        return split_every
    if partitions <= 32:
        return max(partitions, 2)
    return math.isqrt(partitions - 1) + 1


_MASKED_NUMBERS = (
    pd.Int8Dtype, pd.Int16Dtype, pd.Int32Dtype, pd.Int64Dtype,
    pd.UInt8Dtype, pd.UInt16Dtype, pd.UInt32Dtype, pd.UInt64Dtype,
    pd.Float32Dtype, pd.Float64Dtype, pd.BooleanDtype,
)  # fmt: skip


def _always_numbers(dtype: Any) -> bool:
    """True for a dtype whose every cell reads as a number or as missing, so that its column is
    never categorical: NumPy, pandas nullable and Arrow integers, floats and booleans."""
    if isinstance(dtype, np.dtype):
        return dtype.kind in "iufb"
    if isinstance(dtype, _MASKED_NUMBERS):
        return True
    if isinstance(dtype, pd.ArrowDtype):
        import pyarrow as pa

        kind = dtype.pyarrow_dtype
        return bool(pa.types.is_integer(kind) or pa.types.is_floating(kind)
                    or pa.types.is_boolean(kind))  # fmt: skip
    return False


def _split_columns(ddf: dd.DataFrame) -> tuple[list[int], list[int]]:
    """(the columns that may hold texts, the columns of numbers), by position. With repeated
    labels a selection by label cannot keep positions apart: every column is read then."""
    dtypes = list(ddf.dtypes)
    if not ddf.columns.is_unique:
        return list(range(len(dtypes))), []
    numbers = [col for col, dtype in enumerate(dtypes) if _always_numbers(dtype)]
    texts = [col for col in range(len(dtypes)) if col not in set(numbers)]
    return texts, numbers


def _select(ddf: dd.DataFrame, columns: list[int]) -> dd.DataFrame:
    """ddf's columns at these positions, selected by label so that Dask reads no others (a
    Parquet read then loads only them)."""
    if len(columns) == len(ddf.columns):
        return ddf
    return ddf[[ddf.columns[col] for col in columns]]


def _codes_meta(ddf: dd.DataFrame) -> pd.DataFrame:
    return pd.DataFrame(np.empty((0, len(ddf.columns))), index=ddf._meta.index, columns=ddf.columns)


def _map_codes(
    ddf: dd.DataFrame,
    encoder: Encoder,
    turn_partitions: Any,
    unknown: _Unknown,
) -> dd.DataFrame:
    return ddf.map_partitions(
        _code_partition,
        _shared(encoder),
        turn_partitions,
        unknown,
        meta=_codes_meta(ddf),
        enforce_metadata=False,
    )


def _shared(value: Any) -> Any:
    """A value (an encoder) as one dependency of every task, not a copy in each.

    On a distributed scheduler it is sent to every worker at once: a dependency held by one
    worker would draw the tasks, and the partitions they read, to that worker.
    """
    client = _client()
    if client is not None:
        return client.scatter(value, broadcast=True, hash=False)
    return dask.delayed(value, name=f"vexilo-encoder-{uuid.uuid4().hex}")


def _client() -> Any:
    client: Any = getattr(dask.base.get_scheduler(), "__self__", None)
    if type(client).__name__ == "Client" and hasattr(client, "scatter"):
        return client
    return None


class _Kept:
    """A partition's learning report with its local codes: per column of the learning frame,
    the codes of its cells under the partition's own sorted texts (int32, the number of texts
    for a missing cell) with those texts, or the cells' float64 values where the partition
    holds no text."""

    __slots__ = ("report", "codes", "texts", "index")

    def __init__(
        self,
        report: list[blocks.Column],
        codes: list[np.ndarray],
        texts: list[np.ndarray | None],
        index: pd.Index,
    ) -> None:
        self.report = report
        self.codes = codes
        self.texts = texts
        self.index = index

    def nbytes(self) -> int:
        return sum(codes.nbytes for codes in self.codes)


def _sizeof_kept(kept: _Kept) -> int:
    # The scheduler keeps a task beside the data it would cost most to move: the kept codes.
    texts = sum(int(dask.sizeof.sizeof(texts)) for texts in kept.texts if texts is not None)
    return kept.nbytes() + texts + int(dask.sizeof.sizeof(kept.index))


dask.sizeof.sizeof.register(_Kept)(_sizeof_kept)


def _learn_keeping(part: pd.DataFrame, number: int) -> _Kept:
    found = _read(number, _table_texts, part)
    lists = {col: column[1] for col, column in enumerate(found) if column is not None}
    local = _encoder_from_texts(lists, columns=part.shape[1])
    values = _read(number, _transform_codes, local, part)
    categories = local.categories
    codes: list[np.ndarray] = []
    texts: list[np.ndarray | None] = []
    for col in range(part.shape[1]):
        if col in categories:
            cells = values[:, col]
            count = len(categories[col])
            codes.append(np.where(np.isnan(cells), count, cells).astype(np.int32))
            texts.append(np.array(categories[col], dtype=object))
        else:
            codes.append(np.ascontiguousarray(values[:, col]))
            texts.append(None)
    report = [blocks.Column.of_block(number, len(part), column) for column in found]
    return _Kept(report, codes, texts, part.index)


def _report(kept: _Kept) -> list[blocks.Column]:
    return kept.report


def _lookup(learned: Encoder, local: np.ndarray, number: int) -> np.ndarray:
    """Per local code, its global code under the column's learned state (NaN after the last,
    for missing cells)."""
    codes = _read(number, _transform_codes, learned, local.reshape(-1, 1), "error")
    return np.append(codes[:, 0], np.nan)


def _remap_partition(
    kept: _Kept,
    numbers: pd.DataFrame | None,
    shared: tuple[list[Encoder | None], Encoder, Encoder],
    text_columns: list[int],
    number_columns: list[int],
    labels: pd.Index,
    number: int,
) -> pd.DataFrame:
    """The codes of a partition that reads as the whole table does: its kept local codes
    through each column's local-to-global lookup, beside its number columns read again."""
    learned, numbers_encoder, _ = shared
    # Column-major, as the frame stores its block: each column is written in one run and the
    # frame takes the array over without a copy.
    out = np.empty((len(labels), len(kept.index))).T
    for j, col in enumerate(text_columns):
        local, texts, state = kept.codes[j], kept.texts[j], learned[col]
        if texts is None or state is None:
            out[:, col] = local
        else:
            out[:, col] = _lookup(state, texts, number)[local]
    if numbers is not None:
        out[:, number_columns] = _read(number, _transform_codes, numbers_encoder, numbers)
    return pd.DataFrame(out, index=kept.index, columns=labels, copy=False)


def encode(
    ddf: dd.DataFrame, *, split_every: int | None = None, keep_codes: bool | None = None
) -> tuple[dd.DataFrame, list[int], Encoder]:
    """Encode a Dask DataFrame as one table: (codes, categorical columns, encoder).

    The learning passes run now, on the current Dask scheduler (a distributed Client's, if one
    is active), and read only the columns whose dtype may hold a text (columns of NumPy, pandas
    nullable or Arrow integers, floats or booleans always code as their numbers); the codes are
    a lazy Dask DataFrame of float64 with ddf's partitions, index and column labels, computed
    when asked for. Codes, categorical columns and the encoder's state are exactly those of
    ``Encoder().encode(ddf.compute())``. split_every: how many partitions' reports one task
    merges (None: from the number of partitions). keep_codes: True keeps each partition's local
    codes from learning on the workers (as long as the codes collection lives), so that the
    codes are a lookup of them beside a second reading of the number columns alone; False or
    None (the default) reads every column again and codes it under the learned state. A
    partition that cannot be read fails the call with its own error (noting the partition);
    nothing is returned then.
    """
    _check_frame(ddf, split_every)
    if keep_codes is not None and not isinstance(keep_codes, bool):
        raise TypeError(f"keep_codes must be a bool or None, not {keep_codes!r}")
    width = len(ddf.columns)
    text_columns, number_columns = _split_columns(ddf)
    if not text_columns:
        encoder = _encoder_from_texts({}, columns=width)
        return _map_codes(ddf, encoder, [None] * width, "error"), [], encoder
    learning = _select(ddf, text_columns)
    parts = learning.to_delayed()
    fan_in = _fan_in(split_every, len(parts))
    kept: list[Any] = []
    if keep_codes:
        # The local codes stay where they were computed, as long as the codes collection needs
        # them; only the reports travel.
        kept = list(dask.persist(*[
            dask.delayed(_learn_keeping, pure=False)(part, i) for i, part in enumerate(parts)
        ]))  # fmt: skip
        learned = [dask.delayed(_report, pure=False)(part) for part in kept]
        (reports,) = dask.compute(_tree(learned, blocks.combine_columns, fan_in))
    else:
        learned = [dask.delayed(_learn_partition, pure=False)(p, i) for i, p in enumerate(parts)]
        (reports,) = dask.compute(_tree(learned, blocks.combine_columns, fan_in))
    corrections = blocks.corrections(reports)
    texts: dict[int, list[_TextList]] = {
        j: [column.turn_texts, *column.rest]
        for j, column in enumerate(reports)
        if column.turn is not None
    }
    if corrections:
        reread = [
            dask.delayed(_reread_partition, pure=False)(parts[number], number, turned)
            for number, turned in sorted(corrections.items())
        ]
        (extra,) = dask.compute(_tree(reread, blocks.combine_texts, fan_in))
        for j, more in extra.items():
            texts[j].append(more)

    merged = {text_columns[j]: blocks.merged(lists) for j, lists in texts.items()}
    encoder = _encoder_from_texts(merged, columns=width)
    turn_partitions: list[int | None] = [None] * width
    for j, column in enumerate(reports):
        turn_partitions[text_columns[j]] = column.turn
    categorical = sorted(text_columns[j] for j in texts)
    if not kept:
        return _map_codes(ddf, encoder, turn_partitions, "error"), categorical, encoder
    codes = _remap_codes(ddf, kept, corrections, encoder, merged, turn_partitions, text_columns,
                         number_columns)  # fmt: skip
    return codes, categorical, encoder


def _remap_codes(
    ddf: dd.DataFrame,
    kept: list[Any],
    corrections: dict[int, dict[int, bool]],
    encoder: Encoder,
    merged: dict[int, _TextList],
    turn_partitions: list[int | None],
    text_columns: list[int],
    number_columns: list[int],
) -> dd.DataFrame:
    """The codes from the kept local codes: a partition whose reading of some column depends
    on where the table's first text lies is coded again as a whole instead."""
    learned: list[Encoder | None] = [None] * len(ddf.columns)
    for col, texts in merged.items():
        learned[col] = _encoder_from_texts({0: texts}, columns=1)
    numbers_encoder = _encoder_from_texts({}, columns=len(number_columns))
    shared = _shared((learned, numbers_encoder, encoder))
    whole = ddf.to_delayed() if corrections else []
    numbers = _select(ddf, number_columns).to_delayed() if number_columns else []
    pieces = []
    for i, part in enumerate(kept):
        if i in corrections:
            piece = dask.delayed(_code_whole, pure=False)(whole[i], shared, turn_partitions, i)
        else:
            piece = dask.delayed(_remap_partition, pure=False)(
                part, numbers[i] if numbers else None, shared, text_columns, number_columns,
                ddf.columns, i,
            )  # fmt: skip
        pieces.append(piece)
    return dd.from_delayed(pieces, meta=_codes_meta(ddf), divisions=ddf.divisions,
                           verify_meta=False)  # fmt: skip


def _code_whole(
    part: pd.DataFrame, shared: tuple[Any, Any, Encoder], turns: list[int | None], number: int
) -> pd.DataFrame:
    return _code_partition(part, shared[2], turns, "error", {"number": number})


def transform(
    ddf: dd.DataFrame,
    encoder: Encoder,
    *,
    unknown: _Unknown = "nan",
    split_every: int | None = None,
) -> dd.DataFrame:
    """The codes of ddf under encoder's learned state, lazily: ``encoder.transform`` of the whole
    table, partition by partition.

    Codes equal those of ``encoder.transform(ddf.compute(), unknown=unknown)``; for "error",
    the ValueError names the row within its partition, and counts that partition's unseen cells.
    Where a categorical column of ddf may hold numbers, finding its first text is part of the
    lazy computation (one more read of the partitions).
    """
    _check_frame(ddf, split_every)
    if not isinstance(encoder, Encoder):
        raise TypeError(f"expected a vexilo.Encoder, not '{type(encoder).__qualname__}'")
    # Fails now, as transform of the whole table would, for an encoder that learned nothing, a
    # state listing a column ddf lacks, or a wrong unknown.
    encoder.transform(ddf._meta, unknown=unknown)
    listed = sorted(encoder.categories)
    dtypes = list(ddf.dtypes)
    needed = [col for col in listed if blocks.may_hold_numbers(dtypes[col])]
    turn_partitions: Any = [None] * len(dtypes)
    if needed:
        parts = ddf.to_delayed()
        found = [
            dask.delayed(_first_text_partitions, pure=False)(part, i, needed)
            for i, part in enumerate(parts)
        ]
        first = _tree(found, blocks.combine_first, _fan_in(split_every, len(found)))
        turn_partitions = dask.delayed(blocks.place_turns, pure=False)(first, needed, len(dtypes))
    return _map_codes(ddf, encoder, turn_partitions, unknown)

