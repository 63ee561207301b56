#!/usr/bin/env bash
# Builds the benchmark programs (Release, no tests) and runs rowbench, the main job, in its
# build directory: it writes log.txt beside itself and test.dat into the current directory, which
# here is the same one. Prints the log and the paths of both files and exits with rowbench's
# status. On a fresh Debian machine it first installs the build packages that are missing.
set -euo pipefail
cd "$(dirname "$0")"

. tools/ensure-packages.sh
ensure_packages cmake ninja-build g++ zlib1g-dev libbz2-dev

jobs=$(nproc 2>/dev/null || echo 2)
build=${TOLVAN_RELEASE_DIR:-build/release}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOLVAN_TESTS=OFF >/dev/null
targets=(rowbench)
if cmake --build "$build" --target help 2>/dev/null | grep -q '^rowbench-390:'; then
  targets+=(rowbench-390)
fi
cmake --build "$build" -j "$jobs" --target "${targets[@]}"

dir=$(cd "$build/bench" && pwd)
set +e
(cd "$dir" && ./rowbench)
status=$?
set -e

echo
if [ -f "$dir/log.txt" ]; then
  echo "Log ($dir/log.txt):"
  tr -d '\r' <"$dir/log.txt"
else
  echo "No log was written ($dir/log.txt)."
fi
if [ -f "$dir/test.dat" ]; then
  echo "Table stream: $dir/test.dat ($(stat -c %s "$dir/test.dat") bytes)"
else
  echo "No table stream was written ($dir/test.dat)."
fi
exit $status
