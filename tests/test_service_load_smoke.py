"""A short run of benchmarks/load_service.py: concurrent batches lose nothing (no timing asserted)."""

import importlib.util
import pathlib

import pytest

pytest.importorskip("fastapi")


def _load_module():
    path = pathlib.Path(__file__).resolve().parent.parent / "benchmarks" / "load_service.py"
    spec = importlib.util.spec_from_file_location("load_service", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_short_load_run_loses_nothing(live):
    load = _load_module()
    c = live.client("load")
    pid = c.pipeline("load")
    r = load.run_load(live.url, c.key, pid, clients=4, seconds=1.5, batch=50, max_requests=400)
    assert r["requests"] > 0
    assert r["lost"] == 0 and r["duplicated"] == 0
    assert r["rows_stored"] == r["rows_sent"] == r["rows_reported"]
