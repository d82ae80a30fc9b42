// The deduplicated bulk write of the node registry: one node per provenance
// value (the first created), one edge per (parent fingerprint, child
// fingerprint, input position), edges resolved through the storage's id map.
// _persist_dag_to_storage is flush's write against the tracker's own storage;
// persist_to_storage is the public one against any storage.
//
// The registry holds up to half a million nodes, so the walk, the dedup sets
// and the id-map cache are C++; Python objects are made only for what goes to
// storage and for the calls the storage protocol names.
#include <cmath>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tessel32/bits.h"
#include "tessel32_dag/messages.h"
#include "tessel32_dag/persist/persist.h"
#include "tessel32_dag/state.h"

namespace dag {
using namespace persist;

namespace {

/// One node of the registry as the bulk writes read it: a row where the
/// store keeps one (no object is made for it), else the node object.
struct Item {
  nb::object obj;  ///< invalid for a row
  core::NodeRow row;
  int64_t id = 0;
  bool is_row() const { return !obj.is_valid(); }
};

/// The registry's nodes in creation order.
std::vector<Item> all_nodes(PyObject* self, RegistryObject*& reg) {
  nb::object holder = self_attr(self, S.s_nodes);
  std::vector<Item> out;
  reg = nullptr;
  if (is_registry(holder.ptr())) {
    reg = (RegistryObject*) holder.ptr();  // kept alive by self.__dict__
    out.reserve(reg->store.size());
    core::NodeStore::Entry e{};
    int64_t from = INT64_MIN;
    while (reg->store.next_at_or_after(from, e)) {
      Item it;
      if (e.obj) it.obj = nb::borrow((PyObject*) e.obj);
      it.row = e.row;
      it.id = e.id;
      out.push_back(std::move(it));
      if (e.id == INT64_MAX) break;
      from = e.id + 1;
    }
    return out;
  }
  nb::object values = glue::steal(PyObject_CallMethod(holder.ptr(), "values", nullptr));
  nb::object lst = glue::steal(PySequence_List(values.ptr()));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lst.ptr()); ++i) {
    Item it;
    it.obj = nb::borrow(PyList_GET_ITEM(lst.ptr(), i));
    out.push_back(std::move(it));
  }
  return out;
}

/// A provenance object as 32 bits when Python equality makes it equal to
/// that int (ints, numpy integers, bools, integral floats); false otherwise.
bool key_u32(PyObject* v, uint32_t& out) {
  long long x;
  if (PyLong_Check(v)) {
    int overflow = 0;
    x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow) return false;
    if (x == -1 && PyErr_Occurred()) glue::raise_current();
  } else if (PyFloat_CheckExact(v)) {
    double d = PyFloat_AS_DOUBLE(v);
    if (!(d >= 0 && d <= 4294967295.0) || d != std::floor(d)) return false;
    x = (long long) d;
  } else if (PyIndex_Check(v)) {
    nb::object i = nb::steal(PyNumber_Index(v));
    if (!i.is_valid()) {
      PyErr_Clear();
      return false;
    }
    return key_u32(i.ptr(), out);
  } else {
    return false;
  }
  if (x < 0 || x > 0xFFFFFFFFll) return false;
  out = (uint32_t) x;
  return true;
}

nb::object provenance_of(PyObject* node) {
  if (is_node(node)) return node_provenance((DAGNodeObject*) node);
  return attr(node, "provenance");
}

bool u32_of_node(PyObject* node, nb::object& prov_obj, uint32_t& out) {
  if (is_node(node) && node_prov_u32((DAGNodeObject*) node, out)) return true;
  prov_obj = provenance_of(node);
  return key_u32(prov_obj.ptr(), out);
}

/// Step 2 of both writes: the first node per provenance, in first-seen order.
std::vector<const Item*> representatives(const std::vector<Item>& nodes) {
  std::unordered_map<uint32_t, bool> seen;
  seen.reserve(nodes.size() / 4 + 16);
  nb::object wide = glue::steal(PyDict_New());  // other provenance objects
  std::vector<const Item*> reps;
  for (const Item& n : nodes) {
    nb::object prov;
    uint32_t p;
    if (n.is_row()) {
      if (seen.emplace(n.row.prov, true).second) reps.push_back(&n);
      continue;
    }
    if (u32_of_node(n.obj.ptr(), prov, p)) {
      if (seen.emplace(p, true).second) reps.push_back(&n);
      continue;
    }
    int has = PyDict_Contains(wide.ptr(), prov.ptr());
    if (has < 0) glue::raise_current();
    if (!has) {
      glue::ok(PyDict_SetItem(wide.ptr(), prov.ptr(), n.obj.ptr()));
      reps.push_back(&n);
    }
  }
  return reps;
}

