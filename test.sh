#!/usr/bin/env bash
# Builds the engine with AddressSanitizer and UndefinedBehaviorSanitizer and runs the tests.
# On a fresh Debian machine it first installs the build packages that are missing.
set -euo pipefail
cd "$(dirname "$0")"

. tools/ensure-packages.sh
ensure_packages cmake ninja-build g++ zlib1g-dev libbz2-dev libgtest-dev

jobs=$(nproc 2>/dev/null || echo 2)
build=${TOLVAN_BUILD_DIR:-build/asan}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DTOLVAN_SANITIZE=ON -DTOLVAN_WERROR=ON -DTOLVAN_TESTS=ON
cmake --build "$build" -j "$jobs"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# Without arguments the long model runs (label "slow") stay out; "-L slow" runs only them.
if [ "$#" -eq 0 ]; then
  set -- -LE slow
fi
ctest --test-dir "$build" --output-on-failure -j "$jobs" "$@"
