"""One global encoding of a Dask DataFrame, equal to encoding the whole table at once.

``encode(ddf)`` learns from every partition and returns the codes (a lazy Dask DataFrame of
float64 with the input's partitions, index and column labels), the categorical columns and an
``Encoder`` holding what was learned: exactly what ``Encoder().encode(ddf.compute())`` gives,
without ever holding the whole table in one process. ``transform(ddf, encoder)`` codes new data
under a learned state, as ``encoder.transform(ddf.compute())`` would.

Whether a column is categorical, and how its numbers read, depends on where its first text lies
in the whole table's row order: numbers before it read as numbers ("1" for 1.0), those after it as
``str()`` of their cells ("1.0"). So learning runs in passes over the partitions:

1. every partition reports, per column, whether it holds a text, the row of its first text and
   its distinct texts (sorted; merged pairwise in a tree, so communication grows with the
   distinct texts and the partitions, never with the rows);
2. only where the global first text changes how a partition reads (numbers in a partition
   before a column's first text, or before it within a later partition) is that partition read
   again under the global rule;
3. the merged texts become one learned state, and every partition is coded under it lazily.

Importing this module imports Dask; nothing else in vexilo needs it.
"""

from __future__ import annotations

import uuid
from collections.abc import Callable, Sequence
from typing import Any, Literal, TypeAlias

import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd

from . import Encoder, PanicException
from .vexilo import _encoder_from_texts, _merge_texts, _table_texts, _transform_piece

__all__ = ["encode", "transform"]

# A sorted list of distinct texts as the compiled module hands it over: the texts end to end, and
# their end offsets as 64-bit integers.
_TextList: TypeAlias = tuple[bytes, bytes]
_EMPTY: _TextList = (b"", b"")

_Unknown: TypeAlias = Literal["nan", "error"] | float


def _merged(lists: list[_TextList]) -> _TextList:
    lists = [texts for texts in lists if texts[1]]
    if len(lists) < 2:
        return lists[0] if lists else _EMPTY
    return _merge_texts(lists)


class _Column:
    """What a run of consecutive partitions holds in one column, for the learning pass.

    leading: the partitions (with rows) before the first one holding a text; turn: that first
    partition, with the row of its first text and its texts; rest: the text lists of later
    partitions that read the same whatever the global rule (a text in their first row), merged
    once per combining task; fix: the later partitions that must be read again with every cell as
    text.
    """

    __slots__ = ("leading", "turn", "first_row", "turn_texts", "rest", "fix")

    def __init__(self) -> None:
        self.leading: list[int] = []
        self.turn: int | None = None
        self.first_row = 0
        self.turn_texts: _TextList = _EMPTY
        self.rest: list[_TextList] = []
        self.fix: list[int] = []

    @classmethod
    def of_partition(cls, number: int, rows: int, found: tuple[int, _TextList] | None) -> _Column:
        column = cls()
        if found is None:
            if rows:
                column.leading.append(number)
        else:
            column.turn = number
            column.first_row, column.turn_texts = found
        return column

    def then(self, later: _Column) -> _Column:
        """This run followed by the run after it."""
        if self.turn is None:
            later.leading = self.leading + later.leading
            return later
        self.fix += later.leading + later.fix
        if later.turn is not None:
            if later.first_row == 0:
                self.rest.append(later.turn_texts)
            else:
                self.fix.append(later.turn)
        self.rest += later.rest
        return self


def _read(number: int, function: Callable[..., Any], *args: Any) -> Any:
    where = f"partition {number} of the Dask DataFrame"
    try:
        return function(*args)
    except PanicException as error:
        # A task that raises a BaseException does not come back from a distributed worker as
        # an error of the computation: raise an ordinary exception, the internal one as its cause.
        raise RuntimeError(f"vexilo failed on {where}: {error}") from error
    except Exception as error:
        error.add_note(f"while reading {where}")
        raise


