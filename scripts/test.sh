#!/usr/bin/env bash
# Builds and installs the package with its test dependencies if needed, then
# runs the whole test suite against the installed package.
export CORVANTI_EXTRAS="${CORVANTI_EXTRAS-test}"
source "$(dirname "${BASH_SOURCE[0]}")/_env.sh"
cd "$ROOT"
set +e
"$VENV/bin/pytest" tests "$@"
rc=$?
set -e
if [ "$rc" -eq 5 ]; then
  echo "error: no tests were collected" >&2
  exit 1
fi
exit "$rc"
