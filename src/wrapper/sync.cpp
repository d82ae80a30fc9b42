// corvanti.wrapper: _sync_prov, the provenance upload of validate().
//
// One validation run becomes a pipeline on the service: a source node per
// input and protected column, the model node, an edge from every source to
// the model, one result per row and the per-row values, then the completion
// PATCH. Every request is guarded: a failure is logged (or skipped) and the
// upload goes on, except a failed pipeline creation, which ends it.
//
// The helpers it calls (_cn, _rc, _trd, _fo, _gs, _rh, _content_hash,
// _post_json, _patch_json) are looked up on the module once per call, so
// rebinding them takes effect; while they are the module's own functions the
// C++ implementations are called directly.
#include <algorithm>
#include <unordered_set>
#include <string>

#include "wrapper/internal.h"
#include "wrapper/messages.h"
#include "wrapper/wrapper.h"

namespace wrapper {

namespace {

constexpr Py_ssize_t kPage = 100;    // nodes and edges per request
constexpr Py_ssize_t kPageV = 500;   // values per request

// Interned wire keys and values (immortal).
struct Keys {
  PyObject *pipeline_name, *config, *model_name, *model_version, *model_id, *pipeline_id;
  PyObject *pair_id, *table_name, *column_name, *is_protected;
  PyObject *fingerprint, *node_type, *operation, *metadata;
  PyObject *parent_fingerprint, *child_fingerprint;
  PyObject *results, *row_key, *output_name, *output_value, *input_hash;
  PyObject *row_index, *node_operation, *value, *text_value, *status;
  PyObject *v_source, *v_computation, *v_source_feature, *v_source_protected, *v_model_validate, *v_output,
      *v_validation_complete, *v_get;
};
Keys K;

using glue::intern;

// The original module functions, captured at registration.
struct Originals {
  PyObject *cn, *rc, *trd, *fo, *gs, *rh, *content_hash, *post_json, *patch_json;
};
Originals O;

PyObject* original(nb::module_& m, const char* name) {
  PyObject* f = PyObject_GetAttrString(m.ptr(), name);
  if (!f) glue::raise_current();
  return f;  // kept for the life of the process
}

// One helper as currently bound on the module.
struct Bound {
  nb::object fn;
  bool native;
  Bound(const char* name, PyObject* orig) : fn(global(name)), native(fn.ptr() == orig) {}
  template <class... A>
  nb::object call(A... args) const {
    PyObject* argv[] = {nb::handle(args).ptr()...};
    return glue::steal(PyObject_Vectorcall(fn.ptr(), argv, sizeof...(A), nullptr));
  }
};

// The helpers for one upload.
struct Helpers {
  Bound cn{"_cn", O.cn}, rc{"_rc", O.rc}, trd{"_trd", O.trd}, fo{"_fo", O.fo}, gs{"_gs", O.gs}, rh{"_rh", O.rh},
      content_hash{"_content_hash", O.content_hash}, post{"_post_json", O.post_json},
      patch{"_patch_json", O.patch_json};

