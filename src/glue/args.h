// Argument parsing and the argument/result checks, with the exact messages
// users see.
//
// Entry points use METH_FASTCALL | METH_KEYWORDS. A Signature names the
// parameters in positional order; parse() fills one slot per parameter
// (borrowed, nullptr when the caller did not pass it) and raises the same
// TypeErrors a Python function of that name would.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace glue {
namespace nb = nanobind;

/// One fastcall invocation as CPython hands it over (all borrowed).
struct Call {
  PyObject* self;
  PyObject* const* args;
  Py_ssize_t nargs;
  PyObject* kwnames;
};

/// How a callable takes its arguments.
struct Signature {
  /// Name used in messages: "dumps" or "DAGTracker.get_node".
  const char* name;
  /// Parameter names in positional order (self excluded).
  std::vector<const char*> params;
  /// The first `required` parameters have no default.
  int required = 0;
  /// How many parameters may be given by position (-1: all of them).
  int max_positional = -1;
  /// Keyword arguments that match no parameter are collected instead of
  /// rejected (a `**kwargs` parameter).
  bool var_keywords = false;
};

/// Parse a call. `out` gets params.size() borrowed slots (nullptr = absent).
/// Returns the collected **kwargs (a new dict) when var_keywords is set,
/// otherwise a null object.
nb::object parse(const Signature& sig, const Call& call, PyObject** out);

/// The same for a tp_init/tp_call style call (args tuple, kwargs dict or NULL).
nb::object parse_tuple(const Signature& sig, PyObject* self, PyObject* args, PyObject* kwargs, PyObject** out);

// ---- checks on arguments -------------------------------------------------

/// TypeError "Argument '<name>' has incorrect type (expected <type>, got <type>)".
[[noreturn]] void raise_arg_type(const char* argname, const char* expected, PyObject* got);

/// `str`, `list`, `dict` arguments must be exactly that type; None only when
/// the annotation is Optional (or the default is None).
void check_exact(PyObject* value, PyTypeObject* type, const char* argname, bool none_ok);
inline void check_str(PyObject* v, const char* n, bool none_ok = false) { check_exact(v, &PyUnicode_Type, n, none_ok); }
inline void check_list(PyObject* v, const char* n, bool none_ok = false) { check_exact(v, &PyList_Type, n, none_ok); }
inline void check_dict(PyObject* v, const char* n, bool none_ok = false) { check_exact(v, &PyDict_Type, n, none_ok); }

/// `int` arguments: any number (an int, an object with __index__ or __int__,
/// a float truncated by int()), converted with int(). Anything else, `str`
/// and `None` included, raises TypeError "Argument '<argname>' has incorrect
/// type (expected int, got <type>)". Returns a new int.
nb::object to_int(PyObject* value, const char* argname);
/// The same, as a C integer (OverflowError beyond int64).
int64_t to_int64(PyObject* value, const char* argname);
/// An int (or __index__ object) as stored in a 64-bit column: its value when
/// it fits, else its low 64 bits as two's complement (an unsigned 64-bit
/// hash keeps its bits). Raises only when the object is not an integer.
int64_t int64_wrapping(PyObject* value);
/// Does int() accept this object as a number (int, __index__, __int__)?
bool is_number_for_int(PyObject* value);
/// `float` arguments: converted with float().
double to_double(PyObject* value);

// ---- checks on results ---------------------------------------------------

/// A `dict` / `str` result must be exactly that type or None:
/// TypeError "Expected dict, got <type>".
nb::object check_result_exact(nb::object result, PyTypeObject* type, const char* tname);
/// An `int` result is converted with int(); a non-number raises
/// TypeError "Expected int, got <type>".
nb::object check_result_int(nb::object result);

}  // namespace glue
