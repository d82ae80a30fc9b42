// The pandas side of the lineage engine: registration of the tracked Series
// and DataFrame classes and of the wrapping/audit functions, in module order.
#pragma once

#include <nanobind/nanobind.h>

namespace dag {
namespace nb = nanobind;

void register_tracked_series(nb::module_& m);  // tracked_series.cpp: DAGTrackedSeries
void register_tracked_frame(nb::module_& m);   // tracked_frame.cpp: DAGTrackedDataFrame
void register_wrap_audit(nb::module_& m);      // wrap_audit.cpp: combine_provenances, wrap_dataframe_dag,
                                               // get_dag_for_series, dag_audit
void register_rows_kernels(nb::module_& m);    // rows_kernels.cpp: kernels of the row-lineage mode

}  // namespace dag
