// Texts users see from corvanti.utilities.jsonweave: the module, function and
// class docstrings. A leading "name(...)\n--\n\n" block becomes the
// function's __text_signature__ and is not part of its __doc__.
#pragma once

namespace jsonweave::msg {

inline constexpr const char MODULE_DOC[] =
    "Fast JSON serialisation with orjson and a standard-library fallback.\n"
    "\n"
    "orjson serialises numpy int, float, bool and ndarray values natively.\n"
    "The stdlib fallback uses a custom encoder for the same numpy coverage.";

inline constexpr const char BACKEND_ORJSON[] = "orjson";
inline constexpr const char BACKEND_JSON[] = "json";

// ---- orjson backend ------------------------------------------------------

inline constexpr const char ORJSON_DUMPS_DOC[] =
    "dumps(obj, default=None, indent=None, sort_keys=False)\n--\n\n"
    "Serialize to JSON string. Uses orjson for speed.\n"
    "\n"
    "Handles numpy scalars, arrays, datetime, and date objects natively.\n"
    "Returns a Python str (not bytes).";

inline constexpr const char ORJSON_LOADS_DOC[] =
    "loads(s)\n--\n\n"
    "Deserialize from JSON string. Uses orjson for speed.";

// ---- standard-library backend --------------------------------------------

inline constexpr const char STDLIB_DUMPS_DOC[] =
    "dumps(obj, default=None, indent=None, sort_keys=False)\n--\n\n"
    "Serialize to JSON string. Stdlib fallback with numpy support.";

inline constexpr const char STDLIB_LOADS_DOC[] =
    "loads(s)\n--\n\n"
    "Deserialize from JSON string. Stdlib fallback.";

inline constexpr const char NUMPY_ENCODER_DOC[] =
    "JSON encoder that handles numpy types for the stdlib fallback.";

// Method signatures only (these hooks carry no docstring of their own).
inline constexpr const char ENCODER_DEFAULT_SIG[] = "default($self, o)\n--\n\n";

}  // namespace jsonweave::msg
