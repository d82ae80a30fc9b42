// What the persistence files of DAGTracker share: the persistence package
// looked up at call time, keyword calls with fixed keyword tuples, and the
// writer hand-over entry point used by node creation.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>

#include "glue/gc_pause.h"
#include "glue/glue.h"
#include "tessel32_dag/engine/tracker.h"

namespace dag::persist {

inline constexpr const char* PKG = "corvanti.utilities.persistence";
inline constexpr const char* PKG_STORAGE = "corvanti.utilities.persistence.storage";

/// `from <module> import <name>`: whatever module sys.modules holds at call
/// time (the import system is asked only when it holds none). A missing
/// module or name raises ImportError, as the statement does.
nb::object import_name(const char* module, const char* name);

/// A keyword-name tuple built once per call site (kept for the process's life).
class KwNames {
 public:
  KwNames(std::initializer_list<const char*> names);
  PyObject* tuple() const { return tuple_; }
  Py_ssize_t size() const { return PyTuple_GET_SIZE(tuple_); }

 private:
  PyObject* tuple_;
};

/// fn(*pos, **dict(zip(kw, kwvalues))) with one vectorcall, keywords in order.
nb::object call_kw(nb::handle fn, std::initializer_list<PyObject*> pos, const KwNames& kw,
                   std::initializer_list<PyObject*> kwvalues);
/// obj.name(*pos) / obj.name(*pos, **kw).
nb::object call_method(nb::handle obj, const char* name, std::initializer_list<PyObject*> pos);
nb::object call_method_kw(nb::handle obj, const char* name, std::initializer_list<PyObject*> pos,
                          const KwNames& kw, std::initializer_list<PyObject*> kwvalues);

/// getattr(obj, name)
nb::object attr(nb::handle obj, const char* name);
/// getattr(self, name, default) for the counters the bulk write sets.
nb::object attr_or(PyObject* self, const char* name, nb::handle dflt);
void set_attr(PyObject* self, const char* name, nb::handle value);

using glue::GcPause;

/// The exception being handled, taken out of the error indicator, when it is
/// an Exception; anything else (KeyboardInterrupt, ...) is re-raised.
nb::object take_exception();

}  // namespace dag::persist

#include "persistence/capi.h"

namespace dag {
/// The writer hand-over of one node, with _dag_lock held (handover.cpp):
/// native records through the persistence capsule when everything involved
/// is our own, otherwise self._persist_node(node).
void persist_node_locked(TrackerView& t, PyObject* node);

/// The writer hand-over of nodes stored as rows, with _dag_lock held. Whether
/// the native road applies is asked once, at construction (per operation or
/// per chunk of a bulk creation); the native road reads the rows from the
/// store and makes no Python object. Otherwise each node's object is made
/// and self._persist_node(node) is called.
class RowHandover {
 public:
  explicit RowHandover(TrackerView& t);
  /// Hands over whatever is still collected (see finish).
  ~RowHandover();
  RowHandover(const RowHandover&) = delete;
  RowHandover& operator=(const RowHandover&) = delete;
  void hand_over(int64_t id, const core::NodeRow& row);
  /// Native records are collected and handed to the writer as one unit per
  /// BATCH nodes; this hands over the rest. Called before the lock is let go.
  void finish();

  static constexpr size_t BATCH = 1024;

 private:
  TrackerView& t_;
  nb::object writer_;
  int64_t pipeline_id_ = 0;
  std::vector<int64_t> ids_;
  std::vector<corvanti_persist::NodeRecord> nodes_;
  std::vector<corvanti_persist::EdgeRecord> edges_;
  std::vector<Py_ssize_t> counts_;
};
}  // namespace dag
