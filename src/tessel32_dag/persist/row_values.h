// Row values of a tracked element-wise operation, buffered natively: what
// `tracker.record_row_value(i, fingerprint, op_name, values[i])` does for each
// position, without a Python call per position (for a tracker whose
// record_row_value is the class's own).
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>

#include "glue/buffer.h"

namespace dag {
namespace nb = nanobind;

class RowValueSink {
 public:
  /// `values` is read as values[i]; None and NaN are skipped, as always.
  RowValueSink(PyObject* tracker, PyObject* op_name, PyObject* values);
  RowValueSink(const RowValueSink&) = delete;
  RowValueSink& operator=(const RowValueSink&) = delete;

  /// Buffer the values of positions [from, to) with their fingerprints
  /// (prov[from..to)). Errors of a position deriving from Exception are
  /// discarded with that position, as the per-position calls would be.
  void record(Py_ssize_t from, Py_ssize_t to, const uint32_t* prov);

 private:
  bool value_at(Py_ssize_t i, nb::object& numeric, nb::object& text, bool& skip);
  bool append(nb::handle record);
  bool prepare();

  PyObject* tracker_;
  PyObject* op_name_;
  PyObject* values_;
  glue::Buffer buf_;
  char code_ = 0;          ///< 'd', 'q'/'l', '?' for raw reads; 0: values[i]
  int ready_ = -1;         ///< -1 not yet, 0 no (errors discarded), 1 yes
  nb::object record_type_, pipeline_id_, tenant_id_, buffer_, lock_, threshold_;
};

}  // namespace dag
