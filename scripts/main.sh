#!/usr/bin/env bash
# Builds and installs everything if needed, then runs the main job: a tracked
# pipeline persisted through the in-process service to the embedded default
# database, a model validated against it. Output goes to ./out/.
# Installs the package with the `demo` extra (service + scikit-learn).
export CORVANTI_EXTRAS="${CORVANTI_EXTRAS-demo}"
source "$(dirname "${BASH_SOURCE[0]}")/_env.sh"
cd "$ROOT"
exec "$PY" -m corvanti.demo "$@"
