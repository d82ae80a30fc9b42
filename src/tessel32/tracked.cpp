// TrackedSeries / TrackedDataFrame: minimal pandas subclasses that carry
// provenance values.
//
//   TrackedSeries     _prov      numpy uint32 array, one value per element
//                     _tracker   the ProvenanceTracker (or None)
//   TrackedDataFrame  _col_prov  dict column label -> numpy uint32 array
//                     _tracker
//
// They do not combine provenance themselves (the lineage engine's classes
// do); they keep it attached to the right rows while pandas derives new
// objects. In __finalize__ (which pandas calls for every derived object) a
// provenance array is carried over when the rows keep their identity:
//   - same index as the source object: copied position by position;
//   - "rename" / "reset_index" / "set_axis" with the same length: copied by
//     position (only the labels changed);
//   - a unique source index and other labels, for selections and reorderings
//     (filtering, sorting, head, take, reindex, dropna, ...; not for
//     aggregations, whose labels are keys): mapped by label; labels not found
//     get 0;
// and dropped (zeros, "no provenance") for methods that move values between
// rows ("shift", "diff", "pct_change", "interpolate", "rank", "transpose")
// and whenever the rows cannot be matched. Arrays are always copies: no two
// objects share one.
#include <cstring>
#include <string>

#include "tessel32/messages.h"
#include "tessel32/tessel32.h"

