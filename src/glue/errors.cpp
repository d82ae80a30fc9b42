// Exception translation at the module edge and the raise helpers.
#include "glue/errors.h"

#include <pythread.h>

#include <cstdarg>
#include <exception>
#include <new>

namespace glue {

// ---- entry bookkeeping (all fields are read and written with the GIL held)

namespace {
/// How long the exit waits for other threads to leave native code.
constexpr double EXIT_WAIT_SECONDS = 5.0;
constexpr double EXIT_POLL_SECONDS = 0.001;

int g_inside = 0;                 ///< threads inside an entry point (nesting counts)
bool g_exiting = false;           ///< the exit hook has run
unsigned long g_exit_thread = 0;  ///< the thread that runs the exit

PyObject* wait_for_native_calls(PyObject*, PyObject*) {
  g_exiting = true;
  g_exit_thread = PyThread_get_thread_ident();
  PyObject* time = PyImport_ImportModule("time");
  if (!time) return nullptr;
  PyObject* monotonic = PyObject_GetAttrString(time, "monotonic");
  Py_DECREF(time);
  if (!monotonic) return nullptr;
  auto now = [&]() -> double {
    PyObject* r = PyObject_CallNoArgs(monotonic);
    double v = r ? PyFloat_AsDouble(r) : 0.0;
    Py_XDECREF(r);
    PyErr_Clear();
    return v;
  };
  const double deadline = now() + EXIT_WAIT_SECONDS;
  while (g_inside > 0 && now() < deadline) {
    Py_BEGIN_ALLOW_THREADS
    struct timespec ts{0, (long) (EXIT_POLL_SECONDS * 1e9)};
    nanosleep(&ts, nullptr);
    Py_END_ALLOW_THREADS
  }
  Py_DECREF(monotonic);
  Py_RETURN_NONE;
}

PyMethodDef exit_hook_def = {"_wait_for_native_calls", wait_for_native_calls, METH_NOARGS, nullptr};
}  // namespace

EntryScope::EntryScope() {
  admitted_ = !g_exiting || PyThread_get_thread_ident() == g_exit_thread;
  if (admitted_) {
    ++g_inside;
  } else {
    PyErr_SetString(PyExc_RuntimeError, "corvanti: the interpreter is shutting down");
  }
}

EntryScope::~EntryScope() {
  if (admitted_) --g_inside;
}

void install_exit_guard() {
  nb::object hook = steal(PyCFunction_New(&exit_hook_def, nullptr));
  nb::object atexit = steal(PyImport_ImportModule("atexit"));
  steal(PyObject_CallMethod(atexit.ptr(), "register", "O", hook.ptr()));
}

void raise(PyObject* type, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  PyErr_FormatV(type, fmt, ap);
  va_end(ap);
  throw error_set{};
}

void raise_current() {
  if (!PyErr_Occurred())
    PyErr_SetString(PyExc_SystemError, "corvanti: a C-API call failed without setting an error");
  throw error_set{};
}

static PyObject* builtin_type(nb::exception_type t) {
  switch (t) {
    case nb::exception_type::stop_iteration: return PyExc_StopIteration;
    case nb::exception_type::index_error: return PyExc_IndexError;
    case nb::exception_type::key_error: return PyExc_KeyError;
    case nb::exception_type::value_error: return PyExc_ValueError;
    case nb::exception_type::type_error: return PyExc_TypeError;
    case nb::exception_type::buffer_error: return PyExc_BufferError;
    case nb::exception_type::import_error: return PyExc_ImportError;
    case nb::exception_type::attribute_error: return PyExc_AttributeError;
    default: return PyExc_RuntimeError;
  }
}

void restore_current_exception() noexcept {
  try {
    throw;
  } catch (const error_set&) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "corvanti: error signalled without a Python exception");
  } catch (nb::python_error& e) {
    e.restore();
  } catch (const nb::builtin_exception& e) {
    PyErr_SetString(builtin_type(e.type()), e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "corvanti: unknown C++ exception");
  }
}

}  // namespace glue
