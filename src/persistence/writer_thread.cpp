// The writer thread: takes batches off the queue and stores them, natively
// (one SQLite transaction, no GIL) or through the storage's Python methods
// (with the GIL), retrying a failing batch with back-off.
#include <Python.h>

#include "glue/errors.h"
#include "persistence/writer.h"

namespace persist {
namespace {

constexpr double kFirstBackoff = 0.05;
constexpr double kMaxBackoff = 2.0;
constexpr size_t kNativeCoalesce = 64;

PyObject* as_obj(void* p) { return static_cast<PyObject*>(p); }

/// str(exception) of the raised error, which is cleared (GIL held).
std::string take_error_text() {
  PyObject* exc = PyErr_GetRaisedException();
  std::string text = "unknown error";
  if (exc) {
    PyObject* s = PyObject_Str(exc);
    const char* u = s ? PyUnicode_AsUTF8(s) : nullptr;
    text = std::string(Py_TYPE(exc)->tp_name) + ": " + (u ? u : "?");
    Py_XDECREF(s);
    PyErr_Clear();
    Py_DECREF(exc);
  }
  return text;
}

const char* method_of(PyItem::Kind k) {
  switch (k) {
    case PyItem::Node: return "store_nodes";
    case PyItem::Edge: return "store_edges";
    case PyItem::RowValue: return "store_row_values";
    default: return "register_source";
  }
}

/// One storage call of a batch: the records of one kind (edges: of one
/// pipeline), by index into the batch.
struct Run {
  PyItem::Kind kind;
  std::vector<size_t> idx;
};

/// A batch grouped into as few storage calls as possible: all nodes first
/// (so every edge of the batch finds its nodes), then the edges of each
/// pipeline, the row values, the sources. Needs the GIL (pipeline ids are
/// compared as Python objects).
std::vector<Run> plan_runs(const std::vector<NativeRow>& rows) {
  std::vector<Run> runs;
  Run nodes{PyItem::Node, {}}, values{PyItem::RowValue, {}};
  std::vector<Run> edges, sources;
  for (size_t i = 0; i < rows.size(); ++i) {
    const PyItem& it = std::get<PyItem>(rows[i]);
    switch (it.kind) {
      case PyItem::Node: nodes.idx.push_back(i); break;
      case PyItem::RowValue: values.idx.push_back(i); break;
      case PyItem::Source: sources.push_back(Run{PyItem::Source, {i}}); break;
      case PyItem::Edge: {
        Run* same = nullptr;
        for (Run& r : edges) {
          PyObject* pid = as_obj(std::get<PyItem>(rows[r.idx[0]]).pipeline_id);
          int eq = pid == as_obj(it.pipeline_id) ? 1 : PyObject_RichCompareBool(pid, as_obj(it.pipeline_id), Py_EQ);
          if (eq < 0) PyErr_Clear();
          if (eq > 0) {
            same = &r;
            break;
          }
        }
        if (same) same->idx.push_back(i);
        else edges.push_back(Run{PyItem::Edge, {i}});
      }
    }
  }
  if (!nodes.idx.empty()) runs.push_back(std::move(nodes));
  for (Run& r : edges) runs.push_back(std::move(r));
  if (!values.idx.empty()) runs.push_back(std::move(values));
  for (Run& r : sources) runs.push_back(std::move(r));
  return runs;
}

/// One storage call for a run; returns false with `err` set.
bool call_run(PyObject* storage, const std::vector<NativeRow>& rows, const Run& run, std::string& err) {
  const PyItem& first = std::get<PyItem>(rows[run.idx[0]]);
  PyObject* result = nullptr;
  if (first.kind == PyItem::Source) {
    PyObject* args = as_obj(first.obj);  // (pair_id, table, column, is_protected)
    PyObject* meth = PyObject_GetAttrString(storage, "register_source");
    if (meth) {
      PyObject* kw = Py_BuildValue("{s:O}", "is_protected", PyTuple_GET_ITEM(args, 3));
      PyObject* pos3 = PyTuple_GetSlice(args, 0, 3);
      if (kw && pos3) result = PyObject_Call(meth, pos3, kw);
      Py_XDECREF(kw);
      Py_XDECREF(pos3);
      Py_DECREF(meth);
    }
  } else {
    PyObject* list = PyList_New((Py_ssize_t) run.idx.size());
    if (list) {
      for (size_t k = 0; k < run.idx.size(); ++k)
        PyList_SET_ITEM(list, (Py_ssize_t) k, Py_NewRef(as_obj(std::get<PyItem>(rows[run.idx[k]]).obj)));
      PyObject* name = PyUnicode_FromString(method_of(first.kind));
      if (name) {
        if (first.kind == PyItem::Edge) {
          PyObject* args[] = {storage, list, as_obj(first.pipeline_id)};
          result = PyObject_VectorcallMethod(name, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        } else {
          PyObject* args[] = {storage, list};
          result = PyObject_VectorcallMethod(name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        }
        Py_DECREF(name);
      }
      Py_DECREF(list);
    }
  }
  if (!result) {
    err = take_error_text();
    return false;
  }
  Py_DECREF(result);
  return true;
}

enum class Outcome { Stored, Progress, Failed, Abandon };

/// The Python road. `done` (runs stored so far) survives a failure, so a
/// retry never repeats a call that succeeded. With `release`, the batch's
/// references are dropped once it is stored (one GIL round per batch).
Outcome write_python(WriterCore& core, std::vector<NativeRow>& rows, std::vector<Run>& runs, bool& planned,
                     size_t& done, std::string& err) {
  if (Py_IsFinalizing()) return Outcome::Abandon;
  PyGILState_STATE g = PyGILState_Ensure();
  if (!planned) {
    runs = plan_runs(rows);
    planned = true;
  }
  size_t before = done;
  Outcome out = Outcome::Stored;
  while (done < runs.size()) {
    if (!call_run(core.storage, rows, runs[done], err)) {
      out = done > before ? Outcome::Progress : Outcome::Failed;
      break;
    }
    ++done;
  }
  if (out == Outcome::Stored) release_py_items(rows);
  PyGILState_Release(g);
  return out;
}

Outcome write_native(WriterCore& core, std::vector<NativeRow>& rows, std::string& err) {
  try {
    core.db->write_batch(rows.data(), rows.size());
    return Outcome::Stored;
  } catch (const DbError& e) {
    err = std::string("SQLite error in ") + e.where + ": " + e.what();
    return Outcome::Failed;
  }
}

}  // namespace

void release_py_items(std::vector<NativeRow>& rows) {
  for (NativeRow& r : rows)
    if (auto* it = std::get_if<PyItem>(&r)) {
      Py_XDECREF(as_obj(it->obj));
      Py_XDECREF(as_obj(it->pipeline_id));
      it->obj = it->pipeline_id = nullptr;
    }
}

void writer_thread_main(std::shared_ptr<WriterCore> core) {
  core->thread_id.store(std::this_thread::get_id());
  const bool native = core->db != nullptr;
  std::vector<NativeRow> batch;
  bool abandon = false;
  // The native road writes whatever is waiting (up to kNativeCoalesce
  // batches) in one transaction: a commit costs far more than a row, so a
  // backlog is cleared in few commits. Python storages get batch_size.
  const size_t max_take = native ? core->batch_size * kNativeCoalesce : 0;
  while (!abandon && core->queue.take(batch, max_take)) {
    std::vector<Run> runs;
    bool planned = false;
    size_t done = 0;
    double pause = kFirstBackoff;
    bool stored = false;
    for (;;) {
      std::string err;
      Outcome o = native ? write_native(*core, batch, err) : write_python(*core, batch, runs, planned, done, err);
      if (o == Outcome::Stored) {
        stored = true;
        core->queue.finish(batch, true);
        break;
      }
      if (o == Outcome::Abandon) {  // the interpreter is going away: no Python from here on
        abandon = true;
        break;
      }
      core->queue.note_failure(err);
      if (core->queue.give_up()) {
        core->queue.finish(batch, false);
        break;
      }
      if (o == Outcome::Progress) pause = kFirstBackoff;  // the storage works again
      core->queue.backoff(pause);
      pause = pause * 2 < kMaxBackoff ? pause * 2 : kMaxBackoff;
    }
    if (!native && !stored && !abandon && !Py_IsFinalizing()) {
      PyGILState_STATE g = PyGILState_Ensure();
      release_py_items(batch);
      PyGILState_Release(g);
    }
    batch.clear();
  }
  core->queue.mark_thread_exited();
}

}  // namespace persist
