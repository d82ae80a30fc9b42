// The SQLite batch writer (see sqlite_db.h).
#include "persistence/sqlite_db.h"

#include <sqlite3.h>

#include <chrono>
#include <thread>

namespace persist {
namespace {

// Waiting on another connection's lock: SQLite's own busy handler first, then
// whole-transaction retries of our own with a growing pause.
constexpr int kBusyTimeoutMs = 30000;
constexpr int kBusyRetries = 8;

bool is_busy(int rc) {
  int p = rc & 0xff;
  return p == SQLITE_BUSY || p == SQLITE_LOCKED;
}

void pause(int attempt) {
  std::this_thread::sleep_for(std::chrono::milliseconds(10 << (attempt < 6 ? attempt : 6)));
}

const char kUpsertSource[] =
    "INSERT INTO sources (tenant_id, pipeline_id, pair_id, table_name, column_name, is_protected) "
    "VALUES (?,?,?,?,?,?) ON CONFLICT (tenant_id, table_name, column_name) DO UPDATE SET "
    "pipeline_id = excluded.pipeline_id, pair_id = excluded.pair_id, is_protected = excluded.is_protected";
const char kFingerprints[] = "SELECT fingerprint, id FROM nodes WHERE pipeline_id = ?";

void bind_text(sqlite3_stmt* s, int i, const std::string& v) {
  sqlite3_bind_text(s, i, v.data(), (int) v.size(), SQLITE_STATIC);
}
void bind_opt(sqlite3_stmt* s, int i, const std::optional<std::string>& v) {
  if (v) bind_text(s, i, *v);
  else sqlite3_bind_null(s, i);
}
void bind_opt(sqlite3_stmt* s, int i, const std::optional<int64_t>& v) {
  if (v) sqlite3_bind_int64(s, i, *v);
  else sqlite3_bind_null(s, i);
}
void bind_opt(sqlite3_stmt* s, int i, const std::optional<double>& v) {
  if (v) sqlite3_bind_double(s, i, *v);
  else sqlite3_bind_null(s, i);
}
void bind_value(sqlite3_stmt* s, int i, const SqlValue& v) {
  if (auto* p = std::get_if<int64_t>(&v)) sqlite3_bind_int64(s, i, *p);
  else if (auto* d = std::get_if<double>(&v)) sqlite3_bind_double(s, i, *d);
  else if (auto* t = std::get_if<std::string>(&v)) bind_text(s, i, *t);
  else sqlite3_bind_null(s, i);
}

}  // namespace

Db::~Db() { close(); }

void Db::fail(int rc, const char* where) {
  const char* text = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
  throw DbError(rc, where, text ? text : "unknown error");
}

void Db::require_open(const char* where) const {
  if (!db_) throw DbError(-1, where, "the database is not open");
}

void Db::open() {
  std::lock_guard lk(mu_);
  if (db_) return;
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                           nullptr);
  if (rc != SQLITE_OK) {
    std::string text = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close_v2(db);
    throw DbError(rc, "open", text);
  }
  db_ = db;
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  sqlite3_extended_result_codes(db_, 1);
  try {
    // journal_mode=WAL itself takes a lock: retry it like a transaction.
    for (int attempt = 0;; ++attempt) {
      int r = sqlite3_exec(db_, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
      if (r == SQLITE_OK) break;
      if (!is_busy(r) || attempt >= kBusyRetries) fail(r, "open");
      pause(attempt);
    }
    exec("PRAGMA synchronous=NORMAL", "open");
    // A checkpoint (the only fsync under synchronous=NORMAL) every 10000
    // pages (40 MiB of log) instead of SQLite's 1000: the writer thread
    // commits a backlog in large transactions, and at 1000 pages nearly every
    // commit waited for a checkpoint's fsync.
    exec("PRAGMA wal_autocheckpoint=10000", "open");
    exec("PRAGMA foreign_keys=OFF", "open");
    exec("PRAGMA cache_size=-65536", "open");
    exec("PRAGMA temp_store=MEMORY", "open");
    open_.store(true);
  } catch (...) {
    sqlite3_close_v2(db_);
    db_ = nullptr;
    throw;
  }
}

void Db::finalize_all() {
  for (auto& [k, s] : stmts_) sqlite3_finalize(s);
  stmts_.clear();
  for (auto& [k, s] : multi_) sqlite3_finalize(s);
  multi_.clear();
}

void Db::close() {
  std::lock_guard lk(mu_);
  if (!db_) return;
  open_.store(false);
  finalize_all();
  forget();
  sqlite3_close_v2(db_);
  db_ = nullptr;
}

bool Db::is_open() const { return open_.load(); }

void Db::set_context(std::optional<std::string> tenant, std::optional<int64_t> pipeline) {
  std::lock_guard lk(ctx_mu_);
  tenant_ = std::move(tenant);
  pipeline_ = pipeline;
}

void Db::exec(const char* sql, const char* where) {
  int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) fail(rc, where);
}

