#!/usr/bin/env bash
# Builds the benchmark programs (Release, no tests) and runs one in its build directory: it
# writes log.txt beside itself and test.dat into the current directory, which here is the same
# one. Prints the log and the paths of both files and exits with the program's status. On a
# fresh Debian machine it first installs the build packages that are missing.
#
#   ./run.sh        rowbench, the main job (build/release/bench/)
#   ./run.sh 390    rowbench-390, the same phases as release 3.90 (build/release/release390/)
set -euo pipefail
cd "$(dirname "$0")"

usage() {
  echo "usage: $0 [390]" >&2
  exit 2
}

case $# in
  0) program=rowbench subdir=bench ;;
  1) [ "$1" = 390 ] || usage
     program=rowbench-390 subdir=release390 ;;
  *) usage ;;
esac

. tools/ensure-packages.sh
ensure_packages cmake ninja-build g++ zlib1g-dev libbz2-dev

jobs=$(nproc 2>/dev/null || echo 2)
build=${TOLVAN_RELEASE_DIR:-build/release}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOLVAN_TESTS=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target "$program"

dir=$(cd "$build/$subdir" && pwd)
set +e
(cd "$dir" && "./$program")
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