namespace tessel32 {
namespace {

using glue::Call;

struct Pd {
  PyObject* np = nullptr;
  PyObject* uint32 = nullptr;      // numpy.uint32
  PyObject* series = nullptr;      // pandas.Series
  PyObject* frame = nullptr;       // pandas.DataFrame
  PyObject* ts = nullptr;          // TrackedSeries
  PyObject* tf = nullptr;          // TrackedDataFrame
  PyObject* s_prov = nullptr;
  PyObject* s_col_prov = nullptr;
  PyObject* s_tracker = nullptr;
} pd;

nb::handle H(PyObject* p) { return nb::handle(p); }

using glue::truthy;

void set_plain(PyObject* self, PyObject* name, nb::handle value) {
  // object.__setattr__: bypasses NDFrame.__setattr__ (no column lookup).
  glue::ok(PyObject_GenericSetAttr(self, name, value.ptr()));
}

/// An attribute from the instance __dict__ only (None when absent).
nb::object plain_attr(PyObject* self, PyObject* name) {
  PyObject** dictptr = _PyObject_GetDictPtr(self);
  if (dictptr && *dictptr) {
    PyObject* v = PyDict_GetItemWithError(*dictptr, name);
    if (v) return nb::borrow(v);
    if (PyErr_Occurred()) glue::raise_current();
  }
  return nb::none();
}

Py_ssize_t length(nb::handle o) {
  Py_ssize_t n = PyObject_Length(o.ptr());
  if (n < 0) glue::raise_current();
  return n;
}

nb::object zeros(Py_ssize_t n) {
  return H(pd.np).attr("zeros")(n, nb::arg("dtype") = H(pd.uint32));
}

/// A validated uint32 copy of user-supplied provenance values.
nb::object prov_array(nb::handle values, Py_ssize_t n, const char* what) {
  nb::object arr = H(pd.np).attr("asarray")(values);
  Py_ssize_t ndim = PyLong_AsSsize_t(nb::object(arr.attr("ndim")).ptr());
  if (ndim == -1 && PyErr_Occurred()) glue::raise_current();
  if (ndim != 1) glue::raise(PyExc_ValueError, msg::PROV_NDIM, what, ndim);
  nb::object dtype = arr.attr("dtype");
  if (!dtype.equal(H(pd.uint32))) {
    nb::object kobj = dtype.attr("kind");
    const char* k = PyUnicode_Check(kobj.ptr()) ? PyUnicode_AsUTF8(kobj.ptr()) : "?";
    if (!k) glue::raise_current();
    std::string kind = k;
    if (kind != "i" && kind != "u" && kind != "b") {
      if (length(arr) != 0 || kind != "f") {  // an empty list comes as float64
        nb::object ds = nb::str(dtype);
        glue::raise(PyExc_TypeError, msg::PROV_DTYPE, what, ds.ptr());
      }
    }
    if (length(arr) && kind != "b" && kind != "f") {
      bool bad = arr.attr("min")() < nb::int_(0) || arr.attr("max")() > nb::int_(0xFFFFFFFFll);
      if (bad) glue::raise(PyExc_OverflowError, msg::PROV_ARRAY_RANGE, what);
    }
  }
  if (length(arr) != n) glue::raise(PyExc_ValueError, msg::PROV_LENGTH, what, length(arr), n);
  return H(pd.np).attr("array")(arr, nb::arg("dtype") = H(pd.uint32), nb::arg("copy") = true);
}

bool method_is(nb::handle method, std::initializer_list<const char*> names) {
  if (!method.is_valid() || !PyUnicode_Check(method.ptr())) return false;
  const char* m = PyUnicode_AsUTF8(method.ptr());
  if (!m) glue::raise_current();
  for (const char* n : names)
    if (std::strcmp(m, n) == 0) return true;
  return false;
}

bool moves_rows(nb::handle method) {
  return method_is(method, {"shift", "diff", "pct_change", "interpolate", "rank", "transpose"});
}

/// Provenance for rows labelled `index`, from `prov` over rows labelled `src`.
nb::object carry(nb::handle index, nb::handle src, nb::handle prov, nb::handle method) {
  Py_ssize_t n = length(index);
  if (prov.is_none() || moves_rows(method)) return zeros(n);
  Py_ssize_t m = length(prov);
  if (m != length(src) || m == 0) return zeros(n);
  if (m == n && (index.is(src) || method_is(method, {"rename", "reset_index", "set_axis"}) ||
                 truthy(index.attr("equals")(src))))
    return H(pd.np).attr("array")(prov, nb::arg("dtype") = H(pd.uint32), nb::arg("copy") = true);
  // Mapping by label only where the result's labels are row labels of the
  // source (selection and reordering); aggregations such as groupby,
  // value_counts or quantile label their rows with keys, not source rows.
  if (!method.is_none() && !method_is(method, {"take", "sort_values", "sort_index", "reindex", "dropna",
                                               "drop_duplicates", "nlargest", "nsmallest"}))
    return zeros(n);
  if (!truthy(src.attr("is_unique"))) return zeros(n);
  nb::object pos = src.attr("get_indexer")(index);
  nb::object zero = nb::int_(0);
  nb::object found = glue::steal(PyObject_RichCompare(pos.ptr(), zero.ptr(), Py_GE));
  nb::object out = H(pd.np).attr("where")(found, nb::handle(prov)[pos], nb::int_(0));
  return out.attr("astype")(H(pd.uint32));
}

/// Split a fastcall into (self, *args) and **kwargs without the given keys;
/// the removed keywords land in `taken` (borrowed, nullptr when absent).
void split_call(const Call& c, const char* const* names, PyObject** taken, size_t ntaken,
                nb::object& args, nb::object& kwargs) {
  args = glue::steal(PyTuple_New(c.nargs + 1));
  PyTuple_SET_ITEM(args.ptr(), 0, Py_NewRef(c.self));
  for (Py_ssize_t i = 0; i < c.nargs; ++i) PyTuple_SET_ITEM(args.ptr(), i + 1, Py_NewRef(c.args[i]));
  kwargs = glue::steal(PyDict_New());
  for (size_t k = 0; k < ntaken; ++k) taken[k] = nullptr;
  if (!c.kwnames) return;
  for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(c.kwnames); ++k) {
    PyObject* key = PyTuple_GET_ITEM(c.kwnames, k);
    PyObject* value = c.args[c.nargs + k];
    bool mine = false;
    for (size_t j = 0; j < ntaken; ++j)
      if (PyUnicode_CompareWithASCIIString(key, names[j]) == 0) {
        taken[j] = value;
        mine = true;
      }
    if (!mine) glue::ok(PyDict_SetItem(kwargs.ptr(), key, value));
  }
}

/// The `data` argument of a constructor call (first positional or data=).
PyObject* data_arg(const Call& c) {
  if (c.nargs > 0) return c.args[0];
  if (c.kwnames)
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(c.kwnames); ++k)
      if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(c.kwnames, k), "data") == 0)
        return c.args[c.nargs + k];
  return nullptr;
}

bool is_instance(PyObject* o, PyObject* cls) {
  int r = PyObject_IsInstance(o, cls);
  if (r < 0) glue::raise_current();
  return r == 1;
}

// ---- TrackedSeries -----------------------------------------------------------

