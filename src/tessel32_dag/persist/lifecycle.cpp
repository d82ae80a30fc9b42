// The persistence life cycle of DAGTracker: enable/disable, flush, statistics,
// the next pipeline after a flush, and what leaving a `with` block or
// finalisation does with them.
#include "tessel32_dag/messages.h"
#include "tessel32_dag/persist/persist.h"
#include "tessel32_dag/state.h"

namespace dag {
using namespace persist;

namespace {

/// The pipeline marked "failed" by leaving a `with` block by an exception:
/// disable_persistence must not complete it as "completed" afterwards.
constexpr const char* FAILED_PIPELINE = "_failed_pipeline_id";
/// "failed" once a `with` block was left by an exception, until the next
/// pipeline starts (the OpenLineage export reports such a run as FAIL).
constexpr const char* PIPELINE_STATUS = "_pipeline_status";

nb::object str_obj(const char* s) { return glue::steal(PyUnicode_FromString(s)); }

/// `x or "fallback"`
nb::object or_default(nb::handle v, const char* fallback) {
  return truthy(v) ? nb::borrow(v) : str_obj(fallback);
}

nb::object create_pipeline(PyObject* self, nb::handle storage) {
  static const KwNames kw{"pipeline_name", "config", "git_commit", "tenant_id"};
  nb::object name = or_default(attr(self, "_pipeline_name"), msg::UNNAMED_PIPELINE);
  nb::object tenant = self_attr(self, S.s_tenant_id);
  return call_method_kw(storage, "create_pipeline", {}, kw, {name.ptr(), Py_None, Py_None, tenant.ptr()});
}

void complete_pipeline(nb::handle storage, nb::handle pid, const char* status) {
  static const KwNames kw{"status"};
  nb::object st = str_obj(status);
  call_method_kw(storage, "complete_pipeline", {pid.ptr()}, kw, {st.ptr()});
}

/// Steps after the storage exists; any Exception here is reported by the caller.
void enable_guarded(PyObject* self, nb::handle storage, nb::handle writer_type, nb::handle config_type,
                    nb::object& made_writer) {
  call_method(storage, "connect", {});
  set_attr(self, "_pipeline_id", create_pipeline(self, storage));
  static const KwNames cfg_kw{"batch_size", "flush_interval", "queue_size"};
  nb::object batch = nb::int_(100), interval = nb::float_(1.0), queue = nb::int_(10000);
  nb::object config = call_kw(config_type, {}, cfg_kw, {batch.ptr(), interval.ptr(), queue.ptr()});
  nb::object st = self_attr(self, S.s_storage);
  static const KwNames none{};
  nb::object writer = call_kw(writer_type, {st.ptr(), config.ptr()}, none, {});
  set_attr(self, "_writer", writer);
  made_writer = writer;
  call_method(writer, "start", {});

  // The sources the tracker already knows, in the order they were registered.
  nb::object names = attr(self, "_name_to_id");
  nb::object items = glue::steal(PySequence_List(glue::steal(PyObject_CallMethod(names.ptr(), "items", nullptr)).ptr()));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
    nb::object item = nb::borrow(PyList_GET_ITEM(items.ptr(), i));
    nb::object key = item[0], pair_id = item[1];
    nb::object table = key[0], column = key[1];
    nb::object is_prot = glue::steal(PyObject_CallMethodObjArgs(self, S.s_is_protected, table.ptr(), column.ptr(), nullptr));
    nb::object w = self_attr(self, S.s_writer);
    call_method(w, "register_source", {pair_id.ptr(), table.ptr(), column.ptr(), is_prot.ptr()});
  }
}

// ---- closing at interpreter exit
//
// A tracker still open when the interpreter exits is otherwise closed by its
// finaliser during the last stage of shutdown, when imports no longer work and
// the storage cannot complete its pipeline. An atexit hook (holding only a
// weak reference) closes it first, while everything still works.
constexpr const char* EXIT_HOOK = "_exit_hook";

nb::object close_at_exit(const glue::Call& c) {
  PyObject* tracker = nullptr;
  if (PyWeakref_GetRef(c.self, &tracker) <= 0) {
    PyErr_Clear();
    return nb::none();
  }
  nb::object t = nb::steal(tracker);
  PyObject* r = PyObject_CallMethodNoArgs(t.ptr(), S.s_disable_persistence);
  if (r) {
    Py_DECREF(r);
  } else if (PyErr_ExceptionMatches(PyExc_Exception)) {
    PyErr_Clear();  // as in __del__: closing is best effort
  } else {
    glue::raise_current();
  }
  return nb::none();
}

PyMethodDef close_at_exit_def = GLUE_METHOD("_close_at_exit", close_at_exit, nullptr);

void register_exit_hook(PyObject* self) {
  if (!attr_or(self, EXIT_HOOK, nb::none()).is_none()) return;
  nb::object ref = glue::steal(PyWeakref_NewRef(self, nullptr));
  nb::object hook = glue::steal(PyCFunction_New(&close_at_exit_def, ref.ptr()));
  nb::object atexit = glue::steal(PyImport_ImportModule("atexit"));
  call_method(atexit, "register", {hook.ptr()});
  set_attr(self, EXIT_HOOK, hook);
}

void unregister_exit_hook(PyObject* self) {
  nb::object hook = attr_or(self, EXIT_HOOK, nb::none());
  if (hook.is_none()) return;
  set_attr(self, EXIT_HOOK, nb::none());
  PyObject* atexit = PyImport_ImportModule("atexit");  // gone late in shutdown: nothing to undo then
  if (!atexit) {
    take_exception();
    return;
  }
  PyObject* r = PyObject_CallMethod(atexit, "unregister", "O", hook.ptr());
  Py_DECREF(atexit);
  if (r) {
    Py_DECREF(r);
  } else {
    take_exception();
  }
}

}  // namespace

