// StoredNode, StoredEdge and StoredRowValue: native records with keyword
// constructors, one object slot per field, writable attributes, field-wise
// ==, a dataclass-like repr, pickling and _asdict().
#pragma once

#include <Python.h>

namespace persist {

/// Field indexes, in declaration (positional) order.
namespace node_f {
enum { fingerprint, node_type, operation, table_name, column_name, pair_id, is_protected,
       entity_hash, chain_hash, metadata, pipeline_id, count };
}
namespace edge_f {
enum { parent_fingerprint, child_fingerprint, input_position, count };
}
namespace value_f {
enum { pipeline_id, row_index, fingerprint, node_operation, value, column_name, tenant_id,
       text_value, count };
}

/// The common layout: the header, then one owned reference per field.
struct RecordObject {
  PyObject_HEAD
  PyObject* f[1];  ///< really `count` slots (tp_basicsize says how many)
};

extern PyTypeObject StoredNodeType;
extern PyTypeObject StoredEdgeType;
extern PyTypeObject StoredRowValueType;

/// Ready the three types and add them to the module.
void records_init(PyObject* module);

/// A new record of exactly that type, every field set to a new reference of
/// the given values (borrowed in, may be nullptr for None).
PyObject* record_new(PyTypeObject* type, PyObject* const* values, int n);

inline PyObject* record_field(PyObject* rec, int i) { return ((RecordObject*) rec)->f[i]; }

}  // namespace persist
