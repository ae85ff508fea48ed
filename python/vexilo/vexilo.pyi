"""The compiled module: the Encoder type and the internal-failure exception."""

from collections.abc import Mapping, Sequence
from typing import Any, Literal, Protocol, TypeAlias, final, overload

import numpy as np
import numpy.typing as npt
from pandas import DataFrame

_Codes: TypeAlias = npt.NDArray[np.float64]

class _ArrowStreamTable(Protocol):
    """A table that hands itself over through the Arrow PyCapsule stream interface: a polars
    DataFrame, a pyarrow Table or RecordBatch, a DuckDB relation. Results come back as a polars
    DataFrame for a polars input, else as a pyarrow Table."""

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

@final
class Encoder:
    """Label-encodes the text columns of 2-D tables and keeps what it learned.

    A column whose cells are not all numbers is categorical: each distinct text (``str()`` of the
    cell) gets a code 0, 1, 2, ... in byte-wise sorted order; the missing-value markers "nan",
    "NaN" and "<NA>" (and float NaN, pandas' NA) get no code and encode to NaN. Numeric columns
    are copied as float64. The learned state is the last ``encode``'s; it pickles.
    """

    def __new__(cls, encoding: str | None = None) -> Encoder:
        """Create an encoder with nothing learned. ``encoding`` may only be None or "label"."""

    @overload
    def encode(self, obj: DataFrame) -> tuple[DataFrame, list[int]]:
        """Learn the codes of ``obj`` (replacing what was learned before) and return them.

        Returns (codes, categorical columns): a float64 table of the input's kind (an array for
        an array, a DataFrame with the input's column labels as text for a DataFrame) and the
        ascending indices of the categorical columns. A 2-D float64 array is copied unchanged
        and leaves the encoder empty; the second element is then None.
        """
    @overload
    def encode(self, obj: npt.NDArray[Any]) -> tuple[_Codes, list[int] | None]: ...
    @overload
    def encode(self, obj: _ArrowStreamTable) -> tuple[Any, list[int]]: ...

    @overload
    def decode(self, obj: DataFrame, *, as_category: bool = False) -> DataFrame:
        """Turn codes back into texts with the learned state, column by column by position.

        Every column the state lists as categorical gets its labels back (NaN and codes without
        a label become "NaN" in an array, None in a DataFrame, null in an Arrow table); other
        columns keep their numbers.
        An array result is an object array once anything was learned, else float64.

        With ``as_category=True`` each listed column comes back as a categorical column whose
        categories are the column's learned labels in ascending code order (a restored state
        whose codes have gaps keeps that order, its codes renumbered 0..k-1), with a missing
        value where the plain decode gives None or null: a pandas ``category`` column (codes
        int8/16/32/64 as pandas picks for the category count), a polars ``Enum``, or a pyarrow
        dictionary column (int32 indices, large_string values). No str is made per cell. The
        categories are built from a list of str, so pandas gives them its default dtype for
        text: ``str`` under pandas 3, as ``astype("category")`` of a text column, read_csv and
        every other text source in pandas 3 give them, and object under pandas 2. Under pandas 3
        the number columns of a codes frame of float64 columns are the frame's own, shared
        copy-on-write (neither frame sees the other's writes). An array input raises TypeError:
        arrays have no categorical kind.
        """
    @overload
    def decode(
        self, obj: npt.NDArray[Any], *, as_category: Literal[False] = False
    ) -> npt.NDArray[Any]: ...
    @overload
    def decode(self, obj: _ArrowStreamTable, *, as_category: bool = False) -> Any: ...

    @overload
    def transform(
        self, obj: DataFrame, *, unknown: Literal["nan", "error"] | float = "nan"
    ) -> DataFrame:
        """Codes of ``obj`` under the learned state, which stays as it is.

        Cell texts are derived exactly as ``encode`` derives them and looked up in what the
        column learned, so ``transform`` of the table that ``encode`` learned gives its codes.
        ``unknown`` says what a text the column never saw becomes: "nan" (NaN), "error" (a
        ValueError naming the column, the text, its row and the number of unseen cells) or a
        number (that code). Markers and NaN stay NaN. Columns the state does not list must hold
        only numbers. Raises ValueError when nothing was learned.
        """
    @overload
    def transform(
        self, obj: npt.NDArray[Any], *, unknown: Literal["nan", "error"] | float = "nan"
    ) -> _Codes: ...
    @overload
    def transform(
        self, obj: _ArrowStreamTable, *, unknown: Literal["nan", "error"] | float = "nan"
    ) -> Any: ...

    @property
    def categories(self) -> dict[int, list[str] | dict[int, str]]:
        """What was learned: for each categorical column (by index), its labels by code.

        A list when the codes are 0..k-1 (the label of code c is at index c); for a restored
        state with other codes, a dict from code to label in ascending code order. Fresh objects
        on every access: changing them changes nothing in the encoder.
        """

    def __getstate__(self) -> bytes:
        """The learned state as bytes (what pickle stores)."""

    def __setstate__(self, state: bytes) -> None:
        """Replace the state by one that ``__getstate__`` wrote."""

class PanicException(BaseException):
    """An internal failure of vexilo, derived from BaseException like an interpreter abort."""

# Private: the pieces of vexilo.dask (a table encoded partition by partition). A text list is the
# sorted distinct texts end to end and their end offsets as native 64-bit integers.
_TextList: TypeAlias = tuple[bytes, bytes]

def _table_texts(
    table: Any, turns: Sequence[int | None] | None = None, columns: Sequence[int] | None = None
) -> list[tuple[int, _TextList | None] | None]: ...
def _merge_texts(lists: Sequence[_TextList]) -> _TextList: ...
def _encoder_from_texts(texts: dict[int, _TextList], columns: int | None = None) -> Encoder: ...
def _transform_piece(
    encoder: Encoder,
    table: Any,
    turns: Sequence[int | None] | None,
    unknown: Literal["nan", "error"] | float = "nan",
) -> Any: ...

# Private: the pieces of vexilo.sklearn.
def _encoder_from_labels(
    labels: Mapping[int, Sequence[str]],
    codes: Mapping[int, Sequence[int]] | None = None,
    columns: int | None = None,
) -> Encoder:
    """A new Encoder whose categorical columns (the keys of labels) code each label by its
    position in its sequence, or by the code at that position of codes[column] (several labels
    may share a code; codes need not follow the labels' sorted order). columns: the learned
    table's column count, None where unknown. A missing-value marker ("nan", "NaN", "<NA>") or a
    repeated label is a ValueError, a label that is no str a TypeError."""

def _transform_codes(
    encoder: Encoder, table: Any, unknown: Literal["nan", "error"] | float = "nan"
) -> npt.NDArray[np.float64]:
    """``encoder.transform(table, unknown=unknown)`` as a float64 array whatever the table's
    kind (no result frame is built)."""

def _encode_counting(
    table: Any,
) -> tuple[Encoder, npt.NDArray[np.float64], list[int], dict[int, npt.NDArray[np.int64]]]:
    """(encoder, codes, categorical, counts): a new Encoder that learned table as
    ``Encoder().encode(table)`` does, the codes as a float64 array whatever the table's kind,
    the categorical columns (empty for a float64 array, whose encoder knows only that none is
    categorical), and for each categorical column how many of its cells carry each code, by code
    (missing cells are not counted), counted natively."""
