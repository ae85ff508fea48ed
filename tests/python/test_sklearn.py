"""vexilo.sklearn.OrdinalEncoder: scikit-learn's estimator checks, train/test use, pipelines."""

import pickle
import re

import numpy as np
import pytest

pytest.importorskip("sklearn")
pd = pytest.importorskip("pandas")

from sklearn.base import clone  # noqa: E402
from sklearn.compose import ColumnTransformer  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.tree import DecisionTreeClassifier  # noqa: E402
from sklearn.utils import estimator_checks  # noqa: E402
from sklearn.utils.estimator_checks import parametrize_with_checks  # noqa: E402

from vexilo.sklearn import OrdinalEncoder  # noqa: E402

# Every check passes: none contradicts the encoding rules (numbers pass through, texts are coded).
@parametrize_with_checks(
    [OrdinalEncoder(), OrdinalEncoder(handle_unknown="use_encoded_value", unknown_value=-1)]
)
def test_scikit_learn_estimator_checks(estimator, check):
    check(estimator)


# Checks that scikit-learn runs on its own transformers but leaves out of parametrize_with_checks.
# Some fit on an array and transform a frame or the other way round, on purpose.
@pytest.mark.filterwarnings("ignore:X (has|does not have valid) feature names:UserWarning")
@pytest.mark.parametrize(
    "name",
    ["check_dataframe_column_names_consistency", "check_get_feature_names_out_error",
     "check_transformer_get_feature_names_out", "check_transformer_get_feature_names_out_pandas",
     "check_set_output_transform", "check_set_output_transform_pandas",
     "check_global_output_transform_pandas", "check_set_output_transform_polars",
     "check_global_set_output_transform_polars"],
)
def test_scikit_learn_output_and_feature_name_checks(name):
    getattr(estimator_checks, name)("OrdinalEncoder", OrdinalEncoder())


def frame(colours, sizes, index=None):
    # Object dtype: a pandas 3 text column would read None as missing.
    return pd.DataFrame({"colour": pd.Series(colours, dtype=object, index=index), "size": sizes},
                        index=index)


TRAIN = frame(["red", "green", "red", None, "nan"], [1.0, 2.0, 3.0, 4.0, 5.0])
TEST = frame(["green", "blue", np.nan, "blue", "red"], [6.0, 7.0, 8.0, 9.0, 10.0],
             index=[10, 11, 12, 13, 14])


@pytest.mark.parametrize(
    "params, unseen",
    [({"handle_unknown": "use_encoded_value", "unknown_value": -1}, -1.0),
     ({"handle_unknown": "use_encoded_value", "unknown_value": 7}, 7.0),
     ({"handle_unknown": "use_encoded_value", "unknown_value": np.nan}, np.nan)],
)
@pytest.mark.parametrize("kind", ["frame", "array"])
def test_train_codes_apply_to_test_rows(params, unseen, kind):
    train, test = (TRAIN, TEST) if kind == "frame" else (TRAIN.to_numpy(object), TEST.to_numpy(object))
    encoder = OrdinalEncoder(**params)
    train_codes = encoder.fit_transform(train)
    # "None" is a label like any other; "nan" is a missing value.
    assert [list(c) for c in encoder.categories_] == [["None", "green", "red"], []]
    assert encoder.categorical_columns_ == [0]
    np.testing.assert_array_equal(train_codes[:, 0], [2, 1, 2, 0, np.nan])
    np.testing.assert_array_equal(encoder.transform(train), train_codes)
    codes = encoder.transform(test)
    np.testing.assert_array_equal(codes, [[1, 6], [unseen, 7], [np.nan, 8], [unseen, 9], [2, 10]])
    back = encoder.inverse_transform(codes)
    expected_unseen = np.nan if np.isnan(unseen) else None
    assert back[:, 0].tolist()[::4] == ["green", "red"]
    assert back[1, 0] is expected_unseen and back[3, 0] is expected_unseen
    assert back[2, 0] is np.nan
    assert back[:, 1].tolist() == [6.0, 7.0, 8.0, 9.0, 10.0]


def test_unseen_text_is_an_error_by_default():
    encoder = OrdinalEncoder().fit(TRAIN)
    with pytest.raises(ValueError, match="blue"):
        encoder.transform(TEST)


