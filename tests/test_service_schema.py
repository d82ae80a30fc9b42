"""The service's tables agree with schema.sql; database URLs; a store written by another program.

The schema file is what creates every database; the SQLAlchemy tables are
how the service reads it, so the two must not drift apart.
"""

import sqlite3

import pytest

pytest.importorskip("sqlalchemy")

from sqlalchemy import create_engine, inspect  # noqa: E402

from corvanti.service import tables as T  # noqa: E402
from corvanti.service.db import SCHEMA_PATH, Database, parse_database_url, schema_statements  # noqa: E402


def _describe(path):
    conn = sqlite3.connect(path)
    try:
        out = {}
        names = [r[0] for r in conn.execute("SELECT name FROM sqlite_master WHERE type='table' "
                                            "AND name NOT LIKE 'sqlite_%' ORDER BY name")]
        for name in names:
            cols = conn.execute(f"PRAGMA table_info({name})").fetchall()
            fks = sorted(conn.execute(f"PRAGMA foreign_key_list({name})").fetchall(), key=lambda r: r[3])
            indexes = []
            for idx in conn.execute(f"PRAGMA index_list({name})").fetchall():
                columns = tuple(r[2] for r in conn.execute(f"PRAGMA index_info({idx[1]})"))
                sql = conn.execute("SELECT sql FROM sqlite_master WHERE name = ?", (idx[1],)).fetchone()[0] or ""
                where = " ".join(sql.split(" WHERE ", 1)[1].split()) if " WHERE " in sql else None
                indexes.append((bool(idx[2]), idx[3], columns, bool(idx[4]), where))
            out[name] = {"columns": cols, "fks": [(f[2], f[3], f[4]) for f in fks], "indexes": sorted(indexes)}
        return out
    finally:
        conn.close()


def test_sqlalchemy_tables_match_schema_sql(tmp_path):
    from_file = tmp_path / "file.db"
    conn = sqlite3.connect(from_file)
    for stmt in schema_statements("sqlite"):
        conn.execute(stmt)
    conn.commit()
    conn.close()
    from_tables = tmp_path / "tables.db"
    engine = create_engine(f"sqlite:///{from_tables}")
    T.metadata.create_all(engine)
    engine.dispose()
    expected, actual = _describe(from_file), _describe(from_tables)
    assert sorted(expected) == sorted(actual) == sorted(T.metadata.tables)
    for name in expected:
        assert actual[name] == expected[name], name


def test_postgresql_schema_has_64_bit_columns(pg_server):
    url = pg_server.create_database("schema_check")
    Database(url).close()
    Database(url).close()  # a second start finds the schema and leaves it
    engine = create_engine(parse_database_url(url))
    insp = inspect(engine)
    assert set(insp.get_table_names()) == set(T.metadata.tables)
    for table in T.metadata.tables.values():
        cols = {c["name"]: str(c["type"]) for c in insp.get_columns(table.name)}
        assert list(cols) == [c.name for c in table.columns]
        for col in table.columns:
            if str(col.type.compile(dialect=engine.dialect)) == "BIGINT":
                assert cols[col.name] == "BIGINT", (table.name, col.name)
    assert {c["name"]: str(c["type"]) for c in insp.get_columns("row_values")}["value"] == "DOUBLE PRECISION"
    engine.dispose()


@pytest.mark.parametrize("url,expected", [
    ("sqlite:///abs/dir/x.db", "/abs/dir/x.db"),
    ("sqlite:////abs/x.db", "/abs/x.db"),
    ("sqlite:rel/x.db", "rel/x.db"),
    ("sqlite://rel.db", "rel.db"),
])
def test_sqlite_urls_follow_the_embedded_store(url, expected):
    assert parse_database_url(url).database == expected


@pytest.mark.parametrize("url", ["postgresql://u:p@h:5/db", "postgres://u:p@h:5/db", "postgresql+psycopg://u:p@h:5/db"])
def test_postgresql_urls_use_psycopg(url):
    parsed = parse_database_url(url)
    assert parsed.drivername == "postgresql+psycopg" and parsed.database == "db" and parsed.port == 5


@pytest.mark.parametrize("url,message", [("mysql://x/y", "unsupported database URL scheme 'mysql'"),
                                         ("sqlite://", "in-memory"), ("sqlite:///:memory:", "in-memory"),
                                         ("", "non-empty")])
def test_bad_database_urls(url, message):
    with pytest.raises(ValueError, match=message):
        parse_database_url(url)


def test_service_shows_a_store_written_without_it(tmp_path):
    """A file laid out by schema.sql and written as the embedded store does (no tenant)."""
    from support.corvanti_service import LiveService

    path = tmp_path / "lineage.db"
    conn = sqlite3.connect(path)
    conn.executescript(SCHEMA_PATH.read_text())
    conn.execute("INSERT INTO pipelines (tenant_id, name, status, started_at) VALUES (NULL, 'local', 'completed', "
                 "'2026-12-09T00:00:00.000000Z')")
    conn.executemany("INSERT INTO nodes (pipeline_id, fingerprint, node_type, operation, table_name, column_name) "
                     "VALUES (1, ?, ?, ?, 't', 'c')", [(10, "SOURCE", "t.c"), (20, "UNARY", "log")])
    conn.execute("INSERT INTO edges (pipeline_id, parent_node_id, child_node_id, input_position) VALUES (1, 1, 2, 0)")
    conn.commit()
    conn.close()
    service = LiveService(f"sqlite:///{path}")
    try:
        mine = service.client("default").ok("GET", "/v1/pipelines")["pipelines"]
        assert [(p["name"], p["node_count"], p["edge_count"]) for p in mine] == [("local", 2, 1)]
        assert service.client("team-b").ok("GET", "/v1/pipelines")["pipelines"] == []
    finally:
        service.stop()
    assert SCHEMA_PATH.is_file()