sqlite3_stmt* Db::stmt(const char* sql, const char* where) {
  auto it = stmts_.find(sql);
  if (it != stmts_.end()) {
    sqlite3_reset(it->second);
    sqlite3_clear_bindings(it->second);
    return it->second;
  }
  sqlite3_stmt* s = nullptr;
  int rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr);
  if (rc != SQLITE_OK) fail(rc, where);
  stmts_.emplace(sql, s);
  return s;
}

void Db::step_done(sqlite3_stmt* s, const char* where) {
  int rc = sqlite3_step(s);
  if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
    sqlite3_reset(s);
    fail(rc, where);
  }
  sqlite3_reset(s);
}

template <class F>
auto Db::transaction(const char* where, F&& body) {
  std::lock_guard lk(mu_);
  require_open(where);
  for (int attempt = 0;; ++attempt) {
    try {
      exec("BEGIN IMMEDIATE", where);
      auto result = body();
      exec("COMMIT", where);
      return result;
    } catch (const DbError& e) {
      if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      if (!is_busy(e.code) || attempt >= kBusyRetries) throw;
      pause(attempt);
    }
  }
}

// ---- binding one row at a parameter offset (multi-row statements) ----------

namespace {

constexpr size_t kGroup = 64;  ///< rows per multi-row INSERT (VDBE set-up paid once per 64 rows)

const char kNodeHead[] =
    "INSERT INTO nodes (pipeline_id, fingerprint, node_type, operation, table_name, column_name, "
    "pair_id, is_protected, entity_hash, chain_hash, metadata) VALUES ";
const char kNodeGroup[] = "(?,?,?,?,?,?,?,?,?,?,?)";
const char kNodeTail[] = " ON CONFLICT (pipeline_id, fingerprint) DO NOTHING";
// The writer's node inserts name the ids they assign (fingerprint, id): the
// streamed edges that follow are resolved from them without a look-up.
const char kNodeTailIds[] =
    " ON CONFLICT (pipeline_id, fingerprint) DO NOTHING RETURNING pipeline_id, fingerprint, id";
const char kNodeId[] = "SELECT id FROM nodes WHERE pipeline_id = ? AND fingerprint = ?";
const char kValueHead[] =
    "INSERT INTO row_values (pipeline_id, tenant_id, row_index, fingerprint, node_operation, value, "
    "text_value, column_name) VALUES ";
const char kValueGroup[] = "(?,?,?,?,?,?,?,?)";
const char kResultHead[] = "INSERT INTO results (pipeline_id, row_key, output_name, fingerprint, value, input_hash) VALUES ";
const char kResultGroup[] = "(?,?,?,?,?,?)";
const char kResultTail[] =
    " ON CONFLICT (pipeline_id, row_key, output_name) DO UPDATE SET "
    "fingerprint = excluded.fingerprint, value = excluded.value, input_hash = excluded.input_hash";

void bind_node(sqlite3_stmt* s, int o, const NodeRow& r) {
  sqlite3_bind_int64(s, o + 1, r.pipeline_id);
  sqlite3_bind_int64(s, o + 2, r.fingerprint);
  bind_text(s, o + 3, r.node_type);
  bind_text(s, o + 4, r.operation);
  bind_opt(s, o + 5, r.table_name);
  bind_opt(s, o + 6, r.column_name);
  bind_opt(s, o + 7, r.pair_id);
  sqlite3_bind_int(s, o + 8, r.is_protected ? 1 : 0);
  bind_opt(s, o + 9, r.entity_hash);
  bind_opt(s, o + 10, r.chain_hash);
  bind_opt(s, o + 11, r.metadata);
}

void bind_value_row(sqlite3_stmt* s, int o, const RowValueRow& r) {
  sqlite3_bind_int64(s, o + 1, r.pipeline_id);
  bind_opt(s, o + 2, r.tenant_id);
  sqlite3_bind_int64(s, o + 3, r.row_index);
  sqlite3_bind_int64(s, o + 4, r.fingerprint);
  bind_text(s, o + 5, r.node_operation);
  bind_opt(s, o + 6, r.value);
  bind_opt(s, o + 7, r.text_value);
  bind_opt(s, o + 8, r.column_name);
}

const char kEdgeFpHead[] =
    "INSERT INTO edges (pipeline_id, parent_node_id, child_node_id, input_position) "
    "SELECT v.column1, p.id, c.id, v.column4 FROM (VALUES ";
const char kEdgeFpGroup[] = "(?,?,?,?)";
const char kEdgeFpTail[] =
    ") AS v JOIN nodes p ON p.pipeline_id = v.column1 AND p.fingerprint = v.column2 "
    "JOIN nodes c ON c.pipeline_id = v.column1 AND c.fingerprint = v.column3 WHERE true "
    "ON CONFLICT (parent_node_id, child_node_id, input_position) DO NOTHING";
const char kEdgeIdHead[] =
    "INSERT INTO edges (pipeline_id, parent_node_id, child_node_id, input_position) "
    "SELECT c.pipeline_id, p.id, c.id, v.column3 FROM (VALUES ";
const char kEdgeIdGroup[] = "(?,?,?)";
const char kEdgeIdTail[] =
    ") AS v JOIN nodes p ON p.id = v.column1 JOIN nodes c ON c.id = v.column2 WHERE true "
    "ON CONFLICT (parent_node_id, child_node_id, input_position) DO NOTHING";

const char kEdgePlainHead[] = "INSERT INTO edges (pipeline_id, parent_node_id, child_node_id, input_position) VALUES ";
const char kEdgePlainGroup[] = "(?,?,?,?)";
const char kEdgePlainTail[] = " ON CONFLICT (parent_node_id, child_node_id, input_position) DO NOTHING";

/// An edge whose two ends are resolved to node ids.
struct IdEdge {
  int64_t pipeline_id, parent_id, child_id, input_position;
};

void bind_id_edge(sqlite3_stmt* s, int o, const IdEdge& r) {
  sqlite3_bind_int64(s, o + 1, r.pipeline_id);
  sqlite3_bind_int64(s, o + 2, r.parent_id);
  sqlite3_bind_int64(s, o + 3, r.child_id);
  sqlite3_bind_int64(s, o + 4, r.input_position);
}

void bind_edge(sqlite3_stmt* s, int o, const EdgeRow& r) {
  sqlite3_bind_int64(s, o + 1, r.pipeline_id);
  sqlite3_bind_int64(s, o + 2, r.parent_fingerprint);
  sqlite3_bind_int64(s, o + 3, r.child_fingerprint);
  sqlite3_bind_int64(s, o + 4, r.input_position);
}

void bind_edge_ids(sqlite3_stmt* s, int o, const ResolvedEdgeRow& r) {
  sqlite3_bind_int64(s, o + 1, r.parent_id);
  sqlite3_bind_int64(s, o + 2, r.child_id);
  sqlite3_bind_int64(s, o + 3, r.input_position);
}

struct ResultBind {
  int64_t pipeline_id;
  void operator()(sqlite3_stmt* s, int o, const ResultRow& r) const {
    sqlite3_bind_int64(s, o + 1, pipeline_id);
    bind_text(s, o + 2, r.row_key);
    bind_text(s, o + 3, r.output_name);
    sqlite3_bind_int64(s, o + 4, r.fingerprint);
    bind_opt(s, o + 5, r.value);
    bind_opt(s, o + 6, r.input_hash);
  }
};

}  // namespace

