// The numpy and date conversions shared by both backends.
#include "jsonweave/jsonweave.h"

namespace jsonweave {
namespace {

struct HookState {
  Kept date, datetime;  // datetime.date, datetime.datetime
  // The numpy types, fetched again whenever the numpy module object differs
  // from the one they came from.
  Kept numpy;
  Kept integer, floating, bool_, ndarray;
};
HookState H;
PyObject* s_tolist;
PyObject* s_isoformat;

bool is_instance(PyObject* o, PyObject* cls) {
  int r = PyObject_IsInstance(o, cls);
  if (r < 0) glue::raise_current();
  return r != 0;
}

void refresh_numpy_types(nb::handle np) {
  if (H.numpy.get() == np.ptr()) return;
  auto get = [&](const char* name) { return glue::steal(PyObject_GetAttrString(np.ptr(), name)); };
  nb::object integer = get("integer"), floating = get("floating"), bool_ = get("bool_"),
             ndarray = get("ndarray");
  H.integer.reset(integer);
  H.floating.reset(floating);
  H.bool_.reset(bool_);
  H.ndarray.reset(ndarray);
  H.numpy.reset(nb::borrow(np));
}

}  // namespace

void hook_init() {
  if (!s_tolist) {
    s_tolist = intern("tolist");
    s_isoformat = intern("isoformat");
  }
  nb::object dt = glue::steal(PyImport_ImportModule("datetime"));
  H.date.reset(glue::steal(PyObject_GetAttrString(dt.ptr(), "date")));
  H.datetime.reset(glue::steal(PyObject_GetAttrString(dt.ptr(), "datetime")));
}

nb::object convert_known(PyObject* o, nb::handle numpy) {
  if (numpy.is_valid()) {
    refresh_numpy_types(numpy);
    // Hold the types: the checks below may run Python code (__instancecheck__).
    nb::object integer = H.integer.ref(), floating = H.floating.ref(), bool_ = H.bool_.ref(),
               ndarray = H.ndarray.ref();
    if (is_instance(o, integer.ptr())) return glue::steal(PyNumber_Long(o));
    if (is_instance(o, floating.ptr())) return glue::steal(PyNumber_Float(o));
    if (is_instance(o, bool_.ptr())) {
      int t = PyObject_IsTrue(o);
      if (t < 0) glue::raise_current();
      return nb::borrow(t ? Py_True : Py_False);
    }
    if (is_instance(o, ndarray.ptr())) return glue::steal(PyObject_CallMethodNoArgs(o, s_tolist));
  }
  nb::object date = H.date.ref(), datetime = H.datetime.ref();
  if (is_instance(o, date.ptr()) || is_instance(o, datetime.ptr()))
    return glue::steal(PyObject_CallMethodNoArgs(o, s_isoformat));
  return nb::object();
}

}  // namespace jsonweave
