#!/usr/bin/env bash
# Fast rebuild loop for development: builds the native modules straight into
# the source tree, so that `PYTHONPATH=. .venv/bin/pytest tests/...` uses them.
#   scripts/dev-build.sh                 all modules
#   scripts/dev-build.sh wrapper         one module (own build folder, so that
#                                        several modules can be built at once)
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PY="${PY:-$ROOT/.venv/bin/python}"
mods="${1:-}"
dir="$ROOT/build/dev-${1:-all}"
"$PY" -m pip install --quiet nanobind scikit-build-core cmake ninja >/dev/null
if [ ! -f "$dir/build.ninja" ]; then
  "$ROOT/.venv/bin/cmake" -S "$ROOT" -B "$dir" -G Ninja -DCORVANTI_INPLACE=ON \
    -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$PY" "-DCORVANTI_ONLY_MODULES=$mods" >/dev/null
fi
"$ROOT/.venv/bin/cmake" --build "$dir"
