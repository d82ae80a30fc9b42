// The rows the SQLite store writes, as plain C++ values (no Python): what the
// writer queue carries for a native storage and what the batch writer binds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace persist {

/// One row of `nodes`.
struct NodeRow {
  int64_t pipeline_id = 0;
  int64_t fingerprint = 0;
  std::string node_type;
  std::string operation;
  std::optional<std::string> table_name;
  std::optional<std::string> column_name;
  std::optional<int64_t> pair_id;
  bool is_protected = false;
  std::optional<int64_t> entity_hash;
  std::optional<int64_t> chain_hash;
  std::optional<std::string> metadata;  ///< JSON text
};

/// One edge by fingerprint, resolved inside the database.
struct EdgeRow {
  int64_t pipeline_id = 0;
  int64_t parent_fingerprint = 0;
  int64_t child_fingerprint = 0;
  int64_t input_position = 0;
};

/// One edge by database ids.
struct ResolvedEdgeRow {
  int64_t parent_id = 0;
  int64_t child_id = 0;
  int64_t input_position = 0;
};

/// One row of `row_values`.
struct RowValueRow {
  int64_t pipeline_id = 0;
  int64_t row_index = 0;
  int64_t fingerprint = 0;
  std::string node_operation;
  std::optional<double> value;
  std::optional<std::string> column_name;
  std::optional<std::string> tenant_id;
  std::optional<std::string> text_value;
};

/// One registered source column (tenant and pipeline come from the store's context).
struct SourceRow {
  int64_t pair_id = 0;
  std::string table_name;
  std::string column_name;
  bool is_protected = false;
};

/// One row of `results`.
struct ResultRow {
  std::string row_key;
  std::string output_name;
  int64_t fingerprint = 0;
  std::optional<double> value;
  std::optional<std::string> input_hash;
};

/// The rows of `results` for one pipeline as columns, borrowed from the
/// caller for the duration of the call: output o, row i is row `o * n_rows + i`
/// (the order the rows are stored in, so the ids they get). Row i's input
/// hash is the 64 hex characters at `input_hashes + 64 * i` for i < n_hashed,
/// else NULL.
struct ResultBlock {
  size_t n_rows = 0;
  const char* const* row_keys = nullptr;  ///< UTF-8
  const size_t* row_key_lens = nullptr;
  size_t n_outputs = 0;
  const char* const* output_names = nullptr;  ///< UTF-8
  const size_t* output_name_lens = nullptr;
  const int64_t* fingerprints = nullptr;      ///< n_outputs * n_rows
  const double* values = nullptr;             ///< n_outputs * n_rows
  const uint8_t* has_value = nullptr;         ///< n_outputs * n_rows; 0: NULL
  const char* input_hashes = nullptr;
  size_t n_hashed = 0;
};

/// A Python record queued for a foreign (Python) storage: opaque owned
/// references that only the writer touches, with the GIL.
struct PyItem {
  enum Kind : uint8_t { Node, Edge, RowValue, Source } kind;
  void* obj;          ///< the record (a source: the argument tuple)
  void* pipeline_id;  ///< an edge's pipeline id, else nullptr
};

/// One queued record: a plain row for a native store, a PyItem otherwise.
using NativeRow = std::variant<NodeRow, EdgeRow, RowValueRow, SourceRow, PyItem>;

/// A plain SQL value (parameters and query results of the generic calls).
using SqlValue = std::variant<std::monostate, int64_t, double, std::string>;
using SqlRow = std::vector<SqlValue>;

}  // namespace persist
