// Module registration for corvanti.utilities.persistence._native: the record
// types, the SQLite connection type and StorageError, the writer, and the
// native interface capsule _C_API.
#include <nanobind/nanobind.h>

#include "glue/errors.h"
#include "persistence/convert.h"
#include "persistence/database.h"
#include "persistence/messages.h"
#include "persistence/records.h"
#include "persistence/writer.h"

namespace persist {
void capi_init(PyObject* module);
}

NB_MODULE(_native, m) {
  try {
    m.doc() = persist::msg::MODULE_DOC;
    persist::convert_init();
    persist::records_init(m.ptr());
    persist::database_init(m.ptr());
    persist::writer_init(m.ptr());
    persist::capi_init(m.ptr());
  } catch (const glue::error_set&) {
    throw nanobind::python_error();
  }
}
