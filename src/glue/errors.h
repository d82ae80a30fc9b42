// Python errors inside C++: raise helpers that throw, and the single place that
// turns a C++ exception back into a Python error at the module edge.
//
// Two kinds of failure are kept apart: a user error becomes a Python exception
// (raise_*), a broken internal invariant aborts loudly (GLUE_INVARIANT). C++
// exceptions never unwind through a CPython slot: every entry point is wrapped
// by guarded().
#pragma once

#include <nanobind/nanobind.h>

#include <cxxabi.h>

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

/// The truth value of an object (bool(o)); its error propagates.
inline bool truthy(nb::handle o) {
  int t = PyObject_IsTrue(o.ptr());
  if (t < 0) raise_current();
  return t != 0;
}

/// Call from inside a catch block: set the Python error that matches the
/// in-flight C++ exception.
void restore_current_exception() noexcept;

// ---- entry points ---------------------------------------------------------
//
// Every C entry point of a module runs its body through guarded() (or
// guarded_status() for slots that return a status). Besides translating
// exceptions, it counts the threads inside native code: at interpreter exit
// the main thread waits for them to leave (an atexit hook installed by
// GLUE_MODULE), and from then on other threads are refused at the door. A
// daemon thread is therefore never ended by CPython inside our frames, whose
// destructors would touch Python objects without a thread state.
//
// The forced unwind of a thread being ended (abi::__forced_unwind) is never
// swallowed: it is rethrown by every catch-all, which is why these functions
// are not noexcept.

/// Counts one thread inside native code for a scope.
class EntryScope {
 public:
  EntryScope();
  ~EntryScope();
  EntryScope(const EntryScope&) = delete;
  EntryScope& operator=(const EntryScope&) = delete;
  /// False (with RuntimeError set) when the interpreter is exiting and this
  /// thread is not the one running the exit.
  bool admitted() const { return admitted_; }

 private:
  bool admitted_;
};

/// Install the exit hook of this module (once per module, at import).
void install_exit_guard();

/// Run f (which returns a new reference or nullptr) with every C++ exception
/// turned into a Python error.
template <class F>
PyObject* guarded(F&& f) {
  EntryScope scope;
  if (!scope.admitted()) return nullptr;
  try {
    return std::forward<F>(f)();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    restore_current_exception();
    return nullptr;
  }
}

/// The same for slots that return 0 / -1 (setters, tp_init, ...).
template <class F>
int guarded_status(F&& f) {
  EntryScope scope;
  if (!scope.admitted()) return -1;
  try {
    std::forward<F>(f)();
    return 0;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    restore_current_exception();
    return -1;
  }
}

/// A catch-all that lets the forced unwind of an ending thread pass:
///   try { ... } GLUE_CATCH_ALL { ... }
#define GLUE_CATCH_ALL \
  catch (abi::__forced_unwind&) { throw; } catch (...)

/// Is there a thread state attached to this thread (may Python objects be
/// touched)? Destructors that call into Python ask first.
inline bool has_thread_state() { return PyThreadState_GetUnchecked() != nullptr; }

}  // namespace glue

/// The module entry: NB_MODULE with every exception of the body turned into
/// the import's Python error, and the exit guard installed.
///   GLUE_MODULE(tessel32, m) { ... body using m ... }
#define GLUE_MODULE(name, variable)                                   \
  static void glue_module_body_##name(::nanobind::module_& variable); \
  NB_MODULE(name, glue_module_##name) {                               \
    try {                                                             \
      ::glue::install_exit_guard();                                   \
      glue_module_body_##name(glue_module_##name);                    \
    } catch (abi::__forced_unwind&) {                                 \
      throw;                                                          \
    } catch (::nanobind::python_error&) {                             \
      throw;                                                          \
    } catch (...) {                                                   \
      ::glue::restore_current_exception();                            \
      throw ::nanobind::python_error();                               \
    }                                                                 \
  }                                                                   \
  static void glue_module_body_##name(::nanobind::module_& variable)

#define GLUE_INVARIANT(cond, msg)                                              \
  do {                                                                         \
    if (!(cond)) {                                                             \
      std::fprintf(stderr, "corvanti: internal invariant broken: %s (%s:%d)\n", \
                   msg, __FILE__, __LINE__);                                   \
      std::abort();                                                            \
    }                                                                          \
  } while (0)
