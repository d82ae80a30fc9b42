// corvanti.wrapper: row and column helpers (_cn, _rc, _trd, _fo, _gs, _rh).
//
// Each helper tries pandas, then numpy, then plain Python, and ends in a
// fixed fallback instead of an error. pandas and numpy are imported at call
// time (a sys.modules lookup once they are loaded).
#include <cmath>

#include "wrapper/internal.h"
#include "wrapper/messages.h"
#include "wrapper/wrapper.h"

namespace wrapper {

namespace {

PyObject* s_index = nullptr;    // "index"
PyObject* s_columns = nullptr;  // "columns"
PyObject* s_values = nullptr;   // "values"
PyObject* s_get_loc = nullptr;  // "get_loc"

// isinstance(x, module.<name>), the class looked up now.
bool is_instance_of(nb::handle module, const char* cls_name, nb::handle x) {
  nb::object cls = glue::steal(PyObject_GetAttrString(module.ptr(), cls_name));
  int r = PyObject_IsInstance(x.ptr(), cls.ptr());
  if (r < 0) glue::raise_current();
  return r == 1;
}

// numpy.integer / numpy.floating, refreshed when a different numpy module
// object shows up (kept for the life of the process).
struct NumpyTypes {
  PyObject* module = nullptr;
  PyObject* integer = nullptr;
  PyObject* floating = nullptr;
};
NumpyTypes g_np;

const NumpyTypes& numpy_types(nb::handle np) {
  if (g_np.module != np.ptr()) {
    nb::object integer = glue::steal(PyObject_GetAttrString(np.ptr(), "integer"));
    nb::object floating = glue::steal(PyObject_GetAttrString(np.ptr(), "floating"));
    Py_XDECREF(g_np.module);
    Py_XDECREF(g_np.integer);
    Py_XDECREF(g_np.floating);
    g_np.module = nb::borrow(np).release().ptr();
    g_np.integer = integer.release().ptr();
    g_np.floating = floating.release().ptr();
  }
  return g_np;
}

// dict(cols[j] -> row[j]) for j below k, from a fast sequence of items.
nb::object dict_from(PyObject* cols, PyObject* const* items, Py_ssize_t k) {
  nb::object d = glue::steal(PyDict_New());
  for (Py_ssize_t j = 0; j < k; ++j) {
    nb::object key = glue::steal(PyList_GetItemRef(cols, j));
    glue::ok(PyDict_SetItem(d.ptr(), key.ptr(), items[j]));
  }
  return d;
}

// ---- _trd branches ------------------------------------------------------------

// DataFrame rows through iterrows(): row[name] when name is in row.index.
nb::object trd_iterrows(nb::handle X, PyObject* cols) {
  nb::object out = glue::steal(PyList_New(0));
  nb::object it = glue::steal(PyObject_GetIter(X.attr("iterrows")().ptr()));
  while (PyObject* raw = PyIter_Next(it.ptr())) {
    nb::object pair = nb::steal(raw);
    nb::object row = glue::steal(PySequence_GetItem(pair.ptr(), 1));
    nb::object index = glue::steal(PyObject_GetAttr(row.ptr(), s_index));
    nb::object d = glue::steal(PyDict_New());
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(cols); ++j) {
      nb::object name = glue::steal(PyList_GetItemRef(cols, j));
      int has = PySequence_Contains(index.ptr(), name.ptr());
      if (has < 0) glue::raise_current();
      nb::object v = has ? glue::steal(PyObject_GetItem(row.ptr(), name.ptr())) : nb::none();
      glue::ok(PyDict_SetItem(d.ptr(), name.ptr(), v.ptr()));
    }
    glue::ok(PyList_Append(out.ptr(), d.ptr()));
  }
  if (PyErr_Occurred()) glue::raise_current();
  return out;
}

// The same rows without building a Series per row, for a plain DataFrame
// whose `values` is a 2-D numeric ndarray (bool, int, uint, float) and
// string names. Each
// iterrows() row is then a Series over one row of that array, and row[name]
// is the numpy scalar at the column's position. Returns an invalid object
// when the frame does not qualify (the caller then uses iterrows()).
nb::object trd_numeric_frame(nb::handle X, PyObject* cols, nb::handle pd, nb::handle np) {
  nb::object df_type = glue::steal(PyObject_GetAttrString(pd.ptr(), "DataFrame"));
  if ((PyObject*)Py_TYPE(X.ptr()) != df_type.ptr()) return nb::object();
  nb::object vals = glue::steal(PyObject_GetAttr(X.ptr(), s_values));
  nb::object ndarray = glue::steal(PyObject_GetAttrString(np.ptr(), "ndarray"));
  if ((PyObject*)Py_TYPE(vals.ptr()) != ndarray.ptr()) return nb::object();
  nb::object ndim = vals.attr("ndim");
  if (PyLong_AsLong(ndim.ptr()) != 2) {
    if (PyErr_Occurred()) glue::raise_current();
    return nb::object();
  }
  nb::object kind = vals.attr("dtype").attr("kind");
  if (!PyUnicode_Check(kind.ptr()) || PyUnicode_GET_LENGTH(kind.ptr()) != 1) return nb::object();
  Py_UCS4 k = PyUnicode_READ_CHAR(kind.ptr(), 0);
  if (k != 'b' && k != 'i' && k != 'u' && k != 'f') return nb::object();

  Py_ssize_t nrows = PyObject_Size(vals.ptr());
  if (nrows < 0) glue::raise_current();
  nb::object out = glue::steal(PyList_New(0));
  if (nrows == 0) return out;

  // Column positions, once: -1 for a name the columns do not contain; a
  // name that matches several columns (non-integer get_loc) needs iterrows.
  Py_ssize_t ncols = PyList_GET_SIZE(cols);
  nb::object columns = glue::steal(PyObject_GetAttr(X.ptr(), s_columns));
  std::vector<nb::object> names;
  std::vector<Py_ssize_t> pos;
  names.reserve(ncols);
  pos.reserve(ncols);
  for (Py_ssize_t j = 0; j < ncols; ++j) {
    nb::object name = glue::steal(PyList_GetItemRef(cols, j));
    // Only plain string names: Series.__getitem__ gives tuples, lists and
    // callables meanings of their own.
    if (!PyUnicode_CheckExact(name.ptr())) return nb::object();
    int has = PySequence_Contains(columns.ptr(), name.ptr());
    if (has < 0) glue::raise_current();
    Py_ssize_t p = -1;
    if (has) {
      nb::object loc = glue::steal(PyObject_CallMethodOneArg(columns.ptr(), s_get_loc, name.ptr()));
      if (!PyLong_CheckExact(loc.ptr())) return nb::object();
      p = PyLong_AsSsize_t(loc.ptr());
      if (p < 0) {
        if (PyErr_Occurred()) glue::raise_current();
        return nb::object();
      }
    }
    names.push_back(std::move(name));
    pos.push_back(p);
  }

  nb::object rows = glue::steal(PyObject_GetIter(vals.ptr()));
  while (PyObject* raw = PyIter_Next(rows.ptr())) {
    nb::object row = nb::steal(raw);
    nb::object d = glue::steal(PyDict_New());
    for (Py_ssize_t j = 0; j < ncols; ++j) {
      nb::object v = pos[j] < 0 ? nb::none() : glue::steal(PySequence_GetItem(row.ptr(), pos[j]));
      glue::ok(PyDict_SetItem(d.ptr(), names[j].ptr(), v.ptr()));
    }
    glue::ok(PyList_Append(out.ptr(), d.ptr()));
  }
  if (PyErr_Occurred()) glue::raise_current();
  return out;
}

// numpy.asarray(X, dtype=object), one column when 1-D; cols[j] -> a[i, j].
nb::object trd_numpy(nb::handle X, PyObject* cols) {
  nb::object np = import("numpy");
  nb::object arr = np.attr("asarray")(X, nb::arg("dtype") = nb::handle((PyObject*)&PyBaseObject_Type));
  long ndim = PyLong_AsLong(arr.attr("ndim").ptr());
  if (ndim == -1 && PyErr_Occurred()) glue::raise_current();
  if (ndim == 1) arr = arr.attr("reshape")(-1, 1);
  nb::object shape = arr.attr("shape");
  nb::object s0 = glue::steal(PySequence_GetItem(shape.ptr(), 0));
  nb::object s1 = glue::steal(PySequence_GetItem(shape.ptr(), 1));
  Py_ssize_t nrows = PyNumber_AsSsize_t(s0.ptr(), PyExc_OverflowError);
  if (nrows == -1 && PyErr_Occurred()) glue::raise_current();
  Py_ssize_t width = PyNumber_AsSsize_t(s1.ptr(), PyExc_OverflowError);
  if (width == -1 && PyErr_Occurred()) glue::raise_current();
  Py_ssize_t k = std::min(width, PyList_GET_SIZE(cols));

  nb::object out = glue::steal(PyList_New(0));
  if (ndim <= 2) {
    // An object array's tolist() hands back the stored objects themselves.
    nb::object nested = arr.attr("tolist")();
    for (Py_ssize_t i = 0; i < nrows; ++i) {
      nb::object row = glue::steal(PySequence_GetItem(nested.ptr(), i));
      nb::object fast = glue::steal(PySequence_Fast(row.ptr(), "row is not a sequence"));
      nb::object d = dict_from(cols, PySequence_Fast_ITEMS(fast.ptr()), std::min(k, PySequence_Fast_GET_SIZE(fast.ptr())));
      glue::ok(PyList_Append(out.ptr(), d.ptr()));
    }
    return out;
  }
  for (Py_ssize_t i = 0; i < nrows; ++i) {
    nb::object d = glue::steal(PyDict_New());
    for (Py_ssize_t j = 0; j < k; ++j) {
      nb::object key = glue::steal(Py_BuildValue("(nn)", i, j));
      nb::object v = glue::steal(PyObject_GetItem(arr.ptr(), key.ptr()));
      nb::object name = glue::steal(PyList_GetItemRef(cols, j));
      glue::ok(PyDict_SetItem(d.ptr(), name.ptr(), v.ptr()));
    }
    glue::ok(PyList_Append(out.ptr(), d.ptr()));
  }
  return out;
}

// Plain iteration: cols[j] -> row[j] for j below min(len(cols), len(row)).
nb::object trd_plain(nb::handle X, PyObject* cols) {
  nb::object out = glue::steal(PyList_New(0));
  nb::object it = glue::steal(PyObject_GetIter(X.ptr()));
  while (PyObject* raw = PyIter_Next(it.ptr())) {
    nb::object row = nb::steal(raw);
    Py_ssize_t len = PyObject_Size(row.ptr());
    if (len < 0) glue::raise_current();
    Py_ssize_t k = std::min(PyList_GET_SIZE(cols), len);
    nb::object d = glue::steal(PyDict_New());
    for (Py_ssize_t j = 0; j < k; ++j) {
      nb::object name = glue::steal(PyList_GetItemRef(cols, j));
      nb::object v = glue::steal(PySequence_GetItem(row.ptr(), j));
      glue::ok(PyDict_SetItem(d.ptr(), name.ptr(), v.ptr()));
    }
    glue::ok(PyList_Append(out.ptr(), d.ptr()));
  }
  if (PyErr_Occurred()) glue::raise_current();
  return out;
}

// [None] * n
nb::object nones(Py_ssize_t n, Py_ssize_t start = 0) {
  Py_ssize_t count = n > start ? n - start : 0;
  nb::object out = glue::steal(PyList_New(count));
  for (Py_ssize_t i = 0; i < count; ++i) PyList_SET_ITEM(out.ptr(), i, Py_NewRef(Py_None));
  return out;
}

// ---- Python entry points ------------------------------------------------------

nb::object py_cn(const glue::Call& call) {
  static const glue::Signature sig{"_cn", {"X", "fallback_prefix"}, 1};
  PyObject* a[2];
  glue::parse(sig, call, a);
  nb::object prefix;
  if (a[1]) {
    glue::check_str(a[1], "fallback_prefix");
    prefix = nb::borrow(a[1]);
  } else {
    prefix = glue::steal(PyUnicode_FromString(msg::kDefaultFeaturePrefix));
  }
  return cn(a[0], prefix);
}

nb::object py_rc(const glue::Call& call) {
  static const glue::Signature sig{"_rc", {"X"}, 1};
  PyObject* a[1];
  glue::parse(sig, call, a);
  return glue::steal(PyLong_FromSsize_t(rc(a[0])));
}

nb::object py_trd(const glue::Call& call) {
  static const glue::Signature sig{"_trd", {"X", "cols"}, 2};
  PyObject* a[2];
  glue::parse(sig, call, a);
  glue::check_list(a[1], "cols");
  return trd(a[0], a[1]);
}

nb::object py_fo(const glue::Call& call) {
  static const glue::Signature sig{"_fo", {"outputs", "n"}, 2};
  PyObject* a[2];
  glue::parse(sig, call, a);
  nb::object n = glue::to_int(a[1], "n");
  Py_ssize_t count = PyLong_AsSsize_t(n.ptr());
  if (count == -1 && PyErr_Occurred()) glue::raise_current();
  return fo(a[0], count);
}

nb::object py_gs(const glue::Call& call) {
  static const glue::Signature sig{"_gs", {"val"}, 1};
  PyObject* a[1];
  glue::parse(sig, call, a);
  auto [num, text] = gs(a[0]);
  return glue::steal(PyTuple_Pack(2, num.ptr(), text.ptr()));
}

nb::object py_rh(const glue::Call& call) {
  static const glue::Signature sig{"_rh", {"row_dict"}, 1};
  PyObject* a[1];
  glue::parse(sig, call, a);
  glue::check_dict(a[0], "row_dict");
  return glue::check_result_exact(rh(a[0]), &PyUnicode_Type, "str");
}

PyMethodDef g_methods[] = {
    GLUE_METHOD("_cn", py_cn, msg::kDocCn),
    GLUE_METHOD("_rc", py_rc, msg::kDocRc),
    GLUE_METHOD("_trd", py_trd, msg::kDocTrd),
    GLUE_METHOD("_fo", py_fo, msg::kDocFo),
    GLUE_METHOD("_gs", py_gs, msg::kDocGs),
    GLUE_METHOD("_rh", py_rh, msg::kDocRh),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

// ---- C++ entry points ------------------------------------------------------------

nb::object cn(nb::handle X, nb::handle fallback_prefix) {
  nb::object pd = import_optional("pandas");
  if (pd.is_valid() && is_instance_of(pd, "DataFrame", X)) {
    nb::object columns = glue::steal(PyObject_GetAttr(X.ptr(), s_columns));
    nb::object it = glue::steal(PyObject_GetIter(columns.ptr()));
    nb::object out = glue::steal(PyList_New(0));
    while (PyObject* raw = PyIter_Next(it.ptr())) {
      nb::object label = nb::steal(raw);
      glue::ok(PyList_Append(out.ptr(), glue::steal(PyObject_Str(label.ptr())).ptr()));
    }
    if (PyErr_Occurred()) glue::raise_current();
    return out;
  }
  Py_ssize_t count = 0;
  nb::object exc = catch_exception([&] {
    nb::object np = import("numpy");
    nb::object arr = np.attr("asarray")(X);
    long ndim = PyLong_AsLong(arr.attr("ndim").ptr());
    if (ndim == -1 && PyErr_Occurred()) glue::raise_current();
    if (ndim == 2) {
      nb::object width = glue::steal(PySequence_GetItem(arr.attr("shape").ptr(), 1));
      count = PyNumber_AsSsize_t(width.ptr(), PyExc_OverflowError);
      if (count == -1 && PyErr_Occurred()) glue::raise_current();
    } else {
      count = 1;
    }
  });
  if (exc.is_valid()) {
    nb::object out = glue::steal(PyList_New(1));
    PyList_SET_ITEM(out.ptr(), 0, nb::borrow(fallback_prefix).release().ptr());
    return out;
  }
  nb::object out = glue::steal(PyList_New(count));
  for (Py_ssize_t i = 0; i < count; ++i)
    PyList_SET_ITEM(out.ptr(), i, glue::steal(PyUnicode_FromFormat("%U_%zd", fallback_prefix.ptr(), i)).release().ptr());
  return out;
}

Py_ssize_t rc(nb::handle X) {
  Py_ssize_t n = PyObject_Size(X.ptr());
  if (n >= 0) return n;
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) glue::raise_current();
  PyErr_Clear();
  Py_ssize_t rows = 0;
  nb::object exc = catch_exception([&] {
    nb::object np = import("numpy");
    nb::object shape = np.attr("asarray")(X).attr("shape");
    nb::object first = glue::steal(PySequence_GetItem(shape.ptr(), 0));
    rows = PyNumber_AsSsize_t(first.ptr(), PyExc_OverflowError);
    if (rows == -1 && PyErr_Occurred()) glue::raise_current();
  });
  return exc.is_valid() ? 0 : rows;
}

nb::object trd(nb::handle X, nb::handle cols_h) {
  PyObject* cols = cols_h.ptr();
  nb::object pd = import_optional("pandas");
  if (pd.is_valid()) {
    if (is_instance_of(pd, "DataFrame", X)) {
      nb::object np = import_optional("numpy");
      if (np.is_valid()) {
        nb::object fast = trd_numeric_frame(X, cols, pd, np);
        if (fast.is_valid()) return fast;
      }
      return trd_iterrows(X, cols);
    }
    if (is_instance_of(pd, "Series", X)) {
      nb::object out = glue::steal(PyList_New(0));
      nb::object it = glue::steal(PyObject_GetIter(X.ptr()));
      while (PyObject* raw = PyIter_Next(it.ptr())) {
        nb::object v = nb::steal(raw);
        nb::object key = glue::steal(PyList_GetItemRef(cols, 0));
        nb::object d = glue::steal(PyDict_New());
        glue::ok(PyDict_SetItem(d.ptr(), key.ptr(), v.ptr()));
        glue::ok(PyList_Append(out.ptr(), d.ptr()));
      }
      if (PyErr_Occurred()) glue::raise_current();
      return out;
    }
  }
  nb::object result;
  nb::object exc = catch_exception([&] { result = trd_numpy(X, cols); });
  if (!exc.is_valid()) return result;
  exc = catch_exception([&] { result = trd_plain(X, cols); });
  if (!exc.is_valid()) return result;
  return glue::steal(PyList_New(0));
}

nb::object fo(nb::handle outputs, Py_ssize_t n) {
  if (outputs.is_none()) return nones(n);
  nb::object result;
  nb::object exc = catch_exception([&] {
    nb::object np = import("numpy");
    nb::object arr = np.attr("asarray")(outputs);
    long ndim = PyLong_AsLong(arr.attr("ndim").ptr());
    if (ndim == -1 && PyErr_Occurred()) glue::raise_current();
    if (ndim == 2) {
      nb::object all = glue::steal(PySlice_New(nullptr, nullptr, nullptr));
      nb::object last = glue::steal(PyLong_FromLong(-1));
      nb::object key = glue::steal(PyTuple_Pack(2, all.ptr(), last.ptr()));
      arr = glue::steal(PyObject_GetItem(arr.ptr(), key.ptr()));
    }
    result = arr.attr("tolist")();
  });
  if (!exc.is_valid() && PyList_Check(result.ptr())) return result;
  PyObject* lst = PySequence_List(outputs.ptr());
  if (lst) return nb::steal(lst);
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) glue::raise_current();
  PyErr_Clear();
  nb::object out = nones(n, 1);
  glue::ok(PyList_Insert(out.ptr(), 0, outputs.ptr()));
  return out;
}