nb::object tracker_enable_persistence(const glue::Call& c) {
  static const glue::Signature sig{"DAGTracker.enable_persistence", {}, 0};
  glue::parse(sig, c, nullptr);
  PyObject* self = c.self;
  // Unguarded: without the package (or with a storage that cannot even be
  // constructed) the error reaches the caller.
  nb::object storage_type = import_name(PKG, "HostedStorage");
  nb::object writer_type = import_name(PKG, "AsyncWriter");
  nb::object config_type = import_name(PKG, "WriterConfig");
  static const KwNames kw{"api_url", "api_key", "tenant_id"};
  nb::object url = attr(self, "_service_url");
  nb::object key = attr(self, "_api_key");
  nb::object tenant = or_default(self_attr(self, S.s_tenant_id), msg::DEFAULT_TENANT);
  nb::object storage = call_kw(storage_type, {}, kw, {url.ptr(), key.ptr(), tenant.ptr()});
  set_attr(self, "_storage", storage);
  register_exit_hook(self);

  nb::object made_writer;
  try {
    enable_guarded(self, storage, writer_type, config_type, made_writer);
  } catch (const glue::error_set&) {
    nb::object exc = take_exception();
    // Memory-only as the warning says: a writer built here is stopped and
    // dropped (its thread may already run). The storage stays, so that
    // disable_persistence can still close it.
    if (made_writer.is_valid()) {
      PyObject* r = PyObject_CallMethod(made_writer.ptr(), "stop", nullptr);
      if (r) {
        Py_DECREF(r);
      } else {
        take_exception();  // the set-up failure is what gets reported
      }
      nb::object cur = self_attr(self, S.s_writer);
      if (cur.is(made_writer)) set_attr(self, "_writer", nb::none());
    }
    nb::object text = glue::steal(PyObject_Str(exc.ptr()));
    nb::object message = glue::steal(PyUnicode_FromFormat(msg::INIT_FAILED, text.ptr()));
    glue::ok(PyErr_WarnEx(PyExc_UserWarning, PyUnicode_AsUTF8(message.ptr()), 1));
  }
  return nb::none();
}

nb::object tracker_disable_persistence(const glue::Call& c) {
  static const glue::Signature sig{"DAGTracker.disable_persistence", {}, 0};
  glue::parse(sig, c, nullptr);
  PyObject* self = c.self;
  nb::object writer = self_attr(self, S.s_writer);
  if (truthy(writer)) {
    call_method(writer, "stop", {});
    set_attr(self, "_writer", nb::none());
  }
  nb::object storage = self_attr(self, S.s_storage);
  if (truthy(storage)) {
    nb::object pid = self_attr(self, S.s_pipeline_id);
    if (!pid.is_none()) {
      nb::object failed = attr_or(self, FAILED_PIPELINE, nb::none());
      bool is_failed = false;
      if (!failed.is_none()) {
        int eq = PyObject_RichCompareBool(failed.ptr(), pid.ptr(), Py_EQ);
        if (eq < 0) glue::raise_current();
        is_failed = eq;
      }
      if (!is_failed) complete_pipeline(storage, pid, "completed");
    }
    call_method(storage, "disconnect", {});
    set_attr(self, "_storage", nb::none());
  }
  set_attr(self, "_pipeline_id", nb::none());
  set_attr(self, FAILED_PIPELINE, nb::none());
  unregister_exit_hook(self);
  return nb::none();
}

