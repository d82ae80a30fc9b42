// corvanti.wrapper: the JSON pair (_fast_dumps/_fast_loads), the non-finite
// float scrubbers, _serialize, _content_hash and _compute_model_hash.
#include <cmath>

#include "wrapper/internal.h"
#include "wrapper/messages.h"
#include "wrapper/wrapper.h"

namespace wrapper {

namespace {

bool g_orjson = false;  // backend chosen once at import

// Interned strings and keyword-name tuples, created at init and kept for
// the life of the process.
PyObject* s_dumps = nullptr;
PyObject* s_loads = nullptr;
PyObject* s_opt_sort_keys = nullptr;
PyObject* kw_default_option = nullptr;  // ("default", "option")
PyObject* kw_option = nullptr;          // ("option",)
PyObject* kw_default_sort = nullptr;    // ("default", "sort_keys")

using glue::intern;

nb::object call_method_kw(nb::handle target, PyObject* name, std::initializer_list<PyObject*> args,
                          PyObject* kwnames) {
  nb::object fn = glue::steal(PyObject_GetAttr(target.ptr(), name));
  PyObject* argv[4];
  size_t n = 0;
  for (PyObject* a : args) argv[n++] = a;
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  return glue::steal(PyObject_Vectorcall(fn.ptr(), argv, (size_t)(n - nkw), kwnames));
}

nb::object bytes_to_str(nb::handle raw) {
  if (PyBytes_CheckExact(raw.ptr()))
    return glue::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.ptr()), PyBytes_GET_SIZE(raw.ptr()), "strict"));
  return glue::steal(PyObject_CallMethod(raw.ptr(), "decode", "s", "utf-8"));
}

// The backend's raw output: bytes for orjson, str for json.
nb::object dumps_raw(nb::handle obj, nb::handle default_, bool sort_keys) {
  bool has_default = default_.is_valid() && !default_.is_none();
  if (g_orjson) {
    nb::object orj = global("_orjson");
    nb::object opts = glue::steal(PyLong_FromLong(0));
    if (sort_keys) {
      nb::object flag = glue::steal(PyObject_GetAttr(orj.ptr(), s_opt_sort_keys));
      opts = glue::steal(PyNumber_Or(opts.ptr(), flag.ptr()));
    }
    if (has_default)
      return call_method_kw(orj, s_dumps, {obj.ptr(), default_.ptr(), opts.ptr()}, kw_default_option);
    return call_method_kw(orj, s_dumps, {obj.ptr(), opts.ptr()}, kw_option);
  }
  nb::object json = global("json");
  PyObject* d = has_default ? default_.ptr() : Py_None;
  return call_method_kw(json, s_dumps, {obj.ptr(), d, sort_keys ? Py_True : Py_False}, kw_default_sort);
}

// Element conversion of the sequence branch: numpy scalars (anything with
// an `item` attribute) become Python scalars.
bool has_no_item_attr_fast(PyObject* v) {
  PyTypeObject* t = Py_TYPE(v);
  return t == &PyFloat_Type || t == &PyLong_Type || t == &PyBool_Type || t == &PyUnicode_Type ||
         v == Py_None || t == &PyList_Type || t == &PyTuple_Type || t == &PyDict_Type ||
         t == &PyBytes_Type;
}

