// corvanti.wrapper: the JSON-over-HTTP client of the hosted service
// (_post_json, _patch_json) and the module constant _MAX_ERROR_TEXT.
//
// Transport is the standard library's urllib.request, imported on first use
// and cached. Only http and https URLs are opened: urlopen would also read
// file: and ftp: URLs, so a mistaken or hostile service URL could otherwise
// read local files.
#include "wrapper/internal.h"
#include "wrapper/messages.h"
#include "wrapper/wrapper.h"

namespace wrapper {

namespace {

// Cached for the life of the process once imported.
PyObject* g_urllib_request = nullptr;
PyObject* g_urllib_error = nullptr;

void load_urllib() {
  if (g_urllib_request && g_urllib_error) return;
  nb::object req = glue::steal(PyImport_ImportModule("urllib.request"));
  nb::object err = glue::steal(PyImport_ImportModule("urllib.error"));
  g_urllib_request = req.release().ptr();
  g_urllib_error = err.release().ptr();
}

// Interned header names and fixed values, the method names and the
// keyword names of the Request call (immortal once created).
struct Strings {
  PyObject *authorization, *content_type, *accept, *user_agent, *json_type, *agent, *bearer;
  PyObject *post, *patch;
};
Strings S;

using glue::intern;

// Close `resp` while an error is in flight, keeping that error.
void close_quietly(nb::handle resp) {
  PyObject* saved = PyErr_GetRaisedException();
  PyObject* r = PyObject_CallMethod(resp.ptr(), "close", nullptr);
  if (r)
    Py_DECREF(r);
  else
    PyErr_Clear();
  PyErr_SetRaisedException(saved);
}

// RuntimeError for an HTTP error status, chained to the HTTPError.
[[noreturn]] void raise_http_error(nb::object http_error, nb::handle url, bool patch) {
  nb::object raw = glue::steal(PyObject_CallMethod(http_error.ptr(), "read", nullptr));
  nb::object text = glue::steal(PyObject_CallMethod(raw.ptr(), "decode", "ss", "utf-8", "replace"));
  nb::object limit = global("_MAX_ERROR_TEXT");
  nb::object cut = glue::steal(PySlice_New(nullptr, limit.ptr(), nullptr));
  nb::object head = glue::steal(PyObject_GetItem(text.ptr(), cut.ptr()));
  nb::object code = glue::steal(PyObject_GetAttrString(http_error.ptr(), "code"));
  close_quietly(http_error);
  nb::object message = glue::steal(
      PyUnicode_FromFormat(patch ? msg::kHttpErrorPatch : msg::kHttpErrorPost, code.ptr(), url.ptr(), head.ptr()));
  nb::object exc = glue::steal(PyObject_CallOneArg(PyExc_RuntimeError, message.ptr()));
  // raise RuntimeError(...) from http_error
  PyException_SetContext(exc.ptr(), nb::object(http_error).release().ptr());
  PyException_SetCause(exc.ptr(), http_error.release().ptr());
  PyErr_SetRaisedException(exc.release().ptr());
  throw glue::error_set{};
}

nb::object send_json(nb::handle url, nb::handle api_key, nb::handle payload,
                     nb::handle timeout, bool patch) {
  load_urllib();
  nb::handle request_mod(g_urllib_request);

  // The request: body, headers in their fixed order, method.
  nb::object body = fast_dumps_bytes(payload, nb::handle((PyObject*)&PyUnicode_Type), false);
  nb::object auth = glue::steal(PyUnicode_Concat(S.bearer, api_key.ptr()));
  nb::object headers = glue::steal(PyDict_New());
  glue::ok(PyDict_SetItem(headers.ptr(), S.authorization, auth.ptr()));
  glue::ok(PyDict_SetItem(headers.ptr(), S.content_type, S.json_type));
  glue::ok(PyDict_SetItem(headers.ptr(), S.accept, S.json_type));
  glue::ok(PyDict_SetItem(headers.ptr(), S.user_agent, S.agent));
  nb::handle method_name(patch ? S.patch : S.post);
  nb::object request = request_mod.attr("Request")(url, nb::arg("data") = body, nb::arg("headers") = headers,
                                                   nb::arg("method") = method_name);

  // Refuse anything but http and https before any I/O. The scheme is the
  // one urlopen would dispatch on (lower-cased, after URL unwrapping).
  nb::object scheme = glue::steal(PyObject_GetAttrString(request.ptr(), "type"));
  bool allowed = false;
  if (PyUnicode_Check(scheme.ptr()))
    allowed = PyUnicode_CompareWithASCIIString(scheme.ptr(), "http") == 0 ||
              PyUnicode_CompareWithASCIIString(scheme.ptr(), "https") == 0;
  if (!allowed) {
    nb::object shown = glue::steal(PyObject_Str(scheme.ptr()));
    glue::raise(PyExc_ValueError, msg::kBadScheme, shown.ptr());
  }

  nb::object raw;
  try {
    nb::object urlopen = request_mod.attr("urlopen");
    nb::object resp = urlopen(request, nb::arg("timeout") = timeout);
    try {
      nb::object enter = resp.attr("__enter__")();
      raw = enter.attr("read")();
    } GLUE_CATCH_ALL {
      glue::restore_current_exception();
      close_quietly(resp);
      throw glue::error_set{};
    }
    resp.attr("__exit__")(nb::none(), nb::none(), nb::none());
  } GLUE_CATCH_ALL {
    glue::restore_current_exception();
    nb::object exc = nb::steal(PyErr_GetRaisedException());
    nb::object http_error_type = glue::steal(PyObject_GetAttrString(g_urllib_error, "HTTPError"));
    if (exc.is_valid() && PyErr_GivenExceptionMatches(exc.ptr(), http_error_type.ptr()))
      raise_http_error(exc, url, patch);
    PyErr_SetRaisedException(exc.release().ptr());
    throw glue::error_set{};
  }

  nb::object text;
  if (PyBytes_Check(raw.ptr()))
    text = glue::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.ptr()), PyBytes_GET_SIZE(raw.ptr()), "strict"));
  else
    text = glue::steal(PyObject_CallMethod(raw.ptr(), "decode", "s", "utf-8"));
  return glue::check_result_exact(fast_loads(text), &PyDict_Type, "dict");
}

