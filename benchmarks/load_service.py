"""Load on the corvanti service: concurrent clients posting node batches, nothing may be lost.

Starts the service as a child process (``python -m corvanti serve``) on a
free port of 127.0.0.1, over a SQLite file and over a throwaway PostgreSQL
cluster, creates a key and a pipeline, then runs N client threads (each with
its own keep-alive connection) that post batches of new nodes to
``/v1/store/nodes`` for a fixed time. A batch whose answer fails is retried
with the same batch id. Afterwards every fingerprint sent must be stored
exactly once. Prints latency percentiles and rows per second.

    .venv/bin/python benchmarks/load_service.py                     # 8 clients, 30 s, both engines
    .venv/bin/python benchmarks/load_service.py --backend sqlite --seconds 10

Traffic goes to 127.0.0.1 only; the run is bounded by --seconds and
--max-requests.
"""

from __future__ import annotations

import argparse
import http.client
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
import uuid

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))


def _free_port() -> int:
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _request(url: str, key: str, method: str, path: str, body=None):
    data = None if body is None else json.dumps(body).encode()
    req = urllib.request.Request(url + path, data=data, method=method,
                                 headers={"Authorization": f"Bearer {key}", "Content-Type": "application/json"})
    with urllib.request.urlopen(req, timeout=120) as resp:
        return json.loads(resp.read())


def _client(host: str, port: int, key: str, pipeline_id: int, client_id: int, batch: int, deadline: float,
            budget: list, lock: threading.Lock, out: dict) -> None:
    conn = http.client.HTTPConnection(host, port, timeout=60)
    headers = {"Authorization": f"Bearer {key}", "Content-Type": "application/json"}
    latencies, sent, stored, retries, seq = [], 0, 0, 0, 0
    while time.monotonic() < deadline:
        with lock:
            if budget[0] <= 0:
                break
            budget[0] -= 1
        nodes = [{"fingerprint": client_id * 100_000_000 + seq + j, "node_type": "BINARY", "operation": "add",
                  "table_name": None, "column_name": None, "pair_id": None, "is_protected": False,
                  "entity_hash": j, "chain_hash": seq, "metadata": None, "pipeline_id": pipeline_id}
                 for j in range(batch)]
        seq += batch
        body = json.dumps({"batch_id": str(uuid.uuid4()), "nodes": nodes})
        for attempt in range(5):
            t0 = time.perf_counter()
            try:
                conn.request("POST", "/v1/store/nodes", body=body, headers=headers)
                resp = conn.getresponse()
                answer = resp.read()
                if resp.status != 200:
                    raise RuntimeError(f"HTTP {resp.status}: {answer[:200]!r}")
                latencies.append(time.perf_counter() - t0)
                stored += json.loads(answer)["stored"]
                break
            except (OSError, http.client.HTTPException, RuntimeError):
                retries += 1
                conn.close()
                conn = http.client.HTTPConnection(host, port, timeout=60)
        else:
            raise RuntimeError(f"client {client_id}: a batch failed 5 times")
        sent += batch
    conn.close()
    out[client_id] = dict(latencies=latencies, sent=sent, stored=stored, retries=retries)


