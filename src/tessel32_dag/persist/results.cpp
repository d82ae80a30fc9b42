// persist_results: per-row output fingerprints and values, with a SHA-256 of
// each source row as pandas prints it (`source_df.iloc[i].to_json()`).
//
// Hashing a million rows one `iloc` + `to_json` at a time costs ~100 us a
// row. The rows are instead printed by pandas' own encoder in one call over
// the whole frame, converted first to the dtype `iloc` gives a row, and
// hashed natively. That road is taken only where it is known to print the
// same text (numeric, bool and object-of-scalar columns, unique string
// labels); anything else is hashed row by row with the exact pandas call.
#include <string>
#include <vector>

#include "glue/buffer.h"
#include "tessel32_dag/core/sha256.h"
#include "tessel32_dag/messages.h"
#include "tessel32_dag/persist/persist.h"
#include "tessel32_dag/state.h"

namespace dag {
using namespace persist;

namespace {

nb::object hex_of(const char* data, size_t len) {
  char hex[64];
  core::sha256_hex(data, len, hex);
  return glue::steal(PyUnicode_FromStringAndSize(hex, 64));
}

/// sha256(source_df.iloc[i].to_json().encode("utf-8")).hexdigest(), the
/// exact calls, for rows [from, n).
void hash_rows_exact(nb::handle df, Py_ssize_t from, Py_ssize_t n, nb::handle out) {
  nb::object iloc = attr(df, "iloc");
  nb::object sha256 = attr(glue::steal(PyImport_ImportModule("hashlib")), "sha256");
  for (Py_ssize_t i = from; i < n; ++i) {
    nb::object key = nb::int_(i);
    nb::object row = glue::steal(PyObject_GetItem(iloc.ptr(), key.ptr()));
    nb::object text = call_method(row, "to_json", {});
    nb::object data = call_method(text, "encode", {nb::str("utf-8").ptr()});
    nb::object h = glue::steal(PyObject_CallOneArg(sha256.ptr(), data.ptr()));
    glue::ok(PyList_SetItem(out.ptr(), i, call_method(h, "hexdigest", {}).release().ptr()));
  }
}

/// Are all values of an object column scalars the encoder prints the same
/// way in a row and in a frame (str, int, float, bool, None)?
bool plain_objects(nb::handle column_values) {
  nb::object arr = glue::steal(PySequence_Fast(column_values.ptr(), "values"));
  Py_ssize_t n = PySequence_Fast_GET_SIZE(arr.ptr());
  PyObject** items = PySequence_Fast_ITEMS(arr.ptr());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* v = items[i];
    if (!(PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) || PyBool_Check(v) || v == Py_None))
      return false;
  }
  return true;
}

/// The one-letter numpy kind of a dtype ('i', 'f', 'O', ...), 0 when unusual.
char kind_of(nb::handle dtype) {
  nb::object k = attr(dtype, "kind");
  if (!PyUnicode_Check(k.ptr()) || PyUnicode_GET_LENGTH(k.ptr()) != 1) return 0;
  return (char) PyUnicode_READ_CHAR(k.ptr(), 0);
}

bool known_kind(char k) { return k == 'i' || k == 'u' || k == 'f' || k == 'b' || k == 'O'; }

/// The dtype of a row taken by position: pandas interleaves the columns'
/// dtypes into their common type. Asked of pandas' own rule, so that no row
/// view of the caller's frame is made (pandas keeps book of every view);
/// the first row's dtype when that rule is not where it is expected.
nb::object common_dtype(nb::handle dtypes, nb::handle iloc) {
  PyObject* cast = PyImport_ImportModule("pandas.core.dtypes.cast");
  if (cast) {
    PyObject* fn = PyObject_GetAttrString(cast, "find_common_type");
    Py_DECREF(cast);
    if (fn) {
      PyObject* r = PyObject_CallOneArg(fn, dtypes.ptr());
      Py_DECREF(fn);
      if (r) return nb::steal(r);
    }
  }
  take_exception();
  nb::object first = glue::steal(PyObject_GetItem(iloc.ptr(), nb::int_(0).ptr()));
  return attr(first, "dtype");
}