sqlite3_stmt* Db::multi_stmt(const char* head, const char* group, size_t groups, const char* tail,
                             const char* where) {
  std::string key = std::to_string((uintptr_t) head) + ':' + std::to_string(groups);
  auto it = multi_.find(key);
  if (it != multi_.end()) {
    sqlite3_reset(it->second);
    return it->second;
  }
  std::string sql = head;
  for (size_t g = 0; g < groups; ++g) {
    if (g) sql += ',';
    sql += group;
  }
  sql += tail;
  sqlite3_stmt* s = nullptr;
  int rc = sqlite3_prepare_v3(db_, sql.c_str(), (int) sql.size(), SQLITE_PREPARE_PERSISTENT, &s, nullptr);
  if (rc != SQLITE_OK) fail(rc, where);
  multi_.emplace(std::move(key), s);
  return s;
}

template <class Get, class Bind, class OnRow>
void Db::insert_many(const char* head, const char* group, int ncols, const char* tail, size_t n, Get&& get,
                     Bind&& bind, const char* where, OnRow&& on_row) {
  for (size_t i = 0; i < n;) {
    size_t groups = n - i < kGroup ? n - i : kGroup;
    sqlite3_stmt* s = multi_stmt(head, group, groups, tail, where);
    for (size_t g = 0; g < groups; ++g) bind(s, (int) g * ncols, get(i + g));
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) on_row(s);
    sqlite3_reset(s);
    if (rc != SQLITE_DONE) fail(rc, where);
    i += groups;
  }
}

