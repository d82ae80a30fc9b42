// Persistence methods of DAGTracker. This file holds the memory-only road
// (no writer, no storage); the streaming and bulk paths build on the
// corvanti.utilities.persistence package.
#include "tessel32_dag/messages.h"
#include "tessel32_dag/state.h"
#include "tessel32_dag/engine/tracker.h"

namespace dag {

static nb::object not_yet(const char* what) {
  glue::raise(PyExc_NotImplementedError, "%s needs the corvanti persistence package support, not built yet", what);
}

nb::object tracker_enable_persistence(const glue::Call& c) {
  static const glue::Signature sig{"DAGTracker.enable_persistence", {}, 0};
  glue::parse(sig, c, nullptr);
  // Without the persistence package this raises ImportError, which reaches
  // the caller (a tracker with an API key cannot be created without it).
  nb::object pkg = nb::module_::import_("corvanti.utilities.persistence");
  (void) pkg.attr("HostedStorage");
  (void) pkg.attr("AsyncWriter");
  (void) pkg.attr("WriterConfig");
  return not_yet("enable_persistence");
}

nb::object tracker_disable_persistence(const glue::Call& c) {
  static const glue::Signature sig{"DAGTracker.disable_persistence", {}, 0};
  glue::parse(sig, c, nullptr);
  if (truthy(self_attr(c.self, S.s_writer)) || truthy(self_attr(c.self, S.s_storage)))
    return not_yet("disable_persistence with an active writer");
  glue::ok(PyObject_SetAttr(c.self, S.s_pipeline_id, Py_None));
  return nb::none();
}

nb::object tracker_flush(const glue::Call& c) {
  static const glue::Signature sig{"DAGTracker.flush", {"timeout"}, 0};
  PyObject* a[1];
  glue::parse(sig, c, a);
  if (a[0]) (void) glue::to_double(a[0]);
  if (truthy(self_attr(c.self, S.s_writer))) return not_yet("flush with an active writer");
  return nb::bool_(true);
}

nb::object tracker_sync_to_dashboard(const glue::Call&) { return not_yet("_sync_to_dashboard"); }
nb::object tracker_persist_dag_to_storage(const glue::Call&) { return not_yet("_persist_dag_to_storage"); }

nb::object tracker_get_persistence_stats(const glue::Call& c) {
  static const glue::Signature sig{"DAGTracker.get_persistence_stats", {}, 0};
  glue::parse(sig, c, nullptr);
  if (!truthy(self_attr(c.self, S.s_writer))) return nb::none();
  return not_yet("get_persistence_stats with an active writer");
}

nb::object tracker_persist_to_storage(const glue::Call&) { return not_yet("persist_to_storage"); }
nb::object tracker_persist_results(const glue::Call&) { return not_yet("persist_results"); }
nb::object tracker_persist_node(const glue::Call&) { return not_yet("_persist_node"); }

nb::object tracker_start_new_pipeline(const glue::Call& c) {
  static const glue::Signature sig{"DAGTracker._start_new_pipeline", {}, 0};
  glue::parse(sig, c, nullptr);
  if (truthy(self_attr(c.self, S.s_storage))) return not_yet("_start_new_pipeline with storage");
  return nb::none();
}

}  // namespace dag
