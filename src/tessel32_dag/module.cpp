// Module registration for corvanti.utilities.tessel32_dag: the import
// sequence, then the definitions in their public order.
#include "glue/glue.h"
#include "tessel32_dag/messages.h"
#include "tessel32_dag/engine/records.h"
#include "tessel32_dag/engine/registry.h"
#include "tessel32_dag/state.h"
#include "tessel32_dag/tracked/tracked.h"
#include "tessel32_dag/engine/tracker.h"
#include "tessel32_dag/engine/analysis.h"

namespace dag {
State S;

static void intern_names() {
#define INTERN(field, text) S.field = glue::intern(text)
  INTERN(s_nodes, "_nodes");
  INTERN(s_dag_lock, "_dag_lock");
  INTERN(s_writer, "_writer");
  INTERN(s_persist_node, "_persist_node");
  INTERN(s_is_tainted, "is_tainted");
  INTERN(s_risk_score, "risk_score");
  INTERN(s_combine, "combine");
  INTERN(s_update_chain, "update_chain");
  INTERN(s_acquire, "acquire");
  INTERN(s_release, "release");
  INTERN(s_node_type, "node_type");
  INTERN(s_is_protected, "is_protected");
  INTERN(s_operation, "operation");
  INTERN(s_inputs, "inputs");
  INTERN(s_provenance, "provenance");
  INTERN(s_column, "column");
  INTERN(s_table, "table");
  INTERN(s_node_id, "node_id");
  INTERN(s_to_dict, "to_dict");
  INTERN(s_dashboard_synced, "_dashboard_synced");
  INTERN(s_start_new_pipeline, "_start_new_pipeline");
  INTERN(s_source_nodes, "_source_nodes");
  INTERN(s_get_id, "get_id");
  INTERN(s_get_nodes_for_provenance, "get_nodes_for_provenance");
  INTERN(s_value_buffer, "_value_buffer");
  INTERN(s_value_buffer_lock, "_value_buffer_lock");
  INTERN(s_value_flush_threshold, "_value_flush_threshold");
  INTERN(s_write_row_values, "write_row_values");
  INTERN(s_pipeline_id, "_pipeline_id");
  INTERN(s_tenant_id, "_tenant_id");
  INTERN(s_flush, "flush");
  INTERN(s_disable_persistence, "disable_persistence");
  INTERN(s_enable_persistence, "enable_persistence");
  INTERN(s_storage, "_storage");
  INTERN(s_complete_pipeline, "complete_pipeline");
  INTERN(s_get_dag, "get_dag");
  INTERN(s_root_id, "root_id");
  INTERN(s_nodes_field, "nodes");
  INTERN(s_edges, "edges");
  INTERN(s_get_stats, "get_stats");
  INTERN(s_stop, "stop");
  INTERN(s_disconnect, "disconnect");
  INTERN(s_nodes_persisted, "_nodes_persisted");
  INTERN(s_create_node, "_create_node");
  INTERN(s_evict, "_evict_oldest_nodes");
  INTERN(s_log_binary, "log_binary");
  INTERN(s_log_unary, "log_unary");
  INTERN(s_record_row_value, "record_row_value");
#undef INTERN
}

static void init_module(nb::module_& m) {
  using namespace nb::literals;
  S.module = m.ptr();
  intern_names();
  m.attr("__doc__") = msg::MODULE_DOC;

  // 1-4: the standard library, numpy and pandas, in this order.
  nb::object dataclasses = nb::module_::import_("dataclasses");
  m.attr("dataclass") = dataclasses.attr("dataclass");
  m.attr("field") = dataclasses.attr("field");
  nb::object typing = nb::module_::import_("typing");
  for (const char* name : {"Dict", "Set", "List", "Tuple", "Optional", "Any", "FrozenSet"})
    m.attr(name) = typing.attr(name);
  nb::object enum_mod = nb::module_::import_("enum");
  m.attr("Enum") = enum_mod.attr("Enum");
  m.attr("auto") = enum_mod.attr("auto");
  nb::object json = nb::module_::import_("json");
  m.attr("json") = json;
  m.attr("logging") = nb::module_::import_("logging");
  nb::object threading = nb::module_::import_("threading");
  m.attr("threading") = threading;
  m.attr("np") = nb::module_::import_("numpy");
  m.attr("pd") = nb::module_::import_("pandas");
  S.json_dumps = glue::keep(json.attr("dumps"));
  S.threading_lock = glue::keep(threading.attr("Lock"));
  S.plain_lock_type = (PyTypeObject*) glue::keep(nb::borrow((PyObject*) Py_TYPE(threading.attr("Lock")().ptr())));
  S.plain_lock_locked = glue::keep(glue::steal(PyObject_GetAttrString((PyObject*) S.plain_lock_type, "locked")));
  S.s_locked = glue::intern("locked");

  // 5: the module logger.
  m.attr("logger") = m.attr("logging").attr("getLogger")(m.attr("__name__"));
  S.log.bind(m, "corvanti.utilities.tessel32_dag");

  // 6: the eight names of the TESSEL-32 base module.
  nb::object t32 = nb::module_::import_("corvanti.utilities.tessel32");
  for (const char* name : {"ProvenanceTracker", "TrackedSeries", "TrackedDataFrame", "OpCode", "MAX_PAIRS",
                           "MODE_01_ENTITY_BITS", "MODE_01_CHAIN_BITS", "_hash_entity"}) {
    if (!nb::hasattr(t32, name))
      glue::raise(PyExc_ImportError, msg::CANNOT_IMPORT_NAME, name);
    m.attr(name) = t32.attr(name);
  }
  S.t32 = tessel32_capi_import();
  if (!S.t32) glue::raise_current();

  // 7: definitions in order.
  nb::list members;
  for (int kind = SOURCE; kind < NODE_KIND_END; ++kind) members.append(NODE_KIND_NAMES[kind]);
  nb::object node_type = enum_mod.attr("Enum")("NodeType", members, "module"_a = m.attr("__name__"),
                                               "qualname"_a = "NodeType", "start"_a = (int) SOURCE);
  node_type.attr("__doc__") = msg::NODETYPE_DOC;
  m.attr("NodeType") = node_type;
  S.nodetype_enum = node_type.inc_ref().ptr();
  for (int kind = SOURCE; kind < NODE_KIND_END; ++kind) S.nt[kind] = node_type(kind).release().ptr();

  register_records(m);  // DAGNode, DAGEdge
  register_computation_dag(m);
  register_partial_dag(m);  // ComputationDAG.missing_ids
  register_rich_dot(m);     // ComputationDAG.to_dot
  register_registry(m);  // support types behind DAGTracker._nodes / _prov_to_nodes
  register_tracker(m, m.attr("ProvenanceTracker"));
  register_tracked_series(m);
  register_tracked_frame(m);
  register_wrap_audit(m);
  register_rows_kernels(m);
  register_bulk(m);
  register_persist(m);
}

}  // namespace dag

GLUE_MODULE(tessel32_dag, m) { dag::init_module(m); }
