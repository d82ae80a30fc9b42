// Rebuilding the derivation of a result (DAGTracker.get_dag and
// get_dag_for_provenance) and the analysis members of ComputationDAG.
//
// Nothing here recurses: the backward walk is a queue, and depth is an
// explicit stack, so a derivation chain of millions of nodes works.
#include <deque>
#include <unordered_set>

#include "glue/gc_pause.h"
#include "tessel32_dag/engine/analysis.h"
#include "tessel32_dag/messages.h"
#include "tessel32_dag/state.h"
#include "tessel32_dag/engine/tracker.h"

namespace dag {

nb::object node_attr(PyObject* node, PyObject* name) {
  if (is_node(node)) {
    auto* n = (DAGNodeObject*) node;
    if (name == S.s_inputs) return node_inputs(n);
    if (name == S.s_provenance) return node_provenance(n);
    if (name == S.s_operation) return nb::borrow(n->operation);
    if (name == S.s_is_protected) return node_is_protected(n);
  }
  return glue::steal(PyObject_GetAttr(node, name));
}

// Visited set over ids: a bitmap over the ids the registry's ring spans, a
// native set for other int-like ids, a Python set for the rest.
struct Visited {
  static constexpr size_t DENSE_AFTER = 4096;  ///< small walks never pay for the bitmap
  int64_t lo = 0, hi = 0;
  std::vector<uint64_t> bits;
  std::unordered_set<int64_t> ints;
  nb::object others;
  explicit Visited(RegistryObject* r) : lo(r->store.begin_id()), hi(r->store.end_id()) {}
  bool test_set(int64_t v, bool set) {
    if (!bits.empty() && v >= lo && v < hi) {
      uint64_t& w = bits[(size_t) (v - lo) / 64];
      uint64_t m = 1ull << ((v - lo) % 64);
      bool was = w & m;
      if (set) w |= m;
      return was;
    }
    if (!set) return ints.count(v) != 0;
    bool was = !ints.insert(v).second;
    if (bits.empty() && ints.size() > DENSE_AFTER && hi > lo) {
      bits.assign((size_t) ((hi - lo + 63) / 64), 0);
      for (auto it = ints.begin(); it != ints.end();) {
        if (*it >= lo && *it < hi) {
          bits[(size_t) (*it - lo) / 64] |= 1ull << ((*it - lo) % 64);
          it = ints.erase(it);
        } else {
          ++it;
        }
      }
    }
    return was;
  }
  bool contains(PyObject* o) {
    int64_t v;
    if (registry_key_to_id(o, v)) return test_set(v, false);
    if (!others.is_valid()) return false;
    int r = PySet_Contains(others.ptr(), o);
    if (r < 0) glue::raise_current();
    return r;
  }
  void add(PyObject* o) {
    int64_t v;
    if (registry_key_to_id(o, v)) {
      test_set(v, true);
      return;
    }
    if (!others.is_valid()) others = glue::steal(PySet_New(nullptr));
    glue::ok(PySet_Add(others.ptr(), o));
  }
};

static nb::object build_dag(nb::handle root_id, nb::handle nodes, nb::handle edges) {
  nb::object kw = glue::steal(PyDict_New());
  glue::ok(PyDict_SetItem(kw.ptr(), S.s_root_id, root_id.ptr()));
  glue::ok(PyDict_SetItem(kw.ptr(), S.s_nodes_field, nodes.ptr()));
  glue::ok(PyDict_SetItem(kw.ptr(), S.s_edges, edges.ptr()));
  nb::object empty = glue::steal(PyTuple_New(0));
  return glue::steal(PyObject_Call(S.computation_dag, empty.ptr(), kw.ptr()));
}

static nb::object get_dag_impl(PyObject* self, nb::object root) {
  TrackerView t = tracker_view(self, false);
  glue::GcPause gc_pause;  // nodes, ids and edges only: nothing here forms a cycle
  Visited visited(t.reg);
  std::deque<nb::object> queue;
  queue.push_back(root);
  nb::object nodes = glue::steal(PyDict_New());
  nb::object edges = glue::steal(PyList_New(0));

  while (!queue.empty()) {
    nb::object nid = std::move(queue.front());
    queue.pop_front();
    if (visited.contains(nid.ptr())) continue;
    visited.add(nid.ptr());
    int64_t id;
    PyObject* found = registry_key_to_id(nid.ptr(), id) ? registry_get_id(t.reg, id) : nullptr;
    if (!found) continue;  // unknown or evicted: visited, no entry, inputs not followed
    nb::object node = nb::borrow(found);
    glue::ok(PyDict_SetItem(nodes.ptr(), nid.ptr(), node.ptr()));

    auto emit = [&](nb::object input_id, Py_ssize_t i) {
      nb::object idx = glue::steal(PyLong_FromSsize_t(i));
      nb::object edge = glue::steal(edge_new(input_id.ptr(), nid.ptr(), idx.ptr()));
      glue::ok(PyList_Append(edges.ptr(), edge.ptr()));
      if (!visited.contains(input_id.ptr())) queue.push_back(std::move(input_id));
    };
    if (is_node(node.ptr()) && !((DAGNodeObject*) node.ptr())->inputs) {
      // Inputs not materialised yet: read the ids without creating the list.
      auto* n = (DAGNodeObject*) node.ptr();
      for (int i = 0; i < n->n_lazy; ++i) emit(glue::steal(PyLong_FromLongLong(n->in[i])), i);
      continue;
    }
    nb::object inputs = node_attr(node.ptr(), S.s_inputs);
    nb::object it = glue::steal(PyObject_GetIter(inputs.ptr()));
    Py_ssize_t i = 0;
    while (PyObject* item = PyIter_Next(it.ptr())) emit(glue::steal(item), i++);
    if (PyErr_Occurred()) glue::raise_current();
  }
  return build_dag(root, nodes, edges);
}

nb::object tracker_get_dag(const glue::Call& c) {
  static const glue::Signature sig{"DAGTracker.get_dag", {"root_node_id"}, 1};
  PyObject* a[1];
  glue::parse(sig, c, a);
  return get_dag_impl(c.self, glue::to_int(a[0], "root_node_id"));
}

nb::object tracker_get_dag_for_provenance(const glue::Call& c) {
  static const glue::Signature sig{"DAGTracker.get_dag_for_provenance", {"provenance"}, 1};
  PyObject* a[1];
  glue::parse(sig, c, a);
  nb::object prov = glue::to_int(a[0], "provenance");
  nb::object nodes = glue::steal(PyObject_CallMethodOneArg(c.self, S.s_get_nodes_for_provenance, prov.ptr()));
  Py_ssize_t n = PyObject_Length(nodes.ptr());
  if (n < 0) glue::raise_current();
  if (n == 0) return nb::none();
  // The most recently created node: the largest node_id.
  nb::object best_id;
  nb::object it = glue::steal(PyObject_GetIter(nodes.ptr()));
  while (PyObject* item = PyIter_Next(it.ptr())) {
    nb::object node = glue::steal(item);
    nb::object nid = is_node(node.ptr()) ? node_id_obj((DAGNodeObject*) node.ptr())
                                         : glue::steal(PyObject_GetAttr(node.ptr(), S.s_node_id));
    if (!best_id.is_valid()) {
      best_id = nid;
      continue;
    }
    int gt = PyObject_RichCompareBool(nid.ptr(), best_id.ptr(), Py_GT);
    if (gt < 0) glue::raise_current();
    if (gt) best_id = nid;
  }
  if (PyErr_Occurred()) glue::raise_current();
  return glue::steal(PyObject_CallMethodOneArg(c.self, S.s_get_dag, best_id.ptr()));
}

// ------------------------------------------------------- ComputationDAG members

static nb::object dag_nodes(PyObject* self) { return glue::steal(PyObject_GetAttr(self, S.s_nodes_field)); }

static nb::object node_values(PyObject* self) {
  nb::object nodes = dag_nodes(self);
  nb::object values = glue::steal(PyObject_CallMethod(nodes.ptr(), "values", nullptr));
  return glue::steal(PySequence_List(values.ptr()));
}

static bool is_leaf(PyObject* node) {
  if (is_node(node)) {
    auto* n = (DAGNodeObject*) node;
    if (!n->inputs) return n->n_lazy == 0;
  }
  nb::object inputs = node_attr(node, S.s_inputs);
  Py_ssize_t len = PyObject_Length(inputs.ptr());
  if (len < 0) glue::raise_current();
  return len == 0;
}

nb::object dag_depth(PyObject* self, bool skip_missing) {
  nb::object nodes = dag_nodes(self);
  nb::object root = glue::steal(PyObject_GetAttr(self, S.s_root_id));
  nb::object memo = glue::steal(PyDict_New());

  struct Frame {
    nb::object nid;
    nb::object inputs;  // list, once the node is known not to be a leaf
    nb::object iter;
    long long best = -1;
    bool started = false;
  };
  std::vector<Frame> stack;
  stack.push_back(Frame{root});
  long long result = 0;
  auto deliver = [&](long long v) {
    stack.pop_back();
    if (stack.empty())
      result = v;
    else if (v > stack.back().best)
      stack.back().best = v;
  };
  // memo[id] is None while the node's inputs are being walked: meeting such
  // a node again means the inputs lead back to it.
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (!f.started) {
      PyObject* known = PyDict_GetItemWithError(memo.ptr(), f.nid.ptr());
      if (known == Py_None) glue::raise(PyExc_ValueError, msg::CYCLE_IN_GRAPH, f.nid.ptr());
      if (known) {
        deliver(PyLong_AsLongLong(known));
        continue;
      }
      if (PyErr_Occurred()) glue::raise_current();
      PyObject* found = PyObject_GetItem(nodes.ptr(), f.nid.ptr());  // KeyError for a missing id
      if (!found && skip_missing && PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();  // an evicted ancestor: it adds nothing to the known depth
        stack.pop_back();
        continue;
      }
      nb::object node = glue::steal(found);
      if (is_leaf(node.ptr())) {
        glue::ok(PyDict_SetItem(memo.ptr(), f.nid.ptr(), glue::steal(PyLong_FromLong(0)).ptr()));
        deliver(0);
        continue;
      }
      f.started = true;
      glue::ok(PyDict_SetItem(memo.ptr(), f.nid.ptr(), Py_None));
      f.inputs = node_attr(node.ptr(), S.s_inputs);
      f.iter = glue::steal(PyObject_GetIter(f.inputs.ptr()));
    }
    PyObject* child = PyIter_Next(f.iter.ptr());
    if (child) {
      nb::object c = glue::steal(child);
      stack.push_back(Frame{std::move(c)});  // f may dangle from here on
      continue;
    }
    if (PyErr_Occurred()) glue::raise_current();
    long long v = f.best + 1;
    glue::ok(PyDict_SetItem(memo.ptr(), f.nid.ptr(), glue::steal(PyLong_FromLongLong(v)).ptr()));
    deliver(v);
  }
  return glue::steal(PyLong_FromLongLong(result));
}

