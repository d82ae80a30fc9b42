// Helpers shared by the DAGNode and DAGEdge record types (record_type.cpp).
#pragma once

#include <nanobind/nanobind.h>

namespace dag {
namespace nb = nanobind;

/// Field i of a record as a new reference.
using FieldGetter = nb::object (*)(PyObject* self, int i);

/// Replace a strong reference (either may be nullptr).
void set_ref(PyObject*& slot, PyObject* value);

/// repr in the dataclass form ("DAGNode(node_id=1, ...)"), with the same
/// guard against recursion.
PyObject* fields_repr(PyObject* self, const char* const* names, int count, FieldGetter get);
/// == the way a dataclass compares (same class: the fields in order).
PyObject* fields_richcompare(PyObject* self, PyObject* other, int op, int count, FieldGetter get);

/// A GC type from its slots (unhashable, subclassable).
PyTypeObject* make_type(nb::module_& m, const char* qualified, int basicsize, newfunc tp_new, initproc tp_init,
                        destructor dealloc, traverseproc trav, inquiry clear, reprfunc repr, richcmpfunc rich,
                        PyGetSetDef* getset, PyMethodDef* methods, const char* doc);

/// Borrow the dataclass description (fields, params, match args, signature)
/// from an equivalent dataclass.
void adopt_dataclass_metadata(PyObject* type, const char* name, nb::handle fields_spec);

void register_node_type(nb::module_& m);  // node_record.cpp
void register_edge_type(nb::module_& m);  // edge_record.cpp

}  // namespace dag
