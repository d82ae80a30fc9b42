// The `with` statement for C++ bodies: enter a Python context manager, run a
// body, and leave it exactly as Python would (the exception, if any, is
// handed to __exit__, which may suppress it; an error raised by __exit__
// itself replaces the original and keeps it as __context__).
//
// Header only.
#pragma once

#include <nanobind/nanobind.h>

#include "glue/errors.h"

namespace glue {
namespace nb = nanobind;

/// with mgr: return body()
/// The body returns an object (a new reference or a null object); when
/// __exit__ suppresses the body's exception, the result is None.
template <class F>
nb::object with_block(nb::handle mgr, F&& body) {
  nb::object enter = steal(PyObject_GetAttrString(mgr.ptr(), "__enter__"));
  nb::object exit = steal(PyObject_GetAttrString(mgr.ptr(), "__exit__"));
  steal(PyObject_CallNoArgs(enter.ptr()));

  nb::object result;
  try {
    result = std::forward<F>(body)();
  } GLUE_CATCH_ALL {
    restore_current_exception();
    PyObject* exc = PyErr_GetRaisedException();  // new reference
    PyObject* type = (PyObject*) Py_TYPE(exc);
    PyObject* tb = PyException_GetTraceback(exc);  // new reference or NULL
    PyObject* r = PyObject_CallFunctionObjArgs(exit.ptr(), type, exc, tb ? tb : Py_None, nullptr);
    Py_XDECREF(tb);
    if (!r) {
      PyObject* exit_exc = PyErr_GetRaisedException();
      PyException_SetContext(exit_exc, exc);  // steals exc
      PyErr_SetRaisedException(exit_exc);
      throw error_set{};
    }
    int suppress = PyObject_IsTrue(r);
    Py_DECREF(r);
    if (suppress < 0) {
      Py_DECREF(exc);
      throw error_set{};
    }
    if (suppress) {
      Py_DECREF(exc);
      return nb::none();
    }
    PyErr_SetRaisedException(exc);  // steals exc
    throw error_set{};
  }
  steal(PyObject_CallFunctionObjArgs(exit.ptr(), Py_None, Py_None, Py_None, nullptr));
  return result;
}

}  // namespace glue
