"""A scikit-learn compatible ordinal encoder over ``vexilo.Encoder``.

Importing this module imports scikit-learn; the rest of vexilo never does.
"""

from __future__ import annotations

import math
import numbers
from typing import Any, Literal

import numpy as np
import numpy.typing as npt
from sklearn.base import BaseEstimator, OneToOneFeatureMixin, TransformerMixin
from sklearn.exceptions import NotFittedError
from sklearn.utils._param_validation import (
    Interval,
    RealNotInt,
    validate_parameter_constraints,
)
from sklearn.utils.validation import check_array, validate_data

from .vexilo import _encode_counting, _encoder_from_labels, _transform_codes

__all__ = ["OrdinalEncoder"]

_HANDLE_UNKNOWN = ("error", "use_encoded_value")
# The texts that encode as missing values, which never get a code.
_MISSING_MARKERS = ("nan", "NaN", "<NA>")
# What the native transform writes for an unseen text when unknown_value is NaN but missing
# cells take another value: no code is negative infinity, and no column of codes holds it.
_UNSEEN = -math.inf
# Frames of at most this many rows are read as object arrays in transform: for them, reading the
# frame's columns costs more than reading the cells.
_SMALL_FRAME_ROWS = 64
_FREQUENCY_CONSTRAINTS: dict[str, list[Any]] = {
    "encoded_missing_value": [numbers.Real],
    "max_categories": [Interval(numbers.Integral, 1, None, closed="left"), None],
    "min_frequency": [
        Interval(numbers.Integral, 1, None, closed="left"),
        Interval(RealNotInt, 0, 1, closed="neither"),
        None,
    ],
}


def _is_integer(value: object) -> bool:
    return isinstance(value, (int, np.integer)) and not isinstance(value, bool)


def _is_nan(value: object) -> bool:
    return isinstance(value, (float, np.floating)) and math.isnan(value)


def _is_missing_label(value: object) -> bool:
    return _is_nan(value) or (isinstance(value, str) and value in _MISSING_MARKERS)


def _is_native_frame(X: object) -> bool:
    # The native encoder reads pandas frames through pandas' own attributes and polars frames
    # through their Arrow memory; other libraries' frames (which may share the type's name) are
    # converted to arrays first.
    kind = type(X)
    return kind.__name__ == "DataFrame" and kind.__module__.split(".")[0] in ("pandas", "polars")


def _infrequent_positions(
    counts: npt.NDArray[np.int64], n_samples: int, min_frequency: Any, max_categories: Any
) -> npt.NDArray[np.intp] | None:
    """The positions of a column's infrequent labels among counts (one count per label), as
    scikit-learn's encoders find them, or None when every label is frequent."""
    infrequent: npt.NDArray[np.bool_]
    if isinstance(min_frequency, numbers.Integral):
        infrequent = counts < int(min_frequency)
    elif isinstance(min_frequency, numbers.Real):
        infrequent = counts < n_samples * float(min_frequency)
    else:
        infrequent = np.zeros(counts.shape[0], dtype=bool)
    kept = counts.size - int(infrequent.sum()) + 1
    if max_categories is not None and max_categories < kept:
        # max_categories counts the infrequent group as one category.
        frequent = max_categories - 1
        if frequent == 0:
            infrequent[:] = True
        else:
            # A stable sort: among equal counts, the labels coded first stay frequent.
            infrequent[np.argsort(counts, kind="mergesort")[:-frequent]] = True
    positions = np.flatnonzero(infrequent)
    return positions if positions.size else None


