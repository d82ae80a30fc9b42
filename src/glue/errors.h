// Python errors inside C++: raise helpers that throw, and the single place that
// turns a C++ exception back into a Python error at the module edge.
//
// Two kinds of failure are kept apart: a user error becomes a Python exception
// (raise_*), a broken internal invariant aborts loudly (GLUE_INVARIANT). C++
// exceptions never unwind through a CPython slot: every entry point is wrapped
// by guarded().
#pragma once

#include <nanobind/nanobind.h>

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace glue {
namespace nb = nanobind;

/// Thrown after the Python error indicator has been set; carries nothing.
struct error_set final {};

/// PyErr_Format, then throw error_set.
[[noreturn]] void raise(PyObject* type, const char* fmt, ...);
/// Throw error_set for an error already set (SystemError if none is).
[[noreturn]] void raise_current();

/// Steal a new reference returned by a C-API call; throw if it is NULL.
inline nb::object steal(PyObject* p) {
  if (!p) raise_current();
  return nb::steal(p);
}
/// Throw if a C-API status code signals failure (-1).
inline void ok(int status) {
  if (status < 0) raise_current();
}

/// Call from inside a catch block: set the Python error that matches the
/// in-flight C++ exception.
void restore_current_exception() noexcept;

/// Run f (which returns a new reference or nullptr) with every C++ exception
/// turned into a Python error.
template <class F>
PyObject* guarded(F&& f) noexcept {
  try {
    return std::forward<F>(f)();
  } catch (...) {
    restore_current_exception();
    return nullptr;
  }
}

}  // namespace glue

#define GLUE_INVARIANT(cond, msg)                                              \
  do {                                                                         \
    if (!(cond)) {                                                             \
      std::fprintf(stderr, "corvanti: internal invariant broken: %s (%s:%d)\n", \
                   msg, __FILE__, __LINE__);                                   \
      std::abort();                                                            \
    }                                                                          \
  } while (0)