def _learn_partition(part: pd.DataFrame, number: int) -> list[_Column]:
    found = _read(number, _table_texts, part)
    return [_Column.of_partition(number, len(part), column) for column in found]


def _combine_columns(runs: list[list[_Column]]) -> list[_Column]:
    combined = runs[0]
    for run in runs[1:]:
        combined = [left.then(right) for left, right in zip(combined, run, strict=True)]
    for column in combined:
        if len(column.rest) > 1:
            column.rest = [_merged(column.rest)]
    return combined


def _reread_partition(
    part: pd.DataFrame, number: int, corrections: dict[int, bool]
) -> dict[int, _TextList]:
    """The texts of the columns in corrections (column: turned before this partition, else after
    it) read under those turns."""
    rows = len(part)
    turns: list[int | None] = [None] * part.shape[1]
    for col, before in corrections.items():
        turns[col] = 0 if before else rows
    found = _read(number, _table_texts, part, turns, sorted(corrections))
    return {col: found[col][1] for col in corrections if found[col] is not None}


def _combine_texts(parts: list[dict[int, _TextList]]) -> dict[int, _TextList]:
    lists: dict[int, list[_TextList]] = {}
    for part in parts:
        for col, texts in part.items():
            lists.setdefault(col, []).append(texts)
    return {col: _merged(texts) for col, texts in lists.items()}


def _first_text_partitions(part: pd.DataFrame, number: int, columns: list[int]) -> list[int | None]:
    found = _read(number, _table_texts, part, None, [])
    return [number if found[col] is not None else None for col in columns]


def _combine_first(runs: list[list[int | None]]) -> list[int | None]:
    first = list(runs[0])
    for run in runs[1:]:
        first = [a if a is not None else b for a, b in zip(first, run, strict=True)]
    return first


def _tree(items: list[Any], combine: Callable[[list[Any]], Any], split_every: int) -> Any:
    """One delayed result from items, combined in order split_every at a time."""
    while len(items) > 1:
        items = [
            dask.delayed(combine, pure=False)(items[i : i + split_every])
            for i in range(0, len(items), split_every)
        ]
    return items[0]


def _turns(number: int, rows: int, turn_partitions: Sequence[int | None]) -> list[int | None]:
    """Per column, how it turns in partition number: at its own first text (None), before its
    first row (0) or after its last (rows)."""
    turns: list[int | None] = []
    for turn in turn_partitions:
        if turn is None or turn == number:
            turns.append(None)
        else:
            turns.append(0 if number > turn else rows)
    return turns


def _code_partition(
    part: pd.DataFrame,
    encoder: Encoder,
    turn_partitions: Sequence[int | None],
    unknown: _Unknown,
    partition_info: dict[str, Any] | None = None,
) -> pd.DataFrame:
    number = partition_info["number"] if partition_info else 0
    turns = _turns(number, len(part), turn_partitions)
    codes: pd.DataFrame = _read(number, _transform_piece, encoder, part, turns, unknown)
    codes.index = part.index
    codes.columns = part.columns
    return codes


def _check_frame(ddf: Any, split_every: int) -> None:
    if not isinstance(ddf, dd.DataFrame):
        raise TypeError(f"expected a dask.dataframe.DataFrame, not '{type(ddf).__qualname__}'")
    if isinstance(split_every, bool) or not isinstance(split_every, int) or split_every < 2:
        raise ValueError(f"split_every must be an int of at least 2, not {split_every!r}")


def _map_codes(
    ddf: dd.DataFrame,
    encoder: Encoder,
    turn_partitions: Any,
    unknown: _Unknown,
) -> dd.DataFrame:
    meta = pd.DataFrame(
        np.empty((0, len(ddf.columns))), index=ddf._meta.index, columns=ddf.columns
    )
    return ddf.map_partitions(
        _code_partition,
        _shared(encoder),
        turn_partitions,
        unknown,
        meta=meta,
        enforce_metadata=False,
    )


