// corvanti.wrapper: the registration functions of each concern, called by
// module.cpp in this order.
#pragma once

#include <nanobind/nanobind.h>

namespace wrapper {
namespace nb = nanobind;

void register_serialize(nb::module_& m);  // serialize.cpp: JSON pair, sanitisers, _serialize, hashes
void register_http(nb::module_& m);       // http.cpp: _post_json, _patch_json
void register_rows(nb::module_& m);       // rows.cpp: _cn, _rc, _trd, _fo, _gs, _rh
void register_sync(nb::module_& m);       // sync.cpp: _sync_prov
void register_registry(nb::module_& m);   // registry.cpp: _ProvenanceRegistry, _registry
void register_predict(nb::module_& m);    // predict.cpp: _resolve_inputs, _run_local_predict

}  // namespace wrapper
