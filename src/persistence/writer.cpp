// AsyncWriter, the Python-facing side: construction (which road), start,
// the enqueue methods, flush, stop, stats, and the exit hook that drains
// every running writer before the interpreter goes away.
#include "persistence/writer.h"

#include <algorithm>
#include <vector>

#include "glue/glue.h"
#include "persistence/convert.h"
#include "persistence/database.h"
#include "persistence/messages.h"
#include "persistence/records.h"

namespace persist {

PyTypeObject AsyncWriterType = {PyVarObject_HEAD_INIT(nullptr, 0)};

namespace {

using glue::Call;
using glue::Signature;

enum State { kCreated = 0, kRunning = 1, kStopped = 2 };

glue::Logger g_log;
/// Writers alive (borrowed; removed in dealloc), for the exit hook. GIL-guarded.
std::vector<AsyncWriterObject*> g_live;

AsyncWriterObject* self_of(const Call& c) { return (AsyncWriterObject*) c.self; }

bool on_writer_thread(const WriterCore& core) { return core.thread_id.load() == std::this_thread::get_id(); }

/// A positive setting of the config (or the default when the config is None).
nb::object config_value(PyObject* config, const char* name, PyObject* fallback) {
  if (!config || config == Py_None) return nb::borrow(fallback);
  return glue::steal(PyObject_GetAttrString(config, name));
}

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const Signature sig{"AsyncWriter", {"storage", "config"}, 1};
  return glue::guarded([&]() -> PyObject* {
    PyObject* a[2];
    glue::parse_tuple(sig, nullptr, args, kwargs, a);
    PyObject* config = a[1] ? a[1] : Py_None;
    nb::object d_batch = glue::steal(PyLong_FromLong(100)), d_interval = glue::steal(PyFloat_FromDouble(1.0)),
               d_queue = glue::steal(PyLong_FromLong(10000));
    int64_t batch = glue::to_int64(config_value(config, "batch_size", d_batch.ptr()).ptr(), "batch_size");
    double interval = glue::to_double(config_value(config, "flush_interval", d_interval.ptr()).ptr());
    int64_t queue = glue::to_int64(config_value(config, "queue_size", d_queue.ptr()).ptr(), "queue_size");
    if (batch <= 0) glue::raise(PyExc_ValueError, msg::W_BAD_CONFIG, "batch_size", std::to_string(batch).c_str());
    if (!(interval > 0)) glue::raise(PyExc_ValueError, msg::W_BAD_CONFIG, "flush_interval", std::to_string(interval).c_str());
    if (queue <= 0) glue::raise(PyExc_ValueError, msg::W_BAD_CONFIG, "queue_size", std::to_string(queue).c_str());

    // The native road: the storage module names the Database behind our own
    // storage types (exact types, so nothing overridden); anything else is
    // written through its Python methods.
    nb::object native_db = nb::none();
    if (PyObject* mod = PyImport_ImportModule("corvanti.utilities.persistence.storage")) {
      nb::object m = nb::steal(mod);
      PyObject* fn = PyObject_GetAttrString(mod, "_native_database");
      if (fn) {
        nb::object f = nb::steal(fn);
        native_db = glue::steal(PyObject_CallOneArg(fn, a[0]));
      } else {
        PyErr_Clear();
      }
    } else {
      PyErr_Clear();
    }

    auto* w = (AsyncWriterObject*) type->tp_alloc(type, 0);
    if (!w) glue::raise_current();
    new (&w->core) std::shared_ptr<WriterCore>(std::make_shared<WriterCore>((size_t) queue, (size_t) batch, interval));
    w->core->db = database_of(native_db.ptr());
    w->core->storage = Py_NewRef(a[0]);
    w->config = Py_NewRef(config);
    w->last_pipeline_id = nullptr;
    w->state = kCreated;
    w->weakrefs = nullptr;
    g_live.push_back(w);
    return (PyObject*) w;
  });
}

/// Stop and join (see stop()); returns whether everything queued was stored.
bool do_stop(AsyncWriterObject* w, double timeout) {
  WriterCore& core = *w->core;
  if (w->state != kRunning) {
    w->state = kStopped;
    return core.queue.stats().dropped == 0;
  }
  w->state = kStopped;
  core.queue.begin_stop(timeout);
  if (on_writer_thread(core)) {
    // A storage callback stopping its own writer: the thread ends after
    // this batch; it cannot join itself.
    core.thread.detach();
    return false;
  }
  if (Py_IsFinalizing() && !core.db) {
    // The thread needs the GIL, which it can no longer take: leave it to
    // the process exit.
    core.thread.detach();
    return false;
  }
  Py_BEGIN_ALLOW_THREADS
  core.thread.join();
  Py_END_ALLOW_THREADS
  WriterStats st = core.queue.stats();
  if (st.dropped && !Py_IsFinalizing()) {
    try {
      g_log.warning(msg::W_STOP_FAILED, (unsigned long long) st.dropped, st.last_error.c_str());
    } catch (const glue::error_set&) {
      PyErr_Clear();
    }
  }
  return st.dropped == 0;
}

void writer_dealloc(PyObject* self) {
  auto* w = (AsyncWriterObject*) self;
  if (w->weakrefs) PyObject_ClearWeakRefs(self);
  g_live.erase(std::remove(g_live.begin(), g_live.end(), w), g_live.end());
  bool detached = false;
  if (w->core) {
    if (w->state == kRunning) do_stop(w, -1);
    if (w->core->thread.joinable()) w->core->thread.detach();
    detached = !w->core->queue.thread_exited() && w->state != kCreated;
    if (!detached) Py_CLEAR(w->core->storage);  // a detached thread may still use it
  }
  w->core.~shared_ptr<WriterCore>();
  Py_XDECREF(w->config);
  Py_XDECREF(w->last_pipeline_id);
  Py_TYPE(self)->tp_free(self);
}

nb::object m_start(const Call& c) {
  static const Signature sig{"AsyncWriter.start", {}, 0};
  glue::parse(sig, c, nullptr);
  AsyncWriterObject* w = self_of(c);
  if (w->state == kRunning) return nb::none();
  if (w->state == kStopped) glue::raise(PyExc_RuntimeError, msg::W_NOT_RUNNING);
  std::shared_ptr<WriterCore> core = w->core;
  core->thread = std::thread(writer_thread_main, core);
  w->state = kRunning;
  return nb::none();
}

nb::object m_stop(const Call& c) {
  static const Signature sig{"AsyncWriter.stop", {"timeout"}, 0};
  PyObject* a[1];
  glue::parse(sig, c, a);
  double timeout = (a[0] && a[0] != Py_None) ? std::max(0.0, glue::to_double(a[0])) : -1.0;
  return nb::bool_(do_stop(self_of(c), timeout));
}

nb::object m_flush(const Call& c) {
  static const Signature sig{"AsyncWriter.flush", {"timeout"}, 0};
  PyObject* a[1];
  glue::parse(sig, c, a);
  double timeout = !a[0] ? 30.0 : a[0] == Py_None ? 1e9 : glue::to_double(a[0]);
  AsyncWriterObject* w = self_of(c);
  WriterCore& core = *w->core;
  if (on_writer_thread(core)) return nb::bool_(false);  // would wait for itself
  uint64_t dropped_before = 0;
  uint64_t target = core.queue.request_flush(&dropped_before);
  bool ok;
  Py_BEGIN_ALLOW_THREADS
  ok = core.queue.wait_done(target, dropped_before, w->state == kRunning ? timeout : 0.0);
  Py_END_ALLOW_THREADS
  return nb::bool_(ok);
}

/// The pipeline id of the node enqueued last (for its edges).
PyObject* edge_pipeline(AsyncWriterObject* w, const char* where) {
  if (!w->last_pipeline_id || w->last_pipeline_id == Py_None)
    glue::raise(PyExc_ValueError, msg::W_EDGES_WITHOUT_NODE, where);
  return w->last_pipeline_id;
}

nb::object m_write_node(const Call& c) {
  static const Signature sig{"AsyncWriter.write_node", {"node"}, 1};
  PyObject* a[1];
  glue::parse(sig, c, a);
  AsyncWriterObject* w = self_of(c);
  std::vector<NativeRow> rows;
  nb::object pid;
  if (PyObject_TypeCheck(a[0], &StoredNodeType)) pid = nb::borrow(record_field(a[0], node_f::pipeline_id));
  else pid = glue::steal(PyObject_GetAttrString(a[0], "pipeline_id"));
  if (w->core->db) rows.emplace_back(node_row(a[0]));
  else rows.emplace_back(PyItem{PyItem::Node, Py_NewRef(a[0]), nullptr});
  writer_enqueue(w, rows);
  Py_XSETREF(w->last_pipeline_id, pid.release().ptr());
  return nb::none();
}

nb::object m_write_edges(const Call& c) {
  static const Signature sig{"AsyncWriter.write_edges", {"edges"}, 1};
  PyObject* a[1];
  glue::parse(sig, c, a);
  AsyncWriterObject* w = self_of(c);
  nb::object seq = glue::steal(PySequence_Tuple(glue::steal(PySequence_Fast(a[0], msg::W_EDGES_NOT_SEQ)).ptr()));
  Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
  if (n == 0) return nb::none();
  PyObject* pid = edge_pipeline(w, "write_edges");
  std::vector<NativeRow> rows;
  rows.reserve((size_t) n);
  if (w->core->db) {
    int64_t p = as_i64(pid, "StoredNode", "pipeline_id");
    for (Py_ssize_t i = 0; i < n; ++i) rows.emplace_back(edge_row(PySequence_Fast_GET_ITEM(seq.ptr(), i), p));
  } else {
    for (Py_ssize_t i = 0; i < n; ++i)
      rows.emplace_back(PyItem{PyItem::Edge, Py_NewRef(PySequence_Fast_GET_ITEM(seq.ptr(), i)), Py_NewRef(pid)});
  }
  writer_enqueue(w, rows);
  return nb::none();
}

nb::object m_write_row_values(const Call& c) {
  static const Signature sig{"AsyncWriter.write_row_values", {"values"}, 1};
  PyObject* a[1];
  glue::parse(sig, c, a);
  AsyncWriterObject* w = self_of(c);
  nb::object seq = glue::steal(PySequence_Tuple(glue::steal(PySequence_Fast(a[0], msg::W_VALUES_NOT_SEQ)).ptr()));
  Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
  if (n == 0) return nb::none();
  std::vector<NativeRow> rows;
  rows.reserve((size_t) n);
  if (w->core->db) {
    for (Py_ssize_t i = 0; i < n; ++i) rows.emplace_back(value_row(PySequence_Fast_GET_ITEM(seq.ptr(), i)));
  } else {
    for (Py_ssize_t i = 0; i < n; ++i)
      rows.emplace_back(PyItem{PyItem::RowValue, Py_NewRef(PySequence_Fast_GET_ITEM(seq.ptr(), i)), nullptr});
  }
  writer_enqueue(w, rows);
  return nb::none();
}

nb::object m_register_source(const Call& c) {
  static const Signature sig{"AsyncWriter.register_source", {"pair_id", "table", "column", "is_protected"}, 3};
  PyObject* a[4];
  glue::parse(sig, c, a);
  PyObject* prot = a[3] ? a[3] : Py_False;
  AsyncWriterObject* w = self_of(c);
  std::vector<NativeRow> rows;
  if (w->core->db) {
    glue::check_str(a[1], "table");
    glue::check_str(a[2], "column");
    int t = PyObject_IsTrue(prot);
    if (t < 0) glue::raise_current();
    rows.emplace_back(SourceRow{as_i64(a[0], "register_source", "pair_id"), utf8(a[1]), utf8(a[2]), t == 1});
  } else {
    rows.emplace_back(PyItem{PyItem::Source, glue::steal(PyTuple_Pack(4, a[0], a[1], a[2], prot)).release().ptr(),
                             nullptr});
  }
  writer_enqueue(w, rows);
  return nb::none();
}

nb::object m_get_stats(const Call& c) {
  static const Signature sig{"AsyncWriter.get_stats", {}, 0};
  glue::parse(sig, c, nullptr);
  WriterStats s = self_of(c)->core->queue.stats();
  nb::object err = s.last_error.empty() ? nb::none()
                                        : glue::steal(PyUnicode_DecodeUTF8(s.last_error.data(),
                                                                           (Py_ssize_t) s.last_error.size(), "replace"));
  return glue::steal(Py_BuildValue(
      "{s:K,s:K,s:K,s:K,s:K,s:n,s:K,s:K,s:K,s:K,s:K,s:O}", "queued", (unsigned long long) s.queued, "written",
      (unsigned long long) s.written, "failed", (unsigned long long) s.failed, "retried",
      (unsigned long long) s.retried, "batches", (unsigned long long) s.batches, "queue_depth",
      (Py_ssize_t) s.queue_depth, "nodes", (unsigned long long) s.nodes, "edges", (unsigned long long) s.edges,
      "row_values", (unsigned long long) s.row_values, "sources", (unsigned long long) s.sources, "dropped",
      (unsigned long long) s.dropped, "last_error", err.ptr()));
}

nb::object g_storage(PyObject* self) { return nb::borrow(((AsyncWriterObject*) self)->core->storage); }
nb::object g_config(PyObject* self) { return nb::borrow(((AsyncWriterObject*) self)->config); }
nb::object g_running(PyObject* self) { return nb::bool_(((AsyncWriterObject*) self)->state == kRunning); }
nb::object g_native(PyObject* self) { return nb::bool_(((AsyncWriterObject*) self)->core->db != nullptr); }

/// atexit: drain every running writer while threads can still take the GIL.
nb::object f_stop_all(const Call& c) {
  static const Signature sig{"_stop_all_writers", {}, 0};
  glue::parse(sig, c, nullptr);
  std::vector<nb::object> live;
  for (AsyncWriterObject* w : g_live)
    if (w->state == kRunning) live.push_back(nb::borrow((PyObject*) w));
  for (nb::object& o : live) do_stop((AsyncWriterObject*) o.ptr(), -1);
  return nb::none();
}

PyMethodDef kMethods[] = {
    GLUE_METHOD("start", m_start, msg::W_START_DOC),
    GLUE_METHOD("stop", m_stop, msg::W_STOP_DOC),
    GLUE_METHOD("flush", m_flush, msg::W_FLUSH_DOC),
    GLUE_METHOD("write_node", m_write_node, msg::W_WRITE_NODE_DOC),
    GLUE_METHOD("write_edges", m_write_edges, msg::W_WRITE_EDGES_DOC),
    GLUE_METHOD("write_row_values", m_write_row_values, msg::W_WRITE_VALUES_DOC),
    GLUE_METHOD("register_source", m_register_source, msg::W_REGISTER_DOC),
    GLUE_METHOD("get_stats", m_get_stats, msg::W_STATS_DOC),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProps[] = {
    GLUE_GETTER("storage", g_storage, msg::W_STORAGE_DOC),
    GLUE_GETTER("config", g_config, msg::W_CONFIG_DOC),
    GLUE_GETTER("is_running", g_running, msg::W_RUNNING_DOC),
    GLUE_GETTER("is_native", g_native, msg::W_NATIVE_DOC),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kModuleFns[] = {
    GLUE_METHOD("_stop_all_writers", f_stop_all, msg::W_STOP_ALL_DOC),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool writer_is_native(AsyncWriterObject* w) { return w->core->db != nullptr; }

void writer_enqueue(AsyncWriterObject* w, std::vector<NativeRow>& rows) {
  bool ok = false;
  if (w->state == kRunning) {
    WriterCore& core = *w->core;
    bool nowait = on_writer_thread(core);
    // Room in the queue: push with the GIL held (the writer thread never
    // takes the GIL while it holds the queue's lock, so this cannot
    // deadlock); only a full queue releases the GIL and waits.
    int r = nowait ? (core.queue.push(rows, true) ? 1 : -1) : core.queue.try_push(rows);
    if (r == 0) {
      Py_BEGIN_ALLOW_THREADS
      ok = core.queue.push(rows, false);
      Py_END_ALLOW_THREADS
    } else {
      ok = r == 1;
    }
  }
  if (!ok) {
    release_py_items(rows);
    glue::raise(PyExc_RuntimeError, msg::W_NOT_RUNNING);
  }
}

void writer_init(PyObject* module) {
  g_log.bind(nb::handle(), "corvanti.utilities.persistence");
  AsyncWriterType.tp_name = "corvanti.utilities.persistence.writer.AsyncWriter";
  AsyncWriterType.tp_basicsize = sizeof(AsyncWriterObject);
  AsyncWriterType.tp_flags = Py_TPFLAGS_DEFAULT;
  AsyncWriterType.tp_doc = msg::WRITER_DOC;
  AsyncWriterType.tp_new = writer_new;
  AsyncWriterType.tp_dealloc = writer_dealloc;
  AsyncWriterType.tp_methods = kMethods;
  AsyncWriterType.tp_getset = kProps;
  AsyncWriterType.tp_weaklistoffset = offsetof(AsyncWriterObject, weakrefs);
  glue::ok(PyType_Ready(&AsyncWriterType));
  glue::ok(PyModule_AddObjectRef(module, "AsyncWriter", (PyObject*) &AsyncWriterType));
  glue::ok(PyModule_AddFunctions(module, kModuleFns));
  nb::object atexit = glue::steal(PyImport_ImportModule("atexit"));
  nb::object hook = glue::steal(PyObject_GetAttrString(module, "_stop_all_writers"));
  glue::steal(PyObject_CallMethod(atexit.ptr(), "register", "O", hook.ptr()));
}

}  // namespace persist
