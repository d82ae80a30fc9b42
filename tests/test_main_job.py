"""The main job end to end: the service in-process over the embedded default
database, the tracked pipeline persisted over HTTP, the model validated
against the same service; and the direct road when the service is missing."""

import sqlite3
import sys

import pytest

pytest.importorskip("fastapi")
pytest.importorskip("sklearn")

from corvanti import demo  # noqa: E402
from corvanti.utilities.persistence import default_database_path  # noqa: E402


def _rows(sql, *args):
    con = sqlite3.connect(str(default_database_path()))
    try:
        return con.execute(sql, args).fetchall()
    finally:
        con.close()


def test_main_job_persists_over_the_service_and_validates(tmp_path, capsys):
    audit = demo.main(str(tmp_path / "out"))
    printed = capsys.readouterr().out
    run = audit["database"]["this_run"]
    pid = audit["database"]["pipeline_id"]
    # every applicant's score is stored with the hash of its source row
    assert run["results"] == 6 and run["nodes"] > 0 and run["edges"] > 0 and run["row_values"] > 0
    assert _rows("SELECT count(*) FROM results WHERE pipeline_id = ? AND length(input_hash) = 64", pid) == [(6,)]
    # the tracker's pipeline is completed, the validation run is its own pipeline
    statuses = dict(_rows("SELECT name, status FROM pipelines"))
    assert statuses == {"credit": "completed", "credit_v1": "validation_complete"}
    assert audit["validation"]["n_rows"] == 6
    # the dashboard sync reached the service: protected columns touched, in first-seen order
    syncs = _rows("SELECT pipeline_name, has_disparate_impact, protected_attributes FROM dashboard_syncs")
    assert syncs == [("credit", 1, '["applicants.age", "applicants.gender"]')]
    assert "dashboard: http://127.0.0.1:" in printed and f"/dashboard/pipelines/{pid}" in printed
    assert str(default_database_path()) in printed


def test_main_job_without_the_service_writes_the_database_directly(tmp_path, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "corvanti.service", None)   # import fails as when not installed
    audit = demo.main(str(tmp_path / "out"))
    printed = capsys.readouterr().out
    assert "the corvanti service is not installed" in printed
    assert audit["validation"] is None
    assert audit["database"]["this_run"]["nodes"] > 0
    assert _rows("SELECT name, status FROM pipelines") == [("credit", "completed")]
