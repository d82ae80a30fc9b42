// The native interface of corvanti.utilities.tessel32 for other extension
// modules: pure functions on provenance values, published as a capsule so
// that a caller's per-element loop needs no Python call.
//
// Use:
//   const Tessel32CAPI* api = tessel32_capi_import();   // once, at module init
//   uint32_t p = api->combine(pa, pb, op);
//
// Callers must still honour Python-level overrides: api->base_type is the
// ProvenanceTracker class, and the per-value methods found on it are in
// api->combine_attr etc., so that a caller can check with one type lookup per
// operation that a subclass has not replaced them (glue::not_overridden).
#pragma once

#include <Python.h>
#include <cstdint>

#define TESSEL32_CAPI_NAME "corvanti.utilities.tessel32._C_API"
#define TESSEL32_CAPI_VERSION 1

struct Tessel32CAPI {
  uint32_t version;  ///< TESSEL32_CAPI_VERSION
  /// ProvenanceTracker.combine(pa, pb, op) for an op code given as int.
  uint32_t (*combine)(uint32_t pa, uint32_t pb, int op);
  /// ProvenanceTracker.update_chain(p, op).
  uint32_t (*update_chain)(uint32_t p, int op);
  /// ProvenanceTracker.is_tainted(p) (0 or 1).
  int (*is_tainted)(uint32_t p);
  /// ProvenanceTracker.risk_score(p).
  double (*risk_score)(uint32_t p);
  /// Borrowed: the ProvenanceTracker class.
  PyObject* base_type;
  /// Borrowed: the objects found in ProvenanceTracker.__dict__ under these
  /// names (compare with _PyType_Lookup(type(obj), name) to detect overrides).
  PyObject* combine_attr;
  PyObject* update_chain_attr;
  PyObject* is_tainted_attr;
  PyObject* risk_score_attr;
};

/// Import the module and fetch its table; nullptr with a Python error set on
/// failure.
static inline const Tessel32CAPI* tessel32_capi_import() {
  auto* api = (const Tessel32CAPI*) PyCapsule_Import(TESSEL32_CAPI_NAME, 0);
  if (api && api->version != TESSEL32_CAPI_VERSION) {
    PyErr_SetString(PyExc_ImportError, "corvanti.utilities.tessel32: native interface version mismatch");
    return nullptr;
  }
  return api;
}