nb::object dag_source_nodes(PyObject* self) {
  nb::object values = node_values(self);
  nb::object out = glue::steal(PyList_New(0));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.ptr()); ++i) {
    PyObject* n = PyList_GET_ITEM(values.ptr(), i);
    if (node_is_source(n)) glue::ok(PyList_Append(out.ptr(), n));
  }
  return out;
}

nb::object dag_protected_sources(PyObject* self) {
  nb::object sources = dag_source_nodes(self);
  nb::object out = glue::steal(PyList_New(0));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sources.ptr()); ++i) {
    PyObject* n = PyList_GET_ITEM(sources.ptr(), i);
    if (truthy(node_attr(n, S.s_is_protected))) glue::ok(PyList_Append(out.ptr(), n));
  }
  return out;
}

nb::object dag_has_protected(PyObject* self) {
  return nb::bool_(PyList_GET_SIZE(dag_protected_sources(self).ptr()) > 0);
}

nb::object dag_operation_counts(PyObject* self) {
  nb::object values = node_values(self);
  nb::object counts = glue::steal(PyDict_New());
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.ptr()); ++i) {
    nb::object op = node_attr(PyList_GET_ITEM(values.ptr(), i), S.s_operation);
    PyObject* cur = PyDict_GetItemWithError(counts.ptr(), op.ptr());
    if (!cur && PyErr_Occurred()) glue::raise_current();
    nb::object next = cur ? glue::steal(PyNumber_Add(cur, nb::int_(1).ptr())) : nb::int_(1);
    glue::ok(PyDict_SetItem(counts.ptr(), op.ptr(), next.ptr()));
  }
  return counts;
}

