"""AsyncWriter on real SQLite files: nothing lost, backpressure, retries,
flush time-outs, stop from __del__ and at exit, SIGKILL mid-run."""
import logging
import os
import signal
import sqlite3
import subprocess
import sys
import threading
import time

import pytest

from corvanti.utilities.persistence import (AsyncWriter, SQLiteStorage, StoredEdge, StoredNode, StoredRowValue,
                                            WriterConfig)
from support.proc import run_python


def node(fp, pid, op="neg"):
    return StoredNode(fingerprint=fp, node_type="UNARY", operation=op, table_name=None, column_name=None,
                      pair_id=None, is_protected=False, pipeline_id=pid)


def value(i, pid):
    return StoredRowValue(pipeline_id=pid, row_index=i, fingerprint=i, node_operation="op", value=float(i),
                          column_name="c", tenant_id="t", text_value=None)


@pytest.fixture
def store(tmp_path):
    s = SQLiteStorage(tmp_path / "w.db")
    s.connect()
    yield s
    s.disconnect()


class PyStore:
    """A foreign storage: forwards to a real SQLiteStorage through Python,
    failing every k-th call (k=0: never) and optionally sleeping."""

    def __init__(self, inner, k=0, sleep=0.0):
        self.inner, self.k, self.sleep = inner, k, sleep
        self.calls, self.threads, self.longest = 0, set(), 0

    def _call(self, name, *args):
        self.calls += 1
        self.threads.add(threading.get_ident())
        if args and isinstance(args[0], list):
            self.longest = max(self.longest, len(args[0]))
        if self.sleep:
            time.sleep(self.sleep)
        if self.k and self.calls % self.k == 0:
            raise RuntimeError(f"transient failure #{self.calls}")
        return getattr(self.inner, name)(*args)

    def store_nodes(self, nodes):
        return self._call("store_nodes", nodes)

    def store_edges(self, edges, pipeline_id):
        return self._call("store_edges", edges, pipeline_id)

    def store_row_values(self, values):
        return self._call("store_row_values", values)

    def register_source(self, pair_id, table, column, is_protected=False):
        return self._call("register_source", pair_id, table, column, is_protected)


def feed(w, pid, n, base=0):
    for i in range(base, base + n):
        w.write_node(node(i, pid))
        if i > base:
            w.write_edges([StoredEdge(parent_fingerprint=i - 1, child_fingerprint=i, input_position=0)])
    w.write_row_values([value(i, pid) for i in range(base, base + n)])


def counts(store, pid):
    c = store.counts(pid)
    return c["nodes"], c["edges"], c["row_values"]


@pytest.mark.parametrize("road", ["native", "python"])
@pytest.mark.parametrize("queue_size", [5, 10000])
def test_nothing_lost_when_flush_returns_true(store, road, queue_size):
    pid = store.create_pipeline("p")
    target = store if road == "native" else PyStore(store)
    w = AsyncWriter(target, WriterConfig(batch_size=7, flush_interval=5.0, queue_size=queue_size))
    assert w.is_native == (road == "native")
    w.start()
    w.register_source(1, "t", "c", True)
    feed(w, pid, 3000)
    assert w.flush(timeout=60) is True
    assert counts(store, pid) == (3000, 2999, 3000)
    st = w.get_stats()
    assert {"queued", "written", "failed", "retried", "batches", "queue_depth", "nodes", "edges", "row_values",
            "sources", "last_error"} <= set(st)
    assert (st["queued"], st["written"], st["nodes"], st["edges"], st["row_values"], st["sources"]) == (
        9000, 9000, 3000, 2999, 3000, 1)
    assert st["queue_depth"] == 0 and st["failed"] == 0
    if road == "python":  # Python storages get at most batch_size records per batch
        assert st["batches"] >= 9000 // 7 and target.longest <= 7
    else:  # the native road writes a backlog in fewer, larger transactions
        assert 1 <= st["batches"] <= 9000
    assert w.stop() is True
    assert store.query("SELECT pair_id, is_protected FROM sources") == [(1, 1)]


@pytest.mark.parametrize("k", [2, 3, 7])
def test_python_storage_failing_every_kth_call_loses_nothing(store, k):
    pid = store.create_pipeline("flaky")
    flaky = PyStore(store, k=k)
    w = AsyncWriter(flaky, WriterConfig(batch_size=50, flush_interval=0.05, queue_size=200))
    w.start()
    feed(w, pid, 400)
    assert w.flush(timeout=120) is True
    assert counts(store, pid) == (400, 399, 400)
    st = w.get_stats()
    assert st["failed"] > 0 and st["retried"] >= st["failed"] - 1 and "transient failure" in st["last_error"]
    assert threading.get_ident() not in flaky.threads  # storage calls ran on the writer thread
    w.stop()


