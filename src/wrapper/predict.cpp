// Input resolution (_resolve_inputs) and local prediction with an arbitrary
// model object (_run_local_predict).
#include <nanobind/nanobind.h>

#include "glue/glue.h"
#include "glue/with.h"
#include "wrapper/registry_messages.h"
#include "wrapper/wrapper.h"

namespace wrapper {
namespace {

using namespace nb::literals;
using glue::Call;
using glue::steal;

nb::handle float_type() { return nb::handle((PyObject*) &PyFloat_Type); }

// import <name>; a null object on ImportError, other errors propagate.
nb::object import_optional(const char* name) {
  PyObject* mod = PyImport_ImportModule(name);
  if (mod) return nb::steal(mod);
  if (PyErr_ExceptionMatches(PyExc_ImportError)) {
    PyErr_Clear();
    return nb::object();
  }
  glue::raise_current();
}

bool is_instance(nb::handle obj, nb::handle type) {
  int r = PyObject_IsInstance(obj.ptr(), type.ptr());
  if (r < 0) glue::raise_current();
  return r == 1;
}

bool has_attr(nb::handle obj, const char* name) {
  int r = PyObject_HasAttrStringWithError(obj.ptr(), name);
  if (r < 0) glue::raise_current();
  return r == 1;
}

// [c for c in names if c in columns]
nb::object present_in(nb::handle names, nb::handle columns) {
  nb::object out = steal(PyList_New(0));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.ptr()); ++i) {
    nb::object c = nb::borrow(PyList_GET_ITEM(names.ptr(), i));
    int has = PySequence_Contains(columns.ptr(), c.ptr());
    if (has < 0) glue::raise_current();
    if (has) glue::ok(PyList_Append(out.ptr(), c.ptr()));
  }
  return out;
}

// frame.drop(columns=cols).reset_index(drop=True)
nb::object drop_and_reset(nb::handle frame, nb::handle cols) {
  return frame.attr("drop")("columns"_a = cols).attr("reset_index")("drop"_a = true);
}

// frame[cols].reset_index(drop=True)
nb::object select_and_reset(nb::handle frame, nb::handle cols) {
  return frame[cols].attr("reset_index")("drop"_a = true);
}

// Materialise the protected column names once, so that a one-shot iterable
// gives the same names for the test and the training data.
nb::object name_list(nb::handle protected_columns) {
  return steal(PySequence_List(protected_columns.ptr()));
}

nb::object resolve_inputs(const Call& c) {
  static const glue::Signature sig{
      "_resolve_inputs",
      {"train_df", "test_df", "label_column", "X_train", "y_train", "X_test", "y_test", "protected_columns"},
      8};
  PyObject* a[8];
  glue::parse(sig, c, a);
  nb::object train_df = nb::borrow(a[0]);
  nb::object test_df = nb::borrow(a[1]);
  nb::object label_column = nb::borrow(a[2]);
  nb::object X_train = nb::borrow(a[3]);
  nb::object y_train = nb::borrow(a[4]);
  nb::object X_test = nb::borrow(a[5]);
  nb::object y_test = nb::borrow(a[6]);
  nb::handle protected_columns = a[7];

  nb::object pd = import_optional("pandas");
  nb::object np = pd.is_valid() ? import_optional("numpy") : nb::object();
  const bool has_pandas = pd.is_valid() && np.is_valid();
  nb::object protected_df = nb::none();

  if (test_df.is_none() && X_test.is_none()) glue::raise(PyExc_ValueError, "%s", msg::NO_DATA);

  if (!test_df.is_none()) {
    // DataFrame mode: labels and protected columns come out of the tables.
    if (label_column.is_none()) glue::raise(PyExc_ValueError, "%s", msg::NO_LABEL_COLUMN);
    if (!has_pandas) glue::raise(PyExc_ImportError, "%s", msg::NO_PANDAS);
    nb::object DataFrame = pd.attr("DataFrame");
    if (!is_instance(test_df, DataFrame)) test_df = DataFrame(test_df);
    y_test = test_df[label_column].attr("values");

    nb::object names = name_list(protected_columns);
    nb::object prot_in_test = present_in(names, test_df.attr("columns"));
    if (PyList_GET_SIZE(prot_in_test.ptr()) > 0) protected_df = select_and_reset(test_df, prot_in_test);

    nb::object drop_cols = steal(PyList_New(0));
    glue::ok(PyList_Append(drop_cols.ptr(), label_column.ptr()));
    steal(PySequence_InPlaceConcat(drop_cols.ptr(), prot_in_test.ptr()));
    X_test = drop_and_reset(test_df, present_in(drop_cols, test_df.attr("columns")));

    if (!train_df.is_none()) {
      if (!is_instance(train_df, DataFrame)) train_df = DataFrame(train_df);
      y_train = train_df[label_column].attr("values");
      nb::object prot_in_train = present_in(names, train_df.attr("columns"));
      nb::object train_drop = steal(PyList_New(0));
      glue::ok(PyList_Append(train_drop.ptr(), label_column.ptr()));
      steal(PySequence_InPlaceConcat(train_drop.ptr(), prot_in_train.ptr()));
      X_train = drop_and_reset(train_df, present_in(train_drop, train_df.attr("columns")));
    }
  } else if (has_pandas) {
    // Array mode: only a DataFrame X_test has protected columns to move out.
    nb::object DataFrame = pd.attr("DataFrame");
    if (is_instance(X_test, DataFrame)) {
      nb::object names = name_list(protected_columns);
      nb::object prot_in_X = present_in(names, X_test.attr("columns"));
      if (PyList_GET_SIZE(prot_in_X.ptr()) > 0) {
        protected_df = select_and_reset(X_test, prot_in_X);
        X_test = drop_and_reset(X_test, prot_in_X);
      }
      if (!X_train.is_none() && is_instance(X_train, DataFrame)) {
        nb::object prot_in_train = present_in(names, X_train.attr("columns"));
        if (PyList_GET_SIZE(prot_in_train.ptr()) > 0) X_train = drop_and_reset(X_train, prot_in_train);
      }
    }
  }
  return steal(PyTuple_Pack(5, X_train.ptr(), y_train.ptr(), X_test.ptr(), y_test.ptr(), protected_df.ptr()));
}

