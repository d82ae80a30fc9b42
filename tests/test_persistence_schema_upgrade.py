"""Row values are indexed by row only where a column is named: files written
with the earlier index of every row value are brought to the partial index
when opened, and the service's row look-up is answered by that index."""
import sqlite3

import pytest

from corvanti.utilities.persistence import SQLiteStorage, StoredRowValue

OLD_INDEX = "CREATE INDEX row_values_pipeline ON row_values (pipeline_id, row_index)"


def indexes(path):
    conn = sqlite3.connect(path)
    try:
        return {r[1]: bool(r[4]) for r in conn.execute("PRAGMA index_list(row_values)")}
    finally:
        conn.close()


def old_file(path):
    """A store laid out as earlier versions did: every row value indexed."""
    s = SQLiteStorage(path)
    s.connect()
    pid = s.create_pipeline("old")
    s.disconnect()
    conn = sqlite3.connect(path)
    conn.executescript(f"DROP INDEX row_values_column_row; {OLD_INDEX};")
    conn.executemany("INSERT INTO row_values (pipeline_id, row_index, fingerprint, node_operation, value, column_name) "
                     "VALUES (?, ?, ?, ?, ?, ?)",
                     [(pid, i, 7, op, float(i), col) for i in range(100) for op, col in (("t.a", "a"), ("add", None))])
    conn.commit()
    conn.close()
    return pid


def test_an_old_file_gets_the_partial_index_and_keeps_its_rows(tmp_path):
    path = tmp_path / "old.db"
    pid = old_file(path)
    assert indexes(path) == {"row_values_pipeline": False}
    s = SQLiteStorage(path)
    s.connect()
    assert indexes(path) == {"row_values_column_row": True}
    assert s.counts(pid)["row_values"] == 200
    s.store_row_values([StoredRowValue(pipeline_id=pid, row_index=5, fingerprint=8, node_operation="t.a", value=1.5,
                                       column_name="a", tenant_id=None, text_value=None)])
    assert s.query("SELECT value FROM row_values INDEXED BY row_values_column_row "
                   "WHERE pipeline_id = ? AND row_index = 5 AND column_name IS NOT NULL ORDER BY id", [pid]) == [
        (5.0,), (1.5,)]
    s.disconnect()
    s.connect()  # opening again changes nothing
    assert indexes(path) == {"row_values_column_row": True}
    s.disconnect()


def test_the_service_row_lookup_uses_the_partial_index(tmp_path):
    pytest.importorskip("sqlalchemy")
    from sqlalchemy import event

    from corvanti.service.db import Database
    from corvanti.service.store import Store

    path = tmp_path / "svc.db"
    pid = old_file(path)
    db = Database(f"sqlite:///{path}")
    seen = []
    event.listen(db.engine, "before_cursor_execute",
                 lambda conn, cursor, statement, params, context, many: seen.append((statement, params)))
    row = Store(db).source_row("default", pid, 42, ["t.a", "add"])
    db.engine.dispose()
    assert row == {"a": 42.0}  # the derived value (no column) is not part of the row
    (sql, params), = [(q, p) for q, p in seen if "FROM row_values" in q]
    conn = sqlite3.connect(path)
    plan = " ".join(r[3] for r in conn.execute("EXPLAIN QUERY PLAN " + sql, params))
    conn.close()
    assert "row_values_column_row" in plan
