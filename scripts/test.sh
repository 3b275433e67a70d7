#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the whole suite, then the engine's
# tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
# Needs neither a display nor a sound card: tests start their own sound server and use
# Qt's offscreen platform.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh build
(cd build && ctest --output-on-failure -j2)
# The sanitizer pass builds only the engine, its tests and their support: no benchmarks.
bash scripts/build.sh build-sanitize -DTELLWICK_SANITIZE=ON -DTELLWICK_ENGINE_ONLY=ON -DTELLWICK_BENCHMARKS=OFF \
  -DCMAKE_BUILD_TYPE=Debug
(cd build-sanitize && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j2)