def test_native_road_survives_a_closed_connection(store):
    pid = store.create_pipeline("reopen")
    w = AsyncWriter(store, WriterConfig(batch_size=10, flush_interval=0.05, queue_size=1000))
    w.start()
    store.disconnect()
    feed(w, pid, 50)
    assert w.flush(timeout=0.3) is False
    time.sleep(0.2)
    st = w.get_stats()
    assert st["failed"] >= 1 and "not open" in st["last_error"]
    store.connect()
    assert w.flush(timeout=30) is True
    assert counts(store, pid) == (50, 49, 50)
    w.stop()


def test_edges_take_the_pipeline_of_the_node_before_them(store):
    p1, p2 = store.create_pipeline("a"), store.create_pipeline("b")
    for target in (store, PyStore(store)):
        w = AsyncWriter(target, WriterConfig(batch_size=100, flush_interval=0.05, queue_size=100))
        w.start()
        with pytest.raises(ValueError, match="no node with a pipeline id"):
            w.write_edges([StoredEdge(parent_fingerprint=1, child_fingerprint=2, input_position=0)])
        base = 0 if target is store else 100
        for pid in (p1, p2):
            w.write_node(node(base + 1, pid))
            w.write_node(node(base + 2, pid))
            w.write_edges([StoredEdge(parent_fingerprint=base + 1, child_fingerprint=base + 2, input_position=0)])
        assert w.flush(10)
        w.stop()
    assert store.query("SELECT pipeline_id, count(*) FROM edges GROUP BY pipeline_id") == [(p1, 2), (p2, 2)]


def test_flush_times_out_then_completes(store):
    pid = store.create_pipeline("slow")
    slow = PyStore(store, sleep=0.5)
    w = AsyncWriter(slow, WriterConfig(batch_size=10, flush_interval=0.01, queue_size=100))
    w.start()
    feed(w, pid, 5)
    t0 = time.monotonic()
    assert w.flush(timeout=0.1) is False
    assert time.monotonic() - t0 < 0.45
    assert w.flush(timeout=30) is True
    assert counts(store, pid) == (5, 4, 5)
    w.stop()


def test_full_queue_makes_the_producer_wait_with_the_gil_released(store):
    pid = store.create_pipeline("bp")
    slow = PyStore(store, sleep=0.05)
    w = AsyncWriter(slow, WriterConfig(batch_size=5, flush_interval=0.01, queue_size=5))
    w.start()
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(1)
            time.sleep(0.001)

    t = threading.Thread(target=ticker)
    t.start()
    t0 = time.monotonic()
    w.write_row_values([value(i, pid) for i in range(5)])
    for i in range(5, 40):
        w.write_row_values([value(i, pid)])
    waited = time.monotonic() - t0
    stop.set()
    t.join()
    assert waited > 0.15  # the producer really waited for room ...
    assert len(ticks) > 20  # ... while other Python threads ran
    assert w.get_stats()["queue_depth"] <= 5
    assert w.flush(30) and counts(store, pid)[2] == 40
    w.stop()


def test_storage_calling_back_into_the_writer_does_not_deadlock(store):
    pid = store.create_pipeline("cb")
    seen = []

    class CallsBack(PyStore):
        def store_nodes(self, nodes):
            seen.append((w.flush(timeout=5), w.get_stats()["queued"]))
            w.write_row_values([value(99, pid)])  # enqueue from the writer thread: never waits
            return super().store_nodes(nodes)

    w = AsyncWriter(CallsBack(store), WriterConfig(batch_size=2, flush_interval=0.01, queue_size=1))
    w.start()
    w.write_node(node(1, pid))
    assert w.flush(timeout=10) is True
    assert seen and seen[0][0] is False
    assert w.stop(timeout=10) is True
    assert counts(store, pid) == (1, 0, 1)


def test_lifecycle_errors_and_idempotent_stop(store):
    w = AsyncWriter(store, WriterConfig())
    with pytest.raises(RuntimeError, match="not running"):
        w.write_node(node(1, 1))
    assert w.flush(timeout=0.01) is True  # nothing enqueued
    w.start()
    w.start()
    assert w.is_running and w.stop() is True and w.stop() is True and not w.is_running
    with pytest.raises(RuntimeError, match="not running"):
        w.write_row_values([value(1, 1)])
    with pytest.raises(RuntimeError):
        w.start()
    with pytest.raises(TypeError, match="AsyncWriter.flush"):
        w.flush(1, 2)
    with pytest.raises(ValueError, match="queue_size must be positive"):
        WriterConfig(queue_size=0)
    with pytest.raises(TypeError, match="pipeline_id"):
        w2 = AsyncWriter(store, WriterConfig())
        w2.start()
        try:
            w2.write_node(node(1, "not-an-int"))
        finally:
            w2.stop()


