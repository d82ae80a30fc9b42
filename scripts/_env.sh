# Shared set-up for the README commands: find CPython 3.13, create the
# project's virtual environment, install the package with what it needs.
# Sourced, not run. Sets PY (the venv's python) and VENV; reads CORVANTI_EXTRAS.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${CORVANTI_VENV:-$ROOT/.venv}"

is_py313() { "$1" -c 'import sys; raise SystemExit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; }

find_python313() {
  local c
  for c in "${CORVANTI_PYTHON:-}" python3.13 python3; do
    [ -n "$c" ] || continue
    c="$(command -v "$c" 2>/dev/null || true)"
    [ -n "$c" ] && is_py313 "$c" && { echo "$c"; return 0; }
  done
  local roots=()
  command -v pyenv >/dev/null 2>&1 && roots+=("$(pyenv root)/versions")
  roots+=("$HOME/.pyenv/versions" /root/.pyenv/versions /opt/python /usr/local/bin /usr/bin)
  for r in "${roots[@]}"; do
    for c in "$r"/3.13*/bin/python3.13 "$r"/python3.13; do
      [ -x "$c" ] && is_py313 "$c" && { echo "$c"; return 0; }
    done
  done
  return 1
}

if ! is_py313 "$VENV/bin/python" 2>/dev/null; then
  BASE_PY="$(find_python313)" || {
    echo "error: CPython 3.13 not found (looked for python3.13 on PATH, pyenv's versions folder," >&2
    echo "       /usr/local/bin and /usr/bin). Install it or set CORVANTI_PYTHON=/path/to/python3.13." >&2
    exit 1
  }
  echo "== creating $VENV with $BASE_PY"
  rm -rf "$VENV"
  "$BASE_PY" -m venv "$VENV" || {
    echo "error: '$BASE_PY -m venv' failed; the venv module (python3.13-venv) is missing." >&2
    exit 1
  }
  "$VENV/bin/python" -m pip install --quiet --upgrade pip
fi
PY="$VENV/bin/python"
# Use the installed package: no Python process started from here may import
# the source tree (which has no built modules) from the current directory.
export PYTHONSAFEPATH=1

# Build and install only when the package's inputs changed since the last
# successful install; CORVANTI_EXTRAS names the extras the caller needs
# (main.sh: none, test.sh: test), comma-separated.
"$PY" "$ROOT/scripts/_install.py" "$ROOT" "${CORVANTI_EXTRAS-}"
