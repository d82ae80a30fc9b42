// Creating Python-level classes with C++ methods.
#include "glue/pyclass.h"

namespace glue {

ClassBuilder::ClassBuilder(nb::handle module, const char* name, nb::handle bases, const char* doc)
    : module_(module) {
  name_ = steal(PyUnicode_FromString(name));
  bases_ = nb::borrow(bases);
  ns_ = steal(PyDict_New());
  nb::object modname = steal(PyObject_GetAttrString(module.ptr(), "__name__"));
  ok(PyDict_SetItemString(ns_.ptr(), "__module__", modname.ptr()));
  ok(PyDict_SetItemString(ns_.ptr(), "__qualname__", name_.ptr()));
  if (doc) {
    nb::object d = steal(PyUnicode_FromString(doc));
    ok(PyDict_SetItemString(ns_.ptr(), "__doc__", d.ptr()));
  }
}

ClassBuilder& ClassBuilder::attr(const char* name, nb::handle value) {
  ok(PyDict_SetItemString(ns_.ptr(), name, value.ptr()));
  return *this;
}

nb::object ClassBuilder::create() {
  // type(name, bases, ns) picks the most derived metaclass of the bases.
  cls_ = steal(PyObject_CallFunctionObjArgs((PyObject*) &PyType_Type, name_.ptr(), bases_.ptr(),
                                            ns_.ptr(), nullptr));
  return cls_;
}

void ClassBuilder::methods(PyMethodDef* defs) {
  for (PyMethodDef* d = defs; d->ml_name; ++d) {
    nb::object descr = steal(PyDescr_NewMethod((PyTypeObject*) cls_.ptr(), d));
    ok(PyObject_SetAttrString(cls_.ptr(), d->ml_name, descr.ptr()));
  }
}

void ClassBuilder::staticmethods(PyMethodDef* defs) {
  nb::object modname = steal(PyObject_GetAttrString(module_.ptr(), "__name__"));
  for (PyMethodDef* d = defs; d->ml_name; ++d) {
    nb::object fn = steal(PyCMethod_New(d, nullptr, modname.ptr(), nullptr));
    nb::object sm = steal(PyStaticMethod_New(fn.ptr()));
    ok(PyObject_SetAttrString(cls_.ptr(), d->ml_name, sm.ptr()));
  }
}

void ClassBuilder::properties(PyGetSetDef* defs) {
  for (PyGetSetDef* d = defs; d->name; ++d) {
    nb::object descr = steal(PyDescr_NewGetSet((PyTypeObject*) cls_.ptr(), d));
    ok(PyObject_SetAttrString(cls_.ptr(), d->name, descr.ptr()));
  }
}

nb::object instance_attr(PyObject* self, PyObject* interned_name) {
  // Instance dict first (the common case for our plain attributes), then the
  // full attribute protocol for anything unusual.
  PyObject** dictptr = _PyObject_GetDictPtr(self);
  if (dictptr && *dictptr) {
    PyObject* v = PyDict_GetItemWithError(*dictptr, interned_name);
    if (v) return nb::borrow(v);
    if (PyErr_Occurred()) raise_current();
  }
  return steal(PyObject_GetAttr(self, interned_name));
}

// The class's part of the answer depends only on the class's attributes, so
// it is remembered per name under the type's version tag (0 = not versioned,
// never trusted): a repeated question costs a few compares. The instance
// dict is asked every time, with one lookup of the interned name: its own
// version tag cannot be trusted (stores into an object's inline attribute
// values leave it unchanged), and a watcher on every instance dict would
// cost every attribute store.
namespace {
struct OverrideEntry {
  PyObject* name = nullptr;
  PyObject* original = nullptr;
  PyTypeObject* type = nullptr;
  unsigned int type_version = 0;
  bool class_answer = false;
};
constexpr unsigned OVERRIDE_CACHE_BITS = 6;  // 64 slots, well above the names asked about
constexpr size_t OVERRIDE_CACHE_SLOTS = size_t{1} << OVERRIDE_CACHE_BITS;
OverrideEntry g_override_cache[OVERRIDE_CACHE_SLOTS];
}  // namespace

bool not_overridden(PyObject* obj, PyObject* interned_name, PyObject* original) {
  PyTypeObject* tp = Py_TYPE(obj);
  // Fibonacci hashing of the name's address spreads neighbouring names.
  size_t slot = (size_t) (((uint64_t) (uintptr_t) interned_name * 0x9E3779B97F4A7C15ull) >> (64 - OVERRIDE_CACHE_BITS));
  OverrideEntry& e = g_override_cache[slot];
  if (!(e.name == interned_name && e.original == original && e.type == tp && e.type_version != 0 &&
        e.type_version == tp->tp_version_tag)) {
    PyUnstable_Type_AssignVersionTag(tp);
    e = OverrideEntry{interned_name, original, tp, tp->tp_version_tag,
                      _PyType_Lookup(tp, interned_name) == original};  // borrowed
  }
  if (!e.class_answer) return false;
  // Attribute lookup on the instance, as a call would do it: the instance
  // dict shadows the class's method (a non-data descriptor).
  PyObject** dictptr = _PyObject_GetDictPtr(obj);
  if (!dictptr || !*dictptr) return true;
  PyObject* found = PyDict_GetItemWithError(*dictptr, interned_name);  // borrowed
  if (!found && PyErr_Occurred()) raise_current();
  return found == nullptr;
}

}  // namespace glue
