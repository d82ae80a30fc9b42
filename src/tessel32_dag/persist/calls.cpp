// Calls into the persistence package and the tracker's own attributes, shared
// by the persistence files.
#include <vector>

#include "tessel32_dag/persist/persist.h"

namespace dag::persist {

nb::object import_name(const char* module, const char* name) {
  // sys.modules first (a dict lookup); the import system only when it has
  // no entry, as the import statement does.
  PyObject* found = PyImport_GetModule(glue::steal(PyUnicode_FromString(module)).ptr());
  if (!found && PyErr_Occurred()) glue::raise_current();
  nb::object mod = found && found != Py_None ? nb::steal(found) : glue::steal(PyImport_ImportModule(module));
  PyObject* v = nullptr;
  if (PyObject_GetOptionalAttrString(mod.ptr(), name, &v) < 0) glue::raise_current();
  if (!v) glue::raise(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
  return nb::steal(v);
}

KwNames::KwNames(std::initializer_list<const char*> names) {
  tuple_ = PyTuple_New((Py_ssize_t) names.size());
  GLUE_INVARIANT(tuple_, "cannot build a keyword tuple");
  Py_ssize_t i = 0;
  for (const char* n : names) {
    PyObject* s = PyUnicode_InternFromString(n);
    GLUE_INVARIANT(s, "cannot intern a keyword name");
    PyTuple_SET_ITEM(tuple_, i++, s);
  }
}

nb::object call_kw(nb::handle fn, std::initializer_list<PyObject*> pos, const KwNames& kw,
                   std::initializer_list<PyObject*> kwvalues) {
  GLUE_INVARIANT((Py_ssize_t) kwvalues.size() == kw.size(), "keyword values and names differ in number");
  PyObject* stack[16];
  std::vector<PyObject*> big;
  size_t n = pos.size() + kwvalues.size();
  PyObject** args = stack;
  if (n > 16) {
    big.resize(n);
    args = big.data();
  }
  size_t k = 0;
  for (PyObject* p : pos) args[k++] = p;
  for (PyObject* p : kwvalues) args[k++] = p;
  return glue::steal(PyObject_Vectorcall(fn.ptr(), args, pos.size(), kw.size() ? kw.tuple() : nullptr));
}

nb::object call_method(nb::handle obj, const char* name, std::initializer_list<PyObject*> pos) {
  nb::object fn = glue::steal(PyObject_GetAttrString(obj.ptr(), name));
  static const KwNames none{};
  return call_kw(fn, pos, none, {});
}

nb::object call_method_kw(nb::handle obj, const char* name, std::initializer_list<PyObject*> pos,
                          const KwNames& kw, std::initializer_list<PyObject*> kwvalues) {
  nb::object fn = glue::steal(PyObject_GetAttrString(obj.ptr(), name));
  return call_kw(fn, pos, kw, kwvalues);
}

nb::object attr(nb::handle obj, const char* name) {
  return glue::steal(PyObject_GetAttrString(obj.ptr(), name));
}

nb::object attr_or(PyObject* self, const char* name, nb::handle dflt) {
  PyObject* v = nullptr;
  if (PyObject_GetOptionalAttrString(self, name, &v) < 0) glue::raise_current();
  return v ? nb::steal(v) : nb::borrow(dflt);
}

void set_attr(PyObject* self, const char* name, nb::handle value) {
  glue::ok(PyObject_SetAttrString(self, name, value.ptr()));
}

nb::object take_exception() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) glue::raise_current();
  return nb::steal(PyErr_GetRaisedException());
}

}  // namespace dag::persist
