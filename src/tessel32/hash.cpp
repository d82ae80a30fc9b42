// The stable hash of row labels behind entity tags. Python's hash() is
// randomised per process, so labels are first written in a canonical byte
// form (a one-letter type tag, then the text) and hashed with FNV-1a/fmix32:
//   None                     "n"
//   int, bool, numpy int     "i" + hex text ("0x1f", "-0x2a")
//   float, integral          as the equal int (so 3.0 and 3 agree)
//   float, otherwise         "f" + repr ("0.5", "nan", "inf", "-inf")
//   str                      "s" + UTF-8 (lone surrogates kept as such)
//   bytes                    "y" + the bytes
//   datetime (pd.Timestamp)  "d" + isoformat()
//   date                     "D" + isoformat()
//   tuple                    "t" + count + "(" + per item: length ":" form + ")"
//   numpy scalar             the form of its .item()
//   anything else            "o" + module "." qualname ":" + str(label)
#include <cmath>
#include <string>

#include "tessel32/bits.h"
#include "tessel32/tessel32.h"

namespace tessel32 {
namespace {

void append_str(std::string& out, PyObject* s) {
  nb::object b = glue::steal(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
  out.append(PyBytes_AS_STRING(b.ptr()), (size_t) PyBytes_GET_SIZE(b.ptr()));
}

void append_int(std::string& out, PyObject* i) {
  out += 'i';
  nb::object hex = glue::steal(PyNumber_ToBase(i, 16));
  append_str(out, hex.ptr());
}

bool is_numpy_scalar(PyObject* o) {
  PyObject* mod = PyObject_GetAttrString((PyObject*) Py_TYPE(o), "__module__");
  if (!mod) {
    PyErr_Clear();
    return false;
  }
  bool r = PyUnicode_Check(mod) && PyUnicode_CompareWithASCIIString(mod, "numpy") == 0;
  Py_DECREF(mod);
  return r;
}

void canon(PyObject* o, std::string& out) {
  if (o == Py_None) {
    out += 'n';
  } else if (PyLong_Check(o)) {
    append_int(out, o);
  } else if (PyFloat_Check(o)) {
    double d = PyFloat_AS_DOUBLE(o);
    if (std::isfinite(d) && d == std::floor(d)) {
      nb::object i = glue::steal(PyLong_FromDouble(d));
      append_int(out, i.ptr());
    } else {
      out += 'f';
      // repr of the plain float: a float subclass (numpy.float64) has a repr
      // of its own ("np.float64(0.5)") but labels equal to the same float
      // must hash alike.
      nb::object plain = PyFloat_CheckExact(o) ? nb::borrow(o) : glue::steal(PyFloat_FromDouble(d));
      nb::object r = glue::steal(PyObject_Repr(plain.ptr()));
      append_str(out, r.ptr());
    }
  } else if (PyUnicode_Check(o)) {
    out += 's';
    append_str(out, o);
  } else if (PyBytes_Check(o)) {
    out += 'y';
    out.append(PyBytes_AS_STRING(o), (size_t) PyBytes_GET_SIZE(o));
  } else if (PyTuple_Check(o)) {
    if (Py_EnterRecursiveCall(" while hashing a row label")) glue::raise_current();
    struct Leave { ~Leave() { Py_LeaveRecursiveCall(); } } leave;
    Py_ssize_t n = PyTuple_GET_SIZE(o);
    out += 't';
    out += std::to_string(n);
    out += '(';
    for (Py_ssize_t i = 0; i < n; ++i) {
      nb::object item = nb::borrow(PyTuple_GET_ITEM(o, i));
      std::string sub;
      canon(item.ptr(), sub);
      out += std::to_string(sub.size());
      out += ':';
      out += sub;
    }
    out += ')';
  } else if (PyObject_TypeCheck(o, (PyTypeObject*) g.datetime_type) ||
             PyObject_TypeCheck(o, (PyTypeObject*) g.date_type)) {
    out += PyObject_TypeCheck(o, (PyTypeObject*) g.datetime_type) ? 'd' : 'D';
    nb::object iso = glue::steal(PyObject_CallMethod(o, "isoformat", nullptr));
    if (!PyUnicode_Check(iso.ptr())) iso = glue::steal(PyObject_Str(iso.ptr()));
    append_str(out, iso.ptr());
  } else {
    if (is_numpy_scalar(o) && PyObject_HasAttrString(o, "item")) {
      nb::object item = glue::steal(PyObject_CallMethod(o, "item", nullptr));
      if (Py_TYPE(item.ptr()) != Py_TYPE(o) && !is_numpy_scalar(item.ptr())) {
        canon(item.ptr(), out);
        return;
      }
    } else if (PyIndex_Check(o)) {
      PyObject* i = PyNumber_Index(o);
      if (i) {
        nb::object io = nb::steal(i);
        append_int(out, i);
        return;
      }
      PyErr_Clear();
    }
    out += 'o';
    nb::object mod = glue::steal(PyObject_GetAttrString((PyObject*) Py_TYPE(o), "__module__"));
    nb::object qual = glue::steal(PyObject_GetAttrString((PyObject*) Py_TYPE(o), "__qualname__"));
    nb::object ms = glue::steal(PyObject_Str(mod.ptr()));
    nb::object qs = glue::steal(PyObject_Str(qual.ptr()));
    append_str(out, ms.ptr());
    out += '.';
    append_str(out, qs.ptr());
    out += ':';
    nb::object s = glue::steal(PyObject_Str(o));
    append_str(out, s.ptr());
  }
}

}  // namespace

uint32_t hash_entity(PyObject* label) {
  std::string bytes;
  canon(label, bytes);
  return hash_bytes((const unsigned char*) bytes.data(), bytes.size());
}

uint32_t hash_entity_i64(int64_t label) {
  // format(x, "#x"): "0x1f", "-0x2a", "0x0".
  char buf[24];
  char* end = buf + sizeof buf;
  char* p = end;
  uint64_t u = label < 0 ? (uint64_t) 0 - (uint64_t) label : (uint64_t) label;
  do {
    *--p = "0123456789abcdef"[u & 15];
    u >>= 4;
  } while (u);
  *--p = 'x';
  *--p = '0';
  if (label < 0) *--p = '-';
  *--p = 'i';
  return hash_bytes((const unsigned char*) p, (size_t) (end - p));
}

}  // namespace tessel32