  nb::object col_names(nb::handle X, nb::handle prefix) const {
    return cn.native ? wrapper::cn(X, prefix) : cn.call(X, prefix);
  }
  Py_ssize_t rows(nb::handle X) const {
    if (rc.native) return wrapper::rc(X);
    nb::object n = rc.call(X);
    Py_ssize_t v = PyNumber_AsSsize_t(n.ptr(), PyExc_OverflowError);
    if (v == -1 && PyErr_Occurred()) glue::raise_current();
    return v;
  }
  nb::object row_dicts(nb::handle X, nb::handle cols) const {
    return trd.native ? wrapper::trd(X, cols) : trd.call(X, cols);
  }
  nb::object outputs(nb::handle y, Py_ssize_t n) const {
    if (fo.native) return wrapper::fo(y, n);
    nb::object count = glue::steal(PyLong_FromSsize_t(n));
    return fo.call(y, count);
  }
  std::pair<nb::object, nb::object> split(nb::handle v) const {
    if (gs.native) return wrapper::gs(v);
    nb::object r = gs.call(v);
    nb::object fast = glue::steal(PySequence_Fast(r.ptr(), "cannot unpack non-iterable object"));
    Py_ssize_t size = PySequence_Fast_GET_SIZE(fast.ptr());
    if (size != 2) {
      if (size > 2) glue::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
      glue::raise(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", size);
    }
    return {nb::borrow(PySequence_Fast_GET_ITEM(fast.ptr(), 0)), nb::borrow(PySequence_Fast_GET_ITEM(fast.ptr(), 1))};
  }
  nb::object number(nb::handle v) const {
    if (gs.native) return wrapper::gs(v).first;
    nb::object r = gs.call(v);
    return glue::steal(PySequence_GetItem(r.ptr(), 0));
  }
  nb::object row_hash(nb::handle d) const {
    if (!rh.native) return rh.call(d);
    glue::check_dict(d.ptr(), "row_dict");
    return wrapper::rh(d);
  }
  nb::object hash3(const char* first, nb::handle b, nb::handle c) const {
    nb::object a = glue::steal(PyUnicode_FromString(first));
    if (!content_hash.native) return content_hash.call(a, b, c);
    return glue::steal(PyLong_FromUnsignedLong(wrapper::content_hash({a, b, c})));
  }
  nb::object post_json(nb::handle url, nb::handle key, nb::handle payload) const {
    if (post.native) return wrapper::post_json(url, key, payload);
    return post.call(url, key, payload);
  }
  nb::object patch_json(nb::handle url, nb::handle key, nb::handle payload) const {
    if (patch.native) return wrapper::patch_json(url, key, payload);
    return patch.call(url, key, payload);
  }
};

// A new dict from interned keys and values, in order.
nb::object make_dict(std::initializer_list<std::pair<PyObject*, nb::handle>> items) {
  nb::object d = glue::steal(PyDict_New());
  for (auto& [k, v] : items) glue::ok(PyDict_SetItem(d.ptr(), k, v.ptr()));
  return d;
}

nb::object as_list(nb::object seq) {
  if (PyList_CheckExact(seq.ptr())) return seq;
  return glue::steal(PySequence_List(seq.ptr()));
}

nb::object url_of(nb::handle base, const char* path) {
  return glue::steal(PyUnicode_FromFormat("%U%s", base.ptr(), path));
}

// seq[i] when i < len(seq), else `fallback`.
nb::object item_or(nb::handle seq, Py_ssize_t len, Py_ssize_t i, nb::handle fallback) {
  if (i < len) return glue::steal(PySequence_GetItem(seq.ptr(), i));
  return nb::borrow(fallback);
}

// row.get(col)
nb::object get_of(nb::handle row, nb::handle col) {
  if (PyDict_CheckExact(row.ptr())) {
    PyObject* v = nullptr;
    if (PyDict_GetItemRef(row.ptr(), col.ptr(), &v) < 0) glue::raise_current();
    return v ? nb::steal(v) : nb::none();
  }
  return glue::steal(PyObject_CallMethodOneArg(row.ptr(), K.v_get, col.ptr()));
}

// Guarded request: log `fmt` at `level` with the exception (nothing when
// `level` is null) and go on.
template <class F>
void guarded_request(const char* level, const char* fmt, F&& send) {
  nb::object exc = catch_exception(std::forward<F>(send));
  if (exc.is_valid() && level) log(level, fmt, exc);
}

// POST list[off:off+page] for every page.
void send_pages(const Helpers& h, nb::handle url, nb::handle api_key, nb::handle items, Py_ssize_t page,
                const char* level, const char* fmt) {
  Py_ssize_t n = PyList_GET_SIZE(items.ptr());
  for (Py_ssize_t off = 0; off < n; off += page) {
    nb::object slice = glue::steal(PyList_GetSlice(items.ptr(), off, std::min(n, off + page)));
    guarded_request(level, fmt, [&] { h.post_json(url, api_key, slice); });
  }
}

nb::object sync_prov(nb::handle X, nb::handle y, nb::handle protected_data, nb::handle protected_columns,
                     nb::handle model_name, nb::handle model_version, nb::handle api_key, nb::handle service_url_in,
                     nb::handle model_id) {
  Helpers h;

  // 1. Base URL without trailing slashes.
  nb::object service_url = service_url_in.attr("rstrip")("/");

  // 2. Column lists.
  nb::object feature_cols = as_list(h.col_names(X, nb::str(msg::kDefaultFeaturePrefix)));
  nb::object protected_cols = protected_data.is_none()
                                  ? glue::steal(PyList_New(0))
                                  : as_list(h.col_names(protected_data, nb::str(msg::kProtectedPrefix)));
  Py_ssize_t nfeat = PyList_GET_SIZE(feature_cols.ptr());
  Py_ssize_t nprot = PyList_GET_SIZE(protected_cols.ptr());

  // all_source_cols = feature_cols + protected columns not among them;
  // src_of_prot[j] is the position of protected_cols[j] in it.
  nb::object all_cols = glue::steal(PyList_GetSlice(feature_cols.ptr(), 0, nfeat));
  std::vector<Py_ssize_t> src_of_prot(nprot);
  {
    bool all_str = true;
    for (Py_ssize_t i = 0; i < nfeat && all_str; ++i)
      all_str = PyUnicode_CheckExact(PyList_GET_ITEM(feature_cols.ptr(), i));
    nb::object first_pos;  // str -> first position in feature_cols
    if (all_str) {
      first_pos = glue::steal(PyDict_New());
      for (Py_ssize_t i = nfeat - 1; i >= 0; --i) {
        nb::object pos = glue::steal(PyLong_FromSsize_t(i));
        glue::ok(PyDict_SetItem(first_pos.ptr(), PyList_GET_ITEM(feature_cols.ptr(), i), pos.ptr()));
      }
    }
    for (Py_ssize_t j = 0; j < nprot; ++j) {
      nb::object col = glue::steal(PyList_GetItemRef(protected_cols.ptr(), j));
      Py_ssize_t found = -1;
      if (all_str && PyUnicode_CheckExact(col.ptr())) {
        PyObject* pos = nullptr;
        if (PyDict_GetItemRef(first_pos.ptr(), col.ptr(), &pos) < 0) glue::raise_current();
        if (pos) {
          found = PyLong_AsSsize_t(pos);
          Py_DECREF(pos);
        }
      } else {
        for (Py_ssize_t i = 0; i < nfeat; ++i) {
          int eq = PyObject_RichCompareBool(col.ptr(), PyList_GET_ITEM(feature_cols.ptr(), i), Py_EQ);
          if (eq < 0) glue::raise_current();
          if (eq) {
            found = i;
            break;
          }
        }
      }
      if (found < 0) {
        found = PyList_GET_SIZE(all_cols.ptr());
        glue::ok(PyList_Append(all_cols.ptr(), col.ptr()));
      }
      src_of_prot[j] = found;
    }
  }
  Py_ssize_t nsrc = PyList_GET_SIZE(all_cols.ptr());

  // 3. Pipeline creation.
  nb::object pipeline_id;
  {
    nb::object name = glue::steal(PyUnicode_FromFormat("%U%s%U", model_name.ptr(), msg::kVersionSep, model_version.ptr()));
    nb::object config = make_dict({{K.model_name, model_name}, {K.model_version, model_version}, {K.model_id, model_id}});
    nb::object payload = make_dict({{K.pipeline_name, name}, {K.config, config}});
    nb::object url = url_of(service_url, msg::kPathPipelines);
    nb::object exc = catch_exception([&] {
      nb::object resp = h.post_json(url, api_key, payload);
      nb::object raw = glue::steal(PyObject_GetItem(resp.ptr(), K.pipeline_id));
      pipeline_id = glue::steal(PyNumber_Long(raw.ptr()));
    });
    if (exc.is_valid()) {
      log("error", msg::kPipelineFailed, exc);
      return nb::none();
    }
  }

  // 4. Model-node fingerprint.
  nb::object val_fp = h.hash3(msg::kValidation, model_name, model_version);

  nb::object v_false = nb::borrow(Py_False);

  // 5. Source nodes and registrations.
  nb::object nodes = glue::steal(PyList_New(0));
  std::vector<nb::object> src_fp(nsrc);
  {
    nb::object url = url_of(service_url, msg::kPathSources);
    for (Py_ssize_t s = 0; s < nsrc; ++s) {
      nb::object col = glue::steal(PyList_GetItemRef(all_cols.ptr(), s));
      int prot = PySequence_Contains(protected_cols.ptr(), col.ptr());
      if (prot < 0) glue::raise_current();
      if (!prot) prot = PySequence_Contains(protected_columns.ptr(), col.ptr());
      if (prot < 0) glue::raise_current();
      nb::handle is_prot(prot ? Py_True : Py_False);
      src_fp[s] = h.hash3(msg::kSource, model_name, col);
      nb::object node = make_dict({{K.fingerprint, src_fp[s]},
                                   {K.node_type, K.v_source},
                                   {K.operation, prot ? K.v_source_protected : K.v_source_feature},
                                   {K.table_name, model_name},
                                   {K.column_name, col},
                                   {K.pair_id, src_fp[s]},
                                   {K.is_protected, is_prot},
                                   {K.pipeline_id, pipeline_id}});
      glue::ok(PyList_Append(nodes.ptr(), node.ptr()));
      nb::object reg = make_dict(
          {{K.pair_id, src_fp[s]}, {K.table_name, model_name}, {K.column_name, col}, {K.is_protected, is_prot}});
      guarded_request(nullptr, nullptr, [&] { h.post_json(url, api_key, reg); });
    }
  }

  // 6. Model node.
  {
    nb::object meta = make_dict({{K.model_version, model_version}, {K.model_id, model_id}});
    nb::object node = make_dict({{K.fingerprint, val_fp},
                                 {K.node_type, K.v_computation},
                                 {K.operation, K.v_model_validate},
                                 {K.table_name, model_name},
                                 {K.column_name, K.v_output},
                                 {K.is_protected, v_false},
                                 {K.pipeline_id, pipeline_id},
                                 {K.metadata, meta}});
    glue::ok(PyList_Append(nodes.ptr(), node.ptr()));
  }

  // 7. Node pages.
  send_pages(h, url_of(service_url, msg::kPathNodes), api_key, nodes, kPage, "warning", msg::kNodeBatchFailed);

  // 8. Edges and their pages.
  {
    nb::object edges = glue::steal(PyList_New(nsrc));
    for (Py_ssize_t s = 0; s < nsrc; ++s) {
      nb::object edge = make_dict({{K.parent_fingerprint, src_fp[s]}, {K.child_fingerprint, val_fp}});
      PyList_SET_ITEM(edges.ptr(), s, edge.release().ptr());
    }
    send_pages(h, url_of(service_url, msg::kPathEdges), api_key, edges, kPage, "warning", msg::kEdgeBatchFailed);
  }

  // 9. Rows.
  Py_ssize_t n = h.rows(X);
  if (n == 0) return nb::none();

  // 10. Row data.
  nb::object x_rows = h.row_dicts(X, feature_cols);
  nb::object prot_rows = protected_data.is_none() ? glue::steal(PyList_New(0)) : h.row_dicts(protected_data, protected_cols);
  nb::object out_list = h.outputs(y, n);
  Py_ssize_t n_x = PyObject_Size(x_rows.ptr());
  if (n_x < 0) glue::raise_current();
  Py_ssize_t n_p = PyObject_Size(prot_rows.ptr());
  if (n_p < 0) glue::raise_current();
  Py_ssize_t n_o = PyObject_Size(out_list.ptr());
  if (n_o < 0) glue::raise_current();

  // 11. Results, one request.
  {
    nb::object results = glue::steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < n; ++i) {
      nb::object row_data = i < n_x ? item_or(x_rows, n_x, i, nb::none()) : glue::steal(PyDict_New());  // a fresh {}
      nb::object out_val = item_or(out_list, n_o, i, nb::none());
      nb::object num_val = h.number(out_val);
      nb::object row_key = glue::steal(
          PyUnicode_FromFormat("%U_%S%s%zd", model_name.ptr(), pipeline_id.ptr(), msg::kRowKeyMid, i));
      nb::object input_hash = h.row_hash(row_data);
      nb::object result = make_dict({{K.row_key, row_key},
                                     {K.output_name, K.v_model_validate},
                                     {K.fingerprint, val_fp},
                                     {K.output_value, num_val},
                                     {K.input_hash, input_hash}});
      glue::ok(PyList_Append(results.ptr(), result.ptr()));
    }
    nb::object payload = make_dict({{K.pipeline_id, pipeline_id}, {K.results, results}});
    nb::object url = url_of(service_url, msg::kPathResults);
    guarded_request("error", msg::kResultsFailed, [&] { h.post_json(url, api_key, payload); });
  }