int64_t Db::node_id(int64_t pipeline_id, int64_t fingerprint) {
  int64_t id = ids_.find(pipeline_id, fingerprint);
  if (id) return id;
  sqlite3_stmt* s = stmt(kNodeId, "write_batch");
  sqlite3_bind_int64(s, 1, pipeline_id);
  sqlite3_bind_int64(s, 2, fingerprint);
  int rc = sqlite3_step(s);
  if (rc == SQLITE_ROW) id = sqlite3_column_int64(s, 0);
  sqlite3_reset(s);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) fail(rc, "write_batch");
  if (id) ids_.put(pipeline_id, fingerprint, id);
  return id;
}

void Db::insert_source(const SourceRow& r) {
  sqlite3_stmt* s = stmt(kUpsertSource, "register_source");
  {
    std::lock_guard lk(ctx_mu_);
    // Copied (SQLITE_TRANSIENT): the context may change once ctx_mu_ is let go.
    if (tenant_) sqlite3_bind_text(s, 1, tenant_->data(), (int) tenant_->size(), SQLITE_TRANSIENT);
    else sqlite3_bind_null(s, 1);
    bind_opt(s, 2, pipeline_);
  }
  sqlite3_bind_int64(s, 3, r.pair_id);
  bind_text(s, 4, r.table_name);
  bind_text(s, 5, r.column_name);
  sqlite3_bind_int(s, 6, r.is_protected ? 1 : 0);
  step_done(s, "register_source");
}

int64_t Db::store_nodes(const std::vector<NodeRow>& rows) {
  return transaction("store_nodes", [&] {
    int64_t before = sqlite3_total_changes64(db_);
    insert_many(kNodeHead, kNodeGroup, 11, kNodeTail, rows.size(), [&](size_t i) -> const NodeRow& { return rows[i]; },
                bind_node, "store_nodes");
    return sqlite3_total_changes64(db_) - before;
  });
}

std::vector<std::pair<int64_t, int64_t>> Db::fingerprint_map(int64_t pipeline_id) {
  std::lock_guard lk(mu_);
  require_open("get_fingerprint_node_map");
  for (int attempt = 0;; ++attempt) {
    std::vector<std::pair<int64_t, int64_t>> out;
    sqlite3_stmt* s = stmt(kFingerprints, "get_fingerprint_node_map");
    sqlite3_bind_int64(s, 1, pipeline_id);
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW)
      out.emplace_back(sqlite3_column_int64(s, 0), sqlite3_column_int64(s, 1));
    sqlite3_reset(s);
    if (rc == SQLITE_DONE) return out;
    if (!is_busy(rc) || attempt >= kBusyRetries) fail(rc, "get_fingerprint_node_map");
    pause(attempt);
  }
}

int64_t Db::store_edges_resolved(const std::vector<ResolvedEdgeRow>& rows) {
  return transaction("store_edges_resolved", [&] {
    int64_t before = sqlite3_total_changes64(db_);
    insert_many(kEdgeIdHead, kEdgeIdGroup, 3, kEdgeIdTail, rows.size(),
                [&](size_t i) -> const ResolvedEdgeRow& { return rows[i]; }, bind_edge_ids, "store_edges_resolved");
    return sqlite3_total_changes64(db_) - before;
  });
}

int64_t Db::store_edges(const std::vector<EdgeRow>& rows) {
  return transaction("store_edges", [&] {
    int64_t before = sqlite3_total_changes64(db_);
    insert_many(kEdgeFpHead, kEdgeFpGroup, 4, kEdgeFpTail, rows.size(),
                [&](size_t i) -> const EdgeRow& { return rows[i]; }, bind_edge, "store_edges");
    return sqlite3_total_changes64(db_) - before;
  });
}