nb::object dag_column_taint_risks(PyObject* self) {
  // Taint and risk come from the base tracker class itself; its native
  // functions answer unless somebody replaced the methods on that class.
  PyObject* base_dict = ((PyTypeObject*) S.t32->base_type)->tp_dict;
  bool native = PyDict_GetItemString(base_dict, "is_tainted") == S.t32->is_tainted_attr &&
                PyDict_GetItemString(base_dict, "risk_score") == S.t32->risk_score_attr;
  nb::object values = node_values(self);
  nb::object risks = glue::steal(PyDict_New());
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.ptr()); ++i) {
    PyObject* node = PyList_GET_ITEM(values.ptr(), i);
    nb::object col = node_attr(node, S.s_column);
    if (!truthy(col)) continue;
    nb::object prov = node_attr(node, S.s_provenance);
    uint32_t p = 0;
    bool u32 = false;
    if (native && PyLong_CheckExact(prov.ptr())) {
      unsigned long long v = PyLong_AsUnsignedLongLong(prov.ptr());
      if (!(v == (unsigned long long) -1 && PyErr_Occurred()) && v <= 0xFFFFFFFFull) {
        p = (uint32_t) v;
        u32 = true;
      }
      PyErr_Clear();
    }
    nb::object risk;
    if (u32) {
      if (!S.t32->is_tainted(p)) continue;
      risk = glue::steal(PyFloat_FromDouble(S.t32->risk_score(p)));
    } else {
      nb::object tainted = glue::steal(PyObject_CallMethodOneArg(S.t32->base_type, S.s_is_tainted, prov.ptr()));
      if (!truthy(tainted)) continue;
      risk = glue::steal(PyObject_CallMethodOneArg(S.t32->base_type, S.s_risk_score, prov.ptr()));
    }
    PyObject* cur = PyDict_GetItemWithError(risks.ptr(), col.ptr());
    if (!cur && PyErr_Occurred()) glue::raise_current();
    bool take = !cur;
    if (cur) {
      int gt = PyObject_RichCompareBool(risk.ptr(), cur, Py_GT);
      if (gt < 0) glue::raise_current();
      take = gt;
    }
    if (take) glue::ok(PyDict_SetItem(risks.ptr(), col.ptr(), risk.ptr()));
  }
  return risks;
}

