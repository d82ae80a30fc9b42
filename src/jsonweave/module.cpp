// Module registration for corvanti.utilities.jsonweave: the backend is chosen
// once, here. orjson when it imports; the standard json module when importing
// it raises ImportError; any other failure aborts the import of this module.
#include "jsonweave/jsonweave.h"
#include "jsonweave/messages.h"

namespace {

void init(nanobind::module_ m) {
  m.doc() = jsonweave::msg::MODULE_DOC;
  PyObject* orjson = PyImport_ImportModule("orjson");
  if (orjson) {
    try {
      // Module globals are only set once every orjson lookup has succeeded.
      jsonweave::register_orjson(m, nanobind::steal(orjson));
      return;
    } catch (const glue::error_set&) {
      if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw;
    }
  } else if (!PyErr_ExceptionMatches(PyExc_ImportError)) {
    glue::raise_current();
  }
  PyErr_Clear();
  jsonweave::register_stdlib(m);
}

}  // namespace

GLUE_MODULE(jsonweave, m) { init(m); }