PyObject* s_decode_full = nullptr;
PyObject* d_decode_full = nullptr;

/// (entity, chain) as int(decode_full(p).entity), int(decode_full(p).chain).
std::pair<nb::object, nb::object> entity_chain(PyObject* self, nb::handle prov) {
  if (!s_decode_full) {
    s_decode_full = PyUnicode_InternFromString("decode_full");
    d_decode_full = PyDict_GetItemWithError(((PyTypeObject*) S.t32->base_type)->tp_dict, s_decode_full);
  }
  uint32_t p;
  if (PyLong_CheckExact(prov.ptr()) && key_u32(prov.ptr(), p) && glue::not_overridden(self, s_decode_full, d_decode_full))
    return {nb::int_(tessel32::entity_of(p)), nb::int_(tessel32::chain_of(p))};
  nb::object info = glue::steal(PyObject_CallMethodOneArg(self, s_decode_full, prov.ptr()));
  return {glue::steal(PyNumber_Long(attr(info, "entity").ptr())), glue::steal(PyNumber_Long(attr(info, "chain").ptr()))};
}

/// One StoredNode per representative. `full`: the automatic write (ints,
/// hashes and metadata); otherwise the public write's eight raw fields.
nb::object node_batch(PyObject* self, nb::handle stored_node, RegistryObject* reg, const std::vector<const Item*>& reps,
                      nb::handle pid, bool full) {
  static const KwNames full_kw{"fingerprint", "node_type",   "operation",  "table_name", "column_name", "pair_id",
                               "is_protected", "entity_hash", "chain_hash", "metadata",   "pipeline_id"};
  static const KwNames raw_kw{"fingerprint", "node_type", "operation",    "table_name",
                              "column_name", "pair_id",   "is_protected", "pipeline_id"};
  nb::object batch = glue::steal(PyList_New(0));
  std::vector<nb::object> kind_names;  // NodeType.name per row kind, asked once
  for (const Item* item : reps) {
    nb::object prov, type_name, operation, table, column, pair_id, is_prot, metadata;
    if (item->is_row()) {
      // A row: no table, column or pair id; metadata is the empty dict a
      // node's metadata would be.
      const core::NodeRow& r = item->row;
      prov = glue::steal(PyLong_FromUnsignedLong(r.prov));
      if (kind_names.size() <= r.kind) kind_names.resize((size_t) r.kind + 1);
      if (!kind_names[r.kind].is_valid()) kind_names[r.kind] = attr(nb::handle(reg->kinds[r.kind]), "name");
      type_name = kind_names[r.kind];
      operation = nb::borrow(reg->ops[r.op]);
      table = column = pair_id = nb::none();
      is_prot = nb::bool_(r.is_protected());
      if (full) metadata = glue::steal(PyDict_New());
    } else {
      PyObject* node = item->obj.ptr();
      prov = provenance_of(node);
      type_name = attr(attr(node, "node_type"), "name");
      operation = attr(node, "operation"), table = attr(node, "table"), column = attr(node, "column");
      pair_id = attr(node, "pair_id"), is_prot = attr(node, "is_protected");
      if (full) metadata = attr(node, "metadata");
    }
    nb::object rec;
    if (full) {
      auto [entity, chain] = entity_chain(self, prov);
      nb::object fp = glue::steal(PyNumber_Long(prov.ptr()));
      if (!pair_id.is_none()) pair_id = glue::steal(PyNumber_Long(pair_id.ptr()));
      nb::object prot = nb::bool_(truthy(is_prot));
      rec = call_kw(stored_node, {}, full_kw,
                    {fp.ptr(), type_name.ptr(), operation.ptr(), table.ptr(), column.ptr(), pair_id.ptr(), prot.ptr(),
                     entity.ptr(), chain.ptr(), metadata.ptr(), pid.ptr()});
    } else {
      rec = call_kw(stored_node, {}, raw_kw,
                    {prov.ptr(), type_name.ptr(), operation.ptr(), table.ptr(), column.ptr(), pair_id.ptr(),
                     is_prot.ptr(), pid.ptr()});
    }
    glue::ok(PyList_Append(batch.ptr(), rec.ptr()));
  }
  return batch;
}

struct EdgeKey {
  uint32_t parent, child;
  int64_t pos;
  bool operator==(const EdgeKey& o) const { return parent == o.parent && child == o.child && pos == o.pos; }
};
struct EdgeKeyHash {
  size_t operator()(const EdgeKey& k) const {
    uint64_t h = ((uint64_t) k.parent << 32) ^ k.child;
    h ^= (uint64_t) k.pos * 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    return (size_t) (h ^ (h >> 32));
  }
};