std::pair<nb::object, nb::object> gs(nb::handle val) {
  PyObject* v = val.ptr();
  nb::object np = import_optional("numpy");
  if (np.is_valid()) {
    if (PyBool_Check(v)) return {glue::steal(PyFloat_FromDouble(v == Py_True ? 1.0 : 0.0)), nb::none()};
    bool number = PyLong_Check(v) || PyFloat_Check(v);
    if (!number) {
      const NumpyTypes& t = numpy_types(np);
      int r = PyObject_IsInstance(v, t.integer);
      if (r == 0) r = PyObject_IsInstance(v, t.floating);
      if (r < 0) glue::raise_current();
      number = r == 1;
    }
    if (number) {
      nb::object f = glue::steal(PyNumber_Float(v));
      if (std::isnan(PyFloat_AS_DOUBLE(f.ptr()))) return {nb::none(), nb::none()};
      return {f, nb::none()};
    }
  } else if (PyLong_Check(v) || PyFloat_Check(v)) {
    return {glue::steal(PyNumber_Float(v)), nb::none()};
  }
  if (val.is_none()) return {nb::none(), nb::none()};
  nb::object text = glue::steal(PyObject_Str(v));
  if (PyUnicode_GET_LENGTH(text.ptr()) > 255) text = glue::steal(PyUnicode_Substring(text.ptr(), 0, 255));
  return {nb::none(), text};
}

nb::object rh(nb::handle row_dict) {
  nb::object result;
  nb::object exc = catch_exception([&] {
    nb::object data = fast_dumps_bytes(row_dict, nb::handle((PyObject*)&PyUnicode_Type), true);
    nb::object hasher = global("hashlib").attr("sha256")(data);
    result = hasher.attr("hexdigest")();
  });
  if (exc.is_valid()) return glue::steal(PyUnicode_FromString(""));
  return result;
}

void register_rows(nb::module_& m) {
  s_index = glue::intern("index");
  s_columns = glue::intern("columns");
  s_values = glue::intern("values");
  s_get_loc = glue::intern("get_loc");
  if (!s_index || !s_columns || !s_values || !s_get_loc) glue::raise_current();
  glue::ok(PyModule_AddFunctions(m.ptr(), g_methods));
}

}  // namespace wrapper
