"""Installs corvanti into the running virtual environment when needed.

    python scripts/_install.py ROOT [EXTRAS]

EXTRAS is a comma- or space-separated list of the package's extras (empty for
the runtime package only). The package is built and installed only when its
inputs changed since the last successful install: a SHA-256 over every file
that goes into the installed package (pyproject.toml, CMakeLists.txt, src/,
corvanti/; never build outputs, caches or built modules) is kept in a marker
in the environment together with the extras installed so far. When only
extras are missing, their requirements are installed without a rebuild.

The marker is removed before a build starts and written only after the
install succeeded, so a failed install is retried by the next run.
"""
from __future__ import annotations

import fcntl
import hashlib
import json
import os
import re
import subprocess
import sys
import tomllib

#: What goes into the installed package (files, or folders walked recursively).
INPUTS = ("pyproject.toml", "CMakeLists.txt", "src", "corvanti")
#: Folders and file endings that are build outputs or caches, never inputs.
SKIP_DIRS = frozenset({"__pycache__", "build", ".git", ".venv", ".pytest_cache"})
SKIP_SUFFIXES = (".so", ".pyd", ".dylib", ".dll", ".pyc", ".pyo", ".egg-info")
#: Environment variables that change what the build produces.
BUILD_ENV_PREFIXES = ("CMAKE_ARGS", "SKBUILD_")
#: Build tools the build backend runs (installed beside the backend, so that
#: builds reuse the persistent build folder instead of an isolated temporary
#: environment that forces a full rebuild every time).
BUILD_TOOLS = ("cmake", "ninja")
MARKER = "corvanti-install.json"


class InstallError(Exception):
    """A set-up problem with a message meant for the user."""


def _skipped(rel: str) -> bool:
    parts = rel.split("/")
    return any(p in SKIP_DIRS or p.endswith(".egg-info") for p in parts[:-1]) or parts[-1].endswith(SKIP_SUFFIXES)


def _git_files(root: str) -> list[str] | None:
    """Tracked and untracked-but-not-ignored input files, or None without git."""
    try:
        out = subprocess.run(
            ["git", "-C", root, "ls-files", "-z", "--cached", "--others", "--exclude-standard", "--", *INPUTS],
            capture_output=True, check=True,
        ).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    return [p for p in out.decode("utf-8", "surrogateescape").split("\0") if p]


def _walked_files(root: str) -> list[str]:
    files = []
    for top in INPUTS:
        path = os.path.join(root, top)
        if os.path.isfile(path):
            files.append(top)
            continue
        for dirpath, dirnames, filenames in os.walk(path):
            dirnames[:] = [d for d in dirnames if d not in SKIP_DIRS and not d.endswith(".egg-info")]
            rel = os.path.relpath(dirpath, root).replace(os.sep, "/")
            files.extend(f"{rel}/{name}" for name in filenames)
    return files


def input_files(root: str, use_git: bool = True) -> list[str]:
    """The sorted relative paths of the package's input files that exist."""
    files = _git_files(root) if use_git else None
    if files is None:
        files = _walked_files(root)
    return sorted({f for f in files if not _skipped(f) and os.path.isfile(os.path.join(root, f))})


def inputs_hash(root: str, use_git: bool = True) -> str:
    """SHA-256 over the input files (path and content), the interpreter and the build settings."""
    h = hashlib.sha256()
    h.update(f"{sys.version}\0{sys.prefix}\0".encode())
    for key in sorted(os.environ):
        if key.startswith(BUILD_ENV_PREFIXES):
            h.update(f"env {key}={os.environ[key]}\0".encode())
    for rel in input_files(root, use_git):
        with open(os.path.join(root, rel), "rb") as f:
            data = f.read()
        h.update(f"{rel}\0{len(data)}\0".encode("utf-8", "surrogateescape"))
        h.update(data)
    return h.hexdigest()


def _normalize_extra(name: str) -> str:
    return re.sub(r"[-_.]+", "-", name).lower()


def parse_extras(text: str) -> list[str]:
    return sorted({_normalize_extra(e) for e in re.split(r"[\s,]+", text) if e})


