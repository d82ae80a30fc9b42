"""Input resolution (_resolve_inputs) and local prediction (_run_local_predict)."""

import gc
import sys
import tracemalloc

import numpy as np
import pandas as pd
import pytest
from sklearn.ensemble import RandomForestClassifier
from sklearn.linear_model import LinearRegression, LogisticRegression

from corvanti import wrapper

resolve = wrapper._resolve_inputs
predict = wrapper._run_local_predict


def call(**kw):
    args = dict(train_df=None, test_df=None, label_column=None, X_train=None, y_train=None,
                X_test=None, y_test=None, protected_columns=[])
    args.update(kw)
    return resolve(**args)


# ---- _resolve_inputs -------------------------------------------------------------


def test_array_mode_passes_arrays_through():
    X, y, Xtr, ytr = np.ones((3, 2)), np.zeros(3), np.ones((4, 2)), [1, 0, 1, 0]
    out = call(X_test=X, y_test=y, X_train=Xtr, y_train=ytr, protected_columns=["sex"])
    assert out[0] is Xtr and out[1] is ytr and out[2] is X and out[3] is y and out[4] is None


def test_array_mode_moves_protected_columns_out_of_frames():
    X = pd.DataFrame({"age": [30, 40], "sex": ["f", "m"], "income": [1.0, 2.0]}, index=[10, 11])
    Xtr = pd.DataFrame({"age": [1], "sex": ["f"], "income": [3.0]}, index=[5])
    Xtr_, ytr, Xt, yt, prot = call(X_test=X, X_train=Xtr, y_train=[1], protected_columns=["sex", "race"])
    assert list(Xt.columns) == ["age", "income"] and list(Xt.index) == [0, 1]
    assert list(prot.columns) == ["sex"] and list(prot.index) == [0, 1]
    assert prot["sex"].tolist() == ["f", "m"]
    assert list(Xtr_.columns) == ["age", "income"] and list(Xtr_.index) == [0]
    assert ytr == [1] and yt is None
    assert list(X.columns) == ["age", "sex", "income"]  # the caller's frame is untouched
    # no protected column present: the frame comes back as it is
    same = pd.DataFrame({"a": [1]}, index=[7])
    assert call(X_test=same, protected_columns=["sex"])[2] is same


def test_dataframe_mode_splits_label_and_protected():
    test = pd.DataFrame({"income": [1.0, 2.0, 3.0], "sex": ["f", "m", "f"], "approved": [1, 0, 1]},
                        index=[7, 8, 9])
    train = pd.DataFrame({"income": [4.0, 5.0], "sex": ["m", "f"], "approved": [0, 1]})
    Xtr, ytr, Xt, yt, prot = call(test_df=test, train_df=train, label_column="approved",
                                  protected_columns=["sex", "race"], X_test=np.zeros(1))
    assert list(Xt.columns) == ["income"] and list(Xt.index) == [0, 1, 2]
    assert yt.tolist() == [1, 0, 1]
    assert prot.to_dict("list") == {"sex": ["f", "m", "f"]} and list(prot.index) == [0, 1, 2]
    assert list(Xtr.columns) == ["income"] and ytr.tolist() == [0, 1]


def test_dataframe_mode_from_dict_and_one_shot_iterable():
    test = {"a": [1, 2], "sex": [0, 1], "y": [1, 0]}
    train = {"a": [3], "sex": [1], "y": [1]}
    names = (c for c in ["sex"])  # a generator: read once, used for test and train
    Xtr, ytr, Xt, yt, prot = call(test_df=test, train_df=train, label_column="y", protected_columns=names)
    assert list(Xt.columns) == ["a"] and list(prot.columns) == ["sex"]
    assert list(Xtr.columns) == ["a"], "protected columns of the training table must be dropped"


@pytest.mark.parametrize(
    "kw,exc,message",
    [
        ({}, ValueError, "No data provided. Pass either test_df= (DataFrame mode) or X_test= (array mode)."),
        ({"test_df": pd.DataFrame({"a": [1]})}, ValueError,
         "label_column is required when passing test_df. "
         "Example: upload(model=clf, test_df=df, label_column='approved', ...)"),
    ],
)
def test_resolve_errors(kw, exc, message):
    with pytest.raises(exc) as ei:
        call(**kw)
    assert str(ei.value) == message


def test_resolve_missing_label_and_arity():
    with pytest.raises(KeyError):
        call(test_df=pd.DataFrame({"a": [1]}), label_column="nope")
    with pytest.raises(TypeError, match=r"_resolve_inputs\(\) missing 1 required positional argument: 'protected_columns'"):
        resolve(None, None, None, None, None, np.ones(1), None)


