// corvanti.wrapper: module state shared by the helpers (the module object,
// globals looked up at call time, cheap imports, exception capture).
#include "wrapper/internal.h"

namespace wrapper {

namespace {
// Strong reference kept for the life of the process (modules are never
// unloaded; releasing it at exit would run after the interpreter is gone).
PyObject* g_module = nullptr;
}  // namespace

void set_module(nb::handle m) {
  Py_XINCREF(m.ptr());
  g_module = m.ptr();
}

nb::handle module() { return nb::handle(g_module); }

nb::object global(const char* name) {
  PyObject* dict = PyModule_GetDict(g_module);  // borrowed, never NULL for a module
  PyObject* value = nullptr;
  int found = PyDict_GetItemStringRef(dict, name, &value);
  if (found < 0) glue::raise_current();
  if (found == 0) glue::raise(PyExc_NameError, "name '%s' is not defined", name);
  return nb::steal(value);
}

nb::object logger() { return global("logger"); }

void log(const char* level, const char* fmt, nb::handle arg) {
  nb::object lg = logger();
  nb::object method = glue::steal(PyObject_GetAttrString(lg.ptr(), level));
  nb::object text = glue::steal(PyUnicode_FromString(fmt));
  nb::object r;
  if (arg.is_valid())
    r = glue::steal(PyObject_CallFunctionObjArgs(method.ptr(), text.ptr(), arg.ptr(), nullptr));
  else
    r = glue::steal(PyObject_CallOneArg(method.ptr(), text.ptr()));
}

nb::object import(const char* name) {
  nb::object key = glue::steal(PyUnicode_FromString(name));
  PyObject* mod = PyImport_GetModule(key.ptr());  // new ref or NULL
  if (mod && mod != Py_None) return nb::steal(mod);
  Py_XDECREF(mod);
  if (PyErr_Occurred()) glue::raise_current();
  return glue::steal(PyImport_Import(key.ptr()));
}

nb::object import_optional(const char* name) {
  nb::object result;
  try {
    result = import(name);
  } catch (const glue::error_set&) {
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw;
    PyErr_Clear();
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_ImportError)) throw;
  }
  return result;
}

namespace detail {
nb::object take_exception() {
  glue::restore_current_exception();  // in-flight C++ exception -> Python error
  PyObject* exc = PyErr_GetRaisedException();
  if (!exc) glue::raise_current();
  if (!PyErr_GivenExceptionMatches(exc, PyExc_Exception)) {
    PyErr_SetRaisedException(exc);
    throw glue::error_set{};
  }
  return nb::steal(exc);
}
}  // namespace detail

}  // namespace wrapper
