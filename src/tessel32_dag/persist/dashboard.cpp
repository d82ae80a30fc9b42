// The dashboard sync: a summary of the flushed run (pipeline counts, a model
// record, the protected source columns touched) posted as one JSON document
// to the service, or stored in the dashboard table of a `sqlite:` service
// URL. Non-fatal: a failed exchange is logged, never raised.
#include <string>
#include <unordered_set>
#include <vector>

#include "tessel32_dag/messages.h"
#include "tessel32_dag/persist/persist.h"
#include "tessel32_dag/state.h"

namespace dag {
using namespace persist;

namespace {

nb::object new_dict(std::initializer_list<std::pair<const char*, nb::handle>> items) {
  nb::object d = glue::steal(PyDict_New());
  for (auto& [k, v] : items) glue::ok(PyDict_SetItemString(d.ptr(), k, v.ptr()));
  return d;
}

/// "table.column" of every protected node with both, first-seen order, each
/// once; and whether any node at all is protected.
nb::object protected_sources(PyObject* self, bool& any_protected) {
  nb::object holder = self_attr(self, S.s_nodes);
  nb::object out = glue::steal(PyList_New(0));
  nb::object seen = glue::steal(PySet_New(nullptr));
  any_protected = false;
  // Our registry: rows are read where they are (a row has no table or
  // column, only its protected flag), so no node object is made for them.
  std::vector<nb::object> objects;
  nb::object it;
  if (is_registry(holder.ptr())) {
    auto* reg = (RegistryObject*) holder.ptr();
    core::NodeStore::Entry e{};
    int64_t from = INT64_MIN;
    while (reg->store.next_at_or_after(from, e)) {
      if (e.obj)
        objects.push_back(nb::borrow((PyObject*) e.obj));
      else if (e.row.is_protected())
        any_protected = true;
      if (e.id == INT64_MAX) break;
      from = e.id + 1;
    }
  } else {
    nb::object values = glue::steal(PyObject_CallMethod(holder.ptr(), "values", nullptr));
    it = glue::steal(PyObject_GetIter(values.ptr()));
  }
  size_t next = 0;
  auto next_node = [&]() -> PyObject* {
    if (!it.is_valid()) return next < objects.size() ? Py_NewRef(objects[next++].ptr()) : nullptr;
    return PyIter_Next(it.ptr());
  };
  while (PyObject* raw = next_node()) {
    nb::object node = nb::steal(raw);
    if (!truthy(attr(node, "is_protected"))) continue;
    any_protected = true;
    nb::object table = attr(node, "table"), column = attr(node, "column");
    if (!truthy(table) || !truthy(column)) continue;
    nb::object label = glue::steal(PyUnicode_FromFormat("%S.%S", table.ptr(), column.ptr()));
    int has = PySet_Contains(seen.ptr(), label.ptr());
    if (has < 0) glue::raise_current();
    if (has) continue;
    glue::ok(PySet_Add(seen.ptr(), label.ptr()));
    glue::ok(PyList_Append(out.ptr(), label.ptr()));
  }
  if (PyErr_Occurred()) glue::raise_current();
  return out;
}

nb::object build_payload(PyObject* self) {
  nb::object zero = nb::int_(0);
  nb::object nodes_written = attr_or(self, "_nodes_written", zero);
  nb::object edges_written = attr_or(self, "_edges_written", zero);
  nb::object pn = attr(self, "_pipeline_name");
  bool named = truthy(pn);
  nb::object name = named ? pn : nb::str(msg::UNNAMED_PIPELINE);
  nb::object model_name = named ? pn : nb::str(msg::UNNAMED_MODEL);
  nb::object pid = self_attr(self, S.s_pipeline_id);

  nb::object pipeline = new_dict({{"pipeline_name", name},
                                  {"status", nb::str("completed")},
                                  {"node_count", nodes_written},
                                  {"edge_count", edges_written},
                                  {"provenance_pipeline_id", pid}});
  nb::object model = new_dict({{"model_id", name},
                               {"name", model_name},
                               {"version", nb::str("1.0")},
                               {"status", nb::str("production")},
                               {"domain", nb::str("credit")}});
  bool any_protected = false;
  nb::object labels = protected_sources(self, any_protected);
  nb::object labels_copy = glue::steal(PySequence_List(labels.ptr()));
  nb::object details =
      new_dict({{"node_count", nodes_written}, {"edge_count", edges_written}, {"protected_sources", labels_copy}});
  nb::object fairness = new_dict({{"model_id", name},
                                  {"has_disparate_impact", nb::bool_(any_protected)},
                                  {"protected_attributes", labels},
                                  {"details", details}});
  return new_dict({{"pipeline", pipeline}, {"model", model}, {"fairness", fairness}});
}

/// POST the body with the bearer key; the answer is read and dropped.
void post_http(const std::string& url, nb::handle body, nb::handle api_key) {
  nb::object request_mod = glue::steal(PyImport_ImportModule("urllib.request"));
  glue::steal(PyImport_ImportModule("urllib.error"));
  nb::object bearer = glue::steal(PyUnicode_FromFormat("Bearer %S", api_key.ptr()));
  nb::object headers = new_dict({{"Authorization", bearer}, {"Content-Type", nb::str("application/json")}});
  static const KwNames req_kw{"data", "headers", "method"};
  nb::object u = nb::str(url.c_str());
  nb::object post = nb::str("POST");
  nb::object req = call_kw(attr(request_mod, "Request"), {u.ptr()}, req_kw, {body.ptr(), headers.ptr(), post.ptr()});
  static const KwNames open_kw{"timeout"};
  nb::object timeout = nb::int_(10);
  nb::object resp = call_kw(attr(request_mod, "urlopen"), {req.ptr()}, open_kw, {timeout.ptr()});
  // Closed even when reading fails half-way.
  PyObject* data = PyObject_CallMethod(resp.ptr(), "read", nullptr);
  PyObject* exc = data ? nullptr : PyErr_GetRaisedException();
  Py_XDECREF(data);
  PyObject* closed = PyObject_CallMethod(resp.ptr(), "close", nullptr);
  if (exc) {
    Py_XDECREF(closed);
    if (!closed) PyErr_Clear();
    PyErr_SetRaisedException(exc);
    throw glue::error_set{};
  }
  glue::steal(closed);
}

/// The same summary into the dashboard table of a local database.
void store_sqlite(const std::string& path, nb::handle payload) {
  nb::object storage_type = import_name(PKG, "SQLiteStorage");
  nb::object p = nb::str(path.c_str());
  nb::object storage = glue::steal(PyObject_CallOneArg(storage_type.ptr(), p.ptr()));
  call_method(storage, "connect", {});
  PyObject* r = PyObject_CallMethod(storage.ptr(), "store_dashboard_sync", "O", payload.ptr());
  PyObject* exc = r ? nullptr : PyErr_GetRaisedException();
  Py_XDECREF(r);
  PyObject* closed = PyObject_CallMethod(storage.ptr(), "disconnect", nullptr);
  if (exc) {
    Py_XDECREF(closed);
    if (!closed) PyErr_Clear();
    PyErr_SetRaisedException(exc);
    throw glue::error_set{};
  }
  glue::steal(closed);
}

std::string lower(std::string s) {
  for (char& ch : s)
    if (ch >= 'A' && ch <= 'Z') ch = (char) (ch - 'A' + 'a');
  return s;
}

/// Where the summary goes, by the URL's scheme; anything but http, https
/// and sqlite is an error (reported as a failed sync, never opened).
void deliver(const std::string& base, nb::handle url_obj, nb::handle body, nb::handle payload, nb::handle api_key) {
  size_t colon = base.find(':');
  std::string scheme = colon == std::string::npos ? std::string() : lower(base.substr(0, colon));
  bool scheme_ok = !scheme.empty();
  for (char ch : scheme)
    if (!((ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '+' || ch == '-' || ch == '.'))
      scheme_ok = false;
  if (scheme == "http" || scheme == "https") {
    post_http(base + msg::DASHBOARD_PATH, body, api_key);
  } else if (scheme == "sqlite") {
    std::string path = base.substr(colon + 1);
    if (path.rfind("//", 0) == 0) path = path.substr(2);  // sqlite:///abs/path -> /abs/path
    store_sqlite(path, payload);
  } else if (scheme_ok) {
    nb::object s = nb::str(scheme.c_str());
    glue::raise(PyExc_ValueError, msg::DASHBOARD_SCHEME, s.ptr());
  } else {
    glue::raise(PyExc_ValueError, msg::DASHBOARD_NO_SCHEME, url_obj.ptr());
  }
}

}  // namespace

nb::object tracker_sync_to_dashboard(const glue::Call& c) {
  static const glue::Signature sig{"DAGTracker._sync_to_dashboard", {}, 0};
  glue::parse(sig, c, nullptr);
  PyObject* self = c.self;
  nb::object url = attr(self, "_service_url");
  nb::object api_key = attr(self, "_api_key");
  if (!truthy(url) || !truthy(api_key)) return nb::none();

  nb::object payload = build_payload(self);
  // Serialised before anything is opened: a payload the encoder refuses is
  // the caller's error, whatever the destination.
  nb::object text = glue::steal(PyObject_CallOneArg(S.json_dumps, payload.ptr()));
  nb::object body = glue::steal(PyUnicode_AsUTF8String(text.ptr()));
  nb::object stripped = glue::steal(PyObject_CallMethod(url.ptr(), "rstrip", "s", "/"));
  Py_ssize_t len = 0;
  const char* u = PyUnicode_AsUTF8AndSize(stripped.ptr(), &len);
  if (!u) glue::raise_current();
  std::string base(u, (size_t) len);
  try {
    deliver(base, url, body, payload, api_key);
  } catch (const glue::error_set&) {
    nb::object exc = take_exception();
    S.log.warning(msg::DASHBOARD_FAILED, exc);
  }
  return nb::none();
}

}  // namespace dag