  // 12. Values: per row the input columns, the protected columns, the output.
  nb::object values = glue::steal(PyList_New(0));
  {
    nb::object empty = glue::steal(PyDict_New());
    for (Py_ssize_t i = 0; i < n; ++i) {
      nb::object row = item_or(x_rows, n_x, i, empty);
      nb::object prow = item_or(prot_rows, n_p, i, empty);
      nb::object row_index = glue::steal(PyLong_FromSsize_t(i));
      auto add = [&](nb::handle fp, PyObject* op, nb::handle col, nb::handle v) {
        auto [num_v, txt_v] = h.split(v);
        nb::object rec = make_dict({{K.pipeline_id, pipeline_id},
                                    {K.row_index, row_index},
                                    {K.fingerprint, fp},
                                    {K.node_operation, op},
                                    {K.column_name, col},
                                    {K.value, num_v},
                                    {K.text_value, txt_v}});
        glue::ok(PyList_Append(values.ptr(), rec.ptr()));
      };
      for (Py_ssize_t f = 0; f < nfeat; ++f) {
        nb::handle col = PyList_GET_ITEM(feature_cols.ptr(), f);
        add(src_fp[f], K.v_source_feature, col, get_of(row, col));
      }
      for (Py_ssize_t p = 0; p < nprot; ++p) {
        nb::handle col = PyList_GET_ITEM(protected_cols.ptr(), p);
        add(src_fp[src_of_prot[p]], K.v_source_protected, col, get_of(prow, col));
      }
      nb::object out_val = item_or(out_list, n_o, i, nb::none());
      add(val_fp, K.v_model_validate, K.v_output, out_val);
    }
  }

