// Conversion of Python arguments to provenance values, op codes and pair ids,
// with clear errors instead of silent truncation.
#include "tessel32/messages.h"
#include "tessel32/tessel32.h"

namespace tessel32 {

ModuleState g;

/// The int value of v if it lies in [lo, hi]; otherwise raise `exc` with fmt.
static uint64_t in_range(PyObject* v, const char* name, uint64_t lo, uint64_t hi, PyObject* exc,
                         const char* fmt, bool named) {
  nb::object i = glue::to_int(v, name);
  int overflow = 0;
  long long x = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
  if (x == -1 && !overflow && PyErr_Occurred()) glue::raise_current();
  if (overflow || x < 0 || (uint64_t) x < lo || (uint64_t) x > hi) {
    if (named) glue::raise(exc, fmt, name, i.ptr());
    glue::raise(exc, fmt, i.ptr());
  }
  return (uint64_t) x;
}

uint32_t arg_prov(PyObject* v, const char* name) {
  if (PyLong_CheckExact(v)) {  // fast path
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (!overflow && x >= 0 && x <= 0xFFFFFFFFll) return (uint32_t) x;
  }
  return (uint32_t) in_range(v, name, 0, 0xFFFFFFFFull, PyExc_OverflowError, msg::PROV_RANGE, true);
}

uint32_t arg_op(PyObject* v, const char* name) {
  return (uint32_t) in_range(v, name, 0, 0x7FFFFFFFull, PyExc_OverflowError, msg::OP_RANGE, true);
}

std::vector<uint32_t> arg_ids(PyObject* ids) {
  PyObject* it = PyObject_GetIter(ids);
  if (!it) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      glue::raise(PyExc_TypeError, msg::IDS_TYPE, Py_TYPE(ids)->tp_name);
    }
    glue::raise_current();
  }
  nb::object iter = nb::steal(it);
  std::vector<uint32_t> out;
  while (PyObject* item = PyIter_Next(iter.ptr())) {
    nb::object o = nb::steal(item);
    out.push_back((uint32_t) in_range(o.ptr(), "ids", 1, 0xFFFFFFFFull, PyExc_ValueError,
                                      msg::PAIR_RANGE, false));
  }
  if (PyErr_Occurred()) glue::raise_current();
  return out;
}

nb::object py_u32(uint32_t v) { return glue::steal(PyLong_FromUnsignedLong(v)); }

}  // namespace tessel32