class OrdinalEncoder(OneToOneFeatureMixin, TransformerMixin, BaseEstimator):  # type: ignore[misc]
    """Encode the text columns of a table as integer codes, with vexilo's encoding rules.

    A column whose cells are not all numbers is categorical: each distinct text (``str()`` of
    the cell) gets a code 0, 1, ... in byte-wise sorted order, or in the order ``categories``
    gives; the missing-value markers "nan", "NaN", "<NA>", float NaN and pandas' NA are missing
    values (``encoded_missing_value``), while ``None`` is the label "None". Columns of numbers
    pass through as numbers, unlike scikit-learn's own encoder, which numbers them too.

    Parameters
    ----------
    categories : "auto" or list, default="auto"
        "auto" learns every categorical column's labels in sorted order. A list holds one entry
        per input column: "auto" for that column, or its labels (texts) in the order they are to
        be coded, 0, 1, ...; a text outside the list at ``fit`` is an error unless
        ``handle_unknown="use_encoded_value"``. A column of numbers takes only "auto". A list
        may end with NaN (or a missing-value marker text), which then closes ``categories_``:
        missing values are never labels and always take ``encoded_missing_value``, listed or not.
    dtype : float or integer NumPy type, default=np.float64
        The type of the codes. With an integer type, every cell of the result must be a whole
        number that the type holds: a NaN (a missing value with NaN ``encoded_missing_value``,
        a NaN ``unknown_value``) or a number column's value that the type cannot hold exactly is
        a ValueError.
    handle_unknown : {"error", "use_encoded_value"}, default="error"
        What ``transform`` does with a text its column never saw during ``fit``: raise a
        ValueError, or give it ``unknown_value``.
    unknown_value : int or np.nan, default=None
        The code of unseen texts when ``handle_unknown="use_encoded_value"``; it must not be a
        code of a learned category.
    encoded_missing_value : number, default=np.nan
        The code of the categorical columns' missing values; it must not be a code of a learned
        category of any categorical column (scikit-learn's encoder checks only the columns that
        had missing values at fit, and calls later missing values elsewhere unknown; here they
        take this code in every categorical column). Columns of numbers keep their NaN.
    min_frequency : int or float, default=None
        Labels seen fewer times than this (an int) or than this share of the rows (a float
        between 0 and 1) at ``fit`` are infrequent: they share one code, after the frequent
        labels' codes. Missing values are not counted as a label.
    max_categories : int, default=None
        At most this many codes per categorical column, the infrequent group counted as one: the
        least frequent labels join the group (among equal counts, the later codes).

    Attributes
    ----------
    categories_ : list of ndarray
        For each input column, its labels in the order of their codes before grouping (object
        arrays); an empty float64 array for a column of numbers, which has no categories.
    infrequent_categories_ : list of ndarray or None
        Only with ``min_frequency`` or ``max_categories``: per column, its infrequent labels, or
        None where it has none.
    categorical_columns_ : list of int
        The indices of the categorical columns.
    n_features_in_ : int
    feature_names_in_ : ndarray of str
        Only when ``fit`` was given a DataFrame whose column labels are all texts.
    """

    def __init__(
        self,
        *,
        categories: str | list[Any] = "auto",
        dtype: Any = np.float64,
        handle_unknown: str = "error",
        unknown_value: float | None = None,
        encoded_missing_value: float = np.nan,
        min_frequency: float | None = None,
        max_categories: int | None = None,
    ):
        self.categories = categories
        self.dtype = dtype
        self.handle_unknown = handle_unknown
        self.unknown_value = unknown_value
        self.encoded_missing_value = encoded_missing_value
        self.min_frequency = min_frequency
        self.max_categories = max_categories

    def fit(self, X: Any, y: Any = None) -> OrdinalEncoder:
        """Learn the categories of every text column of X."""
        self._fit(X)
        return self

    def fit_transform(self, X: Any, y: Any = None, **fit_params: Any) -> npt.NDArray[Any]:
        """Learn the categories of X and return its codes (one pass over X)."""
        return self._fit(X)

    def transform(self, X: Any) -> npt.NDArray[Any]:
        """Codes of X under the learned categories, as an array of ``dtype``.

        Texts a column never saw raise ValueError or take ``unknown_value``
        (``handle_unknown``); missing values take ``encoded_missing_value``.
        """
        encoder = self.__dict__.get("_encoder")
        if encoder is None:
            raise NotFittedError(
                f"This {type(self).__name__} instance is not fitted yet. Call 'fit' with "
                "appropriate arguments before using this estimator."
            )
        table = self._check_table(X, reset=False)
        try:
            codes = _transform_codes(encoder, table, self._unknown)
        except ValueError:
            if table is X or not _is_native_frame(X):
                raise
            # A small frame read as its cells: the frame's own reading decides, with its own
            # result or error (a nullable number column's missing value is a number only there).
            codes = _transform_codes(encoder, X, self._unknown)
        if isinstance(codes, np.ndarray) and self._plain:
            return codes
        return self._finish(self._as_array(codes))

    def inverse_transform(self, X: Any) -> npt.NDArray[np.object_]:
        """Labels back from codes, as an object array.

        Categorical columns give their labels, ``encoded_missing_value`` gives NaN,
        ``unknown_value`` gives None and the infrequent group's code "infrequent_sklearn";
        columns of numbers keep their numbers. A code that no category of its column has raises
        ValueError.
        """
        self._check_fitted()
        codes = check_array(X, dtype=np.float64, ensure_all_finite=False)
        if codes.shape[1] != self.n_features_in_:
            raise ValueError(
                "Shape of the passed X data is not correct. Expected "
                f"{self.n_features_in_} columns, got {codes.shape[1]}."
            )
        codes = codes.copy()
        missing, unseen, infrequent = {}, {}, {}
        for j in self.categorical_columns_:
            column = codes[:, j]
            missing[j] = self._missing_mask(column)
            unseen[j] = self._unknown_mask(column)
            count = self._cardinalities[j]
            wrong = ~(missing[j] | unseen[j]) & (
                (column < 0) | (column >= count) | (column != np.floor(column))
            )
            if wrong.any():
                row = int(np.flatnonzero(wrong)[0])
                raise ValueError(
                    f"column {j} holds {float(column[row])!r} at row {row}, which is not a code of "
                    f"its {count} categories"
                )
            if self._grouped.get(j) is not None:
                infrequent[j] = column == self._grouped[j]
            # The native decoder reads missing and unseen cells as missing codes.
            column[missing[j] | unseen[j]] = np.nan
        decoded: npt.NDArray[np.object_] = self._encoder.decode(codes)
        for j in self.categorical_columns_:
            decoded[missing[j], j] = np.nan
            decoded[unseen[j], j] = None
            if j in infrequent:
                decoded[infrequent[j], j] = "infrequent_sklearn"
        return decoded

    @property
    def infrequent_categories_(self) -> list[npt.NDArray[Any] | None]:
        """Per column, its infrequent labels, or None where it has none."""
        positions = self.__dict__.get("_infrequent_positions")
        if positions is None:
            raise AttributeError(
                f"'{type(self).__name__}' object has no attribute 'infrequent_categories_'"
            )
        return [
            None if at is None else labels[at]
            for labels, at in zip(self.categories_, positions)
        ]

    def __setstate__(self, state: dict[str, Any]) -> None:
        super().__setstate__(state)
        if "_encoder" in state and "_unknown" not in state:
            # Pickled by a version that knew only handle_unknown and unknown_value: what
            # transform precomputes follows from what it kept.
            names = state.get("feature_names_in_")
            self._names: list[str] | None = None if names is None else names.tolist()
            self._columns: Any = None
            self._small_as_cells = False
            value: Any = self.unknown_value
            self._unknown: Literal["error"] | float = (
                "error" if self.handle_unknown == "error" else float(value)
            )
            self._fill: float | None = None
            self._plain = True
            self._cardinalities = [len(labels) for labels in self.categories_]
            self._grouped: dict[int, int] = {}
            self._infrequent_positions: list[npt.NDArray[np.intp] | None] | None = None

    def __sklearn_is_fitted__(self) -> bool:
        return "_encoder" in self.__dict__

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = True
        tags.input_tags.string = True
        tags.input_tags.categorical = True
        # The codes come as dtype whatever the input's type.
        if tags.transformer_tags is not None:
            dtype = np.dtype(self.dtype)
            tags.transformer_tags.preserves_dtype = [dtype.name] if dtype == np.float64 else []
        return tags

    # ------------------------------------------------------------------------------ internals

    def _fit(self, X: Any) -> npt.NDArray[Any]:
        self._check_parameters()
        table = self._check_table(X, reset=True)
        encoder, codes, categorical, counts = _encode_counting(table)
        rows, width = codes.shape
        if self.categories != "auto" and len(self.categories) != width:
            raise ValueError(
                "Shape mismatch: if categories is an array, it has to be of shape (n_features,)."
            )
        learned = encoder.categories
        grouping = self.min_frequency is not None or self.max_categories is not None
        categories: list[npt.NDArray[Any]] = []
        labels_by_column: dict[int, list[str]] = {}
        codes_by_column: dict[int, list[int]] = {}
        remaps: dict[int, npt.NDArray[np.float64]] = {}
        missing_columns: list[int] = []
        infrequent_positions: list[npt.NDArray[np.intp] | None] = []
        grouped: dict[int, int] = {}
        cardinalities = [0] * width
        for j in range(width):
            given = "auto" if self.categories == "auto" else self.categories[j]
            learned_labels = learned.get(j)
            if learned_labels is None:
                if not (isinstance(given, str) and given == "auto"):
                    raise ValueError(
                        f"Column {j} holds numbers, which pass through uncoded and have no "
                        "categories: give 'auto' for it instead of a list."
                    )
                categories.append(np.array([], dtype=np.float64))
                infrequent_positions.append(None)
                continue
            # Codes from encode are always 0..k-1, so the labels come as a list.
            found: list[str] = learned_labels  # type: ignore[assignment]
            found_counts = counts[j]
            labels: list[str]
            if isinstance(given, str) and given == "auto":
                labels, listed_missing = list(found), False
                label_counts = found_counts
            else:
                labels, listed_missing = self._given_labels(given, j)
                position = {label: at for at, label in enumerate(labels)}
                unknown = [label for label in found if label not in position]
                if unknown and self.handle_unknown == "error":
                    raise ValueError(f"Found unknown categories {unknown} in column {j} during fit")
                label_counts = np.zeros(len(labels), dtype=np.int64)
                for code, label in enumerate(found):
                    if label in position:
                        label_counts[position[label]] = found_counts[code]
            column_codes = np.arange(len(labels))
            positions = None
            if grouping:
                positions = _infrequent_positions(
                    label_counts, rows, self.min_frequency, self.max_categories
                )
            if positions is not None:
                frequent = np.ones(len(labels), dtype=bool)
                frequent[positions] = False
                column_codes[frequent] = np.arange(int(frequent.sum()))
                column_codes[positions] = grouped[j] = int(frequent.sum())
            infrequent_positions.append(positions)
            cardinalities[j] = int(column_codes.max()) + 1 if len(labels) else 0
            if listed_missing or int(found_counts.sum()) < rows:
                missing_columns.append(j)
            labels_by_column[j] = labels
            codes_by_column[j] = column_codes.tolist()
            if labels != list(found) or positions is not None:
                # The learned sorted codes to the final ones; texts outside the list are unseen.
                final = dict(zip(labels, column_codes.tolist()))
                unseen = math.nan if self.handle_unknown == "error" else self._native_unknown()
                remaps[j] = np.array(
                    [final.get(label, unseen) for label in found], dtype=np.float64
                )
            kept = np.array(labels, dtype=object)
            categories.append(np.append(kept, np.nan) if listed_missing else kept)
        self._check_codes(cardinalities, missing_columns)
        if remaps:
            encoder = _encoder_from_labels(labels_by_column, codes_by_column, width)
            for j, remap in remaps.items():
                column = codes[:, j]
                coded = ~np.isnan(column)
                column[coded] = remap[column[coded].astype(np.intp)]
        self._encoder = encoder
        self.categories_ = categories
        self.categorical_columns_: list[int] = [int(column) for column in categorical]
        self._cardinalities = cardinalities
        self._grouped = grouped
        self._infrequent_positions = infrequent_positions if grouping else None
        self._unknown = "error" if self.handle_unknown == "error" else self._native_unknown()
        missing_code = float(self.encoded_missing_value)
        self._fill = None if math.isnan(missing_code) else missing_code
        self._plain = self._fill is None and np.dtype(self.dtype) == np.float64
        return self._finish(self._as_array(codes))

    def _given_labels(self, given: Any, j: int) -> tuple[list[str], bool]:
        """The labels of a column's categories list, and whether it ends with a missing value."""
        entries = list(given)
        for entry in entries[:-1]:
            if _is_missing_label(entry):
                raise ValueError(
                    "Nan should be the last element in user provided categories, see "
                    f"categories {np.array(entries, dtype=object)} in column #{j}"
                )
        listed_missing = bool(entries) and _is_missing_label(entries[-1])
        labels = entries[:-1] if listed_missing else entries
        for label in labels:
            if not isinstance(label, str):
                raise TypeError(
                    f"In column {j}, the predefined categories must be texts, as the column's "
                    f"labels are; got {label!r} of type '{type(label).__name__}'."
                )
        if len(set(labels)) != len(labels):
            raise ValueError(
                f"In column {j}, the predefined categories contain duplicate elements."
            )
        return labels, listed_missing

    def _check_parameters(self) -> None:
        if self.handle_unknown not in _HANDLE_UNKNOWN:
            raise ValueError(
                "The 'handle_unknown' parameter of OrdinalEncoder must be a str among "
                f"{{'error', 'use_encoded_value'}}. Got {self.handle_unknown!r} instead."
            )
        value = self.unknown_value
        if self.handle_unknown == "use_encoded_value":
            if not (_is_integer(value) or _is_nan(value)):
                raise TypeError(
                    "unknown_value should be an integer or np.nan when handle_unknown is "
                    f"'use_encoded_value', got {value}."
                )
        elif value is not None:
            raise TypeError(
                "unknown_value should only be set when handle_unknown is "
                f"'use_encoded_value', got {value}."
            )
        categories = self.categories
        if not isinstance(categories, list) and not (
            isinstance(categories, str) and categories == "auto"
        ):
            raise ValueError(
                "The 'categories' parameter of OrdinalEncoder must be a str among {'auto'} or "
                f"an instance of 'list'. Got {categories!r} instead."
            )
        validate_parameter_constraints(
            _FREQUENCY_CONSTRAINTS,
            {name: getattr(self, name) for name in _FREQUENCY_CONSTRAINTS},
            type(self).__name__,
        )
        if isinstance(self.encoded_missing_value, bool):
            raise TypeError(
                "The 'encoded_missing_value' parameter of OrdinalEncoder must be a number. Got "
                f"{self.encoded_missing_value!r} instead."
            )
        try:
            kind = np.dtype(self.dtype).kind
        except TypeError as error:
            raise TypeError(f"dtype {self.dtype!r} is not a NumPy type") from error
        if kind not in "fiu":
            raise ValueError(
                f"dtype must be a float or integer type for codes, got {np.dtype(self.dtype)}."
            )
        if self.handle_unknown == "use_encoded_value" and _is_nan(value) and kind != "f":
            raise ValueError(
                "When unknown_value is np.nan, the dtype parameter should be a float dtype. "
                f"Got {self.dtype}."
            )

    def _check_codes(self, cardinalities: list[int], missing_columns: list[int]) -> None:
        value = self.unknown_value
        if self.handle_unknown != "error" and _is_integer(value):
            code = int(value)  # type: ignore[arg-type]
            if any(0 <= code < cardinality for cardinality in cardinalities):
                raise ValueError(
                    f"The used value for unknown_value {self.unknown_value} is one of the "
                    "values already used for encoding the seen categories."
                )
        missing_code = self.encoded_missing_value
        if _is_nan(missing_code):
            if missing_columns and np.dtype(self.dtype).kind != "f":
                raise ValueError(
                    f"There are missing values in features {missing_columns}. For "
                    f"OrdinalEncoder to encode missing values with dtype: {self.dtype}, set "
                    "encoded_missing_value to a non-nan value, or set dtype to a float"
                )
            return
        # Every categorical column's missing cells take the code, also in a column that had none
        # at fit (scikit-learn's encoder would call them unknown there): so it must be a code of
        # no categorical column, or those cells would read as that column's label.
        invalid: Any = [
            j for j, cardinality in enumerate(cardinalities) if 0 <= missing_code < cardinality
        ]
        if invalid:
            if hasattr(self, "feature_names_in_"):
                invalid = self.feature_names_in_[invalid]
            raise ValueError(
                f"encoded_missing_value ({missing_code}) is already used to encode a known "
                f"category in features: {invalid}"
            )

    def _native_unknown(self) -> float:
        """What the native transform writes for an unseen text."""
        value = float(self.unknown_value)  # type: ignore[arg-type]
        if math.isnan(value) and not _is_nan(self.encoded_missing_value):
            return _UNSEEN
        return value

    def _finish(self, codes: npt.NDArray[np.float64]) -> npt.NDArray[Any]:
        """Native codes as the parameters ask: missing values coded, then the codes' type."""
        columns = self.categorical_columns_
        if self._fill is not None and columns:
            if not codes.flags.writeable:
                codes = codes.copy()
            block = codes[:, columns]
            block[np.isnan(block)] = self._fill
            if self._unknown == _UNSEEN:
                block[block == _UNSEEN] = np.nan
            codes[:, columns] = block
        dtype = np.dtype(self.dtype)
        if dtype == np.float64:
            return codes
        if dtype.kind == "f":
            return codes.astype(dtype)
        limits = np.iinfo(dtype)
        with np.errstate(invalid="ignore"):
            lost = ~((codes >= limits.min) & (codes <= limits.max) & (codes == np.floor(codes)))
        if lost.any():
            row, column = (int(at[0]) for at in np.nonzero(lost))
            value = float(codes[row, column])
            why = (
                "a missing value or unseen text coded NaN"
                if math.isnan(value) and column in columns
                else "a number"
            )
            raise ValueError(
                f"column {column} holds {value!r} at row {row} ({why}), which dtype "
                f"{dtype.name} cannot hold exactly: use a float dtype"
                + (" or a number for encoded_missing_value" if why != "a number" else "")
            )
        return codes.astype(dtype)

    def _check_fitted(self) -> None:
        if "_encoder" not in self.__dict__:
            raise NotFittedError(
                f"This {type(self).__name__} instance is not fitted yet. Call 'fit' with "
                "appropriate arguments before using this estimator."
            )

    def _check_table(self, X: Any, *, reset: bool) -> Any:
        """X as the native encoder takes it: a pandas or polars DataFrame as it is, anything
        else as a 2-D array (texts as objects, so that numbers among them stay numbers)."""
        if not reset:
            known = self._known_table(X)
            if known is not None:
                return known
        if _is_native_frame(X):
            validate_data(self, X, reset=reset, skip_check_array=True)
            if reset:
                names = self.__dict__.get("feature_names_in_")
                self._names = None if names is None else names.tolist()
                # A pandas frame's own column index compares in far less time than its names.
                pandas = self._names and not isinstance(X.columns, list)
                self._columns = X.columns if pandas else None
                # Reading a few rows as their cells pays only where the frame's columns are
                # NumPy ones (objects, numbers): pandas' own string and extension columns cost
                # more to turn into objects than to read natively.
                self._small_as_cells = bool(pandas) and all(
                    isinstance(dtype, np.dtype) and dtype.kind in "Obiuf" for dtype in X.dtypes
                )
            rows, columns = X.shape
            for count, what in ((rows, "sample"), (columns, "feature")):
                if count < 1:
                    raise ValueError(
                        f"Found array with {count} {what}(s) (shape={X.shape}) while a minimum "
                        f"of 1 is required by {type(self).__name__}."
                    )
            return X
        table = validate_data(self, X, reset=reset, dtype=None, ensure_all_finite=False)
        if not hasattr(X, "dtype") and table.dtype.kind in "US":
            # A list of rows mixing texts and numbers: NumPy would turn the numbers into texts.
            table = validate_data(self, X, reset=reset, dtype=object, ensure_all_finite=False)
        if reset:
            self._names = self._columns = None
            self._small_as_cells = False
        return table

    def _known_table(self, X: Any) -> Any:
        """X ready for transform without scikit-learn's checks, where they would pass without a
        word: a NumPy array of objects or floats of the learned width, from an encoder that
        learned no column names, or a frame with exactly the learned column names; None for
        anything else, which takes the checks. A pandas frame of a few rows comes as its object
        array: its cells read the same, and reading a frame's columns costs more than the cells
        (the one cell that reads otherwise, pandas' NA in a nullable number column, is a
        ValueError among objects, which transform answers by reading the frame)."""
        kind = type(X)
        names = self._names
        if kind is np.ndarray:
            if (
                names is None
                and X.ndim == 2
                and X.shape[0] >= 1
                and X.shape[1] == self.n_features_in_
                and X.dtype.kind in "Of"
            ):
                return X
            return None
        if names is None or not _is_native_frame(X) or X.shape[0] < 1:
            return None
        if kind.__module__.startswith("polars"):
            return X if X.columns == names else None
        columns = self._columns
        if not (X.columns.equals(columns) if columns is not None else X.columns.tolist() == names):
            return None
        if self._small_as_cells and len(X) <= _SMALL_FRAME_ROWS:
            return X.to_numpy(dtype=object)
        return X

    def _missing_mask(self, column: npt.NDArray[np.float64]) -> npt.NDArray[np.bool_]:
        if self._fill is None:
            return np.isnan(column)
        missing: npt.NDArray[np.bool_] = column == self._fill
        return missing

    def _unknown_mask(self, column: npt.NDArray[np.float64]) -> npt.NDArray[np.bool_]:
        value = self.unknown_value
        if self.handle_unknown == "error" or value is None:
            return np.zeros(column.shape, dtype=bool)
        if math.isnan(value):
            # NaN codes are unseen texts only where missing values have a code of their own.
            if self._fill is None:
                return np.zeros(column.shape, dtype=bool)
            return np.isnan(column)
        unseen: npt.NDArray[np.bool_] = column == value
        return unseen

    @staticmethod
    def _as_array(codes: Any) -> npt.NDArray[np.float64]:
        # Frames in, arrays out, as scikit-learn's transformers do; set_output(transform="pandas")
        # (or "polars") turns the array into a frame with the input's column names.
        if isinstance(codes, np.ndarray):
            return codes
        if type(codes).__module__.split(".")[0] == "polars":
            # Float64 columns: polars gives a float64 array of them.
            polars_codes: npt.NDArray[np.float64] = codes.to_numpy()
            return polars_codes
        result: npt.NDArray[np.float64] = codes.to_numpy(dtype=np.float64, copy=False)
        return result