// ---- local prediction --------------------------------------------------------

// Run one stage; true with `out` set when it produced a result. A stage that
// raises an Exception simply fails; BaseExceptions (KeyboardInterrupt, ...)
// go on to the caller.
template <class F>
bool attempt(F&& stage, nb::object& out) {
  try {
    nb::object r = std::forward<F>(stage)();
    if (!r.is_valid()) return false;
    out = std::move(r);
    return true;
  } GLUE_CATCH_ALL {
    glue::restore_current_exception();
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw glue::error_set{};
    PyErr_Clear();
    return false;
  }
}

// X.values when X has it, else numpy.asarray(X[, dtype]).
nb::object values_or_array(nb::handle np, nb::handle X, nb::handle dtype) {
  if (has_attr(X, "values")) return X.attr("values");
  if (dtype.is_valid()) return np.attr("asarray")(X, "dtype"_a = dtype);
  return np.attr("asarray")(X);
}

nb::object predict_stage(nb::handle np, nb::handle model, nb::handle X) {
  nb::object raw = model.attr("predict")(X);
  return np.attr("asarray")(raw, "dtype"_a = float_type()).attr("flatten")();
}

nb::object run_local_predict(const Call& c) {
  static const glue::Signature sig{"_run_local_predict", {"model", "X"}, 2};
  PyObject* a[2];
  glue::parse(sig, c, a);
  nb::handle model = a[0];
  nb::handle X = a[1];
  nb::object np = nb::module_::import_("numpy");
  nb::object out;

  // 1: class probabilities -> probability of the last class.
  if (attempt([&]() -> nb::object {
        if (!has_attr(model, "predict_proba")) return {};
        nb::object proba = np.attr("asarray")(model.attr("predict_proba")(X), "dtype"_a = float_type());
        if (nb::cast<long>(proba.attr("ndim")) == 2) {
          nb::object key = steal(Py_BuildValue("(Oi)", steal(PySlice_New(nullptr, nullptr, nullptr)).ptr(), -1));
          return proba[key];
        }
        return proba.attr("flatten")();
      }, out))
    return out;

  // 2: predict().
  if (attempt([&]() -> nb::object {
        if (!has_attr(model, "predict")) return {};
        return predict_stage(np, model, X);
      }, out))
    return out;

  // 3: a tensor-in / tensor-out module.
  if (attempt([&]() -> nb::object {
        nb::object torch = nb::module_::import_("torch");
        nb::object arr = values_or_array(np, X, nb::handle());
        nb::object t = torch.attr("tensor")(arr, "dtype"_a = torch.attr("float32"));
        nb::object res = glue::with_block(torch.attr("no_grad")(), [&]() -> nb::object { return model(t); });
        return res.attr("detach")().attr("cpu")().attr("numpy")().attr("flatten")().attr("astype")(float_type());
      }, out))
    return out;

  // 4: predict() once more, without the attribute check.
  if (attempt([&]() -> nb::object { return predict_stage(np, model, X); }, out)) return out;

  // 5: an inference session: get_inputs() and run(None, {name: float32 array}).
  if (attempt([&]() -> nb::object {
        nb::object f32 = np.attr("float32");
        nb::object arr = values_or_array(np, X, f32);
        nb::object input_name = model.attr("get_inputs")()[0].attr("name");
        nb::object feed = steal(PyDict_New());
        glue::ok(PyDict_SetItem(feed.ptr(), input_name.ptr(), arr.attr("astype")(f32).ptr()));
        nb::object result = model.attr("run")(nb::none(), feed);
        return np.attr("asarray")(result[0], "dtype"_a = float_type()).attr("flatten")();
      }, out))
    return out;

  // 6: a plain callable.
  if (attempt([&]() -> nb::object {
        if (!PyCallable_Check(model.ptr())) return {};
        nb::object raw = model(X);
        return np.attr("asarray")(raw, "dtype"_a = float_type()).attr("flatten")();
      }, out))
    return out;

  nb::object type_name = steal(PyType_GetName(Py_TYPE(model.ptr())));
  const char* name = PyUnicode_AsUTF8(type_name.ptr());
  if (!name) glue::raise_current();
  glue::raise(PyExc_RuntimeError, msg::CANNOT_PREDICT, name);
}

PyMethodDef predict_functions[] = {
    GLUE_METHOD("_resolve_inputs", resolve_inputs, msg::RESOLVE_INPUTS_DOC),
    GLUE_METHOD("_run_local_predict", run_local_predict, msg::RUN_LOCAL_PREDICT_DOC),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void register_predict(nb::module_& m) { glue::ok(PyModule_AddFunctions(m.ptr(), predict_functions)); }

}  // namespace wrapper
