"""A scikit-learn compatible ordinal encoder over ``vexilo.Encoder``.

Importing this module imports scikit-learn; the rest of vexilo never does.
"""

from __future__ import annotations

import math
from typing import Any, Literal

import numpy as np
import numpy.typing as npt
from sklearn.base import BaseEstimator, OneToOneFeatureMixin, TransformerMixin
from sklearn.utils.validation import check_array, check_is_fitted, validate_data

from . import Encoder

__all__ = ["OrdinalEncoder"]

_HANDLE_UNKNOWN = ("error", "use_encoded_value")


def _is_integer(value: object) -> bool:
    return isinstance(value, (int, np.integer)) and not isinstance(value, bool)


def _is_native_frame(X: object) -> bool:
    # The native encoder reads pandas frames through pandas' own attributes and polars frames
    # through their Arrow memory; other libraries' frames (which may share the type's name) are
    # converted to arrays first.
    kind = type(X)
    return kind.__name__ == "DataFrame" and kind.__module__.split(".")[0] in ("pandas", "polars")


class OrdinalEncoder(OneToOneFeatureMixin, TransformerMixin, BaseEstimator):  # type: ignore[misc]
    """Encode the text columns of a table as integer codes, with vexilo's encoding rules.

    A column whose cells are not all numbers is categorical: each distinct text (``str()`` of
    the cell) gets a code 0, 1, ... in byte-wise sorted order; the missing-value markers "nan",
    "NaN", "<NA>", float NaN and pandas' NA encode to NaN, while ``None`` is the label "None".
    Columns of numbers pass through as float64, unlike scikit-learn's own encoder, which numbers
    them too.

    Parameters
    ----------
    handle_unknown : {"error", "use_encoded_value"}, default="error"
        What ``transform`` does with a text its column never saw during ``fit``: raise a
        ValueError, or give it ``unknown_value``.
    unknown_value : int or np.nan, default=None
        The code of unseen texts when ``handle_unknown="use_encoded_value"``; it must not be a
        code of a learned category.

    Attributes
    ----------
    categories_ : list of ndarray
        For each input column, the learned labels in code order (object arrays); an empty
        float64 array for a column of numbers, which has no categories.
    categorical_columns_ : list of int
        The indices of the categorical columns.
    n_features_in_ : int
    feature_names_in_ : ndarray of str
        Only when ``fit`` was given a DataFrame whose column labels are all texts.
    """

    def __init__(self, *, handle_unknown: str = "error", unknown_value: float | None = None):
        self.handle_unknown = handle_unknown
        self.unknown_value = unknown_value

    def fit(self, X: Any, y: Any = None) -> OrdinalEncoder:
        """Learn the categories of every text column of X."""
        self._fit(X)
        return self

    def fit_transform(self, X: Any, y: Any = None, **fit_params: Any) -> npt.NDArray[np.float64]:
        """Learn the categories of X and return its codes (one pass over X)."""
        return self._fit(X)

    def transform(self, X: Any) -> npt.NDArray[np.float64]:
        """Codes of X under the learned categories, as a float64 array.

        Texts a column never saw raise ValueError or take ``unknown_value``
        (``handle_unknown``); missing values stay NaN.
        """
        check_is_fitted(self)
        table = self._check_table(X, reset=False)
        if self.handle_unknown == "error":
            unknown: Literal["error"] | float = "error"
        else:
            unknown = float(self.unknown_value)  # type: ignore[arg-type]
        return self._as_array(self._encoder.transform(table, unknown=unknown))

    def inverse_transform(self, X: Any) -> npt.NDArray[np.object_]:
        """Labels back from codes, as an object array.

        Categorical columns give their labels, NaN codes give NaN and ``unknown_value`` gives
        None; columns of numbers keep their numbers. A code that no category of its column has
        raises ValueError.
        """
        check_is_fitted(self)
        codes = check_array(X, dtype=np.float64, ensure_all_finite=False)
        if codes.shape[1] != self.n_features_in_:
            raise ValueError(
                "Shape of the passed X data is not correct. Expected "
                f"{self.n_features_in_} columns, got {codes.shape[1]}."
            )
        missing, unseen = {}, {}
        for j in self.categorical_columns_:
            column = codes[:, j]
            missing[j] = np.isnan(column)
            unseen[j] = self._unknown_mask(column)
            count = len(self.categories_[j])
            wrong = ~(missing[j] | unseen[j]) & (
                (column < 0) | (column >= count) | (column != np.floor(column))
            )
            if wrong.any():
                row = int(np.flatnonzero(wrong)[0])
                raise ValueError(
                    f"column {j} holds {float(column[row])!r} at row {row}, which is not a code of "
                    f"its {count} categories"
                )
        decoded: npt.NDArray[np.object_] = self._encoder.decode(codes)
        for j in self.categorical_columns_:
            decoded[missing[j], j] = np.nan
            decoded[unseen[j], j] = None
        return decoded

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = True
        tags.input_tags.string = True
        tags.input_tags.categorical = True
        return tags

    # ------------------------------------------------------------------------------ internals

    def _fit(self, X: Any) -> npt.NDArray[np.float64]:
        self._check_parameters()
        table = self._check_table(X, reset=True)
        encoder = Encoder()
        codes, categorical = encoder.encode(table)
        if categorical is None:
            # A float64 array is copied through and teaches the encoder nothing; learn from no
            # rows instead that none of its columns is categorical, so transform has a state.
            encoder.encode(np.empty((0, table.shape[1]), dtype=object))
            categorical = []
        learned = encoder.categories
        categories: list[npt.NDArray[Any]] = []
        for j in range(table.shape[1]):
            labels = learned.get(j)
            if labels is None:
                categories.append(np.array([], dtype=np.float64))
            else:
                # Codes from encode are always 0..k-1, so the labels come as a list.
                categories.append(np.array(labels, dtype=object))
        value = self.unknown_value
        if self.handle_unknown != "error" and value is not None and _is_integer(value):
            largest = max((len(labels) for labels in categories), default=0)
            if 0 <= value < largest:
                raise ValueError(
                    f"The used value for unknown_value {self.unknown_value} is one of the "
                    "values already used for encoding the seen categories."
                )
        self._encoder = encoder
        self.categories_ = categories
        self.categorical_columns_: list[int] = [int(column) for column in categorical]
        return self._as_array(codes)

    def _check_parameters(self) -> None:
        if self.handle_unknown not in _HANDLE_UNKNOWN:
            raise ValueError(
                "The 'handle_unknown' parameter of OrdinalEncoder must be a str among "
                f"{{'error', 'use_encoded_value'}}. Got {self.handle_unknown!r} instead."
            )
        value = self.unknown_value
        if self.handle_unknown == "use_encoded_value":
            is_nan = isinstance(value, (float, np.floating)) and math.isnan(value)
            if not (_is_integer(value) or is_nan):
                raise TypeError(
                    "unknown_value should be an integer or np.nan when handle_unknown is "
                    f"'use_encoded_value', got {value}."
                )
        elif value is not None:
            raise TypeError(
                "unknown_value should only be set when handle_unknown is "
                f"'use_encoded_value', got {value}."
            )

    def _check_table(self, X: Any, *, reset: bool) -> Any:
        """X as the native encoder takes it: a pandas or polars DataFrame as it is, anything
        else as a 2-D array (texts as objects, so that numbers among them stay numbers)."""
        if _is_native_frame(X):
            validate_data(self, X, reset=reset, skip_check_array=True)
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
        return table

    def _unknown_mask(self, column: npt.NDArray[np.float64]) -> npt.NDArray[np.bool_]:
        value = self.unknown_value
        if self.handle_unknown == "error" or value is None or math.isnan(value):
            return np.zeros(column.shape, dtype=bool)
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
