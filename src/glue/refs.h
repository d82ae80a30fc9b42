// References kept for the life of the process: module state (interned names,
// imported callables, types) is taken once at import and never released,
// because modules are never unloaded and a release at exit would run after
// the interpreter is gone. These are the only two ways module code keeps one.
#pragma once

#include <nanobind/nanobind.h>

#include "glue/errors.h"

namespace glue {
namespace nb = nanobind;

/// An interned str, kept for the process's life (borrowed use afterwards).
inline PyObject* intern(const char* s) {
  PyObject* p = PyUnicode_InternFromString(s);
  if (!p) raise_current();
  return p;
}

/// Keep an object for the process's life; returns the pointer.
inline PyObject* keep(nb::object o) { return o.release().ptr(); }

}  // namespace glue