def read_project(root: str) -> dict:
    path = os.path.join(root, "pyproject.toml")
    try:
        with open(path, "rb") as f:
            return tomllib.load(f)
    except OSError as e:
        raise InstallError(f"cannot read {path}: {e.strerror}") from None
    except tomllib.TOMLDecodeError as e:
        raise InstallError(f"{path} is not valid TOML: {e}") from None


def defined_extras(project: dict) -> dict[str, list[str]]:
    extras = project.get("project", {}).get("optional-dependencies", {})
    return {_normalize_extra(k): list(v) for k, v in extras.items()}


def read_marker(path: str) -> dict | None:
    try:
        with open(path) as f:
            marker = json.load(f)
    except (OSError, ValueError):
        return None
    if not isinstance(marker, dict) or not isinstance(marker.get("inputs"), str):
        return None
    extras = marker.get("extras")
    marker["extras"] = sorted(e for e in extras if isinstance(e, str)) if isinstance(extras, list) else []
    return marker


def write_marker(path: str, digest: str, extras: list[str]) -> None:
    tmp = f"{path}.tmp"
    with open(tmp, "w") as f:
        json.dump({"inputs": digest, "extras": sorted(extras)}, f)
    os.replace(tmp, path)


def plan(marker: dict | None, digest: str, requested: list[str], defined: dict) -> tuple[str, list[str]]:
    """What to do: ("none", []), ("extras", missing extras) or ("build", extras to install).

    A rebuild keeps the extras installed before (those still defined), so that
    switching between the main job and the tests never drops dependencies.
    """
    if marker is not None and marker["inputs"] == digest:
        missing = [e for e in requested if e not in marker["extras"]]
        return ("extras", missing) if missing else ("none", [])
    kept = [e for e in (marker or {}).get("extras", []) if e in defined]
    return "build", sorted(set(requested) | set(kept))


def _pip(*args: str) -> None:
    rc = subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", *args]).returncode
    if rc != 0:
        raise InstallError(f"'pip install {' '.join(args)}' failed (exit {rc}); see pip's messages above")


def _installed() -> bool:
    from importlib import metadata

    try:
        metadata.distribution("corvanti")
    except metadata.PackageNotFoundError:
        return False
    return True


def install(root: str, extras_text: str, marker_path: str) -> str:
    """Brings the environment up to date; returns a one-line summary."""
    project = read_project(root)
    defined = defined_extras(project)
    requested = parse_extras(extras_text)
    unknown = [e for e in requested if e not in defined]
    if unknown:
        raise InstallError(
            f"unknown extra {', '.join(map(repr, unknown))} in CORVANTI_EXTRAS; "
            f"pyproject.toml defines: {', '.join(sorted(defined)) or 'none'}"
        )
    digest = inputs_hash(root)
    marker = read_marker(marker_path)
    if marker is not None and not _installed():
        marker = None
    action, extras = plan(marker, digest, requested, defined)
    if action == "none":
        return "corvanti is up to date"
    if action == "extras":
        print(f"== installing the dependencies of the extras: {', '.join(extras)}", flush=True)
        _pip(*sorted({req for e in extras for req in defined[e]}))
        write_marker(marker_path, digest, sorted(set(marker["extras"]) | set(extras)))
        return "corvanti is up to date"
    if os.path.exists(marker_path):
        os.remove(marker_path)
    label = f" with the extras {', '.join(extras)}" if extras else ""
    print(f"== building and installing corvanti{label} (builds the native modules)", flush=True)
    build_requires = list(project.get("build-system", {}).get("requires", []))
    _pip(*build_requires, *BUILD_TOOLS)
    target = f"{root}[{','.join(extras)}]" if extras else root
    _pip("--no-build-isolation", target)
    write_marker(marker_path, digest, extras)
    return "corvanti installed"


def main(argv: list[str]) -> int:
    if len(argv) not in (2, 3):
        print("usage: python scripts/_install.py ROOT [EXTRAS]", file=sys.stderr)
        return 2
    root = os.path.abspath(argv[1])
    marker_path = os.environ.get("CORVANTI_INSTALL_MARKER") or os.path.join(sys.prefix, MARKER)
    # One install at a time per environment (main job and tests may start together).
    with open(f"{marker_path}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            print(f"== {install(root, argv[2] if len(argv) == 3 else '', marker_path)}", flush=True)
        except InstallError as e:
            print(f"error: {e}", file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
