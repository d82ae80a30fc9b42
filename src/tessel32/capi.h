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
// api->combine_attr etc., so that a caller can check once per operation that
// neither a subclass nor the instance has replaced them (glue::not_overridden).
#pragma once

#include <Python.h>
#include <cstdint>

#define TESSEL32_CAPI_NAME "corvanti.utilities.tessel32._C_API"
#define TESSEL32_CAPI_VERSION 3  // 2: encode, hash_entity, hash_entity_i64 appended; 3: the *_many loops

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

  // ---- appended: value construction and row-label entities ------------------
  /// ProvenanceTracker.encode(ids, entity, chain, taint, depth) for ids that
  /// are already checked (each >= 1), entity <= 255 and chain <= 63; depth
  /// saturates at 7.
  uint32_t (*encode)(const uint32_t* ids, size_t n, uint32_t entity, uint32_t chain, int taint, uint32_t depth);
  /// _hash_entity(label): 0 on success (hash in *out), -1 with a Python
  /// error set. entity_from_row(label) is this hash & 255.
  int (*hash_entity)(PyObject* label, uint32_t* out);
  /// _hash_entity of an int label given as a C integer (no Python object).
  uint32_t (*hash_entity_i64)(int64_t label);
  /// Borrowed: ProvenanceTracker.__dict__["encode"] / ["entity_from_row"].
  PyObject* encode_attr;
  PyObject* entity_from_row_attr;

  // ---- appended: whole-array loops (one call per operation, not per element)
  /// out[i] = combine(pa[i], pb[i], op) for i < n.
  void (*combine_many)(const uint32_t* pa, const uint32_t* pb, uint32_t* out, size_t n, int op);
  /// out[i] = update_chain(p[i], op) for i < n.
  void (*update_chain_many)(const uint32_t* p, uint32_t* out, size_t n, int op);
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
