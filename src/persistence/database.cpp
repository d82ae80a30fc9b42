// `_native.Database` (see database.h).
#include "persistence/database.h"

#include <new>

#include "glue/glue.h"
#include "persistence/convert.h"
#include "persistence/messages.h"

namespace persist {

PyObject* g_storage_error = nullptr;

namespace {

using glue::Call;
using glue::Signature;

struct DatabaseObject {
  PyObject_HEAD
  std::shared_ptr<Db> db;  ///< shared with writers that write through it
};

Db& db_of(const Call& c) { return *((DatabaseObject*) c.self)->db; }

/// Run `f` with the GIL released; SQLite errors become StorageError.
template <class F>
auto without_gil(Db& db, F&& f) {
  try {
    nb::gil_scoped_release unlocked;
    return f();
  } catch (const DbError& e) {
    raise_db_error(e, db.path());
  }
}

PyObject* db_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const Signature sig{"Database", {"path"}, 1};
  return glue::guarded([&]() -> PyObject* {
    PyObject* a[1];
    glue::parse_tuple(sig, nullptr, args, kwargs, a);
    nb::object fs = glue::steal(PyOS_FSPath(a[0]));
    nb::object enc = glue::steal(PyUnicode_Check(fs.ptr()) ? PyUnicode_EncodeFSDefault(fs.ptr())
                                                            : Py_NewRef(fs.ptr()));
    if (!PyBytes_Check(enc.ptr())) glue::raise(PyExc_TypeError, msg::DB_BAD_PATH);
    auto* self = (DatabaseObject*) type->tp_alloc(type, 0);
    if (!self) glue::raise_current();
    new (&self->db) std::shared_ptr<Db>(std::make_shared<Db>(PyBytes_AS_STRING(enc.ptr())));
    return (PyObject*) self;
  });
}

void db_dealloc(PyObject* self) {
  auto* d = (DatabaseObject*) self;
  {
    // Closing may wait for a writer thread's transaction on this connection.
    Py_BEGIN_ALLOW_THREADS
    d->db.reset();
    Py_END_ALLOW_THREADS
  }
  d->db.~shared_ptr<Db>();
  Py_TYPE(self)->tp_free(self);
}

nb::object m_open(const Call& c) {
  static const Signature sig{"Database.open", {}, 0};
  glue::parse(sig, c, nullptr);
  Db& db = db_of(c);
  without_gil(db, [&] { db.open(); return 0; });
  return nb::none();
}

nb::object m_close(const Call& c) {
  static const Signature sig{"Database.close", {}, 0};
  glue::parse(sig, c, nullptr);
  Db& db = db_of(c);
  without_gil(db, [&] { db.close(); return 0; });
  return nb::none();
}

nb::object m_execute(const Call& c) {
  static const Signature sig{"Database.execute", {"sql", "params"}, 1};
  PyObject* a[2];
  glue::parse(sig, c, a);
  glue::check_str(a[0], "sql");
  std::string sql = utf8(a[0]);
  SqlRow params = sql_params(a[1]);
  Db& db = db_of(c);
  auto r = without_gil(db, [&] { return db.execute(sql, params); });
  return glue::steal(Py_BuildValue("(LL)", (long long) r.first, (long long) r.second));
}

nb::object m_query(const Call& c) {
  static const Signature sig{"Database.query", {"sql", "params"}, 1};
  PyObject* a[2];
  glue::parse(sig, c, a);
  glue::check_str(a[0], "sql");
  std::string sql = utf8(a[0]);
  SqlRow params = sql_params(a[1]);
  Db& db = db_of(c);
  auto rows = without_gil(db, [&] { return db.query(sql, params); });
  nb::object out = glue::steal(PyList_New((Py_ssize_t) rows.size()));
  for (size_t i = 0; i < rows.size(); ++i) {
    PyObject* t = PyTuple_New((Py_ssize_t) rows[i].size());
    if (!t) glue::raise_current();
    PyList_SET_ITEM(out.ptr(), (Py_ssize_t) i, t);
    for (size_t k = 0; k < rows[i].size(); ++k)
      PyTuple_SET_ITEM(t, (Py_ssize_t) k, sql_value_to_py(rows[i][k]).release().ptr());
  }
  return out;
}

nb::object m_executescript(const Call& c) {
  static const Signature sig{"Database.executescript", {"statements"}, 1};
  PyObject* a[1];
  glue::parse(sig, c, a);
  Items it = items_of(a[0], "executescript");
  std::vector<std::string> stmts;
  for (Py_ssize_t i = 0; i < it.n; ++i) {
    glue::check_str(it.items[i], "statements");
    stmts.push_back(utf8(it.items[i]));
  }
  Db& db = db_of(c);
  without_gil(db, [&] { db.execute_script(stmts); return 0; });
  return nb::none();
}

nb::object m_set_context(const Call& c) {
  static const Signature sig{"Database.set_context", {"tenant_id", "pipeline_id"}, 2};
  PyObject* a[2];
  glue::parse(sig, c, a);
  glue::check_str(a[0], "tenant_id", true);
  std::optional<std::string> tenant;
  if (a[0] != Py_None) tenant = utf8(a[0]);
  std::optional<int64_t> pid = as_opt_i64(a[1], "set_context", "pipeline_id");
  db_of(c).set_context(std::move(tenant), pid);
  return nb::none();
}

/// The shape every bulk call shares: the records converted to rows with the
/// GIL (from a tuple copy, so a record cannot change the list under us), then
/// one transaction without it; returns the number of rows stored.
template <class Convert, class Store>
nb::object store_rows(const Call& c, PyObject* records, const char* what, Convert convert, Store store) {
  Items it = items_of(records, what);
  std::vector<decltype(convert(it.items[0]))> rows;
  rows.reserve((size_t) it.n);
  for (Py_ssize_t i = 0; i < it.n; ++i) rows.push_back(convert(it.items[i]));
  Db& db = db_of(c);
  int64_t n = without_gil(db, [&] { return store(db, rows); });
  return glue::steal(PyLong_FromLongLong(n));
}

nb::object m_store_nodes(const Call& c) {
  static const Signature sig{"Database.store_nodes", {"nodes"}, 1};
  PyObject* a[1];
  glue::parse(sig, c, a);
  return store_rows(c, a[0], "store_nodes", node_row, [](Db& db, auto& rows) { return db.store_nodes(rows); });
}

nb::object m_fp_map(const Call& c) {
  static const Signature sig{"Database.get_fingerprint_node_map", {"pipeline_id"}, 1};
  PyObject* a[1];
  glue::parse(sig, c, a);
  int64_t pid = as_i64(a[0], "get_fingerprint_node_map", "pipeline_id");
  Db& db = db_of(c);
  auto pairs = without_gil(db, [&] { return db.fingerprint_map(pid); });
  nb::object d = glue::steal(_PyDict_NewPresized((Py_ssize_t) pairs.size()));
  for (auto& [fp, id] : pairs) {
    nb::object k = glue::steal(PyLong_FromLongLong(fp));
    nb::object v = glue::steal(PyLong_FromLongLong(id));
    glue::ok(PyDict_SetItem(d.ptr(), k.ptr(), v.ptr()));
  }
  return d;
}

nb::object m_store_edges_resolved(const Call& c) {
  static const Signature sig{"Database.store_edges_resolved", {"rows"}, 1};
  PyObject* a[1];
  glue::parse(sig, c, a);
  return store_rows(c, a[0], "store_edges_resolved", resolved_edge_row,
                    [](Db& db, auto& rows) { return db.store_edges_resolved(rows); });
}

nb::object m_store_edges(const Call& c) {
  static const Signature sig{"Database.store_edges", {"edges", "pipeline_id"}, 2};
  PyObject* a[2];
  glue::parse(sig, c, a);
  int64_t pid = as_i64(a[1], "store_edges", "pipeline_id");
  return store_rows(c, a[0], "store_edges", [pid](PyObject* r) { return edge_row(r, pid); },
                    [](Db& db, auto& rows) { return db.store_edges(rows); });
}

nb::object m_store_row_values(const Call& c) {
  static const Signature sig{"Database.store_row_values", {"values"}, 1};
  PyObject* a[1];
  glue::parse(sig, c, a);
  return store_rows(c, a[0], "store_row_values", value_row,
                    [](Db& db, auto& rows) { return db.store_row_values(rows); });
}

nb::object m_store_results(const Call& c) {
  static const Signature sig{"Database.store_results", {"pipeline_id", "results"}, 2};
  PyObject* a[2];
  glue::parse(sig, c, a);
  int64_t pid = as_i64(a[0], "store_results", "pipeline_id");
  return store_rows(c, a[1], "store_results", result_row,
                    [pid](Db& db, auto& rows) { return db.store_results(pid, rows); });
}

nb::object g_is_open(PyObject* self) { return nb::bool_(((DatabaseObject*) self)->db->is_open()); }
nb::object g_path(PyObject* self) {
  const std::string& p = ((DatabaseObject*) self)->db->path();
  return glue::steal(PyUnicode_DecodeFSDefaultAndSize(p.data(), (Py_ssize_t) p.size()));
}

PyMethodDef kMethods[] = {
    GLUE_METHOD("open", m_open, msg::DB_OPEN_DOC),
    GLUE_METHOD("close", m_close, msg::DB_CLOSE_DOC),
    GLUE_METHOD("execute", m_execute, msg::DB_EXECUTE_DOC),
    GLUE_METHOD("query", m_query, msg::DB_QUERY_DOC),
    GLUE_METHOD("executescript", m_executescript, msg::DB_SCRIPT_DOC),
    GLUE_METHOD("set_context", m_set_context, msg::DB_CONTEXT_DOC),
    GLUE_METHOD("store_nodes", m_store_nodes, msg::DB_STORE_NODES_DOC),
    GLUE_METHOD("get_fingerprint_node_map", m_fp_map, msg::DB_FP_MAP_DOC),
    GLUE_METHOD("store_edges_resolved", m_store_edges_resolved, msg::DB_EDGES_RESOLVED_DOC),
    GLUE_METHOD("store_edges", m_store_edges, msg::DB_EDGES_DOC),
    GLUE_METHOD("store_row_values", m_store_row_values, msg::DB_ROW_VALUES_DOC),
    GLUE_METHOD("store_results", m_store_results, msg::DB_RESULTS_DOC),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProps[] = {
    GLUE_GETTER("is_open", g_is_open, msg::DB_IS_OPEN_DOC),
    GLUE_GETTER("path", g_path, msg::DB_PATH_DOC),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject DatabaseType = {PyVarObject_HEAD_INIT(nullptr, 0)};

void raise_db_error(const DbError& e, const std::string& /*path*/) {
  glue::raise(g_storage_error, msg::DB_ERROR, e.where.c_str(), e.what(), e.code);
}

std::shared_ptr<Db> database_of(PyObject* obj) {
  if (!obj || !PyObject_TypeCheck(obj, &DatabaseType)) return nullptr;
  return ((DatabaseObject*) obj)->db;
}

void database_init(PyObject* module) {
  g_storage_error = PyErr_NewExceptionWithDoc("corvanti.utilities.persistence.StorageError",
                                              msg::STORAGE_ERROR_DOC, PyExc_RuntimeError, nullptr);
  if (!g_storage_error) glue::raise_current();
  glue::ok(PyModule_AddObjectRef(module, "StorageError", g_storage_error));
  DatabaseType.tp_name = "corvanti.utilities.persistence._native.Database";
  DatabaseType.tp_basicsize = sizeof(DatabaseObject);
  DatabaseType.tp_flags = Py_TPFLAGS_DEFAULT;
  DatabaseType.tp_doc = msg::DATABASE_DOC;
  DatabaseType.tp_new = db_new;
  DatabaseType.tp_dealloc = db_dealloc;
  DatabaseType.tp_methods = kMethods;
  DatabaseType.tp_getset = kProps;
  glue::ok(PyType_Ready(&DatabaseType));
  glue::ok(PyModule_AddObjectRef(module, "Database", (PyObject*) &DatabaseType));
}

}  // namespace persist
