// What DAGNode and DAGEdge share: dataclass-style repr and ==, type creation
// from a spec, and the dataclass description borrowed from a model dataclass.
#include "tessel32_dag/engine/record_type.h"

#include "glue/glue.h"
#include "tessel32_dag/engine/records.h"

namespace dag {

void set_ref(PyObject*& slot, PyObject* value) {
  PyObject* old = slot;
  Py_XINCREF(value);
  slot = value;
  Py_XDECREF(old);
}

static PyObject* qualname_of(PyObject* self) {
  return PyType_GetQualName(Py_TYPE(self));
}

// repr in the dataclass form, with the same guard against recursion.
PyObject* fields_repr(PyObject* self, const char* const* names, int count,
                             nb::object (*get)(PyObject*, int)) {
  int rec = Py_ReprEnter(self);
  if (rec != 0) return rec > 0 ? PyUnicode_FromString("...") : nullptr;
  PyObject* result = glue::guarded([&]() -> PyObject* {
    nb::object qn = glue::steal(qualname_of(self));
    nb::object parts = glue::steal(PyList_New(0));
    for (int i = 0; i < count; ++i) {
      nb::object v = get(self, i);
      nb::object item = glue::steal(PyUnicode_FromFormat("%s=%R", names[i], v.ptr()));
      glue::ok(PyList_Append(parts.ptr(), item.ptr()));
    }
    nb::object sep = glue::steal(PyUnicode_FromString(", "));
    nb::object body = glue::steal(PyUnicode_Join(sep.ptr(), parts.ptr()));
    return PyUnicode_FromFormat("%U(%U)", qn.ptr(), body.ptr());
  });
  Py_ReprLeave(self);
  return result;
}

// == the way a dataclass compares: same object -> True; same class -> the
// fields in order, as `a == b and c == d ...` evaluates; else NotImplemented.
PyObject* fields_richcompare(PyObject* self, PyObject* other, int op, int count,
                                    nb::object (*get)(PyObject*, int)) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  return glue::guarded([&]() -> PyObject* {
    nb::object result;
    if (self == other) {
      result = nb::borrow(Py_True);
    } else if (Py_TYPE(self) != Py_TYPE(other)) {
      return Py_NewRef(Py_NotImplemented);
    } else {
      result = nb::borrow(Py_True);
      for (int i = 0; i < count; ++i) {
        nb::object a = get(self, i), b = get(other, i);
        result = glue::steal(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ));
        int t = PyObject_IsTrue(result.ptr());
        if (t < 0) glue::raise_current();
        if (!t) break;
      }
    }
    if (op == Py_EQ) return result.release().ptr();
    int t = PyObject_IsTrue(result.ptr());
    if (t < 0) glue::raise_current();
    return Py_NewRef(t ? Py_False : Py_True);
  });
}


PyTypeObject* make_type(nb::module_& m, const char* qualified, int basicsize, newfunc tp_new,
                               initproc tp_init, destructor dealloc, traverseproc trav, inquiry clear,
                               reprfunc repr, richcmpfunc rich, PyGetSetDef* getset, PyMethodDef* methods,
                               const char* doc) {
  PyType_Slot slots[] = {
      {Py_tp_new, (void*) tp_new},
      {Py_tp_init, (void*) tp_init},
      {Py_tp_dealloc, (void*) dealloc},
      {Py_tp_traverse, (void*) trav},
      {Py_tp_clear, (void*) clear},
      {Py_tp_repr, (void*) repr},
      {Py_tp_richcompare, (void*) rich},
      {Py_tp_hash, (void*) PyObject_HashNotImplemented},
      {Py_tp_getset, (void*) getset},
      {Py_tp_methods, (void*) methods},
      {Py_tp_doc, (void*) doc},
      {0, nullptr},
  };
  PyType_Spec spec{qualified, basicsize, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                   slots};
  PyObject* t = PyType_FromModuleAndSpec(m.ptr(), &spec, nullptr);
  if (!t) glue::raise_current();
  return (PyTypeObject*) t;
}

// Borrow the dataclass description (fields, params, match args, signature)
// from an equivalent dataclass, so that the dataclasses module and inspect
// treat the native type as the dataclass it stands for.
void adopt_dataclass_metadata(PyObject* type, const char* name, nb::handle fields_spec) {
  nb::object dataclasses = nb::module_::import_("dataclasses");
  nb::object model = dataclasses.attr("make_dataclass")(name, fields_spec);
  for (const char* attr : {"__dataclass_fields__", "__dataclass_params__", "__match_args__", "__annotations__",
                           "__replace__"}) {
    if (!nb::hasattr(model, attr)) continue;
    glue::ok(PyObject_SetAttrString(type, attr, model.attr(attr).ptr()));
  }
  nb::object sig = nb::module_::import_("inspect").attr("signature")(model);
  glue::ok(PyObject_SetAttrString(type, "__signature__", sig.ptr()));
  // The model's __init__ signature names the annotations as strings too.
}


void register_records(nb::module_& m) {
  register_node_type(m);
  register_edge_type(m);
}

}  // namespace dag
