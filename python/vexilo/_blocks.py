"""Learning one encoding from a table held as an ordered list of blocks, without the rows ever
meeting in one process: what each block reports, how consecutive blocks' reports combine, and how
a block is read and coded under the whole table's turns.

Whether a column is categorical, and how its numbers read, depends on where its first text lies in
the whole table's row order: numbers before it read as numbers ("1" for 1.0), those after it as
``str()`` of their cells ("1.0"). A block alone cannot know whether that text lies before it, in it
or after it, so every block is read under a turn per column: its own first text (None), before its
first row (0) or after its last row (its row count).

Nothing here knows which scheduler runs the blocks; the caller names the blocks in its notes
("block 3 of the Ray Dataset").
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any, Literal, TypeAlias

import pandas as pd

from . import Encoder, PanicException
from .vexilo import _merge_texts, _table_texts, _transform_piece

# A sorted list of distinct texts as the compiled module hands it over: the texts end to end, and
# their end offsets as 64-bit integers.
TextList: TypeAlias = tuple[bytes, bytes]
EMPTY: TextList = (b"", b"")

Unknown: TypeAlias = Literal["nan", "error"] | float


def merged(lists: list[TextList]) -> TextList:
    lists = [texts for texts in lists if texts[1]]
    if len(lists) < 2:
        return lists[0] if lists else EMPTY
    return _merge_texts(lists)


class Column:
    """What a run of consecutive blocks holds in one column, for the learning pass.

    leading: the blocks (with rows) before the first one holding a text; turn: that first block,
    with the row of its first text and its texts; rest: the text lists of later blocks that read
    the same whatever the global rule (a text in their first row), merged once per combining task;
    fix: the later blocks that must be read again with every cell as text.
    """

    __slots__ = ("leading", "turn", "first_row", "turn_texts", "rest", "fix")

    def __init__(self) -> None:
        self.leading: list[int] = []
        self.turn: int | None = None
        self.first_row = 0
        self.turn_texts: TextList = EMPTY
        self.rest: list[TextList] = []
        self.fix: list[int] = []

    def __getstate__(self) -> tuple[Any, ...]:
        return tuple(getattr(self, name) for name in self.__slots__)

    def __setstate__(self, state: tuple[Any, ...]) -> None:
        for name, value in zip(self.__slots__, state, strict=True):
            setattr(self, name, value)

    @classmethod
    def of_block(cls, number: int, rows: int, found: tuple[int, TextList] | None) -> Column:
        column = cls()
        if found is None:
            if rows:
                column.leading.append(number)
        else:
            column.turn = number
            column.first_row, column.turn_texts = found
        return column

    def then(self, later: Column) -> Column:
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


def read(where: str, function: Callable[..., Any], *args: Any) -> Any:
    """function(*args), its failure noting where it happened."""
    try:
        return function(*args)
    except PanicException as error:
        # A task that raises a BaseException does not come back from a worker as an error of the
        # computation: raise an ordinary exception, the internal one as its cause.
        raise RuntimeError(f"vexilo failed on {where}: {error}") from error
    except Exception as error:
        error.add_note(f"while reading {where}")
        raise


def learn_block(part: pd.DataFrame, where: str, number: int) -> list[Column]:
    found = read(where, _table_texts, part)
    return [Column.of_block(number, len(part), column) for column in found]


def combine_columns(runs: Sequence[list[Column]]) -> list[Column]:
    combined = runs[0]
    for run in runs[1:]:
        combined = [left.then(right) for left, right in zip(combined, run, strict=True)]
    for column in combined:
        if len(column.rest) > 1:
            column.rest = [merged(column.rest)]
    return combined


def corrections(columns: list[Column]) -> dict[int, dict[int, bool]]:
    """Per block to read again, its columns and whether each turned before the block (else after
    it)."""
    found: dict[int, dict[int, bool]] = {}
    for col, column in enumerate(columns):
        if column.turn is None:
            continue
        for number in column.leading:
            found.setdefault(number, {})[col] = False
        for number in column.fix:
            found.setdefault(number, {})[col] = True
    return found


def reread_block(part: pd.DataFrame, where: str, turned: dict[int, bool]) -> dict[int, TextList]:
    """The texts of the columns in turned (column: turned before this block, else after it) read
    under those turns."""
    rows = len(part)
    turns: list[int | None] = [None] * part.shape[1]
    for col, before in turned.items():
        turns[col] = 0 if before else rows
    found = read(where, _table_texts, part, turns, sorted(turned))
    return {col: found[col][1] for col in turned if found[col] is not None}


def combine_texts(parts: Sequence[dict[int, TextList]]) -> dict[int, TextList]:
    lists: dict[int, list[TextList]] = {}
    for part in parts:
        for col, texts in part.items():
            lists.setdefault(col, []).append(texts)
    return {col: merged(texts) for col, texts in lists.items()}


def first_text_blocks(
    part: pd.DataFrame, where: str, number: int, columns: list[int]
) -> list[int | None]:
    found = read(where, _table_texts, part, None, [])
    return [number if found[col] is not None else None for col in columns]


def combine_first(runs: Sequence[list[int | None]]) -> list[int | None]:
    first = list(runs[0])
    for run in runs[1:]:
        first = [a if a is not None else b for a, b in zip(first, run, strict=True)]
    return first


def place_turns(first: list[int | None], columns: list[int], count: int) -> list[int | None]:
    turns: list[int | None] = [None] * count
    for col, turn in zip(columns, first, strict=True):
        turns[col] = turn
    return turns


def turns_of(number: int, rows: int, turn_blocks: Sequence[int | None]) -> list[int | None]:
    """Per column, how it turns in block number: at its own first text (None), before its first
    row (0) or after its last (rows)."""
    turns: list[int | None] = []
    for turn in turn_blocks:
        if turn is None or turn == number:
            turns.append(None)
        else:
            turns.append(0 if number > turn else rows)
    return turns


def code_block(
    part: pd.DataFrame,
    where: str,
    encoder: Encoder,
    turns: Sequence[int | None] | None,
    unknown: Unknown,
) -> pd.DataFrame:
    codes: pd.DataFrame = read(where, _transform_piece, encoder, part, turns, unknown)
    codes.index = part.index
    codes.columns = part.columns
    return codes


def may_hold_numbers(dtype: Any) -> bool:
    """False for text columns, whose cells are texts or missing: their codes do not depend on where
    the column's first text lies (missing cells code as NaN either way)."""
    if isinstance(dtype, pd.StringDtype):
        return False
    if isinstance(dtype, pd.ArrowDtype):
        import pyarrow as pa

        return not (
            pa.types.is_string(dtype.pyarrow_dtype) or pa.types.is_large_string(dtype.pyarrow_dtype)
        )
    return True
