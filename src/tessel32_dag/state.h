// Module-wide state of corvanti.utilities.tessel32_dag, shared by its files.
//
// One instance per process (the module is single-phase and never unloaded);
// every field is a strong reference taken at import and deliberately kept for
// the life of the process.
#pragma once

#include <nanobind/nanobind.h>

#include "glue/log.h"
#include "tessel32/capi.h"

namespace dag {
namespace nb = nanobind;

/// NodeType member values, in declaration order.
enum NodeKind : int { SOURCE = 1, CONSTANT, UNARY, BINARY, AGGREGATE, MERGE, FILTER, CUSTOM, NODE_KIND_END };

/// NodeType member names, indexed by NodeKind.
inline constexpr const char* NODE_KIND_NAMES[NODE_KIND_END] = {
    nullptr, "SOURCE", "CONSTANT", "UNARY", "BINARY", "AGGREGATE", "MERGE", "FILTER", "CUSTOM"};

struct State {
  PyObject* module = nullptr;          ///< the module object (borrowed: it owns us)
  glue::Logger log;                    ///< the module's `logger`
  const Tessel32CAPI* t32 = nullptr;   ///< native TESSEL-32 operations

  // Types defined by this module.
  PyTypeObject* node_type = nullptr;      ///< DAGNode
  PyTypeObject* edge_type = nullptr;      ///< DAGEdge
  PyTypeObject* registry_type = nullptr;  ///< the node registry behind DAGTracker._nodes
  PyTypeObject* provview_type = nullptr;  ///< the view behind DAGTracker._prov_to_nodes
  PyObject* nodetype_enum = nullptr;      ///< NodeType
  PyObject* computation_dag = nullptr;    ///< ComputationDAG
  PyObject* tracker_type = nullptr;       ///< DAGTracker

  // NodeType members, indexed by NodeKind.
  PyObject* nt[NODE_KIND_END] = {};

  // Imported modules / objects used at run time.
  PyObject* json_dumps = nullptr;        ///< json.dumps
  PyObject* threading_lock = nullptr;    ///< threading.Lock
  PyTypeObject* plain_lock_type = nullptr;  ///< type(threading.Lock())
  PyObject* plain_lock_locked = nullptr;    ///< its `locked` method (the class's descriptor)
  PyObject* s_locked = nullptr;          ///< "locked"

  // Interned attribute names.
  PyObject *s_nodes, *s_dag_lock, *s_writer, *s_persist_node, *s_is_tainted, *s_risk_score, *s_combine,
      *s_update_chain, *s_acquire, *s_release, *s_node_type, *s_is_protected, *s_operation, *s_inputs,
      *s_provenance, *s_column, *s_table, *s_node_id, *s_to_dict, *s_dashboard_synced, *s_start_new_pipeline,
      *s_source_nodes, *s_get_id, *s_get_nodes_for_provenance, *s_value_buffer, *s_value_buffer_lock,
      *s_value_flush_threshold, *s_write_row_values, *s_pipeline_id, *s_tenant_id, *s_flush,
      *s_disable_persistence, *s_enable_persistence, *s_storage, *s_complete_pipeline, *s_get_dag, *s_root_id,
      *s_nodes_field, *s_edges, *s_get_stats, *s_stop, *s_disconnect, *s_nodes_persisted, *s_create_node,
      *s_evict, *s_log_binary, *s_log_unary, *s_record_row_value;

  // DAGTracker's own methods (borrowed from its class dict), to tell an
  // override from the original.
  PyObject *d_create_node = nullptr, *d_evict = nullptr, *d_log_binary = nullptr, *d_log_unary = nullptr,
           *d_record_row_value = nullptr;
};

extern State S;

}  // namespace dag
