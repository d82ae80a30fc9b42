// DAGTracker.openlineage_events and ComputationDAG.to_openlineage: thin
// delegations to the pure-Python exporter corvanti.openlineage.
//
// The exporter is imported at call time, so this module imports without it;
// building events is dict work on finished graphs, nowhere near a hot path,
// so it stays in Python where it is readable. The arguments are checked here
// with the package's exact type rules before the exporter sees them.
#include <utility>

#include "glue/glue.h"
#include "tessel32_dag/engine/tracker.h"

namespace dag {

namespace {

constexpr const char* kExporter = "corvanti.openlineage";

/// exporter.<fn>(self, *args), absent optional arguments passed as None;
/// the result must be a list.
nb::object delegate(const char* fn, PyObject* self, PyObject* const* args, int n) {
  nb::object module = glue::steal(PyImport_ImportModule(kExporter));
  nb::object func = glue::steal(PyObject_GetAttrString(module.ptr(), fn));
  nb::object call_args = glue::steal(PyTuple_New(n + 1));
  PyTuple_SET_ITEM(call_args.ptr(), 0, Py_NewRef(self));
  for (int i = 0; i < n; ++i) PyTuple_SET_ITEM(call_args.ptr(), i + 1, Py_NewRef(args[i] ? args[i] : Py_None));
  nb::object result = glue::steal(PyObject_Call(func.ptr(), call_args.ptr(), nullptr));
  return glue::check_result_exact(std::move(result), &PyList_Type, "list");
}

}  // namespace

nb::object tracker_openlineage_events(const glue::Call& c) {
  static const glue::Signature sig{
      "DAGTracker.openlineage_events", {"namespace", "job_name", "run_id", "outputs"}, 1};
  PyObject* a[4];
  glue::parse(sig, c, a);
  glue::check_str(a[0], "namespace");
  if (a[1]) glue::check_str(a[1], "job_name", true);
  if (a[2]) glue::check_str(a[2], "run_id", true);
  if (a[3]) glue::check_dict(a[3], "outputs", true);
  return delegate("run_events", c.self, a, 4);
}

nb::object dag_to_openlineage(const glue::Call& c) {
  static const glue::Signature sig{
      "ComputationDAG.to_openlineage", {"namespace", "job_name", "run_id", "dataset", "field"}, 1};
  PyObject* a[5];
  glue::parse(sig, c, a);
  glue::check_str(a[0], "namespace");
  for (int i = 1; i < 5; ++i)
    if (a[i]) glue::check_str(a[i], sig.params[i], true);
  return delegate("dag_events", c.self, a, 5);
}

}  // namespace dag
