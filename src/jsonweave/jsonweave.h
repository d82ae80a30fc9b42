// corvanti.utilities.jsonweave: one pair of JSON functions over orjson, or over
// the standard json module when orjson is not installed.
#pragma once

#include "glue/glue.h"

#include <initializer_list>

namespace jsonweave {
namespace nb = nanobind;

/// Install the orjson flavour of the module (`orjson`, `_NUMPY_OPT`, `dumps`,
/// `loads`, `BACKEND`, in that order). `orjson` is the imported module.
void register_orjson(nb::module_ m, nb::handle orjson);

/// Install the standard-library flavour (`json`, `date`, `datetime`,
/// `_NumpyEncoder`, `dumps`, `loads`, `BACKEND`, in that order).
void register_stdlib(nb::module_ m);

/// A process-lifetime strong reference. Backend state lives as long as the
/// process: modules are never unloaded, and a decref during static
/// destruction would run after the interpreter is gone. Re-assigning (a
/// second initialisation of the module) releases the previous value.
class Kept {
 public:
  void reset(nb::object value) {
    PyObject* old = ptr_;
    ptr_ = value.release().ptr();
    Py_XDECREF(old);
  }
  PyObject* get() const { return ptr_; }
  /// A new reference, safe to hold across calls that run Python code.
  nb::object ref() const { return nb::borrow(ptr_); }
  explicit operator bool() const { return ptr_ != nullptr; }

 private:
  PyObject* ptr_ = nullptr;
};

// ---- the conversions both backends share ---------------------------------
//
// numpy integers, floats and booleans become int, float and bool, numpy
// arrays nested lists (ndarray.tolist()), dates and datetimes their ISO 8601
// text. The standard backend's encoder hook is exactly this; the orjson
// backend applies it to what orjson cannot serialise itself (non-contiguous
// or object arrays, 0-d arrays, long doubles, date subclasses such as
// pandas.Timestamp).

/// Remember the datetime classes (once per module initialisation).
void hook_init();
/// The converted value, or a null object when `o` is none of those types.
/// `numpy` is the numpy module, or a null handle when it is not available
/// (then only the date conversion applies).
nb::object convert_known(PyObject* o, nb::handle numpy);

/// Interned str (process lifetime).
using glue::intern;

/// A tuple of interned keyword names for vectorcall.
inline nb::object kwnames(std::initializer_list<const char*> names) {
  nb::object t = glue::steal(PyTuple_New((Py_ssize_t) names.size()));
  Py_ssize_t i = 0;
  for (const char* n : names) PyTuple_SET_ITEM(t.ptr(), i++, intern(n));
  return t;
}

}  // namespace jsonweave
