#!/usr/bin/env bash
# Builds and installs everything from scratch if needed, then runs the whole
# test suite against the installed package.
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
