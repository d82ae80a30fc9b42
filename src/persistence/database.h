// The Python-facing `_native.Database`: one SQLite connection (sqlite_db.h)
// whose methods convert Python records to rows with the GIL and then write
// without it.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>

#include "persistence/sqlite_db.h"

namespace persist {
namespace nb = nanobind;

extern PyTypeObject DatabaseType;
/// corvanti.utilities.persistence.StorageError (a RuntimeError).
extern PyObject* g_storage_error;

void database_init(PyObject* module);
/// The connection behind a Database object (nullptr for anything else).
std::shared_ptr<Db> database_of(PyObject* obj);
/// Raise StorageError for a failed SQLite call.
[[noreturn]] void raise_db_error(const DbError& e, const std::string& path);

}  // namespace persist
