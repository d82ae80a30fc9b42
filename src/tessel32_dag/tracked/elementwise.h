// The per-element engine behind the tracked Series operations: for every
// position of a result, new provenance (combine / update_chain), one DAG node
// when the inputs have node ids, and the row value for persistence.
//
// Two ways to run, chosen once per operation:
//   native  the tracker is a DAGTracker whose combine / update_chain,
//           log_binary / log_unary, record_row_value and _create_node are the
//           class's own: provenance comes from the TESSEL-32 functions, nodes
//           are created in bulk over raw buffers, and row values are
//           extracted only when the tracker has a writer to hand them to;
//   python  anything is overridden (or the tracker is not a DAGTracker):
//           per position, in order, the tracker's Python methods are called
//           (combine / update_chain, then log_*, then record_row_value).
// The native run hands over to the python run at the first position it
// cannot represent (a provenance outside 0..2**32-1, say), so errors are the
// ones the Python methods raise, at the same position.
#pragma once

#include "glue/buffer.h"

#include <nanobind/nanobind.h>

#include <cstdint>
#include <vector>

namespace dag {
namespace nb = nanobind;

/// A sequence of integers indexed by position: a raw view when the object
/// exports a 1-D integer buffer (numpy arrays of any integer dtype, strided
/// or not), else item access with int() per element.
class IntColumn {
 public:
  explicit IntColumn(PyObject* seq);  // len(seq) is taken here (errors propagate)
  IntColumn(const IntColumn&) = delete;
  IntColumn& operator=(const IntColumn&) = delete;

  Py_ssize_t size() const { return len_; }
  bool typed() const { return kind_ != GENERIC || materialized_; }
  /// Generic columns: read int(seq[i]) for i < upto into a native copy, up
  /// to the first element that fails or does not fit int64 (read() answers
  /// false from there on; the error itself is left for the caller's Python
  /// road to meet again). Errors that are not Exceptions propagate.
  void materialize(Py_ssize_t upto);
  /// Typed (or materialized) columns only: the element as int64; false when
  /// it does not fit.
  bool read(Py_ssize_t i, int64_t& out) const;
  /// The raw data when the column is a contiguous array of exactly T
  /// (uint32 or int64), else nullptr.
  const uint32_t* contiguous_u32() const { return kind_ == U32 && stride_ == 4 ? (const uint32_t*) base_ : nullptr; }
  const int64_t* contiguous_i64() const { return kind_ == S64 && stride_ == 8 ? (const int64_t*) base_ : nullptr; }
  /// int(seq[i]) as a new int (typed columns build it from the raw value).
  nb::object read_obj(Py_ssize_t i) const;

 private:
  enum Kind { GENERIC, S8, S16, S32, S64, U8, U16, U32, U64 };
  nb::object seq_;
  glue::Buffer buf_;
  Kind kind_ = GENERIC;
  const char* base_ = nullptr;
  Py_ssize_t stride_ = 0;
  Py_ssize_t len_ = 0;
  bool materialized_ = false;
  std::vector<int64_t> values_;  // materialized prefix of a generic column
};

/// One element-wise operation.
struct ElementwiseJob {
  PyObject* tracker;      ///< truthy tracker
  PyObject* op_name;      ///< exact str
  PyObject* op_code;      ///< handed to combine / update_chain as is
  int n_inputs;           ///< 2: combine + log_binary, 1: update_chain + log_unary
  PyObject* prov[2];      ///< the operands' provenance sequences
  PyObject* nodes[2];     ///< the operands' node-id sequences
  PyObject* values;       ///< the result values, read as values[i] for row values
  Py_ssize_t n;           ///< number of result positions
};

/// Fill out_prov (uint32, zeros, length n) and out_nodes (int64, zeros,
/// length n) for every position. Errors of provenance and node creation
/// propagate (earlier positions keep their nodes); row-value errors are
/// discarded per position.
void run_elementwise(const ElementwiseJob& job, nb::handle out_prov, nb::handle out_nodes);

/// Can `tracker` take the native run? (one override check per method)
bool tracker_is_native(PyObject* tracker);

}  // namespace dag