// ------------------------------------------------------------ class wiring

static nb::object p_depth(PyObject* s) { return dag_depth(s); }
static nb::object p_sources(PyObject* s) { return dag_source_nodes(s); }
static nb::object p_protected(PyObject* s) { return dag_protected_sources(s); }
static nb::object p_has_protected(PyObject* s) { return dag_has_protected(s); }
static nb::object p_op_counts(PyObject* s) { return dag_operation_counts(s); }

static nb::object m_column_taint_risks(const glue::Call& c) {
  static const glue::Signature sig{"ComputationDAG.column_taint_risks", {}, 0};
  glue::parse(sig, c, nullptr);
  return dag_column_taint_risks(c.self);
}
static nb::object m_to_dict(const glue::Call& c) {
  static const glue::Signature sig{"ComputationDAG.to_dict", {}, 0};
  glue::parse(sig, c, nullptr);
  return dag_to_dict(c.self);
}
static nb::object m_to_json(const glue::Call& c) {
  static const glue::Signature sig{"ComputationDAG.to_json", {"indent"}, 0};
  PyObject* a[1];
  glue::parse(sig, c, a);
  return dag_to_json(c.self, a[0]);
}
static nb::object m_to_graphviz(const glue::Call& c) {
  static const glue::Signature sig{"ComputationDAG.to_graphviz", {}, 0};
  glue::parse(sig, c, nullptr);
  return dag_to_graphviz(c.self);
}

static PyGetSetDef dag_getset[] = {
    GLUE_GETTER("depth", p_depth, msg::DEPTH_DOC),
    GLUE_GETTER("source_nodes", p_sources, msg::SOURCE_NODES_DOC),
    GLUE_GETTER("protected_sources", p_protected, msg::PROTECTED_SOURCES_DOC),
    GLUE_GETTER("has_protected", p_has_protected, msg::HAS_PROTECTED_DOC),
    GLUE_GETTER("operation_counts", p_op_counts, msg::OPERATION_COUNTS_DOC),
    {nullptr},
};

static PyMethodDef dag_methods[] = {
    GLUE_METHOD("column_taint_risks", m_column_taint_risks, msg::COLUMN_TAINT_RISKS_DOC),
    GLUE_METHOD("to_dict", m_to_dict, msg::TO_DICT_DOC),
    GLUE_METHOD("to_json", m_to_json, msg::TO_JSON_DOC),
    GLUE_METHOD("to_graphviz", m_to_graphviz, msg::TO_GRAPHVIZ_DOC),
    GLUE_METHOD("to_openlineage", dag_to_openlineage, msg::TO_OPENLINEAGE_DOC),
    {nullptr},
};

void register_computation_dag(nb::module_& m) {
  using namespace nb::literals;
  nb::object dataclasses = nb::module_::import_("dataclasses");
  nb::list fields;
  fields.append(nb::make_tuple("root_id", "int"));
  fields.append(nb::make_tuple("nodes", "Dict[int, DAGNode]"));
  fields.append(nb::make_tuple("edges", "List[DAGEdge]"));
  nb::dict ns;
  ns["__doc__"] = msg::COMPUTATIONDAG_DOC;
  nb::object cls = dataclasses.attr("make_dataclass")("ComputationDAG", fields, "namespace"_a = ns,
                                                      "module"_a = m.attr("__name__"));
  auto* tp = (PyTypeObject*) cls.ptr();
  for (PyGetSetDef* d = dag_getset; d->name; ++d) {
    nb::object descr = glue::steal(PyDescr_NewGetSet(tp, d));
    glue::ok(PyObject_SetAttrString(cls.ptr(), d->name, descr.ptr()));
  }
  for (PyMethodDef* d = dag_methods; d->ml_name; ++d) {
    nb::object descr = glue::steal(PyDescr_NewMethod(tp, d));
    glue::ok(PyObject_SetAttrString(cls.ptr(), d->ml_name, descr.ptr()));
  }
  S.computation_dag = cls.ptr();
  m.attr("ComputationDAG") = cls;
  cls.release();
}

}  // namespace dag