// timeout: any number, converted with int(); anything else is a TypeError.
nb::object timeout_arg(PyObject* v, long dflt) {
  if (!v) return glue::steal(PyLong_FromLong(dflt));
  return glue::to_int(v, "timeout");
}

nb::object py_post_json(const glue::Call& call) {
  static const glue::Signature sig{"_post_json", {"url", "api_key", "payload", "timeout"}, 3};
  PyObject* a[4];
  glue::parse(sig, call, a);
  glue::check_str(a[0], "url");
  glue::check_str(a[1], "api_key");
  nb::object timeout = timeout_arg(a[3], 120);
  return send_json(a[0], a[1], a[2], timeout, false);
}

nb::object py_patch_json(const glue::Call& call) {
  static const glue::Signature sig{"_patch_json", {"url", "api_key", "payload", "timeout"}, 3};
  PyObject* a[4];
  glue::parse(sig, call, a);
  glue::check_str(a[0], "url");
  glue::check_str(a[1], "api_key");
  glue::check_dict(a[2], "payload");
  nb::object timeout = timeout_arg(a[3], 30);
  return send_json(a[0], a[1], a[2], timeout, true);
}

PyMethodDef g_methods[] = {
    GLUE_METHOD("_post_json", py_post_json, msg::kDocPostJson),
    GLUE_METHOD("_patch_json", py_patch_json, msg::kDocPatchJson),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

nb::object post_json(nb::handle url, nb::handle api_key, nb::handle payload, long timeout) {
  nb::object t = glue::steal(PyLong_FromLong(timeout));
  return send_json(url, api_key, payload, t, false);
}

nb::object patch_json(nb::handle url, nb::handle api_key, nb::handle payload, long timeout) {
  nb::object t = glue::steal(PyLong_FromLong(timeout));
  return send_json(url, api_key, payload, t, true);
}

void register_http(nb::module_& m) {
  S.authorization = intern("Authorization");
  S.content_type = intern("Content-Type");
  S.accept = intern("Accept");
  S.user_agent = intern("User-Agent");
  S.json_type = intern(msg::kJsonType);
  S.agent = intern(msg::kUserAgent);
  S.bearer = intern(msg::kBearer);
  S.post = intern("POST");
  S.patch = intern("PATCH");
  nb::object limit = glue::steal(PyLong_FromLong(msg::kMaxErrorText));
  glue::ok(PyModule_AddObjectRef(m.ptr(), "_MAX_ERROR_TEXT", limit.ptr()));
  glue::ok(PyModule_AddFunctions(m.ptr(), g_methods));
}

}  // namespace wrapper