  // 13. Value pages.
  send_pages(h, url_of(service_url, msg::kPathValues), api_key, values, kPageV, "error", msg::kValuesBatchFailed);

  // 14. Completion.
  {
    nb::object url = glue::steal(
        PyUnicode_FromFormat("%U%s%S", service_url.ptr(), msg::kPathPipelinesSlash, pipeline_id.ptr()));
    nb::object payload = make_dict({{K.status, K.v_validation_complete}});
    guarded_request(nullptr, nullptr, [&] { h.patch_json(url, api_key, payload); });
  }
  return nb::none();
}

nb::object py_sync_prov(const glue::Call& call) {
  static const glue::Signature sig{"_sync_prov",
                                   {"X", "y", "protected_data", "protected_columns", "model_name", "model_version",
                                    "api_key", "service_url", "model_id"},
                                   8};
  PyObject* a[9];
  glue::parse(sig, call, a);
  glue::check_list(a[3], "protected_columns");
  glue::check_str(a[4], "model_name");
  glue::check_str(a[5], "model_version");
  glue::check_str(a[6], "api_key");
  glue::check_str(a[7], "service_url");
  nb::object model_id;
  if (a[8]) {
    glue::check_str(a[8], "model_id");
    model_id = nb::borrow(a[8]);
  } else {
    model_id = glue::steal(PyUnicode_FromString(""));
  }
  return sync_prov(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], model_id);
}

PyMethodDef g_methods[] = {
    GLUE_METHOD("_sync_prov", py_sync_prov, msg::kDocSyncProv),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void register_sync(nb::module_& m) {
  K.pipeline_name = intern("pipeline_name");
  K.config = intern("config");
  K.model_name = intern("model_name");
  K.model_version = intern("model_version");
  K.model_id = intern("model_id");
  K.pipeline_id = intern("pipeline_id");
  K.pair_id = intern("pair_id");
  K.table_name = intern("table_name");
  K.column_name = intern("column_name");
  K.is_protected = intern("is_protected");
  K.fingerprint = intern("fingerprint");
  K.node_type = intern("node_type");
  K.operation = intern("operation");
  K.metadata = intern("metadata");
  K.parent_fingerprint = intern("parent_fingerprint");
  K.child_fingerprint = intern("child_fingerprint");
  K.results = intern("results");
  K.row_key = intern("row_key");
  K.output_name = intern("output_name");
  K.output_value = intern("output_value");
  K.input_hash = intern("input_hash");
  K.row_index = intern("row_index");
  K.node_operation = intern("node_operation");
  K.value = intern("value");
  K.text_value = intern("text_value");
  K.status = intern("status");
  K.v_source = intern(msg::kSource);
  K.v_computation = intern(msg::kComputation);
  K.v_source_feature = intern(msg::kSourceFeature);
  K.v_source_protected = intern(msg::kSourceProtected);
  K.v_model_validate = intern(msg::kModelValidate);
  K.v_output = intern(msg::kOutput);
  K.v_validation_complete = intern(msg::kValidationComplete);
  K.v_get = intern("get");

  O.cn = original(m, "_cn");
  O.rc = original(m, "_rc");
  O.trd = original(m, "_trd");
  O.fo = original(m, "_fo");
  O.gs = original(m, "_gs");
  O.rh = original(m, "_rh");
  O.content_hash = original(m, "_content_hash");
  O.post_json = original(m, "_post_json");
  O.patch_json = original(m, "_patch_json");

  glue::ok(PyModule_AddFunctions(m.ptr(), g_methods));
}

}  // namespace wrapper
