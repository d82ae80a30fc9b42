// User-visible texts of the source registry and of input resolution / local
// prediction in corvanti.wrapper: docstrings, log lines, error messages.
//
// Docstrings start with a "name(signature)\n--\n\n" line, which CPython turns
// into __text_signature__ and strips from __doc__.
#pragma once

namespace wrapper::msg {

// ---- _ProvenanceRegistry -------------------------------------------------

inline constexpr const char* REGISTRY_CLASS_DOC =
    "Global registry tracking source DataFrames for pipeline lineage.\n"
    "\n"
    "Users call ``corvanti.source(df, \"table_name\")`` to register a source\n"
    "table. On ``corvanti.upload()``, the registry resolves which columns of the\n"
    "final model input came from which source table (or were derived), and\n"
    "builds snapshots holding only the final columns that come from a\n"
    "registered table.";

inline constexpr const char* REGISTRY_INIT_DOC =
    "__init__($self, /)\n--\n\n"
    "Create an empty registry.";

inline constexpr const char* REGISTRY_REGISTER_DOC =
    "register($self, /, df, table_name)\n--\n\n"
    "Register a DataFrame as a source table.\n"
    "\n"
    "Only column names and dtypes are captured, never cell values.";

inline constexpr const char* REGISTRY_RESOLVE_DOC =
    "resolve($self, /, df)\n--\n\n"
    "Resolve provenance for every column in a DataFrame.\n"
    "\n"
    "Returns {col_name: \"table.col\"} for known sources, \"derived\" otherwise.";

inline constexpr const char* REGISTRY_SNAPSHOTS_DOC =
    "build_source_snapshots($self, /, final_df)\n--\n\n"
    "Build source snapshots containing ONLY columns used in the final DataFrame.";

inline constexpr const char* REGISTRY_MAPPING_DOC =
    "get_source_mapping($self, /)\n--\n\n"
    "Return the full column -> table.col mapping.";

inline constexpr const char* REGISTRY_METADATA_DOC =
    "get_source_metadata($self, /)\n--\n\n"
    "Return source table metadata (columns + dtypes).";

inline constexpr const char* REGISTRY_CLEAR_DOC =
    "clear($self, /)\n--\n\n"
    "Reset the registry (between pipeline runs).";

inline constexpr const char* REGISTRY_NO_COLUMNS = "ProvenanceRegistry: df has no .columns, skipping";
inline constexpr const char* DERIVED = "derived";

// ---- input resolution and local prediction ---------------------------------

inline constexpr const char* RESOLVE_INPUTS_DOC =
    "_resolve_inputs(train_df, test_df, label_column, X_train, y_train, X_test, y_test,"
    " protected_columns)\n--\n\n"
    "Turn either calling convention into model inputs, labels and protected data.\n"
    "\n"
    "DataFrame mode (test_df given, with label_column): labels and protected\n"
    "columns are split out of test_df (and train_df). Array mode (X_test given):\n"
    "protected columns found in a DataFrame X_test are moved out of the inputs.\n"
    "\n"
    "Returns (X_train, y_train, X_test, y_test, protected_df); protected_df holds\n"
    "the protected columns of the test data (index reset) or is None.";

inline constexpr const char* RUN_LOCAL_PREDICT_DOC =
    "_run_local_predict(model, X)\n--\n\n"
    "Obtain one float prediction per row of X from an arbitrary model object.\n"
    "\n"
    "Tries, in order: predict_proba (probability of the last class), predict,\n"
    "a tensor call through torch, predict again, an inference session with\n"
    "get_inputs() and run(), and finally calling the model. Returns a 1-D float\n"
    "array; raises RuntimeError when none of these works.";

inline constexpr const char* NO_DATA =
    "No data provided. Pass either test_df= (DataFrame mode) or X_test= (array mode).";
inline constexpr const char* NO_LABEL_COLUMN =
    "label_column is required when passing test_df. "
    "Example: upload(model=clf, test_df=df, label_column='approved', ...)";
inline constexpr const char* NO_PANDAS = "pandas is required when using train_df/test_df mode";
inline constexpr const char* CANNOT_PREDICT =
    "Cannot generate predictions from %s. Pass predictions= directly to corvanti.upload() instead.";

}  // namespace wrapper::msg
