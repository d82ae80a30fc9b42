// Exception translation at the module edge and the raise helpers.
#include "glue/errors.h"

#include <cstdarg>
#include <exception>
#include <new>

namespace glue {

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