nb::object serialize_body(nb::handle arr) {
  nb::object pd = import("pandas");
  nb::object np = import("numpy");
  nb::object df_type = pd.attr("DataFrame");
  int is_df = PyObject_IsInstance(arr.ptr(), df_type.ptr());
  if (is_df < 0) glue::raise_current();
  if (is_df) {
    nb::object split = arr.attr("to_dict")(nb::arg("orient") = "split");
    nb::object key = glue::steal(PyUnicode_FromString("data"));
    nb::object data = glue::steal(PyObject_GetItem(split.ptr(), key.ptr()));
    nb::object clean = sanitize_rows(data);
    glue::ok(PyObject_SetItem(split.ptr(), key.ptr(), clean.ptr()));
    nb::dict out;
    out["dataframe"] = split;
    return out;
  }
  nb::object series_type = pd.attr("Series");
  int is_series = PyObject_IsInstance(arr.ptr(), series_type.ptr());
  if (is_series < 0) glue::raise_current();
  nb::object ndarray_type = np.attr("ndarray");
  int is_nd = is_series ? 0 : PyObject_IsInstance(arr.ptr(), ndarray_type.ptr());
  if (is_nd < 0) glue::raise_current();
  if (is_series || is_nd) {
    nb::object lst = arr.attr("tolist")();
    nb::dict out;
    out[is_series ? "series" : "ndarray"] = sanitize_list(lst);
    return out;
  }
  // A sparse matrix's class lives in scipy.sparse, so when that package was
  // never loaded `arr` cannot be one; this spares an expensive import.
  {
    nb::object key = glue::steal(PyUnicode_FromString("scipy.sparse"));
    PyObject* loaded = PyImport_GetModule(key.ptr());
    if (!loaded && PyErr_Occurred()) glue::raise_current();
    bool present = loaded && loaded != Py_None;
    Py_XDECREF(loaded);
    if (present) {
      nb::object sp = import_optional("scipy.sparse");
      if (sp.is_valid()) {
        nb::object is = sp.attr("issparse")(arr);
        int truth = PyObject_IsTrue(is.ptr());
        if (truth < 0) glue::raise_current();
        if (truth) {
          nb::object dense = arr.attr("toarray")().attr("tolist")();
          nb::dict out;
          out["ndarray"] = sanitize_rows(dense);
          return out;
        }
      }
    }
  }
  nb::object it = glue::steal(PyObject_GetIter(arr.ptr()));
  nb::object items = glue::steal(PyList_New(0));
  nb::object item_name = glue::steal(PyUnicode_InternFromString("item"));
  while (PyObject* raw = PyIter_Next(it.ptr())) {
    nb::object v = nb::steal(raw);
    if (!has_no_item_attr_fast(v.ptr())) {
      PyObject* meth = nullptr;
      int has = PyObject_GetOptionalAttr(v.ptr(), item_name.ptr(), &meth);
      if (has < 0) glue::raise_current();
      if (has) {
        nb::object m = nb::steal(meth);
        v = glue::steal(PyObject_CallNoArgs(m.ptr()));
      }
    }
    nb::object clean = sanitize_value(v);
    glue::ok(PyList_Append(items.ptr(), clean.ptr()));
  }
  if (PyErr_Occurred()) glue::raise_current();
  nb::dict out;
  out["list"] = items;
  return out;
}

// ---- Python entry points -------------------------------------------------------

nb::object py_fast_dumps(const glue::Call& call) {
  static const glue::Signature sig{"_fast_dumps", {"obj", "default", "sort_keys"}, 1};
  PyObject* a[3];
  glue::parse(sig, call, a);
  bool sort_keys = false;
  if (a[2]) {
    int t = PyObject_IsTrue(a[2]);
    if (t < 0) glue::raise_current();
    sort_keys = t == 1;
  }
  return fast_dumps(a[0], a[1] ? nb::handle(a[1]) : nb::handle(), sort_keys);
}

nb::object py_fast_loads(const glue::Call& call) {
  static const glue::Signature sig{"_fast_loads", {"s"}, 1};
  PyObject* a[1];
  glue::parse(sig, call, a);
  return fast_loads(a[0]);
}

nb::object py_sanitize_value(const glue::Call& call) {
  static const glue::Signature sig{"_sanitize_value", {"v"}, 1};
  PyObject* a[1];
  glue::parse(sig, call, a);
  return sanitize_value(a[0]);
}

nb::object py_sanitize_list(const glue::Call& call) {
  static const glue::Signature sig{"_sanitize_list", {"lst"}, 1};
  PyObject* a[1];
  glue::parse(sig, call, a);
  return sanitize_list(a[0]);
}

nb::object py_sanitize_rows(const glue::Call& call) {
  static const glue::Signature sig{"_sanitize_rows", {"rows"}, 1};
  PyObject* a[1];
  glue::parse(sig, call, a);
  return sanitize_rows(a[0]);
}

