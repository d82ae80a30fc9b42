// The native interface (capi.h): nodes and edges pushed by the lineage
// engine straight into an AsyncWriter, without a Python object per record
// when the writer's storage is native.
#include "persistence/capi.h"

#include "glue/errors.h"
#include "persistence/convert.h"
#include "persistence/database.h"
#include "persistence/messages.h"
#include "persistence/records.h"
#include "persistence/writer.h"

namespace persist {
namespace {

using corvanti_persist::CAPI;
using corvanti_persist::EdgeRecord;
using corvanti_persist::NodeRecord;

const char* const kNodeTypeNames[] = {"SOURCE", "CONSTANT", "UNARY", "BINARY", "AGGREGATE", "MERGE", "FILTER", "CUSTOM"};

std::optional<std::string> opt_text(const char* p, Py_ssize_t n) {
  if (!p) return std::nullopt;
  return std::string(p, (size_t) n);
}

nb::object py_text(const char* p, Py_ssize_t n) {
  if (!p) return nb::none();
  return glue::steal(PyUnicode_DecodeUTF8(p, n, "strict"));
}

nb::object py_int(int64_t v) { return glue::steal(PyLong_FromLongLong(v)); }

/// The Python road of write_node: real StoredNode / StoredEdge objects.
void push_python(AsyncWriterObject* /*w*/, const NodeRecord* n, const EdgeRecord* edges, Py_ssize_t n_edges,
                 std::vector<NativeRow>& rows) {
  nb::object type_name = glue::steal(PyUnicode_FromString(kNodeTypeNames[n->node_type - 1]));
  nb::object fp = py_int(n->fingerprint), op = py_text(n->operation, n->operation_len);
  nb::object table = py_text(n->table_name, n->table_name_len);
  nb::object column = py_text(n->column_name, n->column_name_len);
  nb::object pair = n->has_pair_id ? py_int(n->pair_id) : nb::none();
  nb::object ent = py_int(n->entity_hash), chain = py_int(n->chain_hash), pid = py_int(n->pipeline_id);
  nb::object meta = n->metadata ? nb::borrow(n->metadata) : nb::none();
  PyObject* fields[node_f::count] = {fp.ptr(), type_name.ptr(), op.ptr(), table.ptr(), column.ptr(), pair.ptr(),
                                     n->is_protected ? Py_True : Py_False, ent.ptr(), chain.ptr(), meta.ptr(),
                                     pid.ptr()};
  rows.emplace_back(PyItem{PyItem::Node, record_new(&StoredNodeType, fields, node_f::count), nullptr});
  for (Py_ssize_t i = 0; i < n_edges; ++i) {
    nb::object p = py_int(edges[i].parent_fingerprint), c = py_int(edges[i].child_fingerprint),
               pos = py_int(edges[i].input_position);
    PyObject* ef[edge_f::count] = {p.ptr(), c.ptr(), pos.ptr()};
    rows.emplace_back(PyItem{PyItem::Edge, record_new(&StoredEdgeType, ef, edge_f::count), Py_NewRef(pid.ptr())});
  }
}

/// The rows of one node and its edges, appended to `rows`.
void node_rows(AsyncWriterObject* w, bool native, const NodeRecord* n, const EdgeRecord* edges, Py_ssize_t n_edges,
               std::vector<NativeRow>& rows) {
  if (n->node_type < 1 || n->node_type > 8) glue::raise(PyExc_ValueError, msg::CAPI_NODE_TYPE, (int) n->node_type);
  if (!native) {
    push_python(w, n, edges, n_edges, rows);
    return;
  }
  NodeRow r;
  r.pipeline_id = n->pipeline_id;
  r.fingerprint = n->fingerprint;
  r.node_type = kNodeTypeNames[n->node_type - 1];
  r.operation.assign(n->operation ? n->operation : "", n->operation ? (size_t) n->operation_len : 0);
  r.table_name = opt_text(n->table_name, n->table_name_len);
  r.column_name = opt_text(n->column_name, n->column_name_len);
  if (n->has_pair_id) r.pair_id = n->pair_id;
  r.is_protected = n->is_protected;
  r.entity_hash = n->entity_hash;
  r.chain_hash = n->chain_hash;
  r.metadata = metadata_json(n->metadata);
  rows.emplace_back(std::move(r));
  for (Py_ssize_t i = 0; i < n_edges; ++i)
    rows.emplace_back(
        EdgeRow{n->pipeline_id, edges[i].parent_fingerprint, edges[i].child_fingerprint, edges[i].input_position});
}

int capi_write_nodes(PyObject* writer, const NodeRecord* nodes, Py_ssize_t n_nodes, const EdgeRecord* edges,
                     const Py_ssize_t* n_edges) {
  std::vector<NativeRow> rows;
  try {
    if (!PyObject_TypeCheck(writer, &AsyncWriterType))
      glue::raise(PyExc_TypeError, msg::CAPI_NOT_WRITER, Py_TYPE(writer)->tp_name);
    if (n_nodes <= 0) return 0;
    auto* w = (AsyncWriterObject*) writer;
    bool native = writer_is_native(w);
    Py_ssize_t total = n_nodes;
    for (Py_ssize_t k = 0; k < n_nodes; ++k) total += n_edges[k];
    rows.reserve((size_t) total);
    const EdgeRecord* e = edges;
    for (Py_ssize_t k = 0; k < n_nodes; ++k) {
      node_rows(w, native, &nodes[k], e, n_edges[k], rows);
      e += n_edges[k];
    }
    writer_enqueue(w, rows);
    // The edges written next through write_edges belong to the last node's pipeline.
    int64_t pid = nodes[n_nodes - 1].pipeline_id;
    if (!w->last_pipeline_id || !PyLong_CheckExact(w->last_pipeline_id) ||
        PyLong_AsLongLong(w->last_pipeline_id) != pid)
      Py_XSETREF(w->last_pipeline_id, py_int(pid).release().ptr());
    return 0;
  } catch (...) {
    release_py_items(rows);
    glue::restore_current_exception();
    return -1;
  }
}

int capi_write_node(PyObject* writer, const NodeRecord* n, const EdgeRecord* edges, Py_ssize_t n_edges) {
  return capi_write_nodes(writer, n, 1, edges, &n_edges);
}

int capi_is_native(PyObject* writer) {
  return Py_IS_TYPE(writer, &AsyncWriterType) && writer_is_native((AsyncWriterObject*) writer) ? 1 : 0;
}

/// The Database `storage.store_results` writes into when that method is our
/// own (storage.py decides, as it does for the writer), else nullptr.
/// Looked up in sys.modules only (a storage of ours implies its module is
/// loaded); a module there without that function (a stand-in) means no.
std::shared_ptr<Db> results_database(PyObject* storage) {
  nb::object name = glue::steal(PyUnicode_FromString("corvanti.utilities.persistence.storage"));
  nb::object mod = nb::steal(PyImport_GetModule(name.ptr()));
  if (!mod.is_valid()) {
    if (PyErr_Occurred()) glue::raise_current();
    return nullptr;
  }
  PyObject* fn = nullptr;
  if (PyObject_GetOptionalAttrString(mod.ptr(), "_native_results_database", &fn) < 0) glue::raise_current();
  if (!fn) return nullptr;
  nb::object hold = nb::steal(fn);
  nb::object db = glue::steal(PyObject_CallOneArg(fn, storage));
  return database_of(db.ptr());
}

int capi_stores_results_natively(PyObject* storage) {
  try {
    return results_database(storage) ? 1 : 0;
  } catch (...) {
    glue::restore_current_exception();
    return -1;
  }
}

int capi_store_results(PyObject* storage, PyObject* pipeline_id, const ResultBlock* block) {
  try {
    std::shared_ptr<Db> db = results_database(storage);
    if (!db) return 1;
    // As Database.store_results converts its argument.
    int64_t pid = as_i64(pipeline_id, "store_results", "pipeline_id");
    try {
      nb::gil_scoped_release unlocked;
      db->store_results(pid, *block);
    } catch (const DbError& e) {
      raise_db_error(e, db->path());
    }
    return 0;
  } catch (...) {
    glue::restore_current_exception();
    return -1;
  }
}

CAPI g_table{};

}  // namespace

void capi_init(PyObject* module) {
  g_table.version = corvanti_persist::kCapiVersion;
  g_table.size = sizeof(CAPI);
  g_table.writer_type = &AsyncWriterType;
  g_table.stored_node_type = &StoredNodeType;
  g_table.stored_edge_type = &StoredEdgeType;
  g_table.stored_row_value_type = &StoredRowValueType;
  g_table.write_node = capi_write_node;
  g_table.is_native = capi_is_native;
  g_table.stores_results_natively = capi_stores_results_natively;
  g_table.store_results = capi_store_results;
  g_table.write_nodes = capi_write_nodes;
  PyObject* cap = PyCapsule_New(&g_table, corvanti_persist::kCapsuleName, nullptr);
  if (!cap) glue::raise_current();
  if (PyModule_Add(module, "_C_API", cap) < 0) glue::raise_current();
}

}  // namespace persist
