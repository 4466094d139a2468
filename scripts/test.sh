#!/usr/bin/env bash
# Installs what is needed, then builds and runs the whole test suite in the
# plain, AddressSanitizer+UBSan and ThreadSanitizer configurations, and gives
# every fuzz target a short run, then builds the Debian package, installs it,
# runs the installed helper briefly and removes it again. Fails on the first
# failure; only the tests named in scripts/second-run.txt get a second run
# (scripts/run-tests.sh). The Linux audio suites run against a private
# PulseAudio and again, as the tests named "...@pipewire", against PipeWire's
# pulse server.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# Thread leaks are not reported: the helper ends with _exit while the
# threads that watched its finished child processes are still unjoined.
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:report_thread_leaks=0:suppressions=$PWD/scripts/tsan.supp"

for preset in default asan tsan; do
  echo "== $preset: build"
  scripts/build.sh "$preset"
  echo "== $preset: test"
  scripts/run-tests.sh "$preset"
done

echo "== fuzz: build"
scripts/build.sh fuzz
for target in build/fuzz/fuzz/*_fuzz; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus="build/fuzz/corpus/$name"
  mkdir -p "$corpus"
  echo "== fuzz: $name (${FUZZ_SECONDS:-20} s)"
  "$target" -max_total_time="${FUZZ_SECONDS:-20}" -print_final_stats=0 "$corpus" 2>&1 | tail -n 2
done
# Last, the Debian package: built, installed, run, removed, and checked by lintian.
scripts/check-package.sh
echo "== all configurations passed"