/// Can the frame road print rows [0, n) exactly as the per-row calls do?
/// Returns the frame (converted to the row dtype) to print, or a null object.
nb::object printable_frame(nb::handle df, Py_ssize_t n) {
  nb::object columns = attr(df, "columns");
  Py_ssize_t ncols = PyObject_Length(columns.ptr());
  if (ncols <= 0) return {};
  if (!truthy(attr(columns, "is_unique"))) return {};
  nb::object labels = glue::steal(PySequence_List(columns.ptr()));
  for (Py_ssize_t i = 0; i < ncols; ++i)
    if (!PyUnicode_CheckExact(PyList_GET_ITEM(labels.ptr(), i))) return {};
  nb::object iloc = attr(df, "iloc");
  nb::object dtypes = glue::steal(PySequence_List(attr(df, "dtypes").ptr()));
  nb::object row_dtype = common_dtype(dtypes, iloc);
  char kind = kind_of(row_dtype);
  // Every column must be one of the dtypes the road knows.
  // numpy dtypes of the known kinds, and pandas' string dtype (str or NaN cells).
  nb::object np_dtype = attr(glue::steal(PyImport_ImportModule("numpy")), "dtype");
  nb::object str_dtype = attr(glue::steal(PyImport_ImportModule("pandas")), "StringDtype");
  auto known = [&](nb::handle dt) {
    int is_str = PyObject_IsInstance(dt.ptr(), str_dtype.ptr());
    if (is_str < 0) glue::raise_current();
    if (is_str) return true;
    return PyObject_TypeCheck(dt.ptr(), (PyTypeObject*) np_dtype.ptr()) && known_kind(kind_of(dt));
  };
  for (Py_ssize_t i = 0; i < ncols; ++i)
    if (!known(PyList_GET_ITEM(dtypes.ptr(), i))) return {};
  if (!known(row_dtype)) return {};
  // The frame itself when every row is wanted: a slice would be one more
  // view pandas keeps track of for the caller's frame.
  Py_ssize_t total = PyObject_Length(df.ptr());
  if (total < 0) glue::raise_current();
  nb::object head = n == total ? nb::borrow(df)
                               : glue::steal(PyObject_GetItem(
                                     iloc.ptr(), glue::steal(PySlice_New(nullptr, nb::int_(n).ptr(), nullptr)).ptr()));
  if (kind != 'O') return call_method(head, "astype", {row_dtype.ptr()});  // e.g. ints printed as floats
  // Object rows hold each cell as the Python scalar of its column (int,
  // float, bool, str), which the encoder prints exactly as it prints the
  // column's own values, so the frame is printed unconverted. Narrow floats
  // stay numpy scalars in such a row and print differently (an inf float32
  // is refused): those frames take the per-row road.
  for (Py_ssize_t i = 0; i < ncols; ++i) {
    nb::handle dt = PyList_GET_ITEM(dtypes.ptr(), i);
    if (kind_of(dt) == 'f' && nb::cast<Py_ssize_t>(attr(dt, "itemsize")) < 8) return {};
  }
  nb::object frame = head;
  nb::object fdtypes = glue::steal(PySequence_List(attr(frame, "dtypes").ptr()));
  nb::object getcol = attr(attr(frame, "iloc"), "__getitem__");
  for (Py_ssize_t i = 0; i < ncols; ++i) {
    nb::handle dt = PyList_GET_ITEM(fdtypes.ptr(), i);
    if (!PyObject_TypeCheck(dt.ptr(), (PyTypeObject*) np_dtype.ptr()) || kind_of(dt) != 'O') continue;
    // Object columns: every cell must be a plain scalar.
    nb::object key = nb::make_tuple(glue::steal(PySlice_New(nullptr, nullptr, nullptr)), nb::int_(i));
    nb::object col = glue::steal(PyObject_CallOneArg(getcol.ptr(), key.ptr()));
    if (!plain_objects(call_method(col, "to_numpy", {}))) return {};
  }
  return frame;
}