def run_load(url: str, key: str, pipeline_id: int, clients: int = 8, seconds: float = 30.0, batch: int = 100,
             max_requests: int = 200_000) -> dict:
    """Drive the load against a running service; returns the figures (and whether nothing was lost)."""
    host, port = url.split("//", 1)[1].rsplit(":", 1)
    assert host in ("127.0.0.1", "localhost", "[::1]"), "load goes to loopback only"
    out: dict = {}
    budget, lock = [max_requests], threading.Lock()
    start = time.monotonic()
    deadline = start + seconds
    threads = [threading.Thread(target=_client, args=(host, int(port), key, pipeline_id, i + 1, batch, deadline,
                                                      budget, lock, out)) for i in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    elapsed = time.monotonic() - start
    if len(out) != clients:
        raise RuntimeError("a client thread failed")
    lat = sorted(x for o in out.values() for x in o["latencies"])
    sent = sum(o["sent"] for o in out.values())
    stored_answers = sum(o["stored"] for o in out.values())
    fps = _request(url, key, "GET", f"/v1/store/pipelines/{pipeline_id}/fingerprints")["fingerprints"]
    distinct = len({fp for fp, _ in fps})
    q = statistics.quantiles(lat, n=100, method="inclusive") if len(lat) >= 2 else [lat[0] if lat else 0.0] * 99
    return dict(
        requests=len(lat), rows_sent=sent, rows_stored=len(fps), rows_reported=stored_answers,
        retries=sum(o["retries"] for o in out.values()), lost=sent - distinct, duplicated=len(fps) - distinct,
        seconds=elapsed, rows_per_s=sent / elapsed if elapsed else 0.0, requests_per_s=len(lat) / elapsed,
        p50_ms=q[49] * 1000, p99_ms=q[98] * 1000, max_ms=(lat[-1] if lat else 0.0) * 1000,
    )


class ChildService:
    """``python -m corvanti serve`` as a child process on a free loopback port."""

    def __init__(self, db_url: str):
        from corvanti.service import create_key

        self.key = create_key(db_url, "load")
        port = _free_port()
        self.proc = subprocess.Popen([sys.executable, "-m", "corvanti", "serve", "--port", str(port), "--db", db_url,
                                      "--log-level", "warning"], stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        if f":{port}" not in line:
            self.proc.kill()
            raise RuntimeError(f"the service did not start: {line!r}")
        self.url = f"http://127.0.0.1:{port}"

    def stop(self) -> None:
        self.proc.terminate()
        self.proc.wait(timeout=30)
        self.proc.stdout.close()


def _one(backend: str, args) -> dict:
    pg = None
    folder = tempfile.mkdtemp(prefix="corvanti-load-")
    try:
        if backend == "sqlite":
            db_url = f"sqlite:///{folder}/load.db"
        else:
            from support.postgres import PostgresServer

            reason = PostgresServer.unavailable()
            if reason:
                raise SystemExit(f"PostgreSQL: {reason}")
            pg = PostgresServer().start()
            db_url = pg.create_database("load")
        svc = ChildService(db_url)
        try:
            pid = _request(svc.url, svc.key, "POST", "/v1/pipelines", {"pipeline_name": "load"})["pipeline_id"]
            return run_load(svc.url, svc.key, pid, args.clients, args.seconds, args.batch, args.max_requests)
        finally:
            svc.stop()
    finally:
        if pg is not None:
            pg.stop()


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--backend", choices=["sqlite", "postgresql", "both"], default="both")
    ap.add_argument("--clients", type=int, default=8)
    ap.add_argument("--seconds", type=float, default=30.0)
    ap.add_argument("--batch", type=int, default=100)
    ap.add_argument("--max-requests", type=int, default=200_000)
    args = ap.parse_args()
    backends = ["sqlite", "postgresql"] if args.backend == "both" else [args.backend]
    print(f"{args.clients} clients, batches of {args.batch} nodes, {args.seconds:.0f} s, cpu count {os.cpu_count()}")
    failed = False
    for backend in backends:
        r = _one(backend, args)
        print(f"{backend:10s} requests {r['requests']:6d}  rows {r['rows_sent']:8d}  {r['rows_per_s']:8.0f} rows/s  "
              f"{r['requests_per_s']:6.1f} req/s  p50 {r['p50_ms']:7.1f} ms  p99 {r['p99_ms']:7.1f} ms  "
              f"max {r['max_ms']:7.1f} ms  retries {r['retries']}  lost {r['lost']}  duplicated {r['duplicated']}")
        failed |= bool(r["lost"] or r["duplicated"] or r["rows_stored"] != r["rows_sent"])
    if failed:
        print("FAILED: rows were lost or duplicated")
    return 1 if failed else 0


if __name__ == "__main__":
    raise SystemExit(main())
