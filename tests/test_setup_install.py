"""The set-up step of the README commands (scripts/_install.py): what counts
as a change of the package's inputs, when it rebuilds, installs extras or does
nothing, and that a failed install leaves no "up to date" marker."""

import importlib.util
import json
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

SCRIPT = pathlib.Path(__file__).resolve().parent.parent / "scripts" / "_install.py"
_spec = importlib.util.spec_from_file_location("corvanti_setup_install", SCRIPT)
inst = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(inst)

HAS_GIT = shutil.which("git") is not None


def _project(root: pathlib.Path, backend: str = "scikit_build_core.build", extras=None) -> pathlib.Path:
    extras = extras or {}
    lines = ["[build-system]", "requires = []", f'build-backend = "{backend}"', "", "[project]",
             'name = "corvanti-setup-probe"', 'version = "0"', "", "[project.optional-dependencies]"]
    lines += [f"{k} = {json.dumps(v)}" for k, v in extras.items()]
    files = {
        "pyproject.toml": "\n".join(lines) + "\n",
        "CMakeLists.txt": "project(probe)\n",
        "src/mod/module.cpp": "int f() { return 1; }\n",
        "corvanti/__init__.py": "X = 1\n",
        "corvanti/mod.pyi": "def f() -> int: ...\n",
        "README.md": "probe\n",
        "tests/test_x.py": "\n",
        ".gitignore": "__pycache__/\n*.so\nbuild/\n",
    }
    for rel, text in files.items():
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    return root


def _git_init(root: pathlib.Path) -> None:
    subprocess.run(["git", "init", "-q", str(root)], check=True)
    subprocess.run(["git", "-C", str(root), "add", "-A"], check=True)


MODES = [pytest.param(False, id="walk"),
         pytest.param(True, id="git", marks=pytest.mark.skipif(not HAS_GIT, reason="git not installed"))]


def _touch(rel: str, text: str = "changed\n"):
    def change(root: pathlib.Path) -> None:
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    return change


@pytest.mark.parametrize("use_git", MODES)
@pytest.mark.parametrize("change, rebuild", [
    (_touch("corvanti/__init__.py", "X = 2\n"), True),        # pure Python is installed too
    (_touch("corvanti/mod.pyi", "\n"), True),
    (_touch("src/mod/module.cpp", "int f() { return 2; }\n"), True),
    (_touch("src/mod/new_module.cpp"), True),                 # a new, not yet committed source
    (_touch("CMakeLists.txt", "project(probe2)\n"), True),
    (_touch("pyproject.toml", '[project]\nname = "p"\n'), True),
    (lambda root: (root / "src/mod/module.cpp").unlink(), True),
    (_touch("corvanti/__pycache__/mod.cpython-313.pyc"), False),
    (_touch("corvanti/mod.cpython-313-x86_64-linux-gnu.so"), False),
    (_touch("build/cp313/CMakeCache.txt"), False),
    (_touch("README.md"), False),
    (_touch("tests/test_y.py"), False),
], ids=["py", "pyi", "cpp", "new-cpp", "cmake", "pyproject", "deleted", "pycache", "built-module", "build-dir",
        "readme", "tests"])
def test_inputs_hash_follows_what_goes_into_the_package(tmp_path, use_git, change, rebuild):
    root = _project(tmp_path)
    if use_git:
        _git_init(root)
    before = inst.inputs_hash(str(root), use_git)
    change(root)
    assert (inst.inputs_hash(str(root), use_git) != before) is rebuild


@pytest.mark.skipif(not HAS_GIT, reason="git not installed")
def test_git_and_plain_checkouts_hash_alike(tmp_path):
    root = _project(tmp_path)
    plain = inst.inputs_hash(str(root), use_git=False)
    _git_init(root)
    assert inst.input_files(str(root)) == inst.input_files(str(root), use_git=False)
    assert inst.inputs_hash(str(root)) == plain
    # an ignored file is no input under git (the build never sees it as source)
    (root / ".gitignore").write_text("__pycache__/\n*.so\nbuild/\ncorvanti/local_notes.txt\n")
    (root / "corvanti/local_notes.txt").write_text("scratch\n")
    assert "corvanti/local_notes.txt" not in inst.input_files(str(root))


@pytest.mark.parametrize("marker, requested, expected", [
    (None, [], ("build", [])),
    (None, ["test"], ("build", ["test"])),
    ({"inputs": "h", "extras": []}, [], ("none", [])),
    ({"inputs": "h", "extras": ["test"]}, [], ("none", [])),              # main job after the tests
    ({"inputs": "h", "extras": []}, ["test"], ("extras", ["test"])),       # tests after the main job
    ({"inputs": "h", "extras": ["test"]}, ["service", "test"], ("extras", ["service"])),
    ({"inputs": "old", "extras": ["test"]}, [], ("build", ["test"])),      # a rebuild keeps the extras
    ({"inputs": "old", "extras": ["gone"]}, ["test"], ("build", ["test"])),  # an extra no longer defined
])
def test_plan(marker, requested, expected):
    defined = {"test": ["pytest"], "service": ["x"], "fast": ["orjson"]}
    assert inst.plan(marker, "h", requested, defined) == expected


def test_extras_are_read_from_one_spelling():
    assert inst.parse_extras("test, Service  fast,,") == ["fast", "service", "test"]
    assert inst.parse_extras("") == []
    assert inst.defined_extras({"project": {"optional-dependencies": {"My_Extra": ["a"]}}}) == {"my-extra": ["a"]}


def _run(root, extras, marker):
    env = dict(os.environ, CORVANTI_INSTALL_MARKER=str(marker))
    return subprocess.run([sys.executable, str(SCRIPT), str(root), extras], capture_output=True, text=True,
                          env=env, timeout=600)


def test_failed_install_leaves_no_up_to_date_marker(tmp_path):
    root = _project(tmp_path / "proj", backend="no_such_build_backend")
    marker = tmp_path / "marker.json"
    marker.write_text(json.dumps({"inputs": "stale", "extras": []}))
    done = _run(root, "", marker)
    assert done.returncode == 1, done.stdout + done.stderr
    assert "error: 'pip install --no-build-isolation" in done.stderr
    assert not marker.exists()


def test_missing_extras_are_installed_without_a_rebuild(tmp_path):
    # "pip" is installed in every environment pip runs in, so no download happens
    root = _project(tmp_path / "proj", extras={"tools": ["pip"]})
    marker = tmp_path / "marker.json"
    inst.write_marker(str(marker), inst.inputs_hash(str(root)), [])
    done = _run(root, "tools", marker)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "installing the dependencies of the extras: tools" in done.stdout
    assert "building" not in done.stdout
    assert json.loads(marker.read_text())["extras"] == ["tools"]
    again = _run(root, "", marker)
    assert again.returncode == 0 and again.stdout.strip() == "== corvanti is up to date"


def test_unknown_extra_is_refused_with_the_defined_ones(tmp_path):
    root = _project(tmp_path / "proj", extras={"test": ["pytest"], "fast": ["orjson"]})
    done = _run(root, "tset", tmp_path / "marker.json")
    assert done.returncode == 1
    assert done.stderr.strip() == "error: unknown extra 'tset' in CORVANTI_EXTRAS; pyproject.toml defines: fast, test"