nb::object ts_init(const Call& c) {
  static const char* const names[] = {"_prov", "_tracker"};
  PyObject* taken[2];
  nb::object args, kwargs;
  split_call(c, names, taken, 2, args, kwargs);
  PyObject* data = data_arg(c);
  nb::object init = glue::steal(PyObject_GetAttrString(pd.series, "__init__"));
  glue::steal(PyObject_Call(init.ptr(), args.ptr(), kwargs.ptr()));

  nb::handle self(c.self);
  Py_ssize_t n = length(self);
  nb::object prov;
  if (taken[0] && taken[0] != Py_None) prov = prov_array(taken[0], n, "_prov");
  else if (data && is_instance(data, pd.ts))
    prov = carry(self.attr("index"), nb::handle(data).attr("index"), plain_attr(data, pd.s_prov), nb::none());
  else prov = zeros(n);
  nb::object tracker = taken[1] ? nb::borrow(taken[1])
                       : (data && is_instance(data, pd.ts)) ? plain_attr(data, pd.s_tracker)
                                                            : nb::none();
  set_plain(c.self, pd.s_prov, prov);
  set_plain(c.self, pd.s_tracker, tracker);
  return nb::none();
}

nb::object finalize_call(const Call& c, PyObject* base, nb::object& other, nb::object& method) {
  static const glue::Signature sig{"__finalize__", {"other", "method"}, 1, -1, true};
  PyObject* a[2];
  nb::object extra = glue::parse(sig, c, a);
  other = nb::borrow(a[0]);
  method = a[1] ? nb::borrow(a[1]) : nb::none();
  nb::object fin = glue::steal(PyObject_GetAttrString(base, "__finalize__"));
  nb::object args = nb::make_tuple(nb::handle(c.self), other, method);
  return glue::steal(PyObject_Call(fin.ptr(), args.ptr(), extra.is_valid() ? extra.ptr() : nullptr));
}

nb::object ts_finalize(const Call& c) {
  nb::object other, method;
  nb::object result = finalize_call(c, pd.series, other, method);
  nb::handle self(c.self);
  nb::object index = self.attr("index");
  nb::object prov;
  if (is_instance(other.ptr(), pd.ts)) {
    prov = carry(index, other.attr("index"), plain_attr(other.ptr(), pd.s_prov), method);
  } else if (is_instance(other.ptr(), pd.tf)) {
    // A column of a tracked frame: its array, if the rows are the frame's
    // rows (a row of the frame has the columns as index and gets zeros).
    nb::object cols = plain_attr(other.ptr(), pd.s_col_prov);
    nb::object name = self.attr("name");
    nb::object oindex = other.attr("index");
    PyObject* arr = nullptr;
    if (PyDict_Check(cols.ptr()) && PyObject_Hash(name.ptr()) != -1) {
      arr = PyDict_GetItemWithError(cols.ptr(), name.ptr());
      if (!arr && PyErr_Occurred()) glue::raise_current();
    }
    PyErr_Clear();  // unhashable name
    bool is_row = truthy(index.attr("equals")(other.attr("columns")));
    if (arr && !is_row) prov = carry(index, oindex, nb::borrow(arr), method);
    else prov = zeros(length(index));
  } else {
    nb::object cur = plain_attr(c.self, pd.s_prov);
    if (!cur.is_none() && length(cur) == length(index)) return result;
    prov = zeros(length(index));
  }
  set_plain(c.self, pd.s_prov, prov);
  return result;
}

nb::object ts_constructor(PyObject*) { return nb::borrow(pd.ts); }
nb::object tf_constructor(PyObject*) { return nb::borrow(pd.tf); }

// ---- TrackedDataFrame --------------------------------------------------------

/// Column arrays for `self`'s rows from a source of arrays over `src_index`.
nb::object carry_columns(nb::handle self, nb::handle cols, nb::handle src_index, nb::handle method) {
  nb::object out = glue::steal(PyDict_New());
  if (!PyDict_Check(cols.ptr()) || moves_rows(method)) return out;
  nb::object index = self.attr("index");
  nb::object columns = self.attr("columns");
  PyObject *key, *arr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(cols.ptr(), &pos, &key, &arr)) {
    nb::object k = nb::borrow(key), v = nb::borrow(arr);
    int has = PySequence_Contains(columns.ptr(), key);
    if (has < 0) {
      PyErr_Clear();
      continue;
    }
    if (has) glue::ok(PyDict_SetItem(out.ptr(), key, carry(index, src_index, v, method).ptr()));
  }
  return out;
}