/// The frame road: one to_json over the frame, split into rows, hashed.
bool hash_rows_frame(nb::handle df, Py_ssize_t n, nb::handle out) {
  nb::object frame;
  try {
    frame = printable_frame(df, n);
  } catch (const glue::error_set&) {
    take_exception();
    return false;
  }
  if (!frame.is_valid()) return false;
  static const KwNames kw{"orient", "lines"};
  nb::object text;
  try {
    nb::object orient = nb::str("records");
    text = call_method_kw(frame, "to_json", {}, kw, {orient.ptr(), Py_True});
  } catch (const glue::error_set&) {
    take_exception();
    return false;
  }
  if (!PyUnicode_CheckExact(text.ptr())) return false;
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(text.ptr(), &len);
  if (!s) glue::raise_current();
  // Rows are separated by "\n"; strings inside never hold a raw newline.
  std::vector<std::pair<size_t, size_t>> spans;
  spans.reserve((size_t) n);
  size_t start = 0;
  for (size_t i = 0; i <= (size_t) len; ++i) {
    if (i == (size_t) len || s[i] == '\n') {
      if (i > start) spans.emplace_back(start, i - start);
      start = i + 1;
    }
  }
  if ((Py_ssize_t) spans.size() != n) return false;
  for (Py_ssize_t i = 0; i < n; ++i)
    glue::ok(PyList_SetItem(out.ptr(), i, hex_of(s + spans[i].first, spans[i].second).release().ptr()));
  return true;
}

/// One column of an output series read by position: raw buffers for the
/// common dtypes, item access otherwise.
class Column {
 public:
  explicit Column(nb::handle seq) : seq_(nb::borrow(seq)) {
    len_ = PyObject_Length(seq.ptr());
    if (len_ < 0) glue::raise_current();
    if (PyObject_CheckBuffer(seq.ptr()) && buf_.try_acquire(seq_, PyBUF_RECORDS_RO) && buf_.ndim() == 1 &&
        buf_.length() == len_)
      code_ = buf_.format_code();
  }
  Py_ssize_t size() const { return len_; }
  /// int(seq[i])
  nb::object as_int(Py_ssize_t i) const {
    const char* p = code_ ? buf_.data<const char>() + i * buf_.stride() : nullptr;
    switch (code_) {
      case 'I': return glue::steal(PyLong_FromUnsignedLong(*(const uint32_t*) p));
      case 'q': case 'l': return glue::steal(PyLong_FromLongLong(*(const int64_t*) p));
      default: return glue::steal(PyNumber_Long(item(i).ptr()));
    }
  }
  /// float(seq[i])
  nb::object as_float(Py_ssize_t i) const {
    const char* p = code_ ? buf_.data<const char>() + i * buf_.stride() : nullptr;
    switch (code_) {
      case 'd': return glue::steal(PyFloat_FromDouble(*(const double*) p));
      case 'f': return glue::steal(PyFloat_FromDouble(*(const float*) p));
      case 'q': case 'l': return glue::steal(PyFloat_FromDouble((double) *(const int64_t*) p));
      default: return glue::steal(PyNumber_Float(item(i).ptr()));
    }
  }

 private:
  nb::object item(Py_ssize_t i) const { return glue::steal(PySequence_GetItem(seq_.ptr(), i)); }
  nb::object seq_;
  glue::Buffer buf_;
  char code_ = 0;
  Py_ssize_t len_ = 0;
};

nb::object int_arg(PyObject* v, const char* name) {
  if (PyLong_CheckExact(v)) return nb::borrow(v);
  if (v == Py_None || PyUnicode_Check(v) || PyBytes_Check(v) || PyByteArray_Check(v) || !PyNumber_Check(v))
    glue::raise_arg_type(name, "int", v);
  return glue::steal(PyNumber_Long(v));
}

}  // namespace