/// fp_map.get(key), answered once per fingerprint when the map is a dict.
class IdMap {
 public:
  explicit IdMap(nb::object m) : map_(std::move(m)), exact_(PyDict_CheckExact(map_.ptr())) {}
  nb::object get(nb::handle key, bool has_u32, uint32_t p) {
    if (exact_ && has_u32) {
      auto it = cache_.find(p);
      if (it != cache_.end()) return it->second;
      nb::object v = lookup(key);
      cache_.emplace(p, v);
      return v;
    }
    return lookup(key);
  }

 private:
  nb::object lookup(nb::handle key) {
    if (!get_.is_valid()) get_ = attr(map_, "get");
    return glue::steal(PyObject_CallOneArg(get_.ptr(), key.ptr()));
  }
  nb::object map_, get_;
  bool exact_;
  std::unordered_map<uint32_t, nb::object> cache_;
};

/// Steps 6 of both writes: resolved edge rows, one per distinct key.
/// `convert`: keys and lookups use int(provenance).
nb::object edge_rows(const std::vector<Item>& nodes, nb::handle registry, IdMap& ids, bool convert) {
  std::unordered_set<EdgeKey, EdgeKeyHash> seen;
  nb::object seen_wide = glue::steal(PySet_New(nullptr));
  nb::object rows = glue::steal(PyList_New(0));
  nb::object get;  // registry.get for a registry that is not ours
  auto* reg = is_registry(registry.ptr()) ? (RegistryObject*) registry.ptr() : nullptr;

  for (const Item& child : nodes) {
    nb::object child_prov;
    uint32_t cp = 0;
    bool child_u32;
    nb::object inputs;
    int lazy = 0;
    const int64_t* lazy_ids = nullptr;
    const int64_t row_ids[2] = {child.row.in0, child.row.in1};
    if (child.is_row()) {
      child_u32 = true;
      cp = child.row.prov;
      lazy = child.row.n_inputs();
      lazy_ids = row_ids;
    } else {
      child_u32 = u32_of_node(child.obj.ptr(), child_prov, cp);
      auto* dn = is_node(child.obj.ptr()) ? (DAGNodeObject*) child.obj.ptr() : nullptr;
      if (dn && !dn->inputs) {
        lazy = dn->n_lazy;
        lazy_ids = dn->in;
      } else {
        inputs = glue::steal(PySequence_List(attr(child.obj, "inputs").ptr()));
      }
    }
    Py_ssize_t count = inputs.is_valid() ? PyList_GET_SIZE(inputs.ptr()) : lazy;
    for (Py_ssize_t i = 0; i < count; ++i) {
      // The parent: its provenance as 32 bits where possible, else its object.
      nb::object parent_obj;
      bool parent_found = false, parent_u32 = false;
      uint32_t pp = 0;
      nb::object parent_prov;
      if (reg) {
        int64_t parent_id = 0;
        core::NodeStore::Entry e;
        bool known = inputs.is_valid() ? registry_key_to_id(PyList_GET_ITEM(inputs.ptr(), i), parent_id)
                                       : (parent_id = lazy_ids[i], true);
        if (known && reg->store.get(parent_id, e)) {
          parent_found = true;
          if (e.obj) {
            parent_obj = nb::borrow((PyObject*) e.obj);
          } else {
            parent_u32 = true;
            pp = e.row.prov;
          }
        }
      } else {
        if (!get.is_valid()) get = attr(registry, "get");
        nb::object id = inputs.is_valid() ? nb::borrow(PyList_GET_ITEM(inputs.ptr(), i)) : nb::int_(lazy_ids[i]);
        parent_obj = glue::steal(PyObject_CallOneArg(get.ptr(), id.ptr()));
        parent_found = !parent_obj.is_none();
      }
      if (!parent_found) continue;  // evicted: no edge for this input
      if (parent_obj.is_valid()) parent_u32 = u32_of_node(parent_obj.ptr(), parent_prov, pp);
      if (!child_prov.is_valid()) child_prov = child.is_row() ? glue::steal(PyLong_FromUnsignedLong(cp)) : provenance_of(child.obj.ptr());
      if (!parent_prov.is_valid())
        parent_prov = parent_obj.is_valid() ? provenance_of(parent_obj.ptr()) : glue::steal(PyLong_FromUnsignedLong(pp));
      nb::object pkey = convert ? glue::steal(PyNumber_Long(parent_prov.ptr())) : parent_prov;
      nb::object ckey = convert ? glue::steal(PyNumber_Long(child_prov.ptr())) : child_prov;
      nb::object pos = nb::int_(i);
      if (parent_u32 && child_u32) {
        if (!seen.insert(EdgeKey{pp, cp, i}).second) continue;
      } else {
        nb::object key = nb::make_tuple(pkey, ckey, pos);
        int has = PySet_Contains(seen_wide.ptr(), key.ptr());
        if (has < 0) glue::raise_current();
        if (has) continue;
        glue::ok(PySet_Add(seen_wide.ptr(), key.ptr()));
      }
      nb::object parent_id = ids.get(pkey, parent_u32, pp);
      nb::object child_id = ids.get(ckey, child_u32, cp);
      if (parent_id.is_none() || child_id.is_none()) continue;
      nb::object row = nb::make_tuple(parent_id, child_id, pos);
      glue::ok(PyList_Append(rows.ptr(), row.ptr()));
    }
  }
  return rows;
}

