#!/usr/bin/env bash
# Sets up the machine, builds everything and runs the whole test suite.
#   bash scripts/run-tests.sh [address|thread]
# The argument picks a sanitizer build (the CMake presets asan and tsan),
# each in its own build folder. CMAKE_BUILD_PARALLEL_LEVEL caps the jobs.
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
  "") preset=default ;;
  address) preset=asan ;;
  thread) preset=tsan ;;
  *) echo "usage: $0 [address|thread]" >&2; exit 2 ;;
esac
bash scripts/setup.sh
jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
cmake --preset "$preset"
cmake --build --preset "$preset" -j "$jobs"
runner=()
# ThreadSanitizer's runtime cannot map its shadow memory under some kernels'
# address-space randomisation; run its suite with randomisation off.
if [ "$preset" = tsan ] && setarch "$(uname -m)" -R true 2>/dev/null; then
  runner=(setarch "$(uname -m)" -R)
fi
"${runner[@]}" ctest --preset "$preset" -j "$jobs"
