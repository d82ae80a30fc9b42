// persist_results: per-row output fingerprints and values, with a SHA-256 of
// each source row as pandas prints it (`source_df.iloc[i].to_json()`).
//
// Hashing a million rows one `iloc` + `to_json` at a time costs ~100 us a
// row. The rows are instead printed by pandas' own encoder in one call over
// the whole frame, converted first to the dtype `iloc` gives a row, and
// hashed natively. That road is taken only where it is known to print the
// same text (numeric, bool and object-of-scalar columns, unique string
// labels); anything else is hashed row by row with the exact pandas call.
// Frames with plain column labels are printed a column at a time
// (`to_json(orient="values")` of each column: the same encoder, the same
// value text, without the cost of interleaving the columns into row objects)
// and each row's text is put together from the column texts.
//
// When the storage's `store_results` is our own SQLiteStorage's, the rows go
// to it through the persistence capsule as columns, without a Python object
// per row; any other storage gets the documented list of tuples.
#include <cstring>
#include <string>
#include <vector>


#include "glue/buffer.h"
#include "persistence/capi.h"
#include "tessel32_dag/core/sha256.h"
#include "tessel32_dag/messages.h"
#include "tessel32_dag/persist/persist.h"
#include "tessel32_dag/state.h"

namespace dag {
using namespace persist;

namespace {

/// sha256(data).hexdigest() (the CPU's SHA extensions when it has them).
void sha256_hex(const char* data, size_t len, char out[64]) { core::sha256_hex(data, len, out); }

nb::object hex_of(const char* data, size_t len) {
  char hex[64];
  sha256_hex(data, len, hex);
  return glue::steal(PyUnicode_FromStringAndSize(hex, 64));
}

/// sha256(source_df.iloc[i].to_json().encode("utf-8")).hexdigest(), the
/// exact calls, for rows [0, n), 64 characters a row into `out`.
void hash_rows_exact(nb::handle df, Py_ssize_t n, char* out) {
  nb::object iloc = attr(df, "iloc");
  nb::object sha256 = attr(glue::steal(PyImport_ImportModule("hashlib")), "sha256");
  for (Py_ssize_t i = 0; i < n; ++i) {
    nb::object key = nb::int_(i);
    nb::object row = glue::steal(PyObject_GetItem(iloc.ptr(), key.ptr()));
    nb::object text = call_method(row, "to_json", {});
    nb::object data = call_method(text, "encode", {nb::str("utf-8").ptr()});
    nb::object h = glue::steal(PyObject_CallOneArg(sha256.ptr(), data.ptr()));
    nb::object hex = call_method(h, "hexdigest", {});
    Py_ssize_t len = 0;
    const char* p = PyUnicode_AsUTF8AndSize(hex.ptr(), &len);
    if (!p) glue::raise_current();
    if (len != 64) {
      PyErr_SetString(PyExc_RuntimeError, "hexdigest() is not 64 characters long");
      glue::raise_current();
    }
    std::memcpy(out + 64 * i, p, 64);
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

/// Is `label` printed by the encoder as itself between quotes? Printable
/// ASCII with nothing the encoder escapes (quote, backslash, slash).
bool plain_label(PyObject* label, std::string& out) {
  if (!PyUnicode_IS_ASCII(label)) return false;
  const char* p = (const char*) PyUnicode_DATA(label);
  Py_ssize_t n = PyUnicode_GET_LENGTH(label);
  for (Py_ssize_t i = 0; i < n; ++i)
    if (p[i] < 0x20 || p[i] > 0x7e || p[i] == '"' || p[i] == '\\' || p[i] == '/') return false;
  out.assign(p, (size_t) n);
  return true;
}

/// The start of each of the `n` values of a JSON array of scalars (numbers,
/// true/false/null, strings), and one past the closing bracket at [n]: value
/// i is [starts[i], starts[i + 1] - 1). False when the text is not that.
bool split_values(const char* s, size_t len, size_t n, std::vector<size_t>& starts) {
  starts.clear();
  starts.reserve(n + 1);
  if (len < 2 || s[0] != '[' || s[len - 1] != ']') return false;
  size_t p = 1;
  for (size_t i = 0; i < n; ++i) {
    const size_t start = p;
    starts.push_back(start);
    if (p < len && s[p] == '"') {
      for (++p; p < len && s[p] != '"'; ++p)
        if (s[p] == '\\') ++p;
      if (p >= len) return false;
      ++p;
    } else {
      while (p < len && s[p] != ',' && s[p] != ']' && s[p] != '"' && s[p] != '[' && s[p] != '{') ++p;
    }
    if (p >= len || p == start) return false;
    if (s[p] != (i + 1 < n ? ',' : ']')) return false;
    ++p;
  }
  starts.push_back(p);
  return p == len;
}

/// The column road: each column printed by `to_json(orient="values")`, the
/// rows put together as `{"label":value,...}` and hashed. False (nothing
/// written) when a label is not plain or a column's text is not as expected.
bool hash_rows_columns(nb::handle frame, Py_ssize_t n, char* out) {
  nb::object labels = glue::steal(PySequence_List(attr(frame, "columns").ptr()));
  const Py_ssize_t ncols = PyList_GET_SIZE(labels.ptr());
  std::vector<std::string> frags((size_t) ncols);  // `{"a":` then `,"b":` ...
  for (Py_ssize_t j = 0; j < ncols; ++j) {
    std::string label;
    if (!plain_label(PyList_GET_ITEM(labels.ptr(), j), label)) return false;
    frags[(size_t) j] = (j ? ",\"" : "{\"") + label + "\":";
  }
  static const KwNames kw{"orient"};
  nb::object orient = nb::str("values");
  nb::object getcol = attr(attr(frame, "iloc"), "__getitem__");
  nb::object all = glue::steal(PySlice_New(nullptr, nullptr, nullptr));
  std::vector<nb::object> texts((size_t) ncols);
  std::vector<const char*> text_of((size_t) ncols);
  std::vector<std::vector<size_t>> starts((size_t) ncols);
  for (Py_ssize_t j = 0; j < ncols; ++j) {
    nb::object key = nb::make_tuple(all, nb::int_(j));
    nb::object col = glue::steal(PyObject_CallOneArg(getcol.ptr(), key.ptr()));
    nb::object text = call_method_kw(col, "to_json", {}, kw, {orient.ptr()});
    if (!PyUnicode_CheckExact(text.ptr())) return false;
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(text.ptr(), &len);
    if (!s) glue::raise_current();
    if (!split_values(s, (size_t) len, (size_t) n, starts[(size_t) j])) return false;
    text_of[(size_t) j] = s;
    texts[(size_t) j] = std::move(text);  // keeps the UTF-8 text alive
  }
  // The texts are immutable and owned here: rows are put together and hashed
  // without the GIL.
  nb::gil_scoped_release unlocked;
  std::string row;
  for (Py_ssize_t i = 0; i < n; ++i) {
    row.clear();
    for (Py_ssize_t j = 0; j < ncols; ++j) {
      const std::vector<size_t>& st = starts[(size_t) j];
      row += frags[(size_t) j];
      row.append(text_of[(size_t) j] + st[(size_t) i], st[(size_t) i + 1] - 1 - st[(size_t) i]);
    }
    row += '}';
    sha256_hex(row.data(), row.size(), out + 64 * i);
  }
  return true;
}

/// The frame road: the frame printed by pandas (a column at a time, or in one
/// to_json over the whole frame, split into rows), hashed.
bool hash_rows_frame(nb::handle df, Py_ssize_t n, char* out) {
  nb::object frame;
  try {
    frame = printable_frame(df, n);
  } catch (const glue::error_set&) {
    take_exception();
    return false;
  }
  if (!frame.is_valid()) return false;
  try {
    if (hash_rows_columns(frame, n, out)) return true;
  } catch (const glue::error_set&) {
    take_exception();
  }
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
  for (Py_ssize_t i = 0; i < n; ++i) sha256_hex(s + spans[i].first, spans[i].second, out + 64 * i);
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
  /// int(seq[i]) as the store converts it (glue::int64_wrapping)
  int64_t as_i64(Py_ssize_t i) const {
    const char* p = code_ ? buf_.data<const char>() + i * buf_.stride() : nullptr;
    switch (code_) {
      case 'I': return *(const uint32_t*) p;
      case 'q': case 'l': return *(const int64_t*) p;
      default: return glue::int64_wrapping(as_int(i).ptr());
    }
  }
  /// float(seq[i]) as a double
  double as_double(Py_ssize_t i) const {
    const char* p = code_ ? buf_.data<const char>() + i * buf_.stride() : nullptr;
    switch (code_) {
      case 'd': return *(const double*) p;
      case 'f': return *(const float*) p;
      case 'q': case 'l': return (double) *(const int64_t*) p;
      default: {
        nb::object f = as_float(i);
        double d = PyFloat_AsDouble(f.ptr());
        if (d == -1.0 && PyErr_Occurred()) glue::raise_current();
        return d;
      }
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

/// The persistence capsule's table when its module is loaded and new enough
/// for the results road (looked up in sys.modules only: a storage of ours
/// implies its module is there), else nullptr.
const corvanti_persist::CAPI* results_capi() {
  nb::object m = nb::steal(PyImport_GetModule(nb::str("corvanti.utilities.persistence._native").ptr()));
  if (!m.is_valid()) {
    if (PyErr_Occurred()) glue::raise_current();
    return nullptr;
  }
  PyObject* cap = nullptr;
  if (PyObject_GetOptionalAttrString(m.ptr(), "_C_API", &cap) <= 0) {
    PyErr_Clear();
    return nullptr;
  }
  nb::object hold = nb::steal(cap);
  auto* t = (const corvanti_persist::CAPI*) PyCapsule_GetPointer(cap, corvanti_persist::kCapsuleName);
  if (!t) {
    PyErr_Clear();
    return nullptr;
  }
  if (t->version < 2 || t->size < sizeof(corvanti_persist::CAPI)) return nullptr;
  return t;
}

/// The UTF-8 text of a str, or false (no exception) when it has none.
bool utf8_of(PyObject* s, const char*& p, size_t& n) {
  if (!PyUnicode_Check(s)) return false;
  Py_ssize_t len = 0;
  p = PyUnicode_AsUTF8AndSize(s, &len);
  if (!p) {
    PyErr_Clear();
    return false;
  }
  n = (size_t) len;
  return true;
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
  // Input hashes of rows [0, n_hashed), 64 hex characters a row.
  std::string hashes;
  Py_ssize_t n_hashed = 0;
  if (source_df != Py_None) {
    Py_ssize_t n_rows = PyObject_Length(source_df);
    if (n_rows < 0) glue::raise_current();
    Py_ssize_t n = n_keys < n_rows ? n_keys : n_rows;
    hashes.resize((size_t) n * 64);
    if (n > 0 && !hash_rows_frame(source_df, n, hashes.data())) hash_rows_exact(source_df, n, hashes.data());
    n_hashed = n;
  }

  std::vector<nb::object> key_text((size_t) n_keys);
  for (Py_ssize_t i = 0; i < n_keys; ++i) key_text[(size_t) i] = glue::steal(PyObject_Str(PyList_GET_ITEM(keys.ptr(), i)));
  nb::object items = glue::steal(PySequence_List(glue::steal(PyDict_Items(a[3])).ptr()));
  const Py_ssize_t n_outputs = PyList_GET_SIZE(items.ptr());

  // The native road: our own SQLiteStorage takes the rows as columns.
  const corvanti_persist::CAPI* api = n_keys > 0 && n_outputs > 0 ? results_capi() : nullptr;
  int native = api ? api->stores_results_natively(storage.ptr()) : 0;
  if (native < 0) glue::raise_current();
  ::persist::ResultBlock block;
  std::vector<const char*> key_ptr, name_ptr;
  std::vector<size_t> key_len, name_len;
  if (native) {
    key_ptr.resize((size_t) n_keys);
    key_len.resize((size_t) n_keys);
    for (Py_ssize_t i = 0; native && i < n_keys; ++i)
      native = utf8_of(key_text[(size_t) i].ptr(), key_ptr[(size_t) i], key_len[(size_t) i]);
    name_ptr.resize((size_t) n_outputs);
    name_len.resize((size_t) n_outputs);
    for (Py_ssize_t k = 0; native && k < n_outputs; ++k)
      native = utf8_of(PyTuple_GET_ITEM(PyList_GET_ITEM(items.ptr(), k), 0), name_ptr[(size_t) k], name_len[(size_t) k]);
  }
  if (native) {
    const size_t total = (size_t) n_keys * (size_t) n_outputs;
    std::vector<int64_t> fps(total);
    std::vector<double> values(total);
    std::vector<uint8_t> has_value(total);
    for (Py_ssize_t k = 0; k < n_outputs; ++k) {
      nb::handle series = PyTuple_GET_ITEM(PyList_GET_ITEM(items.ptr(), k), 1);
      Column prov(attr(series, "_prov"));
      Column vals(attr(series, "values"));
      const size_t base = (size_t) k * (size_t) n_keys;
      for (Py_ssize_t i = 0; i < n_keys; ++i) {
        fps[base + (size_t) i] = i < prov.size() ? prov.as_i64(i) : 0;
        if (i < vals.size()) {
          values[base + (size_t) i] = vals.as_double(i);
          has_value[base + (size_t) i] = 1;
        }
      }
    }
    block.n_rows = (size_t) n_keys;
    block.row_keys = key_ptr.data();
    block.row_key_lens = key_len.data();
    block.n_outputs = (size_t) n_outputs;
    block.output_names = name_ptr.data();
    block.output_name_lens = name_len.data();
    block.fingerprints = fps.data();
    block.values = values.data();
    block.has_value = has_value.data();
    block.input_hashes = hashes.data();
    block.n_hashed = (size_t) n_hashed;
    int r = api->store_results(storage.ptr(), pid.ptr(), &block);
    if (r < 0) glue::raise_current();
    if (r == 0) return nb::none();
    // r == 1: the storage changed under us (Python ran while the rows were
    // read): the Python road below.
  }

  // The Python road: (row key, output, fingerprint, value, input hash) tuples.
  nb::object row_hashes = glue::steal(PyList_New(n_hashed));
  for (Py_ssize_t i = 0; i < n_hashed; ++i)
    PyList_SET_ITEM(row_hashes.ptr(), i, glue::steal(PyUnicode_FromStringAndSize(hashes.data() + 64 * i, 64)).release().ptr());
  nb::object results = glue::steal(PyList_New(0));
  nb::object zero = nb::int_(0);
  for (Py_ssize_t k = 0; k < n_outputs; ++k) {
    PyObject* item = PyList_GET_ITEM(items.ptr(), k);
    nb::handle name = PyTuple_GET_ITEM(item, 0), series = PyTuple_GET_ITEM(item, 1);
    Column prov(attr(series, "_prov"));
    Column values(attr(series, "values"));
    for (Py_ssize_t i = 0; i < n_keys; ++i) {
      nb::object fp = i < prov.size() ? prov.as_int(i) : zero;
      nb::object val = i < values.size() ? values.as_float(i) : nb::none();
      PyObject* ih = i < n_hashed ? PyList_GET_ITEM(row_hashes.ptr(), i) : Py_None;
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
