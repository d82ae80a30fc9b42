// Argument parsing with CPython's own messages, and the typed checks.
#include "glue/args.h"

#include "glue/errors.h"

#include <cstring>

namespace glue {

static std::string quoted_list(const std::vector<const char*>& names) {
  // 'a', 'b' and 'c' -- the way CPython lists missing arguments.
  std::string s;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i) s += (i + 1 == names.size()) ? (names.size() > 2 ? ", and " : " and ") : ", ";
    s += "'";
    s += names[i];
    s += "'";
  }
  return s;
}

nb::object parse(const Signature& sig, const Call& call, PyObject** out) {
  const Py_ssize_t nparams = (Py_ssize_t) sig.params.size();
  const Py_ssize_t maxpos = sig.max_positional < 0 ? nparams : sig.max_positional;
  for (Py_ssize_t i = 0; i < nparams; ++i) out[i] = nullptr;

  if (call.nargs > maxpos) {
    // A method counts its `self`, as CPython does for a Python method (a
    // module function has the module as self, a static method none).
    const Py_ssize_t own = (call.self && !PyModule_Check(call.self)) ? 1 : 0;
    Py_ssize_t minpos = (sig.required < maxpos ? sig.required : maxpos) + own;
    Py_ssize_t top = maxpos + own, given = call.nargs + own;
    if (minpos == top)
      raise(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given", sig.name,
            top, top == 1 ? "" : "s", given, given == 1 ? "was" : "were");
    raise(PyExc_TypeError, "%s() takes from %zd to %zd positional arguments but %zd were given",
          sig.name, minpos, top, given);
  }
  for (Py_ssize_t i = 0; i < call.nargs; ++i) out[i] = call.args[i];

  nb::object extra;
  if (call.kwnames) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(call.kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(call.kwnames, k);
      PyObject* value = call.args[call.nargs + k];
      const char* kname = PyUnicode_AsUTF8(key);
      if (!kname) raise_current();
      Py_ssize_t idx = -1;
      for (Py_ssize_t i = 0; i < nparams; ++i)
        if (std::strcmp(sig.params[i], kname) == 0) { idx = i; break; }
      if (idx < 0) {
        if (!sig.var_keywords)
          raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
        if (!extra.is_valid()) extra = steal(PyDict_New());
        ok(PyDict_SetItem(extra.ptr(), key, value));
        continue;
      }
      if (out[idx])
        raise(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name, sig.params[idx]);
      out[idx] = value;
    }
  }

  std::vector<const char*> missing;
  for (Py_ssize_t i = 0; i < sig.required; ++i)
    if (!out[i]) missing.push_back(sig.params[i]);
  if (!missing.empty())
    raise(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", sig.name,
          missing.size(), missing.size() == 1 ? "" : "s", quoted_list(missing).c_str());
  return extra;
}

nb::object parse_tuple(const Signature& sig, PyObject* self, PyObject* args, PyObject* kwargs, PyObject** out) {
  Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
  std::vector<PyObject*> flat;
  flat.reserve((size_t) nargs + (kwargs ? (size_t) PyDict_GET_SIZE(kwargs) : 0));
  for (Py_ssize_t i = 0; i < nargs; ++i) flat.push_back(PyTuple_GET_ITEM(args, i));
  nb::object kwnames;
  if (kwargs && PyDict_GET_SIZE(kwargs)) {
    kwnames = steal(PyTuple_New(PyDict_GET_SIZE(kwargs)));
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      PyTuple_SET_ITEM(kwnames.ptr(), k++, Py_NewRef(key));
      flat.push_back(value);
    }
  }
  // The borrowed values stay alive: they belong to args/kwargs for the call.
  return parse(sig, Call{self, flat.data(), nargs, kwnames.is_valid() ? kwnames.ptr() : nullptr}, out);
}

void raise_arg_type(const char* argname, const char* expected, PyObject* got) {
  raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
        argname, expected, Py_TYPE(got)->tp_name);
}

void check_exact(PyObject* value, PyTypeObject* type, const char* argname, bool none_ok) {
  if (Py_IS_TYPE(value, type)) return;
  if (none_ok && value == Py_None) return;
  raise_arg_type(argname, type->tp_name, value);
}

bool is_number_for_int(PyObject* value) {
  if (PyLong_Check(value)) return true;
  PyNumberMethods* nm = Py_TYPE(value)->tp_as_number;
  return nm && (nm->nb_index || nm->nb_int);
}

nb::object to_int(PyObject* value, const char* argname) {
  if (PyLong_CheckExact(value)) return nb::borrow(value);
  if (!is_number_for_int(value)) raise_arg_type(argname, "int", value);
  return steal(PyNumber_Long(value));
}

int64_t to_int64(PyObject* value, const char* argname) {
  if (PyLong_CheckExact(value)) {
    long long v = PyLong_AsLongLong(value);
    if (v == -1 && PyErr_Occurred()) raise_current();
    return v;
  }
  nb::object as_int = to_int(value, argname);
  long long v = PyLong_AsLongLong(as_int.ptr());
  if (v == -1 && PyErr_Occurred()) raise_current();
  return v;
}

int64_t int64_wrapping(PyObject* value) {
  long long x = PyLong_AsLongLong(value);
  if (x == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    unsigned long long u = PyLong_AsUnsignedLongLongMask(value);
    if (u == (unsigned long long) -1 && PyErr_Occurred()) raise_current();
    return (int64_t) u;
  }
  return x;
}

double to_double(PyObject* value) {
  if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value);
  nb::object f = steal(PyNumber_Float(value));
  return PyFloat_AS_DOUBLE(f.ptr());
}

nb::object check_result_exact(nb::object result, PyTypeObject* type, const char* tname) {
  if (result.is_none() || Py_IS_TYPE(result.ptr(), type)) return result;
  raise(PyExc_TypeError, "Expected %s, got %.200s", tname, Py_TYPE(result.ptr())->tp_name);
}

nb::object check_result_int(nb::object result) {
  if (PyLong_CheckExact(result.ptr())) return result;
  if (!is_number_for_int(result.ptr()))
    raise(PyExc_TypeError, "Expected %.200s, got %.200s", "int", Py_TYPE(result.ptr())->tp_name);
  return steal(PyNumber_Long(result.ptr()));
}

}  // namespace glue
