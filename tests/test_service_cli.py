"""The corvanti command: help, key creation, serve as a child process; loopback-only binding."""

import os
import signal
import subprocess
import sys

import pytest

pytest.importorskip("fastapi")

from support.corvanti_service import ApiClient  # noqa: E402
from support.service import free_port  # noqa: E402


def _corvanti(*args, **kw):
    env = dict(os.environ, XDG_DATA_HOME=kw.pop("data_home", os.environ.get("XDG_DATA_HOME", "")))
    return subprocess.run([sys.executable, "-m", "corvanti", *args], capture_output=True, text=True,
                          timeout=120, env=env, **kw)


def test_help_tells_a_newcomer_what_to_do():
    out = _corvanti("--help")
    assert out.returncode == 0
    for words in ("serve", "keys", "corvanti keys create --tenant", "/dashboard/", "postgresql://"):
        assert words in out.stdout
    serve = _corvanti("serve", "--help")
    assert serve.returncode == 0 and "--host" in serve.stdout and "--db" in serve.stdout
    assert _corvanti().returncode == 0
    assert _corvanti("keys").returncode == 0
    assert _corvanti("frobnicate").returncode == 2


def test_keys_create_prints_the_key_last_and_stores_its_hash(tmp_path):
    db = tmp_path / "keys.db"
    out = _corvanti("keys", "create", "--tenant", "team-a", "--db", f"sqlite:///{db}")
    assert out.returncode == 0, out.stderr
    key = out.stdout.strip().splitlines()[-1]
    assert key.startswith("cvk_") and len(key) > 30
    import hashlib
    import sqlite3

    rows = sqlite3.connect(db).execute("SELECT key_hash, tenant_id FROM api_keys").fetchall()
    assert rows == [(hashlib.sha256(key.encode()).hexdigest(), "team-a")]
    assert key not in db.read_bytes().decode("latin-1")
    bad = _corvanti("keys", "create", "--tenant", "no spaces", "--db", f"sqlite:///{db}")
    assert bad.returncode == 1 and "tenant" in bad.stderr
    wrong_db = _corvanti("keys", "create", "--tenant", "t", "--db", "mysql://x/y")
    assert wrong_db.returncode == 1 and "unsupported database URL scheme 'mysql'" in wrong_db.stderr


def test_keys_create_defaults_to_the_embedded_store_file(tmp_path):
    out = _corvanti("keys", "create", "--tenant", "default", data_home=str(tmp_path))
    assert out.returncode == 0, out.stderr
    assert (tmp_path / "corvanti" / "lineage.db").is_file()


def test_serve_runs_until_terminated(tmp_path):
    db = f"sqlite:///{tmp_path}/served.db"
    key = _corvanti("keys", "create", "--tenant", "team-a", "--db", db).stdout.strip().splitlines()[-1]
    port = free_port()
    proc = subprocess.Popen([sys.executable, "-m", "corvanti", "serve", "--port", str(port), "--db", db],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        line = proc.stdout.readline()
        assert f"http://127.0.0.1:{port}" in line, line + proc.stderr.read()
        assert "dashboard:" in proc.stdout.readline()
        c = ApiClient(f"http://127.0.0.1:{port}", key)
        pid = c.pipeline("from_cli")
        assert c.ok("GET", f"/v1/pipelines/{pid}")["name"] == "from_cli"
        assert ApiClient(c.url).get("/v1/pipelines").status == 401
    finally:
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=30) in (0, -signal.SIGTERM)  # uvicorn re-raises the signal once shut down
        proc.stdout.close()
        proc.stderr.close()


@pytest.mark.parametrize("args,message", [
    (["--port", "70000"], "--port must be between 0 and 65535"),
    (["--db", "oracle://x"], "unsupported database URL scheme 'oracle'"),
    (["--max-body-mb", "0"], "--max-body-mb must be positive"),
])
def test_serve_refuses_bad_options(args, message):
    out = _corvanti("serve", *args)
    assert out.returncode == 2 and message in out.stderr


def test_serve_reports_a_port_in_use(tmp_path, sqlite_live):
    port = int(sqlite_live.url.rsplit(":", 1)[1])
    out = _corvanti("serve", "--port", str(port), "--db", f"sqlite:///{tmp_path}/x.db")
    assert out.returncode != 0


@pytest.mark.parametrize("host,explicit,allowed", [
    ("127.0.0.1", False, True), ("127.0.0.2", False, True), ("localhost", False, True), ("::1", False, True),
    ("0.0.0.0", False, False), ("192.168.1.5", False, False), ("example.org", False, False), ("::", False, False),
    ("0.0.0.0", True, True),
])
def test_only_loopback_unless_asked_for(host, explicit, allowed):
    from corvanti.service.server import check_bind

    if allowed:
        check_bind(host, explicit)
    else:
        with pytest.raises(ValueError, match="not a loopback address"):
            check_bind(host, explicit)


def test_run_in_thread_refuses_other_addresses_and_stops_cleanly(tmp_path):
    from corvanti.service import run_in_thread

    with pytest.raises(ValueError, match="loopback"):
        run_in_thread(f"sqlite:///{tmp_path}/a.db", host="0.0.0.0")
    url, stop = run_in_thread(f"sqlite:///{tmp_path}/a.db")
    assert ApiClient(url).get("/healthz").json == {"ok": True}
    stop()
    stop()
    with pytest.raises(OSError):
        ApiClient(url).get("/healthz")


def test_package_imports_without_the_service_extras():
    code = ("import sys\n"
            "class Block:\n"
            "    def find_spec(self, name, path=None, target=None):\n"
            "        if name.split('.')[0] in ('fastapi', 'uvicorn', 'sqlalchemy', 'psycopg', 'starlette', 'pydantic'):\n"
            "            raise ImportError('blocked ' + name)\n"
            "sys.meta_path.insert(0, Block())\n"
            "import corvanti, corvanti.cli\n"
            "assert 'fastapi' not in sys.modules\n"
            "raise SystemExit(corvanti.cli.main(['keys', 'create', '--tenant', 't', '--db', 'sqlite:///x.db']))\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 2 and "pip install 'corvanti[service]'" in out.stderr, out.stderr
