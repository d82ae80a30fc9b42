// _ProvenanceRegistry: which source table every column of the user's data came
// from, and the shared module instance `_registry`.
//
// The class is a plain Python class (base object, instance __dict__) whose
// methods are C++ functions. Every method except __init__ runs its whole body
// inside `with self._lock:`; the lock is looked up on the instance at each
// call, like Python code would.
#include <nanobind/nanobind.h>

#include "glue/glue.h"
#include "glue/with.h"
#include "wrapper/registry_messages.h"
#include "wrapper/wrapper.h"

namespace wrapper {
namespace {

using glue::Call;
using glue::steal;

// The module object (strong, never released: modules are never unloaded).
PyObject* g_module = nullptr;

// Interned names.
PyObject* s_lock = nullptr;
PyObject* s_sources = nullptr;
PyObject* s_source_columns = nullptr;
PyObject* s_source_dtypes = nullptr;
PyObject* s_columns = nullptr;
PyObject* s_dtype = nullptr;
PyObject* s_derived = nullptr;
PyObject* s_dot = nullptr;

using glue::intern;

// The module global `logger`, looked up when used.
nb::object module_logger() {
  PyObject* lg = PyObject_GetAttrString(g_module, "logger");
  if (lg) return nb::steal(lg);
  PyErr_Clear();
  return nb::module_::import_("logging").attr("getLogger")("corvanti.wrapper");
}

// list(df.columns); a null object when that raises AttributeError.
nb::object column_list(PyObject* df) {
  PyObject* cols = PyObject_GetAttr(df, s_columns);
  PyObject* lst = cols ? PySequence_List(cols) : nullptr;
  Py_XDECREF(cols);
  if (lst) return nb::steal(lst);
  if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    return nb::object();
  }
  glue::raise_current();
}

// mapping.get(key) with the dict fast path; a null object when absent.
nb::object mapping_get(nb::handle mapping, PyObject* key) {
  if (PyDict_CheckExact(mapping.ptr())) {
    PyObject* v = nullptr;
    if (PyDict_GetItemRef(mapping.ptr(), key, &v) < 0) glue::raise_current();
    return v ? nb::steal(v) : nb::object();
  }
  nb::object v = steal(PyObject_CallMethod(mapping.ptr(), "get", "O", key));
  return v.is_none() ? nb::object() : v;
}

// The table part of a "table.col" source text. register() writes
// table + "." + str(col), so the table is what precedes "." + str(col); this
// keeps column labels that contain "." (price.usd) with their own table.
// Other texts are split at their last ".".
nb::object table_of(nb::handle src, nb::handle col) {
  if (PyUnicode_Check(src.ptr())) {
    nb::object name = steal(PyObject_Str(col.ptr()));
    nb::object suffix = steal(PyUnicode_Concat(s_dot, name.ptr()));
    Py_ssize_t len = PyUnicode_GET_LENGTH(src.ptr());
    Py_ssize_t slen = PyUnicode_GET_LENGTH(suffix.ptr());
    Py_ssize_t match = PyUnicode_Tailmatch(src.ptr(), suffix.ptr(), 0, len, +1);
    if (match < 0) glue::raise_current();
    if (match) return steal(PyUnicode_Substring(src.ptr(), 0, len - slen));
  }
  nb::object parts = steal(PyObject_CallMethod(src.ptr(), "rsplit", "Oi", s_dot, 1));
  return steal(PySequence_GetItem(parts.ptr(), 0));
}

nb::object self_attr(PyObject* self, PyObject* name) { return glue::instance_attr(self, name); }

template <class F>
nb::object locked(PyObject* self, F&& body) {
  nb::object lock = self_attr(self, s_lock);
  return glue::with_block(lock, std::forward<F>(body));
}

// ---- methods ----------------------------------------------------------------

nb::object init(const Call& c) {
  static const glue::Signature sig{"_ProvenanceRegistry.__init__", {}, 0};
  glue::parse(sig, c, nullptr);
  nb::object lock = nb::module_::import_("threading").attr("Lock")();
  glue::ok(PyObject_SetAttr(c.self, s_lock, lock.ptr()));
  glue::ok(PyObject_SetAttr(c.self, s_sources, steal(PyDict_New()).ptr()));
  glue::ok(PyObject_SetAttr(c.self, s_source_columns, steal(PyDict_New()).ptr()));
  glue::ok(PyObject_SetAttr(c.self, s_source_dtypes, steal(PyDict_New()).ptr()));
  return nb::none();
}

nb::object register_(const Call& c) {
  static const glue::Signature sig{"register", {"df", "table_name"}, 2};
  PyObject* a[2];
  glue::parse(sig, c, a);
  PyObject* df = a[0];
  PyObject* table_name = a[1];
  glue::check_str(table_name, "table_name");

  return locked(c.self, [&]() -> nb::object {
    nb::object cols = column_list(df);
    if (!cols.is_valid()) {
      module_logger().attr("debug")(msg::REGISTRY_NO_COLUMNS);
      return nb::none();
    }
    // Column label -> "table.col" (last registration of a label wins).
    nb::object sources = self_attr(c.self, s_sources);
    nb::object prefix = steal(PyUnicode_Concat(table_name, s_dot));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cols.ptr()); ++i) {
      // Strong reference: str() and __setitem__ may run Python code that
      // changes the list.
      nb::object col = nb::borrow(PyList_GET_ITEM(cols.ptr(), i));
      nb::object name = steal(PyObject_Str(col.ptr()));
      nb::object text = steal(PyUnicode_Concat(prefix.ptr(), name.ptr()));
      glue::ok(PyObject_SetItem(sources.ptr(), col.ptr(), text.ptr()));
    }

    nb::object source_columns = self_attr(c.self, s_source_columns);
    glue::ok(PyObject_SetItem(source_columns.ptr(), table_name, cols.ptr()));

    nb::object dtypes = steal(PyDict_New());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cols.ptr()); ++i) {
      nb::object col = nb::borrow(PyList_GET_ITEM(cols.ptr(), i));
      nb::object name = steal(PyObject_Str(col.ptr()));
      nb::object series = steal(PyObject_GetItem(df, col.ptr()));
      nb::object dtype = steal(PyObject_GetAttr(series.ptr(), s_dtype));
      nb::object dtype_text = steal(PyObject_Str(dtype.ptr()));
      glue::ok(PyDict_SetItem(dtypes.ptr(), name.ptr(), dtype_text.ptr()));
    }
    nb::object source_dtypes = self_attr(c.self, s_source_dtypes);
    glue::ok(PyObject_SetItem(source_dtypes.ptr(), table_name, dtypes.ptr()));
    return nb::none();
  });
}