# ---- _run_local_predict ----------------------------------------------------------


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(0)
    X = rng.normal(size=(40, 3))
    return X, (X[:, 0] > 0).astype(int), np.digitize(X[:, 1], [-0.5, 0.5])


def test_two_and_three_class_probability_of_last_class(data):
    X, y2, y3 = data
    clf2 = LogisticRegression().fit(X, y2)
    out = predict(clf2, X)
    assert out.ndim == 1 and out.dtype == np.float64
    np.testing.assert_allclose(out, clf2.predict_proba(X)[:, 1])
    clf3 = RandomForestClassifier(n_estimators=5, random_state=0).fit(X, y3)
    np.testing.assert_allclose(predict(clf3, pd.DataFrame(X)), clf3.predict_proba(pd.DataFrame(X))[:, 2])


def test_regressor_and_plain_function(data):
    X, y2, _ = data
    reg = LinearRegression().fit(X, X[:, 0] * 2.0)
    np.testing.assert_allclose(predict(reg, X), reg.predict(X))
    out = predict(lambda a: [[v] for v in np.asarray(a).sum(axis=1)], X[:5])
    assert out.shape == (5,) and out.dtype == np.float64
    np.testing.assert_allclose(out, X[:5].sum(axis=1))


class BrokenProba:
    def predict_proba(self, X):
        raise ValueError("not fitted")

    def predict(self, X):
        return [True, False]


class Interrupting:
    def predict_proba(self, X):
        raise KeyboardInterrupt


def test_stage_fallback_and_interrupts():
    np.testing.assert_array_equal(predict(BrokenProba(), [[1], [2]]), [1.0, 0.0])
    with pytest.raises(KeyboardInterrupt):
        predict(Interrupting(), [[1]])


class Nothing:
    pass


@pytest.mark.parametrize("model,name", [(Nothing(), "Nothing"), (object(), "object"), (np.zeros(2), "ndarray"),
                                        (lambda X: 1 / 0, "function")])
def test_no_way_to_predict(model, name):
    with pytest.raises(RuntimeError) as ei:
        predict(model, np.ones((2, 2)))
    assert str(ei.value) == (
        f"Cannot generate predictions from {name}. Pass predictions= directly to corvanti.upload() instead."
    )


def test_onnx_inference_session(data):
    ort = pytest.importorskip("onnxruntime")
    onnx = pytest.importorskip("onnx")
    from onnx import TensorProto, helper, numpy_helper

    w = np.array([[1.0], [2.0], [-1.0]], dtype=np.float32)
    graph = helper.make_graph(
        [helper.make_node("MatMul", ["X", "W"], ["Y"])],
        "linear",
        [helper.make_tensor_value_info("X", TensorProto.FLOAT, [None, 3])],
        [helper.make_tensor_value_info("Y", TensorProto.FLOAT, [None, 1])],
        initializer=[numpy_helper.from_array(w, "W")],
    )
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
    model.ir_version = 8
    onnx.checker.check_model(model)
    sess = ort.InferenceSession(model.SerializeToString(), providers=["CPUExecutionProvider"])
    X = data[0][:6]
    expected = (X.astype(np.float32) @ w).ravel()
    np.testing.assert_allclose(predict(sess, X), expected, rtol=1e-6)
    np.testing.assert_allclose(predict(sess, pd.DataFrame(X)), expected, rtol=1e-6)


def test_torch_module(data):
    torch = pytest.importorskip("torch")
    lin = torch.nn.Linear(3, 1)
    X = data[0][:4]
    out = predict(lin, X)
    with torch.no_grad():
        expected = lin(torch.tensor(X, dtype=torch.float32)).numpy().ravel()
    np.testing.assert_allclose(out, expected, rtol=1e-6)


def test_no_leaks_over_many_calls(data):
    X, y2, _ = data
    clf = LogisticRegression().fit(X, y2)
    frame = pd.DataFrame({"a": [1, 2], "sex": [0, 1], "y": [1, 0]})
    nothing = Nothing()
    names = ["sex"]

    def cycle():
        predict(clf, X)
        predict(BrokenProba(), [[1], [2]])
        try:
            predict(nothing, X)
        except RuntimeError:
            pass
        call(test_df=frame, label_column="y", protected_columns=names)
        call(X_test=frame, protected_columns=names)
        try:
            call()
        except ValueError:
            pass

    for _ in range(20):
        cycle()
    gc.collect()
    refs = lambda: tuple(sys.getrefcount(o) for o in (clf, X, frame, nothing, names))  # noqa: E731
    before = refs()
    tracemalloc.start()
    for _ in range(50):
        cycle()
    gc.collect()
    base, _ = tracemalloc.get_traced_memory()
    for _ in range(300):
        cycle()
    gc.collect()
    now, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    assert refs() == before
    assert now - base < 128 * 1024
