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

/// One storage call for the run rows[pos, end); returns false with `err` set.
bool call_run(PyObject* storage, std::vector<NativeRow>& rows, size_t pos, size_t end, std::string& err) {
  const PyItem& first = std::get<PyItem>(rows[pos]);
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
    PyObject* list = PyList_New((Py_ssize_t) (end - pos));
    if (list) {
      for (size_t i = pos; i < end; ++i)
        PyList_SET_ITEM(list, (Py_ssize_t) (i - pos), Py_NewRef(as_obj(std::get<PyItem>(rows[i]).obj)));
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

/// The end of the run that starts at `pos`: same kind, and for edges the same pipeline.
size_t run_end(const std::vector<NativeRow>& rows, size_t pos) {
  const PyItem& first = std::get<PyItem>(rows[pos]);
  if (first.kind == PyItem::Source) return pos + 1;
  size_t end = pos + 1;
  while (end < rows.size()) {
    const PyItem& it = std::get<PyItem>(rows[end]);
    if (it.kind != first.kind) break;
    if (it.kind == PyItem::Edge && it.pipeline_id != first.pipeline_id) {
      int eq = PyObject_RichCompareBool(as_obj(it.pipeline_id), as_obj(first.pipeline_id), Py_EQ);
      if (eq <= 0) {
        PyErr_Clear();
        break;
      }
    }
    ++end;
  }
  return end;
}

enum class Outcome { Stored, Failed, Abandon };

/// The Python road: runs of one kind each go to one storage call; `pos`
/// survives a failure, so a retry never repeats a call that succeeded.
Outcome write_python(WriterCore& core, std::vector<NativeRow>& rows, size_t& pos, std::string& err) {
  if (Py_IsFinalizing()) return Outcome::Abandon;
  PyGILState_STATE g = PyGILState_Ensure();
  Outcome out = Outcome::Stored;
  while (pos < rows.size()) {
    size_t end = run_end(rows, pos);
    if (!call_run(core.storage, rows, pos, end, err)) {
      out = Outcome::Failed;
      break;
    }
    pos = end;
  }
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
  while (!abandon && core->queue.take(batch)) {
    size_t pos = 0;
    double pause = kFirstBackoff;
    for (;;) {
      std::string err;
      Outcome o = native ? write_native(*core, batch, err) : write_python(*core, batch, pos, err);
      if (o == Outcome::Stored) {
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
      core->queue.backoff(pause);
      pause = pause * 2 < kMaxBackoff ? pause * 2 : kMaxBackoff;
    }
    if (!native && !abandon && !Py_IsFinalizing()) {
      PyGILState_STATE g = PyGILState_Ensure();
      release_py_items(batch);
      PyGILState_Release(g);
    }
    batch.clear();
  }
  core->queue.mark_thread_exited();
}

}  // namespace persist