def test_pandas_output_keeps_the_index_and_column_names():
    encoder = OrdinalEncoder(handle_unknown="use_encoded_value", unknown_value=-1)
    result = encoder.set_output(transform="pandas").fit(TRAIN).transform(TEST)
    assert list(result.columns) == ["colour", "size"]
    assert list(result.index) == [10, 11, 12, 13, 14]
    assert result["colour"].tolist()[:2] == [1.0, -1.0]
    assert list(encoder.get_feature_names_out()) == ["colour", "size"]


def test_fitted_encoder_clones_and_pickles():
    encoder = OrdinalEncoder(handle_unknown="use_encoded_value", unknown_value=-1).fit(TRAIN)
    fresh = clone(encoder)
    assert fresh.get_params() == encoder.get_params() and not hasattr(fresh, "categories_")
    restored = pickle.loads(pickle.dumps(encoder))
    np.testing.assert_array_equal(restored.transform(TEST), encoder.transform(TEST))
    assert [list(c) for c in restored.categories_] == [list(c) for c in encoder.categories_]


def test_pipeline_and_column_transformer_with_a_model():
    rng = np.random.default_rng(7)
    colours = rng.choice(["red", "green", "blue"], size=200)
    shapes = rng.choice(["circle", "square"], size=200)
    data = pd.DataFrame({"colour": colours, "shape": shapes, "weight": rng.normal(size=200)})
    target = (colours == "red") | (shapes == "square")
    columns = ColumnTransformer(
        [("texts", OrdinalEncoder(handle_unknown="use_encoded_value", unknown_value=-1),
          ["colour", "shape"])],
        remainder="passthrough",
    )
    model = make_pipeline(columns, DecisionTreeClassifier(random_state=0)).fit(data, target)
    assert model.score(data, target) == 1.0
    unseen = pd.DataFrame({"colour": ["purple", "red"], "shape": ["circle", "star"],
                           "weight": [0.0, 0.0]})
    assert model.predict(unseen).tolist() == [False, True]


@pytest.mark.parametrize(
    "params, error, message",
    [({"handle_unknown": "ignore"}, ValueError, "'handle_unknown' parameter of OrdinalEncoder"),
     ({"unknown_value": -1}, TypeError, "unknown_value should only be set when handle_unknown"),
     ({"handle_unknown": "use_encoded_value"}, TypeError, "should be an integer or np.nan"),
     ({"handle_unknown": "use_encoded_value", "unknown_value": 1.5}, TypeError,
      "should be an integer or np.nan"),
     ({"handle_unknown": "use_encoded_value", "unknown_value": 2}, ValueError,
      "The used value for unknown_value 2 is one of the values already used")],
)
def test_parameter_errors(params, error, message):
    with pytest.raises(error, match=re.escape(message)):
        OrdinalEncoder(**params).fit(TRAIN)


@pytest.mark.parametrize("code", [3.0, -1.0, 0.5])
def test_inverse_transform_refuses_codes_without_a_category(code):
    encoder = OrdinalEncoder().fit(TRAIN)
    with pytest.raises(ValueError, match=re.escape(f"column 0 holds {code!r} at row 1")):
        encoder.inverse_transform(np.array([[0.0, 1.0], [code, 1.0]]))


def test_polars_frames_are_read_natively_and_polars_output_is_offered():
    pl = pytest.importorskip("polars")
    train = pl.DataFrame({"colour": ["red", "green", None], "size": [1.0, 2.0, 3.0]})
    encoder = OrdinalEncoder().set_output(transform="polars")
    codes = encoder.fit_transform(train)
    assert isinstance(codes, pl.DataFrame) and codes.columns == ["colour", "size"]
    np.testing.assert_array_equal(codes.to_numpy(), [[1, 1], [0, 2], [np.nan, 3]])
    assert list(encoder.feature_names_in_) == ["colour", "size"]
    frame = pd.DataFrame(train.to_dict(as_series=False))  # to_pandas() would need pyarrow
    as_pandas = OrdinalEncoder().fit(frame)
    np.testing.assert_array_equal(encoder.transform(train).to_numpy(), as_pandas.transform(frame))
    np.testing.assert_array_equal(encoder.inverse_transform(np.array([[0.0, 5.0]])),
                                  np.array([["green", 5.0]], dtype=object))
