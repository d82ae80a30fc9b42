// The SQLite batch writer: one connection to a lineage store, on the system
// libsqlite3. Pure C++ (no Python.h), so the writer thread uses it without
// the GIL. Every write is one transaction (BEGIN IMMEDIATE ... COMMIT), and a
// transaction that meets a lock held by another connection waits (busy
// time-out) and is then retried as a whole, so concurrent writers never see
// "database is locked".
#pragma once

#include <cstdint>
#include <atomic>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "persistence/edge_set.h"
#include "persistence/id_cache.h"
#include "persistence/rows.h"

struct sqlite3;
struct sqlite3_stmt;

namespace persist {

/// A failed SQLite call: the SQLite result code, the operation and SQLite's text.
struct DbError : std::runtime_error {
  DbError(int code, std::string where, const std::string& what)
      : std::runtime_error(what), code(code), where(std::move(where)) {}
  int code;           ///< SQLite result code (primary), or -1 for "not open"
  std::string where;  ///< the operation: "store_nodes", "open", ...
};

class Db {
 public:
  explicit Db(std::string path) : path_(std::move(path)) {}
  ~Db();
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;

  /// Open (creating the file), set WAL, synchronous=NORMAL and the busy time-out.
  void open();
  void close();
  bool is_open() const;
  const std::string& path() const { return path_; }

  /// Tenant and pipeline given to sources written through write_batch.
  void set_context(std::optional<std::string> tenant, std::optional<int64_t> pipeline);

  int64_t store_nodes(const std::vector<NodeRow>& rows);
  std::vector<std::pair<int64_t, int64_t>> fingerprint_map(int64_t pipeline_id);
  int64_t store_edges_resolved(const std::vector<ResolvedEdgeRow>& rows);
  int64_t store_edges(const std::vector<EdgeRow>& rows);
  int64_t store_row_values(const std::vector<RowValueRow>& rows);
  int64_t store_results(int64_t pipeline_id, const std::vector<ResultRow>& rows);
  /// The same rows as columns (the tracker's native road); returns the row count.
  int64_t store_results(int64_t pipeline_id, const ResultBlock& block);
  /// One writer batch, in order, in one transaction.
  void write_batch(const NativeRow* rows, size_t n);

  /// One statement in its own transaction: (changes, last insert row id).
  std::pair<int64_t, int64_t> execute(const std::string& sql, const SqlRow& params);
  std::vector<SqlRow> query(const std::string& sql, const SqlRow& params);
  /// Several statements, one transaction.
  void execute_script(const std::vector<std::string>& statements);

 private:
  template <class F>
  auto transaction(const char* where, F&& body);
  sqlite3_stmt* stmt(const char* sql, const char* where);
  void step_done(sqlite3_stmt* s, const char* where);
  void exec(const char* sql, const char* where);
  [[noreturn]] void fail(int rc, const char* where);
  void require_open(const char* where) const;
  void finalize_all();

  sqlite3_stmt* multi_stmt(const char* head, const char* group, size_t groups, const char* tail, const char* where);
  /// n rows as INSERTs of up to 64 rows each; get(i) gives row i, bind binds
  /// it at an offset, on_row takes each row the statements return.
  template <class Get, class Bind, class OnRow = void (*)(sqlite3_stmt*)>
  void insert_many(const char* head, const char* group, int ncols, const char* tail, size_t n, Get&& get,
                   Bind&& bind, const char* where, OnRow&& on_row = [](sqlite3_stmt*) {});
  /// The stored node's id for (pipeline, fingerprint) (ids_, else a look-up), 0 if none.
  int64_t node_id(int64_t pipeline_id, int64_t fingerprint);
  void insert_source(const SourceRow& r);
  /// Drop what write_batch learnt (a rollback, a foreign statement, close).
  void forget();

  std::string path_;
  sqlite3* db_ = nullptr;                                   ///< guarded by mu_
  std::unordered_map<const char*, sqlite3_stmt*> stmts_;    ///< prepared once per SQL constant
  std::unordered_map<std::string, sqlite3_stmt*> multi_;    ///< multi-row INSERTs by kind and row count
  IdCache ids_;                                             ///< node ids write_batch learnt (mu_)
  EdgeSet edges_;                                           ///< edges write_batch knows stored (mu_)
  std::optional<std::string> tenant_;                       ///< context of sources (ctx_mu_)
  std::optional<int64_t> pipeline_;                         ///< (ctx_mu_)
  mutable std::mutex mu_;                                   ///< one transaction at a time on this connection
  std::mutex ctx_mu_;                                       ///< the context alone: set with the GIL held, so
                                                            ///< it never waits for a transaction
  std::atomic<bool> open_{false};                           ///< read without waiting for mu_
};

}  // namespace persist
