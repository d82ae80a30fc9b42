"""The documentation's examples run as printed, the main job explains a missing
Graphviz, and the package namespace shows only its public names."""

import contextlib
import io
import pathlib
import re
import shutil

import pytest

from support.proc import run_python

ROOT = pathlib.Path(__file__).resolve().parent.parent


def _python_blocks(rel: str) -> list[str]:
    return re.findall(r"```python\n(.*?)```", (ROOT / rel).read_text(), re.S)


def _run_blocks(blocks, name):
    out = io.StringIO()
    scope = {}
    with contextlib.redirect_stdout(out):
        for block in blocks:
            exec(compile(block, name, "exec"), scope)
    return scope, out.getvalue()


def test_guide_examples_run_and_print_what_the_guide_says(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    blocks = _python_blocks("docs/guide.md")
    assert len(blocks) >= 5
    scope, printed = _run_blocks(blocks, "docs/guide.md")
    lines = printed.splitlines()
    assert lines[0] == "8"                                      # one source node per column
    assert "True [('applicants', 'age')]" in lines              # the protected input is found
    assert "[True, True, True]" in lines                        # a filtered frame reads the first row
    assert lines[-1] == "20 26"                                 # the bound holds, ids keep counting
    counts = scope["tracker"].dag_stats()["operation_counts"]
    assert counts["merge"] == 10 and counts["fillna"] == 4      # one merge node per carried column
    assert (tmp_path / "score_dag.dot").read_text().startswith("digraph")
    assert (tmp_path / "score_dag.svg").exists() == (shutil.which("dot") is not None)


def test_guide_lists_the_tracked_operators_of_the_series_class():
    from corvanti.utilities.tessel32_dag import DAGTrackedSeries

    text = (ROOT / "docs/guide.md").read_text()
    for name in ("__add__", "__rsub__", "__truediv__", "__floordiv__", "__pow__", "__neg__", "__gt__", "__le__",
                 "fillna", "clip", "replace"):
        assert name in vars(DAGTrackedSeries), name
    untracked = {"__eq__": "`==`", "__ne__": "`!=`", "__mod__": "`%`", "__abs__": "`abs()`", "round": "`round()`",
                 "where": "`where()`", "astype": "`astype()`", "cumsum": "`cumsum()`"}
    for name, spelled in untracked.items():
        assert name not in vars(DAGTrackedSeries), name
        assert spelled in text, spelled


def test_readme_pandas_example_runs():
    blocks = [b for b in _python_blocks("README.md") if "wrap_dataframe_dag" in b]
    assert blocks
    _, printed = _run_blocks(blocks[:1], "README.md")
    assert printed.startswith("['people.income', 'people.debt', 'people.age'] True\n")
    assert "digraph" in printed
    readme = (ROOT / "README.md").read_text()
    assert "(docs/guide.md)" in readme and "five native extension modules" in readme


@pytest.mark.parametrize("with_dot", [False, True])
def test_main_job_says_how_to_install_graphviz(tmp_path, monkeypatch, capsys, with_dot):
    from corvanti import demo

    dot = shutil.which("dot")
    if with_dot and dot is None:
        pytest.skip("Graphviz not installed")
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    if with_dot:
        (bin_dir / "dot").symlink_to(dot)
    monkeypatch.setenv("PATH", str(bin_dir))
    demo.main(str(tmp_path / "out"))
    printed = capsys.readouterr().out
    hint = "apt-get install graphviz (Debian/Ubuntu) or brew install graphviz (macOS)"
    assert (hint in printed) is not with_dot
    assert (tmp_path / "out" / "score_dag.svg").exists() is with_dot
    assert (tmp_path / "out" / "score_dag.dot").exists()


def test_main_job_reports_a_failing_dot_and_keeps_its_outputs(tmp_path, monkeypatch, capsys):
    from corvanti import demo

    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    fake = bin_dir / "dot"
    fake.write_text("#!/bin/sh\necho 'dot: cannot load plugins' >&2\nexit 3\n")
    fake.chmod(0o755)
    monkeypatch.setenv("PATH", str(bin_dir))
    demo.main(str(tmp_path / "out"))
    captured = capsys.readouterr()
    assert "failed (exit 3): dot: cannot load plugins" in captured.err
    assert "(+ .svg)" not in captured.out
    assert (tmp_path / "out" / "score_dag.json").exists() and not (tmp_path / "out" / "score_dag.svg").exists()


def test_package_namespace_holds_only_public_names_and_dunders():
    names = run_python("import corvanti; print(' '.join(dir(corvanti)))").stdout.split()
    public = {n for n in names if not n.startswith("_")}
    assert public == {"UPLOAD_PATH", "clear_sources", "source", "upload", "validate"}
    assert "__version__" in names
    # the annotations still evaluate to real types
    code = "import corvanti, inspect; print(inspect.signature(corvanti.upload).return_annotation)"
    assert run_python(code).stdout.strip() == "dict | None"