nb::object resolve(const Call& c) {
  static const glue::Signature sig{"resolve", {"df"}, 1};
  PyObject* a[1];
  glue::parse(sig, c, a);
  PyObject* df = a[0];

  return locked(c.self, [&]() -> nb::object {
    nb::object result = steal(PyDict_New());
    nb::object cols = column_list(df);
    if (!cols.is_valid()) return result;
    nb::object sources = self_attr(c.self, s_sources);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cols.ptr()); ++i) {
      nb::object col = nb::borrow(PyList_GET_ITEM(cols.ptr(), i));
      nb::object src;
      if (PyDict_CheckExact(sources.ptr())) {
        src = mapping_get(sources, col.ptr());
      } else {
        int has = PySequence_Contains(sources.ptr(), col.ptr());
        if (has < 0) glue::raise_current();
        if (has) src = steal(PyObject_GetItem(sources.ptr(), col.ptr()));
      }
      glue::ok(PyDict_SetItem(result.ptr(), col.ptr(), src.is_valid() ? src.ptr() : s_derived));
    }
    return result;
  });
}

nb::object build_source_snapshots(const Call& c) {
  static const glue::Signature sig{"build_source_snapshots", {"final_df"}, 1};
  PyObject* a[1];
  glue::parse(sig, c, a);
  PyObject* final_df = a[0];

  return locked(c.self, [&]() -> nb::object {
    nb::object snapshots = steal(PyDict_New());
    nb::object cols = column_list(final_df);
    if (!cols.is_valid()) return snapshots;
    // The distinct final columns, in the frame's own order (so that snapshots
    // come out the same in every process).
    nb::object final_cols = steal(PyDict_New());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cols.ptr()); ++i) {
      nb::object col = nb::borrow(PyList_GET_ITEM(cols.ptr(), i));
      glue::ok(PyDict_SetItem(final_cols.ptr(), col.ptr(), Py_None));
    }

    // table -> [columns of the final frame registered from it]
    nb::object sources = self_attr(c.self, s_sources);
    nb::object table_cols = steal(PyDict_New());
    nb::object keys = steal(PyDict_Keys(final_cols.ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.ptr()); ++i) {
      nb::object col = nb::borrow(PyList_GET_ITEM(keys.ptr(), i));
      nb::object src = mapping_get(sources, col.ptr());
      if (!src.is_valid()) continue;
      int truthy = PyObject_IsTrue(src.ptr());
      if (truthy < 0) glue::raise_current();
      if (!truthy) continue;
      int has_dot = PySequence_Contains(src.ptr(), s_dot);
      if (has_dot < 0) glue::raise_current();
      if (!has_dot) continue;
      nb::object table = table_of(src, col);
      nb::object lst = mapping_get(table_cols, table.ptr());
      if (!lst.is_valid()) {
        lst = steal(PyList_New(0));
        glue::ok(PyDict_SetItem(table_cols.ptr(), table.ptr(), lst.ptr()));
      }
      glue::ok(PyList_Append(lst.ptr(), col.ptr()));
    }

    nb::object items = steal(PyDict_Items(table_cols.ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
      nb::object item = nb::borrow(PyList_GET_ITEM(items.ptr(), i));
      nb::object table = nb::borrow(PyTuple_GET_ITEM(item.ptr(), 0));
      nb::object tcols = nb::borrow(PyTuple_GET_ITEM(item.ptr(), 1));
      try {
        nb::object pd = nb::module_::import_("pandas");
        nb::object frame_type = pd.attr("DataFrame");
        int is_frame = PyObject_IsInstance(final_df, frame_type.ptr());
        if (is_frame < 0) glue::raise_current();
        if (!is_frame) continue;
        nb::object frame_cols = steal(PyObject_GetAttr(final_df, s_columns));
        nb::object selected = steal(PyList_New(0));
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(tcols.ptr()); ++j) {
          nb::object col = nb::borrow(PyList_GET_ITEM(tcols.ptr(), j));
          int present = PySequence_Contains(frame_cols.ptr(), col.ptr());
          if (present < 0) glue::raise_current();
          if (present) glue::ok(PyList_Append(selected.ptr(), col.ptr()));
        }
        nb::object subset = steal(PyObject_GetItem(final_df, selected.ptr()));
        nb::object serialize = steal(PyObject_GetAttrString(g_module, "_serialize"));
        nb::object snap = steal(PyObject_CallOneArg(serialize.ptr(), subset.ptr()));
        glue::ok(PyDict_SetItem(snapshots.ptr(), table.ptr(), snap.ptr()));
      } GLUE_CATCH_ALL {
        // A table that cannot be snapshotted is skipped; anything that is
        // not an Exception (KeyboardInterrupt, ...) goes on to the caller.
        glue::restore_current_exception();
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw glue::error_set{};
        PyErr_Clear();
      }
    }
    return snapshots;
  });
}

