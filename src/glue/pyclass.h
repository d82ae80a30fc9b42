// Python-level classes whose methods are C++ functions.
//
// nanobind binds C++ types; it cannot derive a class from a Python base such
// as pandas.Series or a Python subclassable base tracker. These classes are
// therefore created the way Python creates them (calling the metaclass with
// name, bases and namespace), and their methods are CPython method
// descriptors over static PyMethodDef tables: exact docstrings, a
// __text_signature__ for inspect, and one vectorcall per call.
#pragma once

#include <nanobind/nanobind.h>

#include "glue/args.h"
#include "glue/errors.h"

namespace glue {
namespace nb = nanobind;

/// A C++ method body: returns a new reference (as an object) or throws.
using MethodBody = nb::object (*)(const Call&);

/// The METH_FASTCALL | METH_KEYWORDS trampoline for a MethodBody.
template <MethodBody F>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* { return F(Call{self, args, nargs, kwnames}).release().ptr(); });
}

/// PyMethodDef entry for a MethodBody.
#define GLUE_METHOD(pyname, fn, doc) \
  PyMethodDef { pyname, (PyCFunction)(void (*)(void)) ::glue::fastcall<fn>, METH_FASTCALL | METH_KEYWORDS, doc }

/// A getter body for a read-only property.
using GetterBody = nb::object (*)(PyObject* self);
template <GetterBody F>
PyObject* getter(PyObject* self, void*) {
  return guarded([&]() -> PyObject* { return F(self).release().ptr(); });
}
#define GLUE_GETTER(pyname, fn, doc) \
  PyGetSetDef { pyname, ::glue::getter<fn>, nullptr, doc, nullptr }

class ClassBuilder {
 public:
  /// `bases` is a tuple; the class is created by the most derived metaclass of
  /// the bases, exactly as a `class` statement would.
  ClassBuilder(nb::handle module, const char* name, nb::handle bases, const char* doc);

  /// Put a value into the class namespace (before create()).
  ClassBuilder& attr(const char* name, nb::handle value);

  /// Create the class. Methods and properties are added afterwards, because a
  /// method descriptor needs its type; the type's slots (__add__, ...) are
  /// updated as for any attribute set on a class.
  nb::object create();

  /// The defs must outlive the class (static tables).
  void methods(PyMethodDef* defs);             // terminated by a {nullptr} entry
  void staticmethods(PyMethodDef* defs);
  void properties(PyGetSetDef* defs);          // terminated by a {nullptr} entry

  nb::handle type() const { return cls_; }

 private:
  nb::handle module_;
  nb::object name_;
  nb::object bases_;
  nb::object ns_;
  nb::object cls_;
};

/// `self.__dict__[name]` lookups with a clear AttributeError when missing.
nb::object instance_attr(PyObject* self, PyObject* interned_name);

/// Does `obj.<name>` find the very object `original` (neither the class nor
/// the instance dict overrides it)? The one override check of every module;
/// the class's part is cached by type version.
bool not_overridden(PyObject* obj, PyObject* interned_name, PyObject* original);

}  // namespace glue
