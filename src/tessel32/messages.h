// User-visible texts of corvanti.utilities.tessel32 (messages and docstrings).
#pragma once

namespace tessel32::msg {

// ---- errors ------------------------------------------------------------------
inline constexpr const char* PROV_RANGE = "%s must be a provenance value in 0..4294967295, got %R";
inline constexpr const char* OP_RANGE = "%s must be an op code in 0..2147483647, got %R";
inline constexpr const char* PAIR_RANGE = "pair id must be in 1..4294967295, got %R";
inline constexpr const char* ENTITY_RANGE = "entity must be in 0..255, got %R";
inline constexpr const char* CHAIN_RANGE = "chain must be in 0..63, got %R";
inline constexpr const char* DEPTH_RANGE = "depth must be >= 0, got %R";
inline constexpr const char* IDS_TYPE = "ids must be an iterable of pair ids, not %.200s";
inline constexpr const char* NO_REGISTRY =
    "%.200s object has no pair registry (ProvenanceTracker.__init__() was not called)";
inline constexpr const char* REGISTRY_TYPE = "%.200s.%s must be a %s, not %.200s";
inline constexpr const char* REGISTRY_FULL = "no pair id left: 4294967295 pairs are registered";
inline constexpr const char* PROV_LENGTH = "%s has %zd entries but the data has %zd rows";
inline constexpr const char* SETITEM_ARGS = "__setitem__ expected 2 arguments, got %zd";

// ---- log lines ---------------------------------------------------------------
inline constexpr const char* LOG_REGISTERED = "registered pair %d for %s.%s (protected=%s)";

// ---- docstrings --------------------------------------------------------------
inline constexpr const char* MODULE_DOC =
    "TESSEL-32 provenance values and the base provenance tracker.\n\n"
    "Every data element carries an unsigned 32-bit provenance value whose header holds a\n"
    "taint flag (derived from protected data) and a saturating derivation depth, and whose\n"
    "body holds the set of source (table, column) pairs, an entity tag of the source row\n"
    "and a hash of the operation chain. 0 means that no provenance is known.";

inline constexpr const char* TRACKER_DOC =
    "Base TESSEL-32 provenance tracker.\n\n"
    "Keeps the registry of source (table, column) pairs of one pipeline and combines,\n"
    "chains, encodes, decodes and explains provenance values.";
inline constexpr const char* INIT_DOC = "__init__($self, /)\n--\n\nSet up an empty pair registry.";
inline constexpr const char* REPR_DOC = "__repr__($self, /)\n--\n\nReturn repr(self).";
inline constexpr const char* REGISTER_DOC =
    "register($self, /, table, column, protected=False)\n--\n\n"
    "Register a source column and return its pair id.\n\n"
    "Registering a known pair returns its id; protection is never lowered.";
inline constexpr const char* GET_ID_DOC =
    "get_id($self, /, table, column)\n--\n\n"
    "Return the pair id of a source column, registering it if needed.";
inline constexpr const char* IS_PROTECTED_DOC =
    "is_protected($self, /, table, column)\n--\n\n"
    "Whether a source column is registered as protected.";
inline constexpr const char* ENTITY_FROM_ROW_DOC =
    "entity_from_row($self, /, label)\n--\n\n"
    "Entity tag of a row label: its stable hash masked to the entity bits.";
inline constexpr const char* ENCODE_DOC =
    "encode($self, /, ids, entity=0, chain=0, taint=False, depth=0)\n--\n\n"
    "Build a provenance value from a set of pair ids and header fields.";
inline constexpr const char* DECODE_FULL_DOC =
    "decode_full($self, /, p)\n--\n\n"
    "Decode a provenance value into a DecodedProvenance.";
inline constexpr const char* COMBINE_DOC =
    "combine($self, /, pa, pb, op)\n--\n\n"
    "Provenance of a value computed from two values: union of the sources,\n"
    "taint OR, depth max + 1 (saturating), chain mixed with the op code.";
inline constexpr const char* UPDATE_CHAIN_DOC =
    "update_chain($self, /, p, op)\n--\n\n"
    "Provenance of a value computed from one value: depth + 1 (saturating),\n"
    "chain mixed with the op code.";
inline constexpr const char* IS_TAINTED_DOC =
    "is_tainted(p)\n--\n\nWhether the taint bit of a provenance value is set.";
inline constexpr const char* RISK_SCORE_DOC =
    "risk_score(p)\n--\n\nTaint times 1 / (1 + depth): 0.0 for untainted values.";
inline constexpr const char* GET_MODE_DOC =
    "get_mode(p)\n--\n\nThe mode of a provenance value (0 SINGLE, 1 PAIR, 2 SET, 3 BLOOM).";
inline constexpr const char* EXPLAIN_DOC =
    "explain($self, /, p)\n--\n\n"
    "Names (\"table.column\") of the source columns of a provenance value.\n\n"
    "Sources only possibly present (BLOOM mode) end with \"?\".";
inline constexpr const char* EXPLAIN_TABLES_DOC =
    "explain_tables($self, /, p)\n--\n\n"
    "Sorted names of the source tables of a provenance value.\n\n"
    "Tables only possibly present (BLOOM mode) end with \"?\".";
inline constexpr const char* HAS_PROTECTED_DOC =
    "has_protected($self, /, p)\n--\n\n"
    "Whether a (possible) source column of the value is registered as protected.";
inline constexpr const char* HASH_ENTITY_DOC =
    "_hash_entity(label)\n--\n\n"
    "Stable 32-bit hash of a row label, identical in every process.";

inline constexpr const char* SERIES_DOC = "Pandas Series carrying a TESSEL-32 provenance value per element.";
inline constexpr const char* FRAME_DOC =
    "Pandas DataFrame carrying TESSEL-32 provenance arrays per column.";

inline constexpr const char* PROV_DTYPE = "%s must hold provenance values (integers), got dtype %S";
inline constexpr const char* PROV_ARRAY_RANGE = "%s values must lie in 0..4294967295";
inline constexpr const char* PROV_NDIM = "%s must be one-dimensional, got %zd dimensions";
inline constexpr const char* COL_PROV_TYPE = "_col_prov must be a dict of column label to array, not %.200s";
inline constexpr const char* TS_INIT_DOC =
    "__init__($self, /, *args, _prov=None, _tracker=None, **kwargs)\n--\n\n"
    "Create the Series (all other arguments go to pandas.Series) with a copy of the given\n"
    "provenance values, or the provenance of a TrackedSeries passed as data, else zeros.";
inline constexpr const char* TF_INIT_DOC =
    "__init__($self, /, *args, _col_prov=None, _tracker=None, **kwargs)\n--\n\n"
    "Create the DataFrame (all other arguments go to pandas.DataFrame) with copies of the\n"
    "given per-column provenance arrays, or those of tracked data passed in.";
inline constexpr const char* FINALIZE_DOC =
    "__finalize__($self, /, other, method=None, **kwargs)\n--\n\n"
    "Propagate the tracker and carry provenance over rows that keep their identity:\n"
    "same index, relabelled in place, or selected by unique labels; otherwise zeros.";
inline constexpr const char* SETITEM_DOC =
    "__setitem__($self, key, value, /)\n--\n\n"
    "Set a column; a TrackedSeries brings its provenance, anything else clears it.";
inline constexpr const char* CONSTRUCTOR_DOC = "The class pandas builds results with.";
inline constexpr const char* CONSTRUCTOR_SLICED_DOC = "The Series class of this frame's rows and columns.";
inline constexpr const char* CONSTRUCTOR_EXPANDDIM_DOC = "The DataFrame class of to_frame() and similar.";
}  // namespace tessel32::msg