nb::object tracker_persist_results(const glue::Call& c) {
  static const glue::Signature sig{
      "persist_results", {"storage", "pipeline_id", "row_keys", "outputs", "source_df"}, 4};
  PyObject* a[5];
  glue::parse(sig, c, a);
  nb::handle storage = a[0];
  nb::object pid = int_arg(a[1], "pipeline_id");
  glue::check_dict(a[3], "outputs");
  PyObject* source_df = a[4] ? a[4] : Py_None;

  glue::steal(PyImport_ImportModule("hashlib"));
  GcPause gc_pause;
  nb::object keys = glue::steal(PySequence_List(a[2]));
  const Py_ssize_t n_keys = PyList_GET_SIZE(keys.ptr());
  nb::object row_hashes;
  if (source_df != Py_None) {
    Py_ssize_t n_rows = PyObject_Length(source_df);
    if (n_rows < 0) glue::raise_current();
    Py_ssize_t n = n_keys < n_rows ? n_keys : n_rows;
    row_hashes = glue::steal(PyList_New(n_keys));
    for (Py_ssize_t i = n; i < n_keys; ++i) PyList_SET_ITEM(row_hashes.ptr(), i, Py_NewRef(Py_None));
    if (n > 0 && !hash_rows_frame(source_df, n, row_hashes)) hash_rows_exact(source_df, 0, n, row_hashes);
  }
  const bool use_hashes = row_hashes.is_valid() && PyList_GET_SIZE(row_hashes.ptr()) > 0;

  std::vector<nb::object> key_text((size_t) n_keys);
  for (Py_ssize_t i = 0; i < n_keys; ++i) key_text[(size_t) i] = glue::steal(PyObject_Str(PyList_GET_ITEM(keys.ptr(), i)));

  nb::object results = glue::steal(PyList_New(0));
  nb::object items = glue::steal(PySequence_List(glue::steal(PyDict_Items(a[3])).ptr()));
  nb::object zero = nb::int_(0);
  for (Py_ssize_t k = 0; k < PyList_GET_SIZE(items.ptr()); ++k) {
    PyObject* item = PyList_GET_ITEM(items.ptr(), k);
    nb::handle name = PyTuple_GET_ITEM(item, 0), series = PyTuple_GET_ITEM(item, 1);
    Column prov(attr(series, "_prov"));
    Column values(attr(series, "values"));
    for (Py_ssize_t i = 0; i < n_keys; ++i) {
      nb::object fp = i < prov.size() ? prov.as_int(i) : zero;
      nb::object val = i < values.size() ? values.as_float(i) : nb::none();
      PyObject* ih = use_hashes ? PyList_GET_ITEM(row_hashes.ptr(), i) : Py_None;
      nb::object row = glue::steal(PyTuple_Pack(5, key_text[(size_t) i].ptr(), name.ptr(), fp.ptr(), val.ptr(), ih));
      glue::ok(PyList_Append(results.ptr(), row.ptr()));
    }
  }
  call_method(storage, "store_results", {pid.ptr(), results.ptr()});
  return nb::none();
}

static nb::object sha256_hex_fn(const glue::Call& c) {
  static const glue::Signature sig{"_sha256_hex", {"data"}, 1};
  PyObject* a[1];
  glue::parse(sig, c, a);
  glue::Buffer buf(a[0], PyBUF_SIMPLE);
  return hex_of(buf.data<const char>(), (size_t) buf.view().len);
}

static PyMethodDef persist_functions[] = {
    GLUE_METHOD("_sha256_hex", sha256_hex_fn, msg::SHA256_HEX_DOC),
    {nullptr},
};

void register_persist(nb::module_& m) { glue::ok(PyModule_AddFunctions(m.ptr(), persist_functions)); }

}  // namespace dag
