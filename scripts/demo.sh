#!/usr/bin/env bash
# The helper's main job, for now: a short scripted session against the real
# binary, as a parent application would run it. Shows every line the helper
# writes on its text channel and the exit status.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh default >/dev/null
binary=build/default/src/ostrovane

echo "== session: HEALTH_CHECK, an unknown command, START_STREAMING, STOP"
set +e
{
  echo "HEALTH_CHECK"
  sleep 0.2
  echo "FLY:to the moon"
  echo "START_STREAMING"
  sleep 0.2
  echo "STOP"
  sleep 1
} | "$binary" 2>&1 >/dev/null | sed 's/^/  stderr| /'
status=${PIPESTATUS[1]}
set -e
echo "== helper exited with status $status"
