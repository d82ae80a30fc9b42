"""Property-based requests against the service's own OpenAPI document: no 5xx answer.

Schemathesis reads /openapi.json and sends generated requests (the coverage
and fuzzing phases, a bounded number of examples per operation, a fixed
seed) with a valid key; the check is that no answer is a server error.
"""

import shutil
import subprocess
import sys
import pathlib

import pytest

pytest.importorskip("fastapi")
pytest.importorskip("schemathesis")


def _st():
    local = pathlib.Path(sys.executable).with_name("st")
    return str(local) if local.exists() else shutil.which("st")


@pytest.mark.parametrize("backend", ["sqlite", "postgresql"])
def test_no_server_errors_from_generated_requests(backend, tmp_path, request):
    from support.corvanti_service import LiveService

    if backend == "sqlite":
        url = f"sqlite:///{tmp_path}/lineage.db"
        examples, phases = "10", "coverage,fuzzing"
    else:
        url = request.getfixturevalue("pg_server").create_database("schemathesis")
        examples, phases = "10", "fuzzing"
    st = _st()
    if st is None:
        pytest.skip("the schemathesis command is not installed")
    service = LiveService(url)
    try:
        key = service.key("fuzz")
        proc = subprocess.run(
            [st, "run", service.url + "/openapi.json", "--header", f"Authorization: Bearer {key}",
             "--checks", "not_a_server_error", "--max-examples", examples, "--phases", phases,
             "--seed", "20261209", "--workers", "2", "--request-timeout", "30", "--no-color"],
            capture_output=True, text=True, timeout=300, cwd=tmp_path,
        )
    finally:
        service.stop()
    assert proc.returncode == 0, proc.stdout[-6000:] + proc.stderr[-2000:]
    assert "passed" in proc.stdout
