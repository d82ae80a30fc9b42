// Module registration for corvanti.wrapper.
//
// Module globals come first, in this order: the standard-library modules the
// helpers use (hashlib, json, pickle, logging), `logger`, then each concern's
// own names (the JSON backend `_orjson`, `_MAX_ERROR_TEXT`, the functions,
// the source registry).
#include "wrapper/internal.h"
#include "wrapper/messages.h"
#include "wrapper/wrapper.h"

static void init_wrapper(nanobind::module_& m) {
  wrapper::set_module(m);
  for (const char* name : {"hashlib", "json", "pickle", "logging"}) {
    nanobind::object mod = glue::steal(PyImport_ImportModule(name));
    glue::ok(PyModule_AddObjectRef(m.ptr(), name, mod.ptr()));
  }
  nanobind::object logging = wrapper::global("logging");
  nanobind::object lg = glue::steal(PyObject_CallMethod(logging.ptr(), "getLogger", "s", wrapper::msg::kLoggerName));
  glue::ok(PyModule_AddObjectRef(m.ptr(), "logger", lg.ptr()));

  wrapper::register_serialize(m);
  wrapper::register_http(m);
  wrapper::register_rows(m);
  wrapper::register_sync(m);
  wrapper::register_registry(m);
  wrapper::register_predict(m);
}

GLUE_MODULE(wrapper, m) { init_wrapper(m); }
