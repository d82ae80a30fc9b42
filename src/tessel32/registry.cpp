// The per-tracker registry of source (table, column) pairs. Its state lives
// in plain Python containers in the instance __dict__, so that Python code
// (and subclasses) can read it:
//   _name_to_id     dict (table, column) -> pair id
//   _id_to_name     dict pair id -> (table, column)
//   _protected_ids  set of the pair ids registered as protected
//   _next_pair_id   the id the next new pair receives (ids start at 1)
// Every update is made without running Python code in between, so the
// containers stay in sync under the GIL.
#include <algorithm>

#include "tessel32/bits.h"
#include "tessel32/messages.h"
#include "tessel32/tessel32.h"

namespace tessel32 {

static nb::object dict_attr(PyObject* self, PyObject* name, PyTypeObject* type, const char* tname) {
  PyObject** dictptr = _PyObject_GetDictPtr(self);
  PyObject* v = nullptr;
  if (dictptr && *dictptr) {
    v = PyDict_GetItemWithError(*dictptr, name);
    if (!v && PyErr_Occurred()) glue::raise_current();
  }
  if (!v) glue::raise(PyExc_AttributeError, msg::NO_REGISTRY, Py_TYPE(self)->tp_name);
  if (!PyObject_TypeCheck(v, type))
    glue::raise(PyExc_TypeError, msg::REGISTRY_TYPE, Py_TYPE(self)->tp_name, PyUnicode_AsUTF8(name),
                tname, Py_TYPE(v)->tp_name);
  return nb::borrow(v);
}

Registry registry_of(PyObject* self) {
  return Registry{dict_attr(self, g.s_name_to_id, &PyDict_Type, "dict"),
                  dict_attr(self, g.s_id_to_name, &PyDict_Type, "dict"),
                  dict_attr(self, g.s_protected_ids, &PySet_Type, "set")};
}

void registry_init(PyObject* self) {
  nb::object n2i = glue::steal(PyDict_New());
  nb::object i2n = glue::steal(PyDict_New());
  nb::object prot = glue::steal(PySet_New(nullptr));
  nb::object one = glue::steal(PyLong_FromLong(1));
  glue::ok(PyObject_SetAttr(self, g.s_name_to_id, n2i.ptr()));
  glue::ok(PyObject_SetAttr(self, g.s_id_to_name, i2n.ptr()));
  glue::ok(PyObject_SetAttr(self, g.s_protected_ids, prot.ptr()));
  glue::ok(PyObject_SetAttr(self, g.s_next_pair_id, one.ptr()));
}

nb::object registry_lookup(PyObject* self, PyObject* table, PyObject* column) {
  Registry r = registry_of(self);
  nb::object key = glue::steal(PyTuple_Pack(2, table, column));
  PyObject* id = PyDict_GetItemWithError(r.name_to_id.ptr(), key.ptr());
  if (!id) {
    if (PyErr_Occurred()) glue::raise_current();
    return nb::object();
  }
  return nb::borrow(id);
}

nb::object registry_register(PyObject* self, PyObject* table, PyObject* column, bool prot) {
  Registry r = registry_of(self);
  nb::object key = glue::steal(PyTuple_Pack(2, table, column));
  PyObject* found = PyDict_GetItemWithError(r.name_to_id.ptr(), key.ptr());
  if (found) {
    nb::object id = nb::borrow(found);
    if (prot) glue::ok(PySet_Add(r.protected_ids.ptr(), id.ptr()));
    return id;
  }
  if (PyErr_Occurred()) glue::raise_current();

  // A fresh id: the stored counter, but never one that is already in use
  // (the dicts are public and may have been filled by hand).
  uint64_t next = 1;
  {
    PyObject** dictptr = _PyObject_GetDictPtr(self);
    PyObject* n = (dictptr && *dictptr) ? PyDict_GetItemWithError(*dictptr, g.s_next_pair_id) : nullptr;
    if (!n && PyErr_Occurred()) glue::raise_current();
    if (n && PyLong_Check(n)) {
      int overflow = 0;
      long long v = PyLong_AsLongLongAndOverflow(n, &overflow);
      if (v == -1 && PyErr_Occurred()) glue::raise_current();
      next = overflow ? 0x100000000ull : (v < 1 ? 1 : (uint64_t) v);
    }
  }
  nb::object id;
  for (;; ++next) {
    if (next > 0xFFFFFFFFull) glue::raise(PyExc_OverflowError, msg::REGISTRY_FULL);
    id = py_u32((uint32_t) next);
    int used = PyDict_Contains(r.id_to_name.ptr(), id.ptr());
    glue::ok(used);
    if (!used) break;
  }
  nb::object after = glue::steal(PyLong_FromUnsignedLongLong(next + 1));
  glue::ok(PyDict_SetItem(r.name_to_id.ptr(), key.ptr(), id.ptr()));
  glue::ok(PyDict_SetItem(r.id_to_name.ptr(), id.ptr(), key.ptr()));
  if (prot) glue::ok(PySet_Add(r.protected_ids.ptr(), id.ptr()));
  glue::ok(PyObject_SetAttr(self, g.s_next_pair_id, after.ptr()));
  if (g.log.enabled(glue::Logger::DEBUG))
    g.log.debug(msg::LOG_REGISTERED, nb::handle(id), nb::handle(table), nb::handle(column),
                nb::bool_(prot));
  return id;
}

std::vector<uint32_t> value_pairs(PyObject* self, uint32_t p, bool& exact) {
  std::vector<uint32_t> out;
  Sources s = sources_of(p);
  exact = !s.bloom;
  if (exact) {
    for (uint64_t b = s.small; b; b &= b - 1) out.push_back((uint32_t) std::countr_zero(b));
    for (int i = 0; i < s.nbig; ++i) out.push_back(s.big[i]);
    std::sort(out.begin(), out.end());
    return out;
  }
  // Bloom: every registered pair whose two bits are set.
  Registry r = registry_of(self);
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(r.id_to_name.ptr(), &pos, &key, &value)) {
    if (!PyLong_Check(key)) continue;
    int overflow = 0;
    long long id = PyLong_AsLongLongAndOverflow(key, &overflow);
    if (id == -1 && PyErr_Occurred()) glue::raise_current();
    if (overflow || id < 1 || id > 0xFFFFFFFFll) continue;
    uint32_t bits = bloom_bits((uint32_t) id);
    if ((s.field & bits) == bits) out.push_back((uint32_t) id);
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

}  // namespace tessel32