def _shared(encoder: Encoder) -> Any:
    """The encoder as one dependency of every task, not a copy in each.

    On a distributed scheduler it is sent to every worker at once: a dependency held by one
    worker would draw the tasks, and the partitions they read, to that worker.
    """
    client: Any = getattr(dask.base.get_scheduler(), "__self__", None)
    if type(client).__name__ == "Client" and hasattr(client, "scatter"):
        return client.scatter(encoder, broadcast=True, hash=False)
    return dask.delayed(encoder, name=f"vexilo-encoder-{uuid.uuid4().hex}")


def encode(ddf: dd.DataFrame, *, split_every: int = 8) -> tuple[dd.DataFrame, list[int], Encoder]:
    """Encode a Dask DataFrame as one table: (codes, categorical columns, encoder).

    The learning passes run now, on the current Dask scheduler (a distributed Client's, if one
    is active); the codes are a lazy Dask DataFrame of float64 with ddf's partitions, index and
    column labels, computed when asked for. Codes, categorical columns and the encoder's state
    are exactly those of ``Encoder().encode(ddf.compute())``. split_every: how many partitions'
    reports one task merges. A partition that cannot be read fails the call with its own error
    (noting the partition); nothing is returned then.
    """
    _check_frame(ddf, split_every)
    parts = ddf.to_delayed()
    learned = [dask.delayed(_learn_partition, pure=False)(part, i) for i, part in enumerate(parts)]
    (columns,) = dask.compute(_tree(learned, _combine_columns, split_every))

    corrections: dict[int, dict[int, bool]] = {}
    for col, column in enumerate(columns):
        if column.turn is None:
            continue
        for number in column.leading:
            corrections.setdefault(number, {})[col] = False
        for number in column.fix:
            corrections.setdefault(number, {})[col] = True
    texts = {
        col: [column.turn_texts, *column.rest]
        for col, column in enumerate(columns)
        if column.turn is not None
    }
    if corrections:
        reread = [
            dask.delayed(_reread_partition, pure=False)(parts[number], number, turned)
            for number, turned in sorted(corrections.items())
        ]
        (extra,) = dask.compute(_tree(reread, _combine_texts, split_every))
        for col, more in extra.items():
            texts[col].append(more)

    encoder = _encoder_from_texts(
        {col: _merged(lists) for col, lists in texts.items()}, columns=len(columns)
    )
    turn_partitions = [column.turn for column in columns]
    codes = _map_codes(ddf, encoder, turn_partitions, "error")
    return codes, sorted(texts), encoder


def _may_hold_numbers(dtype: Any) -> bool:
    """False for text columns, whose cells are texts or missing: their codes do not depend on
    where the column's first text lies (missing cells code as NaN either way)."""
    if isinstance(dtype, pd.StringDtype):
        return False
    if isinstance(dtype, pd.ArrowDtype):
        import pyarrow as pa

        return not (pa.types.is_string(dtype.pyarrow_dtype) or pa.types.is_large_string(
            dtype.pyarrow_dtype))
    return True


def transform(
    ddf: dd.DataFrame, encoder: Encoder, *, unknown: _Unknown = "nan", split_every: int = 8
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
    needed = [col for col in listed if _may_hold_numbers(dtypes[col])]
    turn_partitions: Any = [None] * len(dtypes)
    if needed:
        parts = ddf.to_delayed()
        found = [
            dask.delayed(_first_text_partitions, pure=False)(part, i, needed)
            for i, part in enumerate(parts)
        ]
        first = _tree(found, _combine_first, split_every)
        turn_partitions = dask.delayed(_place_turns, pure=False)(first, needed, len(dtypes))
    return _map_codes(ddf, encoder, turn_partitions, unknown)


def _place_turns(first: list[int | None], columns: list[int], count: int) -> list[int | None]:
    turns: list[int | None] = [None] * count
    for col, turn in zip(columns, first, strict=True):
        turns[col] = turn
    return turns