def test_timed_flush_writes_a_partial_batch(store):
    pid = store.create_pipeline("timed")
    w = AsyncWriter(store, WriterConfig(batch_size=1000, flush_interval=0.1, queue_size=10000))
    w.start()
    w.write_row_values([value(i, pid) for i in range(3)])
    deadline = time.monotonic() + 5
    while w.get_stats()["written"] < 3 and time.monotonic() < deadline:
        time.sleep(0.02)
    assert w.get_stats()["written"] == 3 and counts(store, pid)[2] == 3
    w.stop()


def test_idle_writer_uses_no_cpu(store):
    w = AsyncWriter(store, WriterConfig(batch_size=100, flush_interval=0.001, queue_size=100))
    w.start()
    time.sleep(0.1)
    c0 = time.process_time()
    time.sleep(1.0)
    used = time.process_time() - c0
    w.stop()
    assert used < 0.05, used


def test_stop_gives_up_after_its_timeout_and_says_so(store, caplog):
    pid = store.create_pipeline("dead")
    dead = PyStore(store, k=1)  # every call fails
    w = AsyncWriter(dead, WriterConfig(batch_size=10, flush_interval=0.01, queue_size=100))
    w.start()
    feed(w, pid, 5)
    t0 = time.monotonic()
    with caplog.at_level(logging.WARNING, logger="corvanti.utilities.persistence"):
        assert w.stop(timeout=0.5) is False
    assert time.monotonic() - t0 < 5
    st = w.get_stats()
    assert st["dropped"] == 14 and st["written"] == 0
    assert "not stored" in caplog.text and "transient failure" in caplog.text


# ---- process-level: __del__, exit, SIGKILL -----------------------------------

EXIT_CODE = """
import sys
from corvanti.utilities.persistence import AsyncWriter, SQLiteStorage, StoredRowValue, WriterConfig
mode, path = sys.argv[1], sys.argv[2]
s = SQLiteStorage(path); s.connect(); pid = s.create_pipeline("x")

class Py:
    def store_row_values(self, values):
        return s.store_row_values(values)

target = s if mode.startswith("native") else Py()
w = AsyncWriter(target, WriterConfig(batch_size=1000, flush_interval=60.0, queue_size=100000))
w.start()
w.write_row_values([StoredRowValue(pipeline_id=pid, row_index=i, fingerprint=i, node_operation="op")
                    for i in range(5000)])
if mode.endswith("del"):
    del w          # the finaliser drains and joins
elif mode.endswith("cycle"):
    holder = [w]; holder.append(holder)   # reachable only at interpreter teardown
    del w
# "exit": left running; the exit hook drains it
print("done", flush=True)
"""


@pytest.mark.parametrize("mode", ["native-del", "native-exit", "native-cycle", "python-del", "python-exit",
                                  "python-cycle"])
def test_writer_dropped_or_left_running_at_exit_drains_without_hanging(tmp_path, mode):
    path = str(tmp_path / "exit.db")
    r = run_python(EXIT_CODE, mode, path, check=False)
    assert r.returncode == 0, r.stderr
    assert "done" in r.stdout and "Fatal" not in r.stderr
    n = sqlite3.connect(path).execute("SELECT count(*) FROM row_values").fetchone()[0]
    assert n == 5000


KILL_CODE = """
import sys
from corvanti.utilities.persistence import AsyncWriter, SQLiteStorage, StoredRowValue, WriterConfig
s = SQLiteStorage(sys.argv[1]); s.connect(); pid = s.create_pipeline("kill")
w = AsyncWriter(s, WriterConfig(batch_size=500, flush_interval=0.01, queue_size=5000))
w.start()
i = 0
while True:
    w.write_row_values([StoredRowValue(pipeline_id=pid, row_index=i + k, fingerprint=k, node_operation="op",
                                       value=1.0) for k in range(500)])
    i += 500
    if i % 5000 == 0:
        assert w.flush(30)
        print(i, flush=True)
"""


def test_sigkill_mid_run_leaves_a_sound_database_with_every_committed_batch(tmp_path):
    import corvanti
    import pathlib

    path = str(tmp_path / "kill.db")
    pkg_parent = str(pathlib.Path(corvanti.__file__).resolve().parent.parent)
    env = dict(os.environ, PYTHONPATH=pkg_parent)
    p = subprocess.Popen([sys.executable, "-c", KILL_CODE, path], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         text=True, env=env)
    committed = 0
    try:
        while committed < 50000:
            line = p.stdout.readline()
            assert line, p.stderr.read()
            committed = int(line)
        p.send_signal(signal.SIGKILL)
    finally:
        p.kill()
        p.wait(timeout=30)
    con = sqlite3.connect(path)
    assert con.execute("PRAGMA integrity_check").fetchone()[0] == "ok"
    n = con.execute("SELECT count(*) FROM row_values").fetchone()[0]
    assert n >= committed and n % 500 == 0  # whole batches only