nb::object copy_of(PyObject* self, PyObject* name) {
  return locked(self, [&]() -> nb::object {
    nb::object d = self_attr(self, name);
    if (PyDict_CheckExact(d.ptr())) return steal(PyDict_Copy(d.ptr()));
    return steal(PyObject_CallMethod(d.ptr(), "copy", nullptr));
  });
}

nb::object get_source_mapping(const Call& c) {
  static const glue::Signature sig{"get_source_mapping", {}, 0};
  glue::parse(sig, c, nullptr);
  return copy_of(c.self, s_sources);
}

nb::object get_source_metadata(const Call& c) {
  static const glue::Signature sig{"get_source_metadata", {}, 0};
  glue::parse(sig, c, nullptr);
  return copy_of(c.self, s_source_dtypes);
}

nb::object clear(const Call& c) {
  static const glue::Signature sig{"clear", {}, 0};
  glue::parse(sig, c, nullptr);
  return locked(c.self, [&]() -> nb::object {
    for (PyObject* name : {s_sources, s_source_columns, s_source_dtypes}) {
      nb::object d = self_attr(c.self, name);
      if (PyDict_CheckExact(d.ptr()))
        PyDict_Clear(d.ptr());
      else
        steal(PyObject_CallMethod(d.ptr(), "clear", nullptr));
    }
    return nb::none();
  });
}

PyMethodDef registry_methods[] = {
    GLUE_METHOD("__init__", init, msg::REGISTRY_INIT_DOC),
    GLUE_METHOD("register", register_, msg::REGISTRY_REGISTER_DOC),
    GLUE_METHOD("resolve", resolve, msg::REGISTRY_RESOLVE_DOC),
    GLUE_METHOD("build_source_snapshots", build_source_snapshots, msg::REGISTRY_SNAPSHOTS_DOC),
    GLUE_METHOD("get_source_mapping", get_source_mapping, msg::REGISTRY_MAPPING_DOC),
    GLUE_METHOD("get_source_metadata", get_source_metadata, msg::REGISTRY_METADATA_DOC),
    GLUE_METHOD("clear", clear, msg::REGISTRY_CLEAR_DOC),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void register_registry(nb::module_& m) {
  g_module = glue::keep(m);
  s_lock = intern("_lock");
  s_sources = intern("_sources");
  s_source_columns = intern("_source_columns");
  s_source_dtypes = intern("_source_dtypes");
  s_columns = intern("columns");
  s_dtype = intern("dtype");
  s_derived = intern(msg::DERIVED);
  s_dot = intern(".");

  nb::object bases = steal(PyTuple_Pack(1, (PyObject*) &PyBaseObject_Type));
  glue::ClassBuilder cls(m, "_ProvenanceRegistry", bases, msg::REGISTRY_CLASS_DOC);
  nb::object type = cls.create();
  cls.methods(registry_methods);
  m.attr("_ProvenanceRegistry") = type;
  m.attr("_registry") = type();
}

}  // namespace wrapper
