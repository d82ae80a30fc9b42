// DAGNode and DAGEdge: native records that behave like standard dataclasses
// (constructor, repr, field-wise ==, unhashable, dataclasses.fields/asdict/
// replace/is_dataclass), sized for millions of live nodes.
//
// A node created by the tracker stores its id, provenance and up to two input
// ids as C integers; the `inputs` list and the `metadata` dict are created on
// first access and then kept, so from then on the very same objects are
// returned. Values that do not fit the compact form (a non-int id, a
// provenance beyond 32 bits, a table name) go to a side block.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>

namespace dag {
namespace nb = nanobind;

struct NodeExt {
  PyObject* table = nullptr;         ///< None when nullptr
  PyObject* column = nullptr;        ///< None when nullptr
  PyObject* pair_id = nullptr;       ///< None when nullptr
  PyObject* node_id = nullptr;       ///< overrides the compact id when set
  PyObject* provenance = nullptr;    ///< overrides the compact provenance when set
  PyObject* is_protected = nullptr;  ///< overrides the compact flag when set
};

struct DAGNodeObject {
  PyObject_HEAD
  int64_t node_id;
  uint32_t prov;
  uint8_t protected_flag;  ///< is_protected when ext->is_protected is unset
  uint8_t n_lazy;          ///< input ids held in `in` while `inputs` is nullptr
  PyObject* node_type;     ///< strong
  PyObject* operation;     ///< strong
  PyObject* inputs;        ///< strong list, or nullptr (lazy)
  PyObject* metadata;      ///< strong, or nullptr (lazy empty dict)
  int64_t in[2];
  NodeExt* ext;
};

struct DAGEdgeObject {
  PyObject_HEAD
  PyObject* source_id;
  PyObject* target_id;
  PyObject* input_index;
};

/// Create both types and add DAGNode / DAGEdge to the module.
void register_records(nb::module_& m);

inline bool is_node(PyObject* o) { extern PyTypeObject* g_node_type; return Py_TYPE(o) == g_node_type; }

/// A new node (new reference). `inputs` (a list) is stored as is when given,
/// otherwise `n_lazy` ids from in0/in1 make the lazy list. `metadata` may be
/// nullptr (lazy empty dict).
DAGNodeObject* node_new(int64_t id, PyObject* node_type, PyObject* operation, PyObject* inputs,
                        int n_lazy, int64_t in0, int64_t in1, uint32_t prov, PyObject* metadata);

/// Field accessors (new references).
nb::object node_id_obj(DAGNodeObject* n);
nb::object node_provenance(DAGNodeObject* n);
nb::object node_inputs(DAGNodeObject* n);
nb::object node_metadata(DAGNodeObject* n);
nb::object node_is_protected(DAGNodeObject* n);
/// The provenance as 32 bits when it is an int in 0..2**32-1.
bool node_prov_u32(DAGNodeObject* n, uint32_t& out);
bool node_protected_truthy(DAGNodeObject* n);
void node_set_protected(DAGNodeObject* n, bool value);
void node_set_ext(DAGNodeObject* n, PyObject* table, PyObject* column, PyObject* pair_id);
/// Field indices in declaration order, for node_set_field.
enum NodeField { F_NODE_ID, F_NODE_TYPE, F_OPERATION, F_INPUTS, F_PROVENANCE, F_METADATA, F_TABLE, F_COLUMN,
                 F_PAIR_ID, F_IS_PROTECTED };
void node_set_field(DAGNodeObject* n, int field, PyObject* value);
bool node_is_source(PyObject* node);  // node.node_type == NodeType.SOURCE
/// node.to_dict()
nb::object node_to_dict(PyObject* node);

/// A new edge (new reference).
PyObject* edge_new(PyObject* source_id, PyObject* target_id, PyObject* input_index);
nb::object edge_to_dict(PyObject* edge);

}  // namespace dag