nb::object py_serialize(const glue::Call& call) {
  static const glue::Signature sig{"_serialize", {"arr"}, 1};
  PyObject* a[1];
  glue::parse(sig, call, a);
  return serialize(a[0]);
}

nb::object content_hash_obj(PyObject* const* parts, Py_ssize_t n) {
  nb::object strs = glue::steal(PyList_New(n));
  for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(strs.ptr(), i, glue::steal(PyObject_Str(parts[i])).release().ptr());
  nb::object bar = glue::steal(PyUnicode_FromString("|"));
  nb::object text = glue::steal(PyUnicode_Join(bar.ptr(), strs.ptr()));
  nb::object data = glue::steal(PyUnicode_AsUTF8String(text.ptr()));
  nb::object digest = global("hashlib").attr("md5")(data).attr("hexdigest")();
  nb::object head = glue::steal(PySequence_GetSlice(digest.ptr(), 0, 8));
  if (PyUnicode_Check(head.ptr())) return glue::steal(PyLong_FromUnicodeObject(head.ptr(), 16));
  nb::object sixteen = glue::steal(PyLong_FromLong(16));
  return glue::steal(PyObject_CallFunctionObjArgs((PyObject*)&PyLong_Type, head.ptr(), sixteen.ptr(), nullptr));
}

nb::object py_content_hash(const glue::Call& call) {
  if (call.kwnames && PyTuple_GET_SIZE(call.kwnames) > 0)
    glue::raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", "_content_hash",
                PyTuple_GET_ITEM(call.kwnames, 0));
  return glue::check_result_int(content_hash_obj(call.args, call.nargs));
}

nb::object py_compute_model_hash(const glue::Call& call) {
  static const glue::Signature sig{"_compute_model_hash", {"model"}, 1};
  PyObject* a[1];
  glue::parse(sig, call, a);
  return glue::check_result_exact(compute_model_hash(a[0]), &PyUnicode_Type, "str");
}

