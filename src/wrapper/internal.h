// corvanti.wrapper: the C++ entry points of the shared helpers, for use by
// the other parts of the module (registry, prediction, the provenance
// upload). Each function does exactly what the module-level Python function
// of the same name does, without argument parsing.
//
// Rules for callers:
// - every function needs the GIL and may run Python code;
// - failures are thrown (glue::error_set or nb::python_error) with the Python
//   error set, like every other glue call;
// - results are new references (nb::object); arguments are borrowed.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "glue/glue.h"

namespace wrapper {
namespace nb = nanobind;

// ---- module state -----------------------------------------------------------

/// Record the module object at the start of module init (module.cpp).
void set_module(nb::handle m);
/// The module object (borrowed; valid once module init has started).
nb::handle module();
/// A module global looked up now (so rebinding it on the module takes
/// effect); AttributeError-like NameError when missing.
nb::object global(const char* name);
/// `module.logger` looked up now.
nb::object logger();

/// Log through `module.logger` with the lazy %-form: `logger.<level>(fmt, arg)`.
/// `level` is "debug", "warning" or "error". Pass an invalid handle for no
/// argument (the message is then logged as is).
void log(const char* level, const char* fmt, nb::handle arg = nb::handle());

/// Imports that cost a dictionary lookup once the module is loaded:
/// sys.modules first, a real import otherwise. Throws on ImportError.
nb::object import(const char* name);
/// The same, but returns an invalid object when the import raises
/// ImportError (other exceptions propagate).
nb::object import_optional(const char* name);


/// Run `f`; when it raises a Python `Exception` (any subclass), clear the
/// error and return the exception object. BaseExceptions that are not
/// Exceptions (KeyboardInterrupt, SystemExit) propagate. Returns an invalid
/// object when `f` succeeded.
template <class F>
nb::object catch_exception(F&& f);

// ---- serialisation and hashing (serialize.cpp) -----------------------------

/// `_fast_dumps(obj, default=None, sort_keys=False)` -> str.
/// `default_` may be an invalid handle or None for "no default".
nb::object fast_dumps(nb::handle obj, nb::handle default_ = nb::handle(), bool sort_keys = false);
/// The UTF-8 bytes of `fast_dumps(...)`, without the str round trip when
/// the backend produces bytes.
nb::object fast_dumps_bytes(nb::handle obj, nb::handle default_ = nb::handle(), bool sort_keys = false);
/// `_fast_loads(s)`.
nb::object fast_loads(nb::handle s);
/// True when the orjson backend was selected at import.
bool uses_orjson();

/// `_sanitize_value(v)`: None for a non-finite float (subclasses too), else v.
nb::object sanitize_value(nb::handle v);
/// `_sanitize_list(lst)`: new list, one level.
nb::object sanitize_list(nb::handle lst);
/// `_sanitize_rows(rows)`: new list of new lists, two levels.
nb::object sanitize_rows(nb::handle rows);

/// `_serialize(arr)`: one-key dict, or None after a WARNING.
nb::object serialize(nb::handle arr);

/// `_content_hash(*parts)` as a C integer (0 .. 2**32-1).
uint32_t content_hash(const std::vector<nb::handle>& parts);
/// `_compute_model_hash(model)`: str or None.
nb::object compute_model_hash(nb::handle model);

// ---- HTTP client (http.cpp) -------------------------------------------------

/// `_post_json(url, api_key, payload, timeout=120)`: dict or None.
/// `url` and `api_key` must be str (checked by the Python entry point only).
nb::object post_json(nb::handle url, nb::handle api_key, nb::handle payload, long timeout = 120);
/// `_patch_json(url, api_key, payload, timeout=30)`: dict or None.
nb::object patch_json(nb::handle url, nb::handle api_key, nb::handle payload, long timeout = 30);

// ---- row and column helpers (rows.cpp) --------------------------------------

/// `_cn(X, fallback_prefix)`: list of str.
nb::object cn(nb::handle X, nb::handle fallback_prefix);
/// `_rc(X)`: row count.
Py_ssize_t rc(nb::handle X);
/// `_trd(X, cols)`: list of dict. `cols` must be a list.
nb::object trd(nb::handle X, nb::handle cols);
/// `_fo(outputs, n)`: list.
nb::object fo(nb::handle outputs, Py_ssize_t n);
/// `_gs(val)`: (number or None, text or None), as two new references.
std::pair<nb::object, nb::object> gs(nb::handle val);
/// `_rh(row_dict)`: str (64 hex digits or empty). `row_dict` must be a dict.
nb::object rh(nb::handle row_dict);

// ---- template definitions ---------------------------------------------------

namespace detail {
/// From inside a catch block: the in-flight error as a Python exception
/// object when it is an `Exception`; otherwise the error is re-set and
/// glue::error_set thrown.
nb::object take_exception();
}  // namespace detail

template <class F>
nb::object catch_exception(F&& f) {
  try {
    std::forward<F>(f)();
    return nb::object();
  } GLUE_CATCH_ALL {
    return detail::take_exception();
  }
}

}  // namespace wrapper
