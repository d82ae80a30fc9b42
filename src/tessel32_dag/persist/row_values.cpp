// Row values of tracked element-wise operations (see row_values.h).
#include "tessel32_dag/persist/row_values.h"

#include "tessel32_dag/persist/persist.h"
#include "tessel32_dag/state.h"

namespace dag {
using namespace persist;

RowValueSink::RowValueSink(PyObject* tracker, PyObject* op_name, PyObject* values)
    : tracker_(tracker), op_name_(op_name), values_(values) {
  if (PyObject_CheckBuffer(values) && buf_.try_acquire(values, PyBUF_RECORDS_RO) && buf_.ndim() == 1) {
    char f = buf_.format_code();
    bool int64 = (f == 'q' || f == 'l') && buf_.itemsize() == 8;
    if ((f == 'd' && buf_.itemsize() == 8) || int64 || (f == '?' && buf_.itemsize() == 1)) code_ = f;
  }
  if (!code_) buf_.release();
}

/// What record_row_value looks up per call, once per operation. A failure
/// (no persistence package) discards every position, as each call would.
bool RowValueSink::prepare() {
  if (ready_ >= 0) return ready_;
  try {
    record_type_ = import_name(PKG_STORAGE, "StoredRowValue");
    pipeline_id_ = self_attr(tracker_, S.s_pipeline_id);
    if (!truthy(pipeline_id_)) pipeline_id_ = nb::int_(0);
    tenant_id_ = self_attr(tracker_, S.s_tenant_id);
    buffer_ = self_attr(tracker_, S.s_value_buffer);
    lock_ = self_attr(tracker_, S.s_value_buffer_lock);
    threshold_ = self_attr(tracker_, S.s_value_flush_threshold);
    ready_ = 1;
  } catch (const glue::error_set&) {
    take_exception();
    ready_ = 0;
  }
  return ready_;
}

/// float(value), else str(value) for what float() refuses; skip None/NaN.
bool RowValueSink::value_at(Py_ssize_t i, nb::object& numeric, nb::object& text, bool& skip) {
  skip = false;
  if (code_) {
    const char* p = buf_.data<const char>() + i * buf_.stride();
    double d = code_ == 'd' ? *(const double*) p : code_ == '?' ? (*(const uint8_t*) p ? 1.0 : 0.0)
                                                                 : (double) *(const int64_t*) p;
    if (d != d) {
      skip = true;
      return true;
    }
    numeric = nb::steal(PyFloat_FromDouble(d));
    return numeric.is_valid();
  }
  nb::object idx = nb::steal(PyLong_FromSsize_t(i));
  if (!idx.is_valid()) return false;
  nb::object val = nb::steal(PyObject_GetItem(values_, idx.ptr()));
  if (!val.is_valid()) return false;
  if (val.is_none()) {
    skip = true;
    return true;
  }
  if (PyFloat_Check(val.ptr())) {
    nb::object ne = nb::steal(PyObject_RichCompare(val.ptr(), val.ptr(), Py_NE));
    if (!ne.is_valid()) return false;
    int t = PyObject_IsTrue(ne.ptr());
    if (t < 0) return false;
    if (t) {
      skip = true;
      return true;
    }
  }
  PyObject* f = PyNumber_Float(val.ptr());
  if (f) {
    numeric = nb::steal(f);
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError) &&
      !PyErr_ExceptionMatches(PyExc_OverflowError))
    return false;
  PyErr_Clear();
  text = nb::steal(PyObject_Str(val.ptr()));
  return text.is_valid();
}

/// Append under the held lock; hand over a copy at the threshold.
bool RowValueSink::append(nb::handle record) {
  if (PyList_CheckExact(buffer_.ptr())) {
    if (PyList_Append(buffer_.ptr(), record.ptr()) < 0) return false;
  } else {
    nb::object r = nb::steal(PyObject_CallMethod(buffer_.ptr(), "append", "O", record.ptr()));
    if (!r.is_valid()) return false;
  }
  Py_ssize_t n = PyObject_Length(buffer_.ptr());
  if (n < 0) return false;
  nb::object len = nb::steal(PyLong_FromSsize_t(n));
  if (!len.is_valid()) return false;
  int ge = PyObject_RichCompareBool(len.ptr(), threshold_.ptr(), Py_GE);
  if (ge <= 0) return ge == 0;
  nb::object writer = nb::steal(PyObject_GetAttr(tracker_, S.s_writer));
  if (!writer.is_valid()) return false;
  int w = PyObject_IsTrue(writer.ptr());
  if (w <= 0) return w == 0;
  nb::object copy = nb::steal(PySequence_GetSlice(buffer_.ptr(), 0, PY_SSIZE_T_MAX));
  if (!copy.is_valid()) return false;
  nb::object r = nb::steal(PyObject_CallMethodOneArg(writer.ptr(), S.s_write_row_values, copy.ptr()));
  if (!r.is_valid()) return false;  // the buffer stays: offered again at the next append
  nb::object c = nb::steal(PyObject_CallMethod(buffer_.ptr(), "clear", nullptr));
  return c.is_valid();
}

void RowValueSink::record(Py_ssize_t from, Py_ssize_t to, const uint32_t* prov) {
  if (from >= to || !prepare()) return;
  static const KwNames kw{"pipeline_id", "row_index",   "fingerprint", "node_operation",
                          "value",       "column_name", "tenant_id",   "text_value"};
  auto discard = [] {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) glue::raise_current();
    PyErr_Clear();
  };
  // Records are built outside the lock (their values are the caller's), then
  // appended in position order with the lock held once for the chunk.
  std::vector<nb::object> records;
  records.reserve((size_t) (to - from));
  for (Py_ssize_t i = from; i < to; ++i) {
    nb::object numeric = nb::none(), text = nb::none();
    bool skip = false;
    if (!value_at(i, numeric, text, skip)) {
      discard();
      continue;
    }
    if (skip) continue;
    nb::object row = nb::steal(PyLong_FromSsize_t(i));
    nb::object fp = nb::steal(PyLong_FromUnsignedLong(prov[i]));
    if (!row.is_valid() || !fp.is_valid()) {
      discard();
      continue;
    }
    PyObject* args[8] = {pipeline_id_.ptr(), row.ptr(), fp.ptr(), op_name_, numeric.ptr(), Py_None,
                         tenant_id_.ptr(), text.ptr()};
    PyObject* rec = PyObject_Vectorcall(record_type_.ptr(), args, 0, kw.tuple());
    if (!rec) {
      discard();
      continue;
    }
    records.push_back(nb::steal(rec));
  }
  if (records.empty()) return;
  LockGuard guard(lock_);
  for (const nb::object& r : records)
    if (!append(r)) discard();
}

}  // namespace dag
