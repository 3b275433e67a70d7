#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the whole suite, then the engine's
# tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
# Needs neither a display nor a sound card: tests start their own sound server and use
# Qt's offscreen platform.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh build -DTELLWICK_BENCHMARKS=OFF
# The sanitizer pass builds only the engine, its tests and their support (no benchmarks), at a
# lower priority while the suite runs: the suite mostly waits on sound, and its timings are
# made to hold on a busy machine.
nice -n 10 bash scripts/build.sh build-sanitize -DTELLWICK_SANITIZE=ON -DTELLWICK_ENGINE_ONLY=ON \
  -DTELLWICK_BENCHMARKS=OFF -DCMAKE_BUILD_TYPE=Debug > build/sanitize-build.log 2>&1 &
sanitize_build=$!
suite=0
(cd build && ctest --output-on-failure -j2) || suite=$?
if ! wait "$sanitize_build"; then
  cat build/sanitize-build.log
  exit 1
fi
[ "$suite" -eq 0 ] || exit "$suite"
(cd build-sanitize && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j2)