nb::object tf_init(const Call& c) {
  static const char* const names[] = {"_col_prov", "_tracker"};
  PyObject* taken[2];
  nb::object args, kwargs;
  split_call(c, names, taken, 2, args, kwargs);
  PyObject* data = data_arg(c);
  nb::object init = glue::steal(PyObject_GetAttrString(pd.frame, "__init__"));
  glue::steal(PyObject_Call(init.ptr(), args.ptr(), kwargs.ptr()));

  nb::handle self(c.self);
  Py_ssize_t n = length(self.attr("index"));
  nb::object cols;
  nb::object tracker = taken[1] ? nb::borrow(taken[1]) : nb::none();
  if (taken[0] && taken[0] != Py_None) {
    if (!PyDict_Check(taken[0])) glue::raise(PyExc_TypeError, msg::COL_PROV_TYPE, Py_TYPE(taken[0])->tp_name);
    cols = glue::steal(PyDict_New());
    PyObject *key, *arr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(taken[0], &pos, &key, &arr)) {
      nb::object k = nb::borrow(key), v = nb::borrow(arr);
      glue::ok(PyDict_SetItem(cols.ptr(), key, prov_array(v, n, "_col_prov").ptr()));
    }
  } else if (data && is_instance(data, pd.tf)) {
    cols = carry_columns(self, plain_attr(data, pd.s_col_prov), nb::handle(data).attr("index"), nb::none());
    if (!taken[1]) tracker = plain_attr(data, pd.s_tracker);
  } else if (data && PyDict_Check(data)) {
    // {label: TrackedSeries, ...}: pandas aligns the columns by label.
    cols = glue::steal(PyDict_New());
    nb::object index = self.attr("index");
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    nb::object d = nb::borrow(data);
    while (PyDict_Next(d.ptr(), &pos, &key, &value)) {
      if (!is_instance(value, pd.ts)) continue;
      nb::object k = nb::borrow(key), v = nb::borrow(value);
      nb::object arr = carry(index, v.attr("index"), plain_attr(value, pd.s_prov), nb::none());
      glue::ok(PyDict_SetItem(cols.ptr(), key, arr.ptr()));
      if (tracker.is_none()) tracker = plain_attr(value, pd.s_tracker);
    }
  } else if (data && is_instance(data, pd.ts)) {
    cols = glue::steal(PyDict_New());
    nb::object name = nb::handle(data).attr("name");
    nb::object columns = self.attr("columns");
    if (length(columns) == 1) {
      nb::object label = columns[nb::int_(0)];
      nb::object arr = carry(self.attr("index"), nb::handle(data).attr("index"), plain_attr(data, pd.s_prov), nb::none());
      glue::ok(PyDict_SetItem(cols.ptr(), label.ptr(), arr.ptr()));
    }
    if (!taken[1]) tracker = plain_attr(data, pd.s_tracker);
  } else {
    cols = glue::steal(PyDict_New());
  }
  set_plain(c.self, pd.s_col_prov, cols);
  set_plain(c.self, pd.s_tracker, tracker);
  return nb::none();
}

nb::object tf_finalize(const Call& c) {
  nb::object other, method;
  nb::object result = finalize_call(c, pd.frame, other, method);
  nb::handle self(c.self);
  nb::object cols;
  if (is_instance(other.ptr(), pd.tf)) {
    cols = carry_columns(self, plain_attr(other.ptr(), pd.s_col_prov), other.attr("index"), method);
  } else if (is_instance(other.ptr(), pd.ts)) {  // to_frame() and the like
    cols = glue::steal(PyDict_New());
    nb::object columns = self.attr("columns");
    if (length(columns) == 1 && !moves_rows(method)) {
      nb::object label = columns[nb::int_(0)];
      nb::object arr = carry(self.attr("index"), other.attr("index"), plain_attr(other.ptr(), pd.s_prov), method);
      glue::ok(PyDict_SetItem(cols.ptr(), label.ptr(), arr.ptr()));
    }
  } else {
    nb::object cur = plain_attr(c.self, pd.s_col_prov);
    if (PyDict_Check(cur.ptr())) return result;
    cols = glue::steal(PyDict_New());
  }
  set_plain(c.self, pd.s_col_prov, cols);
  return result;
}

