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

from sklearn.preprocessing import OrdinalEncoder as ScikitOrdinalEncoder  # noqa: E402

from vexilo import Encoder  # noqa: E402
from vexilo.sklearn import OrdinalEncoder  # noqa: E402
from vexilo.vexilo import _encode_counting, _encoder_from_labels  # noqa: E402


def _integer_codes_failures(estimator):
    # The checks' random floats pass through as numbers, which no integer type holds.
    if np.dtype(estimator.dtype).kind == "f":
        return {}
    why = "number columns of random floats cannot become integer codes"
    return {"check_positive_only_tag_during_fit": why, "check_estimators_pickle": why}


# Every check passes: none contradicts the encoding rules (numbers pass through, texts are coded).
@parametrize_with_checks(
    [OrdinalEncoder(), OrdinalEncoder(handle_unknown="use_encoded_value", unknown_value=-1),
     OrdinalEncoder(dtype=np.float32, encoded_missing_value=-1),
     OrdinalEncoder(dtype=np.int64, encoded_missing_value=-1),
     OrdinalEncoder(min_frequency=2, max_categories=3),
     OrdinalEncoder(min_frequency=0.2, handle_unknown="use_encoded_value", unknown_value=np.nan,
                    encoded_missing_value=-2)],
    expected_failed_checks=_integer_codes_failures,
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


# Text columns only (scikit-learn's encoder would code number columns too), with ties in counts.
PEERS = pd.DataFrame({
    "a": pd.Series(list("aaaaabbbbcccddde") * 3 + ["f"], dtype=object),
    "b": pd.Series((["x"] * 20 + ["y"] * 12 + ["z"] * 9 + [np.nan] * 8)[:49], dtype=object),
})


@pytest.mark.parametrize(
    "params",
    [{"min_frequency": 4}, {"min_frequency": 0.2}, {"max_categories": 3}, {"max_categories": 1},
     {"min_frequency": 7, "max_categories": 4},
     {"categories": [list("fedcba"), ["z", "y", "x", np.nan]]},
     {"categories": [list("fedcba"), ["z", "x", "y", np.nan]], "max_categories": 3,
      "handle_unknown": "use_encoded_value", "unknown_value": -1},
     {"categories": ["auto", ["y", "z", "x", np.nan]], "handle_unknown": "use_encoded_value",
      "unknown_value": 9, "encoded_missing_value": -2},
     {"encoded_missing_value": -1, "dtype": np.int32}, {"dtype": np.float32},
     {"handle_unknown": "use_encoded_value", "unknown_value": np.nan, "encoded_missing_value": 7}],
)
def test_codes_and_categories_match_scikit_learn(params):
    test = pd.DataFrame({"a": pd.Series(["f", "q", "a"], dtype=object),
                         "b": pd.Series(["x", np.nan, "z"], dtype=object)})
    test = test if params.get("handle_unknown") else test.iloc[[0, 2]]
    ours = OrdinalEncoder(**params)
    if params.get("categories"):  # a column's "auto" is ours alone: the learned sorted labels
        given = [list("abcdef") if c == "auto" else c for c in params["categories"]]
        params = {**params, "categories": given}
    theirs = ScikitOrdinalEncoder(**params)
    expected = theirs.fit_transform(PEERS)
    codes = ours.fit_transform(PEERS)
    assert codes.dtype == expected.dtype
    np.testing.assert_array_equal(codes, expected)
    np.testing.assert_array_equal(ours.transform(test), theirs.transform(test))
    # Missing values are no category of ours unless the list names them (as its last entry).
    learned = [[v for v in c if params.get("categories") or v == v] for c in theirs.categories_]
    assert [list(map(str, c)) for c in ours.categories_] == [list(map(str, c)) for c in learned]
    if "min_frequency" in params or "max_categories" in params:
        assert ([None if c is None else list(c) for c in ours.infrequent_categories_] ==
                [None if c is None else list(c) for c in theirs.infrequent_categories_])
    else:
        assert not hasattr(ours, "infrequent_categories_")
    restored = pickle.loads(pickle.dumps(ours))
    np.testing.assert_array_equal(restored.transform(PEERS), expected)


def test_inverse_transform_of_grouped_reordered_and_special_codes():
    encoder = OrdinalEncoder(categories=[list("fedcba"), "auto"], min_frequency=10,
                             handle_unknown="use_encoded_value", unknown_value=-1,
                             encoded_missing_value=-2).fit(PEERS)
    assert [list(c) for c in encoder.infrequent_categories_] == [list("fedc"), ["z"]]
    codes = encoder.transform(pd.DataFrame({"a": pd.Series(["a", "d", "q"], dtype=object),
                                            "b": pd.Series(["x", np.nan, "z"], dtype=object)}))
    np.testing.assert_array_equal(codes, [[1, 0], [2, -2], [-1, 2]])
    back = encoder.inverse_transform(codes)
    assert back[:, 0].tolist() == ["a", "infrequent_sklearn", None]
    assert back[0, 1] == "x" and back[1, 1] is np.nan and back[2, 1] == "infrequent_sklearn"


@pytest.mark.parametrize(
    "params, table, message",
    [({"categories": [["a"], "auto"]}, PEERS,
      "Found unknown categories ['b', 'c', 'd', 'e', 'f'] in column 0 during fit"),
     ({"categories": ["auto", ["x"]]}, TRAIN, "Column 1 holds numbers, which pass through"),
     ({"categories": [["a", np.nan, "b"], "auto"]}, PEERS,
      "Nan should be the last element in user provided categories"),
     ({"categories": [["a", "a"], "auto"]}, PEERS,
      "In column 0, the predefined categories contain duplicate elements."),
     ({"categories": ["auto"]}, PEERS, "Shape mismatch: if categories is an array"),
     ({"dtype": np.int8, "handle_unknown": "use_encoded_value", "unknown_value": np.nan}, PEERS,
      "When unknown_value is np.nan, the dtype parameter should be a float dtype."),
     ({"dtype": np.int16}, PEERS, "There are missing values in features [1]. For OrdinalEncoder "
      "to encode missing values with dtype: <class 'numpy.int16'>, set encoded_missing_value"),
     ({"encoded_missing_value": 1}, PEERS,
      "encoded_missing_value (1) is already used to encode a known category in features: "
      "['a' 'b']"),
     ({"encoded_missing_value": 1, "min_frequency": 13}, PEERS, None),
     ({"encoded_missing_value": 0}, frame(["a", "b"], [1.0, 2.0]),
      "encoded_missing_value (0) is already used to encode a known category in features: "
      "['colour']"),
     ({"min_frequency": 1.5}, PEERS, "The 'min_frequency' parameter of OrdinalEncoder must be"),
     ({"max_categories": 0}, PEERS, "The 'max_categories' parameter of OrdinalEncoder must be"),
     ({"dtype": np.int64, "encoded_missing_value": -1}, frame(["a", "b"], [1.0, 2.5]),
      "column 1 holds 2.5 at row 1 (a number), which dtype int64 cannot hold exactly")],
)
def test_new_parameter_errors(params, table, message):
    if message is None:  # "b" groups "y" and "z" into code 1: the missing code 1 is taken
        message = "encoded_missing_value (1) is already used to encode a known category"
    with pytest.raises(ValueError, match=re.escape(message)):
        OrdinalEncoder(**params).fit_transform(table)


def test_integer_codes_refuse_lossy_numbers_at_transform():
    encoder = OrdinalEncoder(dtype=np.uint8, encoded_missing_value=200).fit(
        frame(["a", "nan"], [1.0, 255.0]))
    np.testing.assert_array_equal(encoder.transform(frame(["nan"], [3.0])), [[200, 3]])
    with pytest.raises(ValueError, match=re.escape("column 1 holds 256.0 at row 0 (a number)")):
        encoder.transform(frame(["a"], [256.0]))


def test_labels_in_given_order_decode_transform_and_pickle():
    labels = {0: ["zebra", "apple", "mango"], 2: ["b", "a"]}
    encoder = _encoder_from_labels(labels, columns=3)
    assert encoder.categories == labels
    table = np.array([["apple", 1.0, "a"], ["zebra", 2.0, "b"], ["nan", 3.0, "a"]], dtype=object)
    codes = encoder.transform(table, unknown=-1)
    np.testing.assert_array_equal(codes, [[1, 1, 1], [0, 2, 0], [np.nan, 3, 1]])
    restored = pickle.loads(pickle.dumps(encoder))
    assert restored.categories == labels
    np.testing.assert_array_equal(restored.transform(table), codes)
    assert restored.decode(codes)[:2, [0, 2]].tolist() == [["apple", "a"], ["zebra", "b"]]
    shared = _encoder_from_labels({0: ["c", "a", "b"]}, {0: [1, 0, 1]})
    np.testing.assert_array_equal(shared.transform(np.array([["a"], ["b"], ["c"]], dtype=object)),
                                  [[0], [1], [1]])


@pytest.mark.parametrize(
    "labels, codes, error, message",
    [({0: ["a", "nan"]}, None, ValueError, "the label 'nan' is a missing-value marker"),
     ({0: ["a", "a"]}, None, ValueError, "the label 'a' is given twice (column 0)"),
     ({0: ["a", 1]}, None, TypeError, "a label must be a str, not 'int' (column 0)"),
     ({0: ["a"]}, {0: [-1]}, ValueError, "column 0 has a code that is negative or past 2**53"),
     ({0: ["a"]}, {0: [0, 1]}, ValueError, "column 0 has not as many codes as labels"),
     ({0: ["a"]}, {1: [0]}, ValueError, "codes has no entry for column 0"),
     ({"0": ["a"]}, None, TypeError, "a column index must be an int, not 'str'")],
)
def test_labels_encoder_refuses_malformed_labels(labels, codes, error, message):
    with pytest.raises(error, match=re.escape(message)):
        _encoder_from_labels(labels, codes)


def test_labels_encoder_takes_its_arguments_before_their_python_code_changes_them():
    labels = {0: ["b", "a"]}

    class Rewrites:
        def __iter__(self):
            labels.clear()
            labels[5] = ["x"]
            yield from (1, 0)

    assert _encoder_from_labels(labels, {0: Rewrites()}).categories == {0: ["a", "b"]}


@pytest.mark.parametrize("kind", ["array", "frame", "polars", "floats"])
def test_encode_counting_counts_each_code_and_learns_as_encode(kind):
    table = np.array([["b", 1.0], ["a", 2.0], ["nan", 3.0], ["b", 4.0], ["c", 5.0]], dtype=object)
    if kind == "frame":
        table = pd.DataFrame({"t": pd.Series(table[:, 0], dtype=object), "n": [1.0, 2, 3, 4, 5]})
    elif kind == "polars":
        pl = pytest.importorskip("polars")
        table = pl.DataFrame({"t": ["b", "a", None, "b", "c"], "n": [1.0, 2, 3, 4, 5]})
    elif kind == "floats":
        table = np.arange(6.0).reshape(3, 2)
    encoder, codes, categorical, counts = _encode_counting(table)
    reference = Encoder()
    expected, learned = reference.encode(table)
    np.testing.assert_array_equal(codes, np.asarray(expected, dtype=np.float64))
    assert isinstance(codes, np.ndarray) and encoder.categories == reference.categories
    if kind == "floats":
        assert (categorical, counts) == ([], {})
        np.testing.assert_array_equal(encoder.transform(table), table)
        return
    assert categorical == learned == [0] and list(counts) == [0]
    assert counts[0].dtype == np.int64 and counts[0].tolist() == [1, 2, 1]


@pytest.mark.parametrize("rows", [1, 3, 100])
def test_frames_transform_alike_however_many_rows(rows):
    # Small frames are read as their object arrays: every kind of column must read the same.
    columns = {
        "text": pd.Series(["a", "b", None] * 34, dtype="str"),
        "object": pd.Series(["x", 1.0, None] * 34, dtype=object),
        "category": pd.Series(["p", "q", "p"] * 34, dtype="category"),
        "nullable": pd.array([1, None, 3] * 34, dtype="Int64"),
        "integer": np.arange(102), "flag": np.array([True, False, True] * 34),
    }
    train = pd.DataFrame(columns)
    encoder = OrdinalEncoder(handle_unknown="use_encoded_value", unknown_value=-1).fit(train)
    test = train.iloc[:rows]
    np.testing.assert_array_equal(
        encoder.transform(test), np.asarray(encoder._encoder.transform(test, unknown=-1.0)))
    assert encoder.categorical_columns_ == [0, 1, 2]


def test_not_fitted_and_renamed_columns_take_scikit_learn_checks():
    from sklearn.exceptions import NotFittedError

    with pytest.raises(NotFittedError, match="This OrdinalEncoder instance is not fitted yet"):
        OrdinalEncoder().transform(TRAIN)
    encoder = OrdinalEncoder().fit(TRAIN)
    with pytest.raises(ValueError, match="Feature names unseen at fit time"):
        encoder.transform(TRAIN.rename(columns={"size": "weight"}))
    with pytest.raises(ValueError, match="X has 1 features, but OrdinalEncoder is expecting 2"):
        OrdinalEncoder().fit(TRAIN.to_numpy(object)).transform(TRAIN.to_numpy(object)[:, :1])


def test_adapter_pickled_before_the_new_parameters_still_transforms():
    encoder = OrdinalEncoder(handle_unknown="use_encoded_value", unknown_value=-1).fit(TRAIN)
    state = encoder.__getstate__()
    kept = ("handle_unknown", "unknown_value", "_encoder", "categories_", "categorical_columns_",
            "n_features_in_", "feature_names_in_")
    old = OrdinalEncoder.__new__(OrdinalEncoder)
    old.__setstate__({key: state[key] for key in kept})
    np.testing.assert_array_equal(old.transform(TEST), encoder.transform(TEST))
    assert old.inverse_transform(old.transform(TEST))[1, 0] is None