PyMethodDef g_methods[] = {
    GLUE_METHOD("_fast_dumps", py_fast_dumps, msg::kDocFastDumps),
    GLUE_METHOD("_fast_loads", py_fast_loads, msg::kDocFastLoads),
    GLUE_METHOD("_sanitize_value", py_sanitize_value, msg::kDocSanitizeValue),
    GLUE_METHOD("_sanitize_list", py_sanitize_list, msg::kDocSanitizeList),
    GLUE_METHOD("_sanitize_rows", py_sanitize_rows, msg::kDocSanitizeRows),
    GLUE_METHOD("_serialize", py_serialize, msg::kDocSerialize),
    GLUE_METHOD("_content_hash", py_content_hash, msg::kDocContentHash),
    GLUE_METHOD("_compute_model_hash", py_compute_model_hash, msg::kDocModelHash),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

// ---- C++ entry points ----------------------------------------------------------

bool uses_orjson() { return g_orjson; }

nb::object fast_dumps(nb::handle obj, nb::handle default_, bool sort_keys) {
  nb::object raw = dumps_raw(obj, default_, sort_keys);
  return g_orjson ? bytes_to_str(raw) : raw;
}

nb::object fast_dumps_bytes(nb::handle obj, nb::handle default_, bool sort_keys) {
  nb::object raw = dumps_raw(obj, default_, sort_keys);
  if (g_orjson && PyBytes_CheckExact(raw.ptr())) return raw;
  nb::object text = g_orjson ? bytes_to_str(raw) : raw;
  if (!PyUnicode_Check(text.ptr()))
    glue::raise(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(text.ptr())->tp_name);
  return glue::steal(PyUnicode_AsUTF8String(text.ptr()));
}

nb::object fast_loads(nb::handle s) {
  nb::object backend = g_orjson ? global("_orjson") : global("json");
  return glue::steal(PyObject_CallMethodOneArg(backend.ptr(), s_loads, s.ptr()));
}

nb::object sanitize_value(nb::handle v) {
  if (PyFloat_Check(v.ptr()) && !std::isfinite(PyFloat_AS_DOUBLE(v.ptr()))) return nb::none();
  return nb::borrow(v);
}

nb::object sanitize_list(nb::handle lst) {
  if (PyList_CheckExact(lst.ptr())) {
    // sanitize_value runs no Python code, so the list cannot change under us.
    Py_ssize_t n = PyList_GET_SIZE(lst.ptr());
    nb::object out = glue::steal(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i)
      PyList_SET_ITEM(out.ptr(), i, sanitize_value(PyList_GET_ITEM(lst.ptr(), i)).release().ptr());
    return out;
  }
  nb::object it = glue::steal(PyObject_GetIter(lst.ptr()));
  nb::object out = glue::steal(PyList_New(0));
  while (PyObject* raw = PyIter_Next(it.ptr())) {
    nb::object v = nb::steal(raw);
    glue::ok(PyList_Append(out.ptr(), sanitize_value(v).ptr()));
  }
  if (PyErr_Occurred()) glue::raise_current();
  return out;
}

nb::object sanitize_rows(nb::handle rows) {
  nb::object it = glue::steal(PyObject_GetIter(rows.ptr()));
  nb::object out = glue::steal(PyList_New(0));
  while (PyObject* raw = PyIter_Next(it.ptr())) {
    nb::object row = nb::steal(raw);
    glue::ok(PyList_Append(out.ptr(), sanitize_list(row).ptr()));
  }
  if (PyErr_Occurred()) glue::raise_current();
  return out;
}

nb::object serialize(nb::handle arr) {
  nb::object result;
  nb::object exc = catch_exception([&] { result = serialize_body(arr); });
  if (!exc.is_valid()) return result;
  // type(arr).__name__, not tp_name (which carries the module for some types).
  nb::object tname = glue::steal(PyType_GetName(Py_TYPE(arr.ptr())));
  nb::object text = glue::steal(PyUnicode_FromFormat("%s%U: %S", msg::kCouldNotSerialize, tname.ptr(), exc.ptr()));
  nb::object lg = logger();
  glue::steal(PyObject_CallMethod(lg.ptr(), "warning", "O", text.ptr()));
  return nb::none();
}

uint32_t content_hash(const std::vector<nb::handle>& parts) {
  std::vector<PyObject*> raw;
  raw.reserve(parts.size());
  for (nb::handle h : parts) raw.push_back(h.ptr());
  nb::object v = content_hash_obj(raw.data(), (Py_ssize_t)raw.size());
  unsigned long x = PyLong_AsUnsignedLong(v.ptr());
  if (x == (unsigned long)-1 && PyErr_Occurred()) glue::raise_current();
  return (uint32_t)x;
}

nb::object compute_model_hash(nb::handle model) {
  nb::object result;
  nb::object exc = catch_exception([&] {
    nb::object pickled = global("pickle").attr("dumps")(model);
    result = global("hashlib").attr("sha256")(pickled).attr("hexdigest")();
  });
  if (exc.is_valid()) return nb::none();
  return result;
}

void register_serialize(nb::module_& m) {
  s_dumps = intern("dumps");
  s_loads = intern("loads");
  s_opt_sort_keys = intern("OPT_SORT_KEYS");
  kw_default_option = glue::steal(PyTuple_Pack(2, intern("default"), intern("option"))).release().ptr();
  kw_option = glue::steal(PyTuple_Pack(1, intern("option"))).release().ptr();
  kw_default_sort = glue::steal(PyTuple_Pack(2, intern("default"), intern("sort_keys"))).release().ptr();

  // Backend selection, once: orjson when importable, else the json module.
  nb::object orj;
  PyObject* raw = PyImport_ImportModule("orjson");
  if (raw) {
    orj = nb::steal(raw);
    g_orjson = true;
  } else {
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) glue::raise_current();
    PyErr_Clear();
    orj = nb::none();
    g_orjson = false;
  }
  glue::ok(PyModule_AddObjectRef(m.ptr(), "_orjson", orj.ptr()));
  glue::ok(PyModule_AddFunctions(m.ptr(), g_methods));
}

}  // namespace wrapper
