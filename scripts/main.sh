#!/usr/bin/env bash
# Builds and installs everything if needed, then runs the main job: a tracked
# pipeline on the embedded default storage. Output goes to ./out/.
# Only the runtime package is installed (set CORVANTI_EXTRAS for more).
export CORVANTI_EXTRAS="${CORVANTI_EXTRAS-}"
source "$(dirname "${BASH_SOURCE[0]}")/_env.sh"
cd "$ROOT"
exec "$PY" -m corvanti.demo "$@"
