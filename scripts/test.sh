#!/usr/bin/env bash
# Installs what is needed, then builds and runs the whole test suite in the
# plain, AddressSanitizer+UBSan and ThreadSanitizer configurations, builds the
# tree once more with clang's lock analysis (the thread-safety preset, build
# only), gives every fuzz target a short run, then builds the Debian package,
# installs it, runs the installed helper briefly and removes it again. Fails on the first
# failure; only the tests named in scripts/second-run.txt get a second run
# (scripts/run-tests.sh). The Linux audio suites run against a private
# PulseAudio and again, as the tests named "...@pipewire", against PipeWire's
# pulse server. After the plain build, the Node.js and Python client
# libraries run their own tests.
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
  if [ "$preset" = default ]; then
    # The client libraries, unit-tested against their fake helpers and
    # run against the helper just built on private servers.
    export OSTROVANE_BINARY="$PWD/build/default/src/ostrovane"
    echo "== clients: node"
    (cd clients/node && npm ci --no-audit --no-fund && npm test && npm pack --dry-run >/dev/null)
    echo "== clients: python"
    clients/python/run-tests.sh
    unset OSTROVANE_BINARY
  fi
done

echo "== thread-safety: build (clang -Wthread-safety, nothing run)"
scripts/build.sh thread-safety

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
