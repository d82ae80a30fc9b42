// The per-element engine of the tracked Series operations (see elementwise.h).
#include "tessel32_dag/tracked/elementwise.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <type_traits>
#include <vector>

#include "glue/buffer.h"
#include "glue/glue.h"
#include "tessel32_dag/state.h"
#include "tessel32_dag/engine/tracker.h"
#include "tessel32_dag/persist/row_values.h"

namespace dag {

// ------------------------------------------------------------------ columns

IntColumn::IntColumn(PyObject* seq) : seq_(nb::borrow(seq)) {
  len_ = PyObject_Length(seq);
  if (len_ < 0) glue::raise_current();
  if (!PyObject_CheckBuffer(seq)) return;
  // Not an integer buffer after all: item access.
  if (!buf_.try_acquire(seq_, PyBUF_RECORDS_RO)) return;
  Kind kind = GENERIC;
  char f = buf_.format_code();
  if (buf_.ndim() == 1 && buf_.view().strides && f && buf_.length() == len_) {
    bool is_signed = f == 'b' || f == 'h' || f == 'i' || f == 'l' || f == 'q';
    bool is_unsigned = f == 'B' || f == 'H' || f == 'I' || f == 'L' || f == 'Q' || f == '?';
    if (is_signed || is_unsigned) {
      switch (buf_.itemsize()) {
        case 1: kind = is_signed ? S8 : U8; break;
        case 2: kind = is_signed ? S16 : U16; break;
        case 4: kind = is_signed ? S32 : U32; break;
        case 8: kind = is_signed ? S64 : U64; break;
        default: break;
      }
    }
  }
  if (kind == GENERIC) {
    buf_.release();
    return;
  }
  kind_ = kind;
  base_ = buf_.data<const char>();
  stride_ = buf_.stride();
}

void IntColumn::materialize(Py_ssize_t upto) {
  if (kind_ != GENERIC || materialized_) return;
  materialized_ = true;
  if (upto > len_) upto = len_;
  values_.reserve((size_t) (upto > 0 ? upto : 0));
  for (Py_ssize_t i = 0; i < upto; ++i) {
    PyObject* key = PyLong_FromSsize_t(i);
    PyObject* item = key ? PyObject_GetItem(seq_.ptr(), key) : nullptr;
    Py_XDECREF(key);
    PyObject* as_int = item ? PyNumber_Long(item) : nullptr;
    Py_XDECREF(item);
    if (!as_int) {
      if (!PyErr_ExceptionMatches(PyExc_Exception)) glue::raise_current();
      PyErr_Clear();
      return;
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(as_int, &overflow);
    Py_DECREF(as_int);
    if (overflow) return;
    values_.push_back(v);
  }
}

bool IntColumn::read(Py_ssize_t i, int64_t& out) const {
  if (kind_ == GENERIC) {
    if (i >= (Py_ssize_t) values_.size()) return false;
    out = values_[(size_t) i];
    return true;
  }
  const char* p = base_ + i * stride_;
  switch (kind_) {
    case S8: { int8_t v; std::memcpy(&v, p, 1); out = v; return true; }
    case S16: { int16_t v; std::memcpy(&v, p, 2); out = v; return true; }
    case S32: { int32_t v; std::memcpy(&v, p, 4); out = v; return true; }
    case S64: { int64_t v; std::memcpy(&v, p, 8); out = v; return true; }
    case U8: { uint8_t v; std::memcpy(&v, p, 1); out = v; return true; }
    case U16: { uint16_t v; std::memcpy(&v, p, 2); out = v; return true; }
    case U32: { uint32_t v; std::memcpy(&v, p, 4); out = v; return true; }
    case U64: {
      uint64_t v;
      std::memcpy(&v, p, 8);
      if (v > (uint64_t) INT64_MAX) return false;
      out = (int64_t) v;
      return true;
    }
    case GENERIC: break;
  }
  return false;
}

nb::object IntColumn::read_obj(Py_ssize_t i) const {
  if (kind_ == U64) {
    uint64_t v;
    std::memcpy(&v, base_ + i * stride_, 8);
    return glue::steal(PyLong_FromUnsignedLongLong(v));
  }
  if (kind_ != GENERIC) {
    int64_t v = 0;
    read(i, v);  // every raw value of a typed column but U64 fits int64
    return glue::steal(PyLong_FromLongLong(v));
  }
  nb::object key = glue::steal(PyLong_FromSsize_t(i));
  nb::object item = glue::steal(PyObject_GetItem(seq_.ptr(), key.ptr()));
  return glue::steal(PyNumber_Long(item.ptr()));  // int(seq[i])
}

// ------------------------------------------------------------------ helpers

namespace {

/// A writable view of one of the output arrays (C-contiguous, created by us).
template <class T>
class OutArray {
 public:
  OutArray(nb::handle arr, Py_ssize_t n, const char* what)
      : arr_(arr), buf_(glue::Buffer::writable_ints(arr, std::is_signed_v<T>, sizeof(T), n, what)) {}
  T* data() const { return buf_.data<T>(); }
  T& operator[](Py_ssize_t i) const { return data()[i]; }

  /// out[i] = value, as a numpy item assignment would do it (a plain int in
  /// range is written directly; anything else goes through numpy).
  void store(Py_ssize_t i, PyObject* value, int64_t lo, uint64_t hi) const {
    if (PyLong_CheckExact(value)) {
      int overflow = 0;
      long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
      if (!(v == -1 && PyErr_Occurred()) && !overflow && v >= lo && (v < 0 || (uint64_t) v <= hi)) {
        data()[i] = (T) v;
        return;
      }
      PyErr_Clear();
    }
    nb::object key = glue::steal(PyLong_FromSsize_t(i));
    glue::ok(PyObject_SetItem(arr_.ptr(), key.ptr(), value));
  }

 private:
  nb::handle arr_;
  glue::Buffer buf_;
};

/// Positions per chunk of the native run when row values are recorded (one
/// Python call each) and when they are not (pure C++ per position).
constexpr Py_ssize_t RECORDED_CHUNK = 4096;
constexpr Py_ssize_t UNRECORDED_CHUNK = 65536;

/// Is an int object >= 0 (any size)?
bool nonneg(PyObject* v) {
  int overflow = 0;
  long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
  if (x == -1 && !overflow && PyErr_Occurred()) glue::raise_current();
  return overflow ? overflow > 0 : x >= 0;
}

nb::object call(nb::handle fn, std::initializer_list<PyObject*> args) {
  return glue::steal(PyObject_Vectorcall(fn.ptr(), const_cast<PyObject* const*>(args.begin()), args.size(), nullptr));
}

/// The row-value step: values[i] is handed to record_row_value unless it is
/// None or a float NaN. Every error deriving from Exception is discarded.
class RowRecorder {
 public:
  RowRecorder(PyObject* tracker, PyObject* op_name, PyObject* values)
      : tracker_(tracker), op_name_(op_name), values_(values) {}

  void record(Py_ssize_t i, PyObject* fingerprint_source) {
    if (step(i, fingerprint_source)) return;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) glue::raise_current();
    PyErr_Clear();
  }

 private:
  bool step(Py_ssize_t i, PyObject* fp_source) {
    nb::object idx = nb::steal(PyLong_FromSsize_t(i));
    if (!idx.is_valid()) return false;
    nb::object val = nb::steal(PyObject_GetItem(values_, idx.ptr()));
    if (!val.is_valid()) return false;
    if (val.is_none()) return true;
    if (PyFloat_Check(val.ptr())) {
      if (PyFloat_CheckExact(val.ptr())) {
        double d = PyFloat_AS_DOUBLE(val.ptr());
        if (d != d) return true;
      } else {
        nb::object ne = nb::steal(PyObject_RichCompare(val.ptr(), val.ptr(), Py_NE));
        if (!ne.is_valid()) return false;
        int t = PyObject_IsTrue(ne.ptr());
        if (t < 0) return false;
        if (t) return true;
      }
    }
    if (!method_.is_valid()) {
      method_ = nb::steal(PyObject_GetAttr(tracker_, S.s_record_row_value));
      if (!method_.is_valid()) return false;
    }
    nb::object fp = nb::steal(PyNumber_Long(fp_source));
    if (!fp.is_valid()) return false;
    PyObject* args[4] = {idx.ptr(), fp.ptr(), op_name_, val.ptr()};
    PyObject* r = PyObject_Vectorcall(method_.ptr(), args, 4, nullptr);
    if (!r) return false;
    Py_DECREF(r);
    return true;
  }

  PyObject* tracker_;
  PyObject* op_name_;
  PyObject* values_;
  nb::object method_;
};

bool native_for(PyObject* tracker, int n_inputs) {
  if (!PyObject_TypeCheck(tracker, (PyTypeObject*) S.tracker_type)) return false;
  if (n_inputs == 2) {
    if (!glue::not_overridden(tracker, S.s_combine, S.t32->combine_attr)) return false;
    if (!glue::not_overridden(tracker, S.s_log_binary, S.d_log_binary)) return false;
  } else {
    if (!glue::not_overridden(tracker, S.s_update_chain, S.t32->update_chain_attr)) return false;
    if (!glue::not_overridden(tracker, S.s_log_unary, S.d_log_unary)) return false;
  }
  return glue::not_overridden(tracker, S.s_record_row_value, S.d_record_row_value) &&
         glue::not_overridden(tracker, S.s_create_node, S.d_create_node);
}

/// The op code as the native functions take it, when it is an int in their
/// range (the tracker's methods raise for anything else).
bool native_op(PyObject* op, int& out) {
  if (!PyLong_Check(op)) return false;
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(op, &overflow);
  if (v == -1 && !overflow && PyErr_Occurred()) glue::raise_current();
  if (overflow || v < 0 || v > 0x7FFFFFFF) return false;
  out = (int) v;
  return true;
}

/// Does the native record_row_value have anywhere to put a value? Without a
/// writer it returns at once, so values need not be extracted at all.
bool records_needed(PyObject* tracker) {
  PyObject* w = nullptr;
  int has = PyObject_GetOptionalAttr(tracker, S.s_writer, &w);
  if (has < 0) {
    PyErr_Clear();
    return true;  // let each call report (and discard) its own error
  }
  if (!has) return true;
  nb::object writer = nb::steal(w);
  int t = PyObject_IsTrue(writer.ptr());
  if (t < 0) {
    PyErr_Clear();
    return true;
  }
  return t;
}

struct Columns {
  std::optional<IntColumn> prov[2];
  std::optional<IntColumn> nodes[2];
};

/// The native run from position 0; returns the first position it did not
/// handle (n when it did them all).
Py_ssize_t run_native(const ElementwiseJob& job, int op, Columns& col, const OutArray<uint32_t>& P,
                      const OutArray<int64_t>& N) {
  const bool binary = job.n_inputs == 2;
  const Py_ssize_t n = job.n;
  const IntColumn& pa = *col.prov[0];
  const IntColumn& na = *col.nodes[0];
  const IntColumn* pb = binary ? &*col.prov[1] : nullptr;
  const IntColumn* nbc = binary ? &*col.nodes[1] : nullptr;
  const Py_ssize_t lpa = pa.size(), lna = na.size();
  const Py_ssize_t lpb = binary ? pb->size() : 0, lnb = binary ? nbc->size() : 0;
  const bool records = records_needed(job.tracker);
  PyObject* node_type = binary ? S.nt[BINARY] : S.nt[UNARY];

  // Records interleave with node creation per chunk, so that an error in
  // node creation leaves the row values of the positions before it; the
  // chunk's index scratch (a few int64 per position) stays in the L2 cache.
  const Py_ssize_t CH = records ? RECORDED_CHUNK : UNRECORDED_CHUNK;
  const size_t cap = (size_t) (n < CH ? n : CH);
  std::vector<int64_t> la(cap), ra(binary ? cap : 0), ids;
  std::vector<Py_ssize_t> pos;
  std::vector<uint32_t> pp;
  std::optional<TrackerView> view;
  std::optional<RowValueSink> rec;  // the native record_row_value, a chunk at a time
  if (records) rec.emplace(job.tracker, job.op_name, job.values);
  uint32_t* prov = P.data();
  int64_t* nodes = N.data();
  // The common layout: contiguous uint32 / int64 arrays; `full` is how far
  // all of them reach.
  const uint32_t* fpa = pa.contiguous_u32();
  const int64_t* fna = na.contiguous_i64();
  const uint32_t* fpb = binary ? pb->contiguous_u32() : nullptr;
  const int64_t* fnb = binary ? nbc->contiguous_i64() : nullptr;
  const bool fast = fpa && fna && (!binary || (fpb && fnb));
  Py_ssize_t full = lpa < lna ? lpa : lna;
  if (binary) {
    full = full < lpb ? full : lpb;
    full = full < lnb ? full : lnb;
  }

  for (Py_ssize_t start = 0; start < n;) {
    const Py_ssize_t stop = start + CH < n ? start + CH : n;
    size_t m = 0;
    bool dense = true;
    Py_ssize_t i = start;
    if (fast && stop <= full) {
      // Contiguous uint32 provenance and int64 ids covering the chunk.
      if (binary) {
        S.t32->combine_many(fpa + start, fpb + start, prov + start, (size_t) (stop - start), op);
        for (; i < stop; ++i) {
          int64_t l = fna[i], r = fnb[i];
          if (l >= 0 && r >= 0) {
            la[m] = l;
            ra[m] = r;
            if (!dense) pos.push_back(i);
            ++m;
          } else if (dense) {
            dense = false;
            pos.clear();
            for (size_t k = 0; k < m; ++k) pos.push_back(start + (Py_ssize_t) k);
          }
        }
      } else {
        S.t32->update_chain_many(fpa + start, prov + start, (size_t) (stop - start), op);
        for (; i < stop; ++i) {
          int64_t l = fna[i];
          if (l >= 0) {
            la[m] = l;
            if (!dense) pos.push_back(i);
            ++m;
          } else if (dense) {
            dense = false;
            pos.clear();
            for (size_t k = 0; k < m; ++k) pos.push_back(start + (Py_ssize_t) k);
          }
        }
      }
    }
    for (; i < stop; ++i) {
      int64_t a = 0, b = 0, l = -1, r = -1;
      if (i < lpa && (!pa.read(i, a) || a < 0 || a > 0xFFFFFFFFll)) break;
      if (i < lna && !na.read(i, l)) break;
      if (binary) {
        if (i < lpb && (!pb->read(i, b) || b < 0 || b > 0xFFFFFFFFll)) break;
        if (i < lnb && !nbc->read(i, r)) break;
        prov[i] = S.t32->combine((uint32_t) a, (uint32_t) b, op);
        if (l >= 0 && r >= 0) {
          la[m] = l;
          ra[m] = r;
          if (!dense) pos.push_back(i);
          ++m;
          continue;
        }
      } else {
        prov[i] = S.t32->update_chain((uint32_t) a, op);
        if (l >= 0) {
          la[m] = l;
          if (!dense) pos.push_back(i);
          ++m;
          continue;
        }
      }
      if (dense) {
        // First gap in this chunk: from here on, positions are listed.
        dense = false;
        pos.clear();
        for (size_t k = 0; k < m; ++k) pos.push_back(start + (Py_ssize_t) k);
      }
    }
    if (m) {
      if (!view) {
        view.emplace(tracker_view(job.tracker));
        // Room for every node of the operation (up to the bound) at once.
        int64_t room = std::min<int64_t>((int64_t) (n - start), std::max<int64_t>(view->reg->max_nodes_raw, 0));
        view->reg->store.reserve((size_t) room);
      }
      if (dense) {
        create_nodes_bulk(*view, node_type, job.op_name, job.n_inputs, la.data(), binary ? ra.data() : nullptr,
                          prov + start, m, nodes + start);
      } else {
        pp.resize(m);
        ids.resize(m);
        for (size_t k = 0; k < m; ++k) pp[k] = prov[pos[k]];
        create_nodes_bulk(*view, node_type, job.op_name, job.n_inputs, la.data(), binary ? ra.data() : nullptr,
                          pp.data(), m, ids.data());
        for (size_t k = 0; k < m; ++k) nodes[pos[k]] = ids[k];
      }
    }
    pos.clear();
    if (rec) rec->record(start, i, prov);
    if (i < stop) return i;
    start = stop;
  }
  return n;
}

/// Per position, the tracker's own Python methods, exactly in order.
void run_python(const ElementwiseJob& job, Py_ssize_t from, Columns& col, nb::handle out_prov,
                const OutArray<uint32_t>& P, const OutArray<int64_t>& N) {
  const bool binary = job.n_inputs == 2;
  const IntColumn& pa = *col.prov[0];
  const IntColumn& na = *col.nodes[0];
  const Py_ssize_t lpa = pa.size(), lna = na.size();
  const Py_ssize_t lpb = binary ? col.prov[1]->size() : 0, lnb = binary ? col.nodes[1]->size() : 0;
  nb::object zero = nb::int_(0), minus_one = nb::int_(-1);
  nb::object prov_method, log_method;
  RowRecorder rec(job.tracker, job.op_name, job.values);

  for (Py_ssize_t i = from; i < job.n; ++i) {
    nb::object a = i < lpa ? pa.read_obj(i) : zero;
    nb::object b = binary ? (i < lpb ? col.prov[1]->read_obj(i) : zero) : nb::object();
    if (!prov_method.is_valid())
      prov_method = glue::steal(PyObject_GetAttr(job.tracker, binary ? S.s_combine : S.s_update_chain));
    nb::object p = binary ? call(prov_method, {a.ptr(), b.ptr(), job.op_code})
                          : call(prov_method, {a.ptr(), job.op_code});
    P.store(i, p.ptr(), 0, 0xFFFFFFFFull);

    nb::object l = i < lna ? na.read_obj(i) : minus_one;
    nb::object r = binary ? (i < lnb ? col.nodes[1]->read_obj(i) : minus_one) : nb::object();
    if (nonneg(l.ptr()) && (!binary || nonneg(r.ptr()))) {
      if (!log_method.is_valid())
        log_method = glue::steal(PyObject_GetAttr(job.tracker, binary ? S.s_log_binary : S.s_log_unary));
      nb::object id;
      if (binary) {
        id = call(log_method, {job.op_name, l.ptr(), r.ptr(), p.ptr()});
      } else {
        // The element just stored, as numpy hands it out (a uint32 scalar).
        nb::object stored = glue::steal(PySequence_GetItem(out_prov.ptr(), i));
        id = call(log_method, {job.op_name, l.ptr(), stored.ptr()});
      }
      N.store(i, id.ptr(), INT64_MIN, (uint64_t) INT64_MAX);
    }

    if (binary) {
      rec.record(i, p.ptr());
    } else {
      nb::object fp = glue::steal(PyLong_FromUnsignedLong(P[i]));
      rec.record(i, fp.ptr());
    }
  }
}

}  // namespace

// ------------------------------------------------------------------ entry points

bool tracker_is_native(PyObject* tracker) { return native_for(tracker, 2) && native_for(tracker, 1); }

void run_elementwise(const ElementwiseJob& job, nb::handle out_prov, nb::handle out_nodes) {
  if (job.n <= 0) return;
  OutArray<uint32_t> P(out_prov, job.n, "the provenance array");
  OutArray<int64_t> N(out_nodes, job.n, "the node-id array");
  Columns col;
  for (int k = 0; k < job.n_inputs; ++k) {
    col.prov[k].emplace(job.prov[k]);
    col.nodes[k].emplace(job.nodes[k]);
  }
  int op = 0;
  Py_ssize_t from = 0;
  if (native_op(job.op_code, op) && native_for(job.tracker, job.n_inputs)) {
    // Sequences other than integer arrays are read once into native copies.
    for (int k = 0; k < job.n_inputs; ++k) {
      col.prov[k]->materialize(job.n);
      col.nodes[k]->materialize(job.n);
    }
    from = run_native(job, op, col, P, N);
  }
  if (from < job.n) run_python(job, from, col, out_prov, P, N);
}

}  // namespace dag