int64_t Db::store_row_values(const std::vector<RowValueRow>& rows) {
  return transaction("store_row_values", [&] {
    insert_many(kValueHead, kValueGroup, 8, "", rows.size(), [&](size_t i) -> const RowValueRow& { return rows[i]; },
                bind_value_row, "store_row_values");
    return (int64_t) rows.size();
  });
}

int64_t Db::store_results(int64_t pipeline_id, const std::vector<ResultRow>& rows) {
  return transaction("store_results", [&] {
    insert_many(kResultHead, kResultGroup, 6, kResultTail, rows.size(),
                [&](size_t i) -> const ResultRow& { return rows[i]; }, ResultBind{pipeline_id}, "store_results");
    return (int64_t) rows.size();
  });
}

int64_t Db::store_results(int64_t pipeline_id, const ResultBlock& b) {
  const size_t n = b.n_rows * b.n_outputs;
  auto bind = [&](sqlite3_stmt* s, int o, size_t k) {
    const size_t out = k / b.n_rows, i = k % b.n_rows;
    sqlite3_bind_int64(s, o + 1, pipeline_id);
    sqlite3_bind_text(s, o + 2, b.row_keys[i], (int) b.row_key_lens[i], SQLITE_STATIC);
    sqlite3_bind_text(s, o + 3, b.output_names[out], (int) b.output_name_lens[out], SQLITE_STATIC);
    sqlite3_bind_int64(s, o + 4, b.fingerprints[k]);
    if (b.has_value[k]) sqlite3_bind_double(s, o + 5, b.values[k]);
    else sqlite3_bind_null(s, o + 5);
    if (i < b.n_hashed) sqlite3_bind_text(s, o + 6, b.input_hashes + 64 * i, 64, SQLITE_STATIC);
    else sqlite3_bind_null(s, o + 6);
  };
  return transaction("store_results", [&] {
    insert_many(kResultHead, kResultGroup, 6, kResultTail, n, [](size_t k) { return k; }, bind, "store_results");
    return (int64_t) n;
  });
}

void Db::write_batch(const NativeRow* rows, size_t n) {
  // Grouped by kind, nodes first (so every edge finds the nodes of its own
  // batch), each kind as multi-row statements: a tracker's batch alternates
  // node, edge, node, edge, which row by row would pay the statement set-up
  // per record. Edges by fingerprint are resolved to ids from the ids the
  // node inserts return (ids_), looked up only when not known; an edge with
  // an end that is not stored is left out, as the join of store_edges does.
  //
  // What is known to be stored already is not written again: a node whose
  // (pipeline, fingerprint) has an id in ids_ (the first node of a
  // fingerprint wins, so a later one is a no-op), a node repeating one
  // earlier in the batch, and an edge in edges_ or earlier in the batch. A
  // tracker hands over the same fingerprints and edges for most elements of
  // an operation, so this leaves mostly the row values to insert.
  std::vector<const NodeRow*> all_nodes;
  std::vector<const EdgeRow*> edges;
  std::vector<const RowValueRow*> values;
  std::vector<const SourceRow*> sources;
  for (size_t i = 0; i < n; ++i) {
    if (auto* x = std::get_if<NodeRow>(&rows[i])) all_nodes.push_back(x);
    else if (auto* e = std::get_if<EdgeRow>(&rows[i])) edges.push_back(e);
    else if (auto* v = std::get_if<RowValueRow>(&rows[i])) values.push_back(v);
    else if (auto* src = std::get_if<SourceRow>(&rows[i])) sources.push_back(src);
  }
  std::vector<const NodeRow*> nodes;
  std::vector<IdEdge> resolved;
  IdCache batch_fps;  // (pipeline, fingerprint) of the nodes inserted by this batch (id 1: a mark)
  EdgeSet batch_edges;
  int attempts = 0;
  auto learn = [&](sqlite3_stmt* s) {
    ids_.put(sqlite3_column_int64(s, 0), sqlite3_column_int64(s, 1), sqlite3_column_int64(s, 2));
  };
  try {
    transaction("write_batch", [&] {
      if (attempts++) forget();  // what a rolled-back attempt learnt is void
      nodes.clear();
      batch_fps.clear();
      for (const NodeRow* x : all_nodes) {
        if (ids_.find(x->pipeline_id, x->fingerprint)) continue;
        if (x->pipeline_id == batch_fps.pipeline() && batch_fps.find(x->pipeline_id, x->fingerprint)) continue;
        if (x->pipeline_id != batch_fps.pipeline() && batch_fps.size()) {
          nodes.push_back(x);  // a second pipeline in one batch: no de-duplication for it
          continue;
        }
        batch_fps.put(x->pipeline_id, x->fingerprint, 1);
        nodes.push_back(x);
      }
      insert_many(kNodeHead, kNodeGroup, 11, kNodeTailIds, nodes.size(),
                  [&](size_t k) -> const NodeRow& { return *nodes[k]; }, bind_node, "write_batch", learn);
      resolved.clear();
      batch_edges.clear();
      for (const EdgeRow* e : edges) {
        int64_t parent = node_id(e->pipeline_id, e->parent_fingerprint);
        int64_t child = parent ? node_id(e->pipeline_id, e->child_fingerprint) : 0;
        if (!child || edges_.contains(parent, child, e->input_position) ||
            batch_edges.contains(parent, child, e->input_position))
          continue;
        batch_edges.add(parent, child, e->input_position);
        resolved.push_back(IdEdge{e->pipeline_id, parent, child, e->input_position});
      }
      insert_many(kEdgePlainHead, kEdgePlainGroup, 4, kEdgePlainTail, resolved.size(),
                  [&](size_t k) -> const IdEdge& { return resolved[k]; }, bind_id_edge, "write_batch");
      for (const IdEdge& e : resolved) edges_.add(e.parent_id, e.child_id, e.input_position);
      insert_many(kValueHead, kValueGroup, 8, "", values.size(),
                  [&](size_t k) -> const RowValueRow& { return *values[k]; }, bind_value_row, "write_batch");
      for (const SourceRow* src : sources) insert_source(*src);
      return 0;
    });
  } catch (...) {
    forget();
    throw;
  }
}

