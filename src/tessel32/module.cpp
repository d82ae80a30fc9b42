// Module registration for corvanti.utilities.tessel32: globals in order
// (logger, OpCode, layout constants, _hash_entity, DecodedProvenance,
// ProvenanceTracker, TrackedSeries, TrackedDataFrame) and the native
// interface capsule.
#include "tessel32/bits.h"
#include "tessel32/capi.h"
#include "tessel32/messages.h"
#include "tessel32/tessel32.h"

namespace tessel32 {
namespace {

using glue::Call;
using glue::Signature;

uint32_t capi_combine(uint32_t pa, uint32_t pb, int op) { return combine(pa, pb, (uint32_t) op); }
uint32_t capi_update_chain(uint32_t p, int op) { return update_chain(p, (uint32_t) op); }
int capi_is_tainted(uint32_t p) { return is_tainted(p) ? 1 : 0; }
double capi_risk_score(uint32_t p) { return risk_score(p); }
uint32_t capi_encode(const uint32_t* ids, size_t n, uint32_t entity, uint32_t chain, int taint, uint32_t depth) {
  return encode(ids, n, entity, chain, taint != 0, depth);
}
int capi_hash_entity(PyObject* label, uint32_t* out) {
  try {
    *out = hash_entity(label);
    return 0;
  } GLUE_CATCH_ALL {
    glue::restore_current_exception();
    return -1;
  }
}
uint32_t capi_hash_entity_i64(int64_t label) { return hash_entity_i64(label); }
void capi_combine_many(const uint32_t* pa, const uint32_t* pb, uint32_t* out, size_t n, int op) {
  for (size_t i = 0; i < n; ++i) out[i] = combine(pa[i], pb[i], (uint32_t) op);
}
void capi_update_chain_many(const uint32_t* p, uint32_t* out, size_t n, int op) {
  for (size_t i = 0; i < n; ++i) out[i] = update_chain(p[i], (uint32_t) op);
}

Tessel32CAPI capi_table{};

nb::object f_hash_entity(const Call& c) {
  static const Signature sig{"_hash_entity", {"label"}, 1};
  PyObject* a[1];
  glue::parse(sig, c, a);
  return py_u32(hash_entity(a[0]));
}

PyMethodDef module_functions[] = {
    GLUE_METHOD("_hash_entity", f_hash_entity, msg::HASH_ENTITY_DOC),
    {nullptr, nullptr, 0, nullptr},
};

void set(nb::handle m, const char* name, nb::handle v) { glue::ok(PyObject_SetAttrString(m.ptr(), name, v.ptr())); }

using glue::intern;

nb::object make_opcode(nb::handle m) {
  static const std::pair<const char*, int> members[] = {
      {"ADD", 1},  {"SUB", 2},   {"MUL", 3},    {"DIV", 4},  {"NEG", 5},    {"CMP", 6},
      {"CLIP", 7}, {"FILL", 8},  {"MAP", 9},    {"MERGE", 10}, {"AGG", 11}, {"CUSTOM", 15},
  };
  nb::list items;
  for (auto& [name, value] : members) items.append(nb::make_tuple(name, value));
  nb::object int_enum = nb::module_::import_("enum").attr("IntEnum");
  nb::object cls = int_enum("OpCode", items, nb::arg("module") = m.attr("__name__"),
                            nb::arg("qualname") = "OpCode");
  cls.attr("__doc__") = "Op codes of tracked operations; they drive the chain hash of provenance values.";
  return cls;
}

nb::object make_decoded(nb::handle m) {
  nb::object nt = nb::module_::import_("collections").attr("namedtuple");
  nb::object cls = nt("DecodedProvenance",
                      nb::make_tuple("mode", "taint", "depth", "pairs", "entity", "chain", "exact"),
                      nb::arg("module") = m.attr("__name__"));
  cls.attr("__doc__") =
      "A decoded provenance value: mode, taint flag, depth, the sorted tuple of source pair ids\n"
      "(for mode 3 the registered pairs that may be sources), entity tag, chain hash, and\n"
      "whether pairs is exact.";
  return cls;
}

void init(nb::module_& m) {
  g.module = m.ptr();
  g.s_name_to_id = intern("_name_to_id");
  g.s_id_to_name = intern("_id_to_name");
  g.s_protected_ids = intern("_protected_ids");
  g.s_next_pair_id = intern("_next_pair_id");
  nb::object dt = nb::module_::import_("datetime");
  g.datetime_type = glue::keep(dt.attr("datetime"));
  g.date_type = glue::keep(dt.attr("date"));

  set(m, "__doc__", nb::str(msg::MODULE_DOC));
  set(m, "logger", nb::module_::import_("logging").attr("getLogger")(m.attr("__name__")));
  g.log.bind(m, "corvanti.utilities.tessel32");

  set(m, "OpCode", make_opcode(m));
  set(m, "MAX_PAIRS", nb::int_(MAX_PAIRS));
  set(m, "MODE_01_ENTITY_BITS", nb::int_(ENTITY_BITS));
  set(m, "MODE_01_CHAIN_BITS", nb::int_(CHAIN_BITS));
  set(m, "MAX_DEPTH", nb::int_((int) DEPTH_MAX));
  set(m, "MODE_SINGLE", nb::int_((int) MODE_SINGLE));
  set(m, "MODE_PAIR", nb::int_((int) MODE_PAIR));
  set(m, "MODE_SET", nb::int_((int) MODE_SET));
  set(m, "MODE_BLOOM", nb::int_((int) MODE_BLOOM));
  glue::ok(PyModule_AddFunctions(m.ptr(), module_functions));

  nb::object decoded = make_decoded(m);
  g.decoded_type = decoded.inc_ref().ptr();
  set(m, "DecodedProvenance", decoded);

  nb::object tracker = make_tracker_class(m);
  g.tracker_type = tracker.inc_ref().ptr();
  set(m, "ProvenanceTracker", tracker);

  add_tracked_classes(m);

  // The native interface. The class and its methods live as long as the
  // module (g.tracker_type holds a reference), so borrowed pointers are safe.
  PyObject* tdict = ((PyTypeObject*) g.tracker_type)->tp_dict;
  auto lookup = [&](const char* name) {
    PyObject* v = PyDict_GetItemString(tdict, name);
    GLUE_INVARIANT(v != nullptr, "ProvenanceTracker method missing");
    return v;
  };
  capi_table.version = TESSEL32_CAPI_VERSION;
  capi_table.combine = capi_combine;
  capi_table.update_chain = capi_update_chain;
  capi_table.is_tainted = capi_is_tainted;
  capi_table.risk_score = capi_risk_score;
  capi_table.base_type = g.tracker_type;
  capi_table.combine_attr = lookup("combine");
  capi_table.update_chain_attr = lookup("update_chain");
  capi_table.is_tainted_attr = lookup("is_tainted");
  capi_table.risk_score_attr = lookup("risk_score");
  capi_table.encode = capi_encode;
  capi_table.hash_entity = capi_hash_entity;
  capi_table.hash_entity_i64 = capi_hash_entity_i64;
  capi_table.encode_attr = lookup("encode");
  capi_table.entity_from_row_attr = lookup("entity_from_row");
  capi_table.combine_many = capi_combine_many;
  capi_table.update_chain_many = capi_update_chain_many;
  nb::object capsule = glue::steal(PyCapsule_New(&capi_table, TESSEL32_CAPI_NAME, nullptr));
  set(m, "_C_API", capsule);
}

}  // namespace
}  // namespace tessel32

GLUE_MODULE(tessel32, m) { tessel32::init(m); }