nb::object tf_setitem(const Call& c) {
  if (c.nargs != 2 || c.kwnames) glue::raise(PyExc_TypeError, msg::SETITEM_ARGS, c.nargs);
  PyObject* key = c.args[0];
  PyObject* value = c.args[1];
  nb::object set = glue::steal(PyObject_GetAttrString(pd.frame, "__setitem__"));
  glue::steal(PyObject_CallFunctionObjArgs(set.ptr(), c.self, key, value, nullptr));

  nb::object cols = plain_attr(c.self, pd.s_col_prov);
  if (!PyDict_Check(cols.ptr())) {
    cols = glue::steal(PyDict_New());
    set_plain(c.self, pd.s_col_prov, cols);
  }
  if (PyObject_Hash(key) == -1) {  // a mask, a list of labels, ...: rows or columns changed
    PyErr_Clear();
    if (PyList_Check(key) || PyTuple_Check(key)) {
      nb::object keys = nb::borrow(key);
      for (nb::handle k : keys)
        if (PyObject_Hash(k.ptr()) != -1 && PyDict_Contains(cols.ptr(), k.ptr()) == 1)
          glue::ok(PyDict_DelItem(cols.ptr(), k.ptr()));
      PyErr_Clear();
    } else {
      PyDict_Clear(cols.ptr());
    }
    return nb::none();
  }
  nb::handle self(c.self);
  int is_col = PySequence_Contains(self.attr("columns").ptr(), key);
  if (is_col == 1 && is_instance(value, pd.ts)) {
    nb::object arr = carry(self.attr("index"), nb::handle(value).attr("index"), plain_attr(value, pd.s_prov), nb::none());
    glue::ok(PyDict_SetItem(cols.ptr(), key, arr.ptr()));
  } else {
    PyErr_Clear();
    if (PyDict_Contains(cols.ptr(), key) == 1) glue::ok(PyDict_DelItem(cols.ptr(), key));
    if (is_col != 1) PyDict_Clear(cols.ptr());  // not a column label: a row/mask assignment
  }
  return nb::none();
}

nb::object ts_sliced(PyObject*) { return nb::borrow(pd.ts); }

PyMethodDef ts_methods[] = {
    GLUE_METHOD("__init__", ts_init, msg::TS_INIT_DOC),
    GLUE_METHOD("__finalize__", ts_finalize, msg::FINALIZE_DOC),
    {nullptr, nullptr, 0, nullptr},
};
PyGetSetDef ts_props[] = {
    GLUE_GETTER("_constructor", ts_constructor, msg::CONSTRUCTOR_DOC),
    GLUE_GETTER("_constructor_expanddim", tf_constructor, msg::CONSTRUCTOR_EXPANDDIM_DOC),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyMethodDef tf_methods[] = {
    GLUE_METHOD("__init__", tf_init, msg::TF_INIT_DOC),
    GLUE_METHOD("__finalize__", tf_finalize, msg::FINALIZE_DOC),
    GLUE_METHOD("__setitem__", tf_setitem, msg::SETITEM_DOC),
    {nullptr, nullptr, 0, nullptr},
};
PyGetSetDef tf_props[] = {
    GLUE_GETTER("_constructor", tf_constructor, msg::CONSTRUCTOR_DOC),
    GLUE_GETTER("_constructor_sliced", ts_sliced, msg::CONSTRUCTOR_SLICED_DOC),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

using glue::keep;

}  // namespace

void add_tracked_classes(nb::handle module) {
  nb::object np = nb::module_::import_("numpy");
  nb::object pandas = nb::module_::import_("pandas");
  pd.np = keep(np);
  pd.uint32 = keep(np.attr("uint32"));
  pd.series = keep(pandas.attr("Series"));
  pd.frame = keep(pandas.attr("DataFrame"));
  pd.s_prov = glue::intern("_prov");
  pd.s_col_prov = glue::intern("_col_prov");
  pd.s_tracker = glue::intern("_tracker");

  {
    nb::object bases = nb::make_tuple(nb::handle(pd.series));
    glue::ClassBuilder b(module, "TrackedSeries", bases, msg::SERIES_DOC);
    b.attr("_metadata", nb::list(nb::make_tuple("_prov", "_tracker")));
    b.attr("_prov", nb::none());
    b.attr("_tracker", nb::none());
    nb::object cls = b.create();
    pd.ts = cls.inc_ref().ptr();
    b.methods(ts_methods);
    b.properties(ts_props);
    module.attr("TrackedSeries") = cls;
  }
  {
    nb::object bases = nb::make_tuple(nb::handle(pd.frame));
    glue::ClassBuilder b(module, "TrackedDataFrame", bases, msg::FRAME_DOC);
    b.attr("_metadata", nb::list(nb::make_tuple("_col_prov", "_tracker")));
    b.attr("_col_prov", nb::none());
    b.attr("_tracker", nb::none());
    nb::object cls = b.create();
    pd.tf = cls.inc_ref().ptr();
    b.methods(tf_methods);
    b.properties(tf_props);
    module.attr("TrackedDataFrame") = cls;
  }
}

}  // namespace tessel32