nb::object tracker_flush(const glue::Call& c) {
  static const glue::Signature sig{"DAGTracker.flush", {"timeout"}, 0};
  PyObject* a[1];
  glue::parse(sig, c, a);
  nb::object timeout = nb::float_(a[0] ? glue::to_double(a[0]) : 30.0);
  PyObject* self = c.self;
  nb::object writer = self_attr(self, S.s_writer);
  if (!truthy(writer)) return nb::bool_(true);

  {
    nb::object lock = self_attr(self, S.s_value_buffer_lock);
    LockGuard guard(lock);
    nb::object buffer = self_attr(self, S.s_value_buffer);
    Py_ssize_t n = PyObject_Length(buffer.ptr());
    if (n < 0) glue::raise_current();
    if (n) {
      nb::object copy = glue::steal(PySequence_GetSlice(buffer.ptr(), 0, PY_SSIZE_T_MAX));
      glue::steal(PyObject_CallMethodOneArg(writer.ptr(), S.s_write_row_values, copy.ptr()));
      glue::steal(PyObject_CallMethod(buffer.ptr(), "clear", nullptr));
    }
  }

  static const KwNames kw{"timeout"};
  nb::object done = call_method_kw(writer, "flush", {}, kw, {timeout.ptr()});
  // A writer that answers False ran out of time; one that answers nothing
  // (None) is taken at its word that it has written everything.
  bool timed_out = !done.is_none() && !truthy(done);

  if (!truthy(self_attr(self, S.s_nodes_persisted)) && truthy(self_attr(self, S.s_storage)) &&
      truthy(self_attr(self, S.s_pipeline_id))) {
    glue::steal(PyObject_CallMethod(self, "_persist_dag_to_storage", nullptr));
    set_attr(self, "_nodes_persisted", nb::bool_(true));
  }
  if (!truthy(self_attr(self, S.s_dashboard_synced))) {
    glue::steal(PyObject_CallMethod(self, "_sync_to_dashboard", nullptr));
    set_attr(self, "_dashboard_synced", nb::bool_(true));
  }
  return nb::bool_(!timed_out);
}

nb::object tracker_get_persistence_stats(const glue::Call& c) {
  static const glue::Signature sig{"DAGTracker.get_persistence_stats", {}, 0};
  glue::parse(sig, c, nullptr);
  PyObject* self = c.self;
  nb::object writer = self_attr(self, S.s_writer);
  if (!truthy(writer)) return nb::none();
  nb::object stats = glue::steal(PyObject_CallMethodNoArgs(writer.ptr(), S.s_get_stats));
  // Checked before it is extended: a foreign object is not changed and then refused.
  stats = glue::check_result_exact(stats, &PyDict_Type, "dict");
  if (truthy(stats)) {
    nb::object zero = nb::int_(0);
    nb::object nodes = attr_or(self, "_nodes_written", zero);
    glue::ok(PyObject_SetItem(stats.ptr(), nb::str("nodes_written").ptr(), nodes.ptr()));
    nb::object edges = attr_or(self, "_edges_written", zero);
    glue::ok(PyObject_SetItem(stats.ptr(), nb::str("edges_written").ptr(), edges.ptr()));
  }
  return stats;
}

nb::object tracker_start_new_pipeline(const glue::Call& c) {
  static const glue::Signature sig{"DAGTracker._start_new_pipeline", {}, 0};
  glue::parse(sig, c, nullptr);
  PyObject* self = c.self;
  nb::object storage = self_attr(self, S.s_storage);
  if (!truthy(storage)) return nb::none();
  nb::object pid = self_attr(self, S.s_pipeline_id);
  if (!truthy(pid)) return nb::none();
  complete_pipeline(storage, pid, "completed");
  nb::object st = self_attr(self, S.s_storage);
  set_attr(self, "_pipeline_id", create_pipeline(self, st));
  set_attr(self, "_dashboard_synced", nb::bool_(false));
  set_attr(self, "_nodes_persisted", nb::bool_(false));
  nb::object sources = self_attr(self, S.s_source_nodes);
  glue::steal(PyObject_CallMethod(sources.ptr(), "clear", nullptr));
  set_attr(self, "_nodes_written", nb::int_(0));
  set_attr(self, "_edges_written", nb::int_(0));
  set_attr(self, PIPELINE_STATUS, nb::none());
  return nb::none();
}

nb::object tracker_exit(const glue::Call& c) {
  static const glue::Signature sig{"DAGTracker.__exit__", {"exc_type", "exc_val", "exc_tb"}, 3};
  PyObject* a[3];
  glue::parse(sig, c, a);
  PyObject* self = c.self;
  const bool failed = a[0] != Py_None;
  nb::object flush_error;
  try {
    glue::steal(PyObject_CallMethodNoArgs(self, S.s_flush));
  } catch (const glue::error_set&) {
    // Leaving normally, a failing flush ends __exit__ here. Leaving by an
    // exception, the run is still closed as failed before the flush's error
    // is raised, so the pipeline is not left "running" with its writer on.
    if (!failed) throw;
    flush_error = take_exception();
  }
  if (failed) {
    set_attr(self, PIPELINE_STATUS, str_obj("failed"));
    nb::object storage = self_attr(self, S.s_storage);
    nb::object pid = self_attr(self, S.s_pipeline_id);
    if (truthy(storage) && truthy(pid)) {
      complete_pipeline(storage, pid, "failed");
      set_attr(self, FAILED_PIPELINE, pid);
    }
  }
  glue::steal(PyObject_CallMethodNoArgs(self, S.s_disable_persistence));
  if (flush_error.is_valid()) {
    PyErr_SetRaisedException(flush_error.release().ptr());
    throw glue::error_set{};
  }
  return nb::bool_(false);
}

nb::object tracker_del(const glue::Call& c) {
  PyObject* r = PyObject_CallMethodNoArgs(c.self, S.s_disable_persistence);
  if (r) {
    Py_DECREF(r);
  } else if (PyErr_ExceptionMatches(PyExc_Exception)) {
    PyErr_Clear();
  } else {
    glue::raise_current();
  }
  return nb::none();
}

}  // namespace dag
