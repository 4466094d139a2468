#!/usr/bin/env bash
# Runs one preset's tests (ctest --preset <preset> [more ctest arguments]).
# A failing test fails the run, unless scripts/second-run.txt names it: those
# tests race a real server's timing, and each of them that failed runs
# once more. The tests that needed their second run are printed either way.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="$1"
shift
list=scripts/second-run.txt

# The list's patterns (first word of each line; shell globs over test names).
patterns=()
while read -r pattern _; do
  [ -n "$pattern" ] && [ "${pattern:0:1}" != "#" ] && patterns+=("$pattern")
done <"$list"

allowed() {
  local p
  for p in "${patterns[@]}"; do
    # shellcheck disable=SC2053
    [[ "$1" == $p ]] && return 0
  done
  return 1
}

ctest --preset "$preset" "$@" && exit 0

failed_log="build/$preset/Testing/Temporary/LastTestsFailed.log"
[ -s "$failed_log" ] || exit 1
rerun=()
refused=()
while IFS=: read -r _ name; do
  if allowed "$name"; then rerun+=("$name"); else refused+=("$name"); fi
done <"$failed_log"
if ((${#refused[@]})); then
  echo "== $preset: failed on their first run (not in $list):"
  printf '   %s\n' "${refused[@]}"
  exit 1
fi

echo "== $preset: second run for ${#rerun[@]} test(s) named in $list:"
printf '   %s\n' "${rerun[@]}"
regex=$(printf '%s\n' "${rerun[@]}" | sed 's/[][\.*^$+?(){}|/]/\\&/g' | paste -sd '|')
ctest --preset "$preset" -R "^($regex)\$"
echo "== $preset: passed on their second run:"
printf '   %s\n' "${rerun[@]}"