/// `pipeline_id` of the public write: None, an int, or a number made an int.
nb::object pipeline_id_arg(PyObject* v) {
  if (!v || v == Py_None) return nb::none();
  if (PyLong_CheckExact(v)) return nb::borrow(v);
  if (PyUnicode_Check(v) || PyBytes_Check(v) || PyByteArray_Check(v) || !PyNumber_Check(v))
    glue::raise_arg_type("pipeline_id", "int", v);
  return glue::steal(PyNumber_Long(v));
}

}  // namespace

nb::object tracker_persist_dag_to_storage(const glue::Call& c) {
  static const glue::Signature sig{"DAGTracker._persist_dag_to_storage", {}, 0};
  glue::parse(sig, c, nullptr);
  PyObject* self = c.self;
  nb::object stored_node = import_name(PKG_STORAGE, "StoredNode");
  GcPause gc_pause;
  RegistryObject* reg;
  std::vector<Item> nodes = all_nodes(self, reg);
  std::vector<const Item*> reps = representatives(nodes);
  nb::object storage = self_attr(self, S.s_storage);
  nb::object pid = self_attr(self, S.s_pipeline_id);
  nb::object batch = node_batch(self, stored_node, reg, reps, pid, true);
  if (PyList_GET_SIZE(batch.ptr())) {
    call_method(storage, "store_nodes", {batch.ptr()});
    set_attr(self, "_nodes_written", nb::int_(PyList_GET_SIZE(batch.ptr())));
  }
  IdMap ids(call_method(storage, "get_fingerprint_node_map", {pid.ptr()}));
  nb::object rows = edge_rows(nodes, self_attr(self, S.s_nodes), ids, true);
  if (PyList_GET_SIZE(rows.ptr())) {
    call_method(storage, "store_edges_resolved", {rows.ptr()});
    set_attr(self, "_edges_written", nb::int_(PyList_GET_SIZE(rows.ptr())));
  }
  return nb::none();
}

nb::object tracker_persist_to_storage(const glue::Call& c) {
  static const glue::Signature sig{"DAGTracker.persist_to_storage", {"storage", "pipeline_id"}, 1};
  PyObject* a[2];
  glue::parse(sig, c, a);
  PyObject* self = c.self;
  nb::handle storage = a[0];
  nb::object pid = pipeline_id_arg(a[1]);
  nb::object stored_node = import_name(PKG_STORAGE, "StoredNode");
  if (pid.is_none()) {
    nb::object name = attr(self, "_pipeline_name");
    if (!truthy(name)) name = nb::str(msg::UNNAMED);
    pid = call_method(storage, "create_pipeline", {name.ptr()});
    if (!pid.is_none()) pid = glue::check_result_int(pid);
  }

  static const KwNames prot_kw{"is_protected"};
  nb::object names = attr(self, "_id_to_name");
  nb::object items = glue::steal(PySequence_List(glue::steal(PyObject_CallMethod(names.ptr(), "items", nullptr)).ptr()));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
    nb::object item = nb::borrow(PyList_GET_ITEM(items.ptr(), i));
    nb::object pair_id = item[0], key = item[1];
    nb::object table = key[0], column = key[1];
    nb::object is_prot =
        glue::steal(PyObject_CallMethodObjArgs(self, S.s_is_protected, table.ptr(), column.ptr(), nullptr));
    call_method_kw(storage, "register_source", {pair_id.ptr(), table.ptr(), column.ptr()}, prot_kw, {is_prot.ptr()});
  }

  GcPause gc_pause;
  RegistryObject* reg;
  std::vector<Item> nodes = all_nodes(self, reg);
  std::vector<const Item*> reps = representatives(nodes);
  nb::object batch = node_batch(self, stored_node, reg, reps, pid, false);
  call_method(storage, "store_nodes", {batch.ptr()});
  IdMap ids(call_method(storage, "get_fingerprint_node_map", {pid.ptr()}));
  nb::object rows = edge_rows(nodes, self_attr(self, S.s_nodes), ids, false);
  call_method(storage, "store_edges_resolved", {rows.ptr()});
  nb::object completed = nb::str("completed");
  call_method(storage, "complete_pipeline", {pid.ptr(), completed.ptr()});
  return pid;
}

}  // namespace dag
