// ProvenanceTracker: a plain Python class (so that Python-level and
// ClassBuilder-made subclasses get an instance __dict__ and weak references)
// whose methods are C++ functions over the pure operations of bits.h.
#include <algorithm>
#include <string>

#include "tessel32/bits.h"
#include "tessel32/messages.h"
#include "tessel32/tessel32.h"

namespace tessel32 {
namespace {

using glue::Call;
using glue::Signature;

bool truth(PyObject* v) { return glue::truthy(v); }

// Positional-only fast path for the per-element methods: one or two values
// and an op code, no keyword parsing unless keywords were given.
template <size_t N>
void parse_n(const Signature& sig, const Call& c, PyObject** out) {
  if (!c.kwnames && c.nargs == (Py_ssize_t) N) {
    for (size_t i = 0; i < N; ++i) out[i] = c.args[i];
    return;
  }
  glue::parse(sig, c, out);
}

nb::object t_init(const Call& c) {
  static const Signature sig{"ProvenanceTracker.__init__", {}, 0};
  PyObject* a[1];
  glue::parse(sig, c, a);
  registry_init(c.self);
  return nb::none();
}

nb::object t_repr(const Call& c) {
  static const Signature sig{"ProvenanceTracker.__repr__", {}, 0};
  PyObject* a[1];
  glue::parse(sig, c, a);
  PyObject** dictptr = _PyObject_GetDictPtr(c.self);
  PyObject* n2i = (dictptr && *dictptr) ? PyDict_GetItemWithError(*dictptr, g.s_name_to_id) : nullptr;
  if (!n2i && PyErr_Occurred()) glue::raise_current();
  Py_ssize_t n = (n2i && PyDict_Check(n2i)) ? PyDict_Size(n2i) : 0;
  return glue::steal(PyUnicode_FromFormat("<%s with %zd registered pairs>", Py_TYPE(c.self)->tp_name, n));
}

// Parse a call whose first two arguments are the (table, column) pair.
void parse_pair(const Signature& sig, const Call& c, PyObject** a) {
  glue::parse(sig, c, a);
  glue::check_str(a[0], "table");
  glue::check_str(a[1], "column");
}

nb::object t_register(const Call& c) {
  static const Signature sig{"ProvenanceTracker.register", {"table", "column", "protected"}, 2};
  PyObject* a[3];
  parse_pair(sig, c, a);
  bool prot = a[2] ? truth(a[2]) : false;
  return registry_register(c.self, a[0], a[1], prot);
}

nb::object t_get_id(const Call& c) {
  static const Signature sig{"ProvenanceTracker.get_id", {"table", "column"}, 2};
  PyObject* a[2];
  parse_pair(sig, c, a);
  nb::object id = registry_lookup(c.self, a[0], a[1]);
  if (id.is_valid()) return id;
  return registry_register(c.self, a[0], a[1], false);
}

nb::object t_is_protected(const Call& c) {
  static const Signature sig{"ProvenanceTracker.is_protected", {"table", "column"}, 2};
  PyObject* a[2];
  parse_pair(sig, c, a);
  nb::object id = registry_lookup(c.self, a[0], a[1]);
  if (!id.is_valid()) return nb::bool_(false);
  Registry r = registry_of(c.self);
  int has = PySet_Contains(r.protected_ids.ptr(), id.ptr());
  glue::ok(has);
  return nb::bool_(has == 1);
}

nb::object t_entity_from_row(const Call& c) {
  static const Signature sig{"ProvenanceTracker.entity_from_row", {"label"}, 1};
  PyObject* a[1];
  glue::parse(sig, c, a);
  return py_u32(hash_entity(a[0]) & ENTITY_MAX);
}

nb::object t_encode(const Call& c) {
  static const Signature sig{"ProvenanceTracker.encode", {"ids", "entity", "chain", "taint", "depth"}, 1};
  PyObject* a[5];
  glue::parse(sig, c, a);
  std::vector<uint32_t> ids = arg_ids(a[0]);
  auto small = [](PyObject* v, const char* name, long long hi, const char* fmt) -> uint32_t {
    if (!v) return 0;
    nb::object i = glue::to_int(v, name);
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
    if (x == -1 && !overflow && PyErr_Occurred()) glue::raise_current();
    if (overflow > 0 && hi < 0) return DEPTH_MAX;  // depth: saturates
    if (overflow || x < 0 || (hi >= 0 && x > hi)) glue::raise(PyExc_ValueError, fmt, i.ptr());
    return (uint32_t) std::min<long long>(x, 0xFFFFFFFFll);
  };
  uint32_t entity = small(a[1], "entity", ENTITY_MAX, msg::ENTITY_RANGE);
  uint32_t chain = small(a[2], "chain", CHAIN_MASK, msg::CHAIN_RANGE);
  bool taint = a[3] ? truth(a[3]) : false;
  uint32_t depth = small(a[4], "depth", -1, msg::DEPTH_RANGE);
  return py_u32(encode(ids.data(), ids.size(), entity, chain, taint, depth));
}

nb::object decoded(PyObject* self, uint32_t p) {
  bool exact = true;
  std::vector<uint32_t> ids = value_pairs(self, p, exact);
  nb::object pairs = glue::steal(PyTuple_New((Py_ssize_t) ids.size()));
  for (size_t i = 0; i < ids.size(); ++i)
    PyTuple_SET_ITEM(pairs.ptr(), (Py_ssize_t) i, py_u32(ids[i]).release().ptr());
  nb::object mode = py_u32(mode_of(p)), depth = py_u32(depth_of(p));
  nb::object entity = py_u32(entity_of(p)), chain = py_u32(chain_of(p));
  return glue::steal(PyObject_CallFunctionObjArgs(
      g.decoded_type, mode.ptr(), taint_of(p) ? Py_True : Py_False, depth.ptr(), pairs.ptr(),
      entity.ptr(), chain.ptr(), exact ? Py_True : Py_False, nullptr));
}

nb::object t_decode_full(const Call& c) {
  static const Signature sig{"ProvenanceTracker.decode_full", {"p"}, 1};
  PyObject* a[1];
  glue::parse(sig, c, a);
  return decoded(c.self, arg_prov(a[0], "p"));
}

nb::object t_combine(const Call& c) {
  static const Signature sig{"ProvenanceTracker.combine", {"pa", "pb", "op"}, 3};
  PyObject* a[3];
  parse_n<3>(sig, c, a);
  uint32_t pa = arg_prov(a[0], "pa"), pb = arg_prov(a[1], "pb");
  return py_u32(combine(pa, pb, arg_op(a[2], "op")));
}

nb::object t_update_chain(const Call& c) {
  static const Signature sig{"ProvenanceTracker.update_chain", {"p", "op"}, 2};
  PyObject* a[2];
  parse_n<2>(sig, c, a);
  uint32_t p = arg_prov(a[0], "p");
  return py_u32(update_chain(p, arg_op(a[1], "op")));
}

nb::object s_is_tainted(const Call& c) {
  static const Signature sig{"ProvenanceTracker.is_tainted", {"p"}, 1};
  PyObject* a[1];
  parse_n<1>(sig, c, a);
  return nb::bool_(is_tainted(arg_prov(a[0], "p")));
}

nb::object s_risk_score(const Call& c) {
  static const Signature sig{"ProvenanceTracker.risk_score", {"p"}, 1};
  PyObject* a[1];
  parse_n<1>(sig, c, a);
  return glue::steal(PyFloat_FromDouble(risk_score(arg_prov(a[0], "p"))));
}

nb::object s_get_mode(const Call& c) {
  static const Signature sig{"ProvenanceTracker.get_mode", {"p"}, 1};
  PyObject* a[1];
  glue::parse(sig, c, a);
  return py_u32(mode_of(arg_prov(a[0], "p")));
}

/// "table.column" of a pair id, or "#<id>" for an id this tracker does not know.
nb::object pair_name(const Registry& r, uint32_t id, bool table_only) {
  nb::object key = py_u32(id);
  PyObject* name = PyDict_GetItemWithError(r.id_to_name.ptr(), key.ptr());
  if (!name && PyErr_Occurred()) glue::raise_current();
  if (!name || !PyTuple_Check(name) || PyTuple_GET_SIZE(name) != 2)
    return glue::steal(PyUnicode_FromFormat("#%lu", (unsigned long) id));
  nb::object keep = nb::borrow(name);
  if (table_only) return glue::steal(PyObject_Str(PyTuple_GET_ITEM(name, 0)));
  return glue::steal(PyUnicode_FromFormat("%S.%S", PyTuple_GET_ITEM(name, 0), PyTuple_GET_ITEM(name, 1)));
}

nb::object explain_impl(const Call& c, const Signature& sig, bool tables) {
  PyObject* a[1];
  glue::parse(sig, c, a);
  uint32_t p = arg_prov(a[0], "p");
  bool exact = true;
  std::vector<uint32_t> ids = value_pairs(c.self, p, exact);
  Registry r = registry_of(c.self);
  nb::object out = glue::steal(PyList_New(0));
  nb::object mark = glue::steal(PyUnicode_FromString("?"));
  for (uint32_t id : ids) {
    nb::object name = pair_name(r, id, tables);
    if (!exact) name = glue::steal(PyUnicode_Concat(name.ptr(), mark.ptr()));
    if (tables) {
      int has = PySequence_Contains(out.ptr(), name.ptr());
      glue::ok(has);
      if (has) continue;
    }
    glue::ok(PyList_Append(out.ptr(), name.ptr()));
  }
  if (tables) glue::ok(PyList_Sort(out.ptr()));
  return out;
}

nb::object t_explain(const Call& c) {
  static const Signature sig{"ProvenanceTracker.explain", {"p"}, 1};
  return explain_impl(c, sig, false);
}

nb::object t_explain_tables(const Call& c) {
  static const Signature sig{"ProvenanceTracker.explain_tables", {"p"}, 1};
  return explain_impl(c, sig, true);
}

nb::object t_has_protected(const Call& c) {
  static const Signature sig{"ProvenanceTracker.has_protected", {"p"}, 1};
  PyObject* a[1];
  glue::parse(sig, c, a);
  uint32_t p = arg_prov(a[0], "p");
  bool exact = true;
  std::vector<uint32_t> ids = value_pairs(c.self, p, exact);
  Registry r = registry_of(c.self);
  for (uint32_t id : ids) {
    nb::object key = py_u32(id);
    int has = PySet_Contains(r.protected_ids.ptr(), key.ptr());
    glue::ok(has);
    if (has) return nb::bool_(true);
  }
  return nb::bool_(false);
}

PyMethodDef tracker_methods[] = {
    GLUE_METHOD("__init__", t_init, msg::INIT_DOC),
    GLUE_METHOD("__repr__", t_repr, msg::REPR_DOC),
    GLUE_METHOD("register", t_register, msg::REGISTER_DOC),
    GLUE_METHOD("get_id", t_get_id, msg::GET_ID_DOC),
    GLUE_METHOD("is_protected", t_is_protected, msg::IS_PROTECTED_DOC),
    GLUE_METHOD("entity_from_row", t_entity_from_row, msg::ENTITY_FROM_ROW_DOC),
    GLUE_METHOD("encode", t_encode, msg::ENCODE_DOC),
    GLUE_METHOD("decode_full", t_decode_full, msg::DECODE_FULL_DOC),
    GLUE_METHOD("combine", t_combine, msg::COMBINE_DOC),
    GLUE_METHOD("update_chain", t_update_chain, msg::UPDATE_CHAIN_DOC),
    GLUE_METHOD("explain", t_explain, msg::EXPLAIN_DOC),
    GLUE_METHOD("explain_tables", t_explain_tables, msg::EXPLAIN_TABLES_DOC),
    GLUE_METHOD("has_protected", t_has_protected, msg::HAS_PROTECTED_DOC),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef tracker_static[] = {
    GLUE_METHOD("is_tainted", s_is_tainted, msg::IS_TAINTED_DOC),
    GLUE_METHOD("risk_score", s_risk_score, msg::RISK_SCORE_DOC),
    GLUE_METHOD("get_mode", s_get_mode, msg::GET_MODE_DOC),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

nb::object make_tracker_class(nb::handle module) {
  nb::object bases = glue::steal(PyTuple_Pack(1, (PyObject*) &PyBaseObject_Type));
  glue::ClassBuilder b(module, "ProvenanceTracker", bases, msg::TRACKER_DOC);
  nb::object cls = b.create();
  b.methods(tracker_methods);
  b.staticmethods(tracker_static);
  return cls;
}

}  // namespace tessel32