void Db::forget() {
  ids_.clear();
  edges_.clear();
}

std::pair<int64_t, int64_t> Db::execute(const std::string& sql, const SqlRow& params) {
  return transaction("execute", [&] {
    forget();  // any statement may change the nodes and edges
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v2(db_, sql.c_str(), (int) sql.size(), &s, nullptr);
    if (rc != SQLITE_OK) fail(rc, "execute");
    for (size_t i = 0; i < params.size(); ++i) bind_value(s, (int) i + 1, params[i]);
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    }
    sqlite3_finalize(s);
    if (rc != SQLITE_DONE) fail(rc, "execute");
    return std::make_pair((int64_t) sqlite3_changes64(db_), (int64_t) sqlite3_last_insert_rowid(db_));
  });
}

std::vector<SqlRow> Db::query(const std::string& sql, const SqlRow& params) {
  std::lock_guard lk(mu_);
  require_open("query");
  for (int attempt = 0;; ++attempt) {
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v2(db_, sql.c_str(), (int) sql.size(), &s, nullptr);
    if (rc != SQLITE_OK) {
      if (is_busy(rc) && attempt < kBusyRetries) {
        pause(attempt);
        continue;
      }
      fail(rc, "query");
    }
    for (size_t i = 0; i < params.size(); ++i) bind_value(s, (int) i + 1, params[i]);
    std::vector<SqlRow> out;
    int ncol = sqlite3_column_count(s);
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      SqlRow row;
      row.reserve((size_t) ncol);
      for (int c = 0; c < ncol; ++c) {
        switch (sqlite3_column_type(s, c)) {
          case SQLITE_INTEGER: row.emplace_back((int64_t) sqlite3_column_int64(s, c)); break;
          case SQLITE_FLOAT: row.emplace_back(sqlite3_column_double(s, c)); break;
          case SQLITE_NULL: row.emplace_back(std::monostate{}); break;
          default: {
            const char* t = (const char*) sqlite3_column_text(s, c);
            row.emplace_back(std::string(t ? t : "", (size_t) sqlite3_column_bytes(s, c)));
          }
        }
      }
      out.push_back(std::move(row));
    }
    sqlite3_finalize(s);
    if (rc == SQLITE_DONE) return out;
    if (!is_busy(rc) || attempt >= kBusyRetries) fail(rc, "query");
    pause(attempt);
  }
}

void Db::execute_script(const std::vector<std::string>& statements) {
  transaction("executescript", [&] {
    forget();  // any statement may change the nodes and edges
    for (const std::string& sql : statements) {
      int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
      if (rc != SQLITE_OK) fail(rc, "executescript");
    }
    return 0;
  });
}

}  // namespace persist
