#!/usr/bin/env bash
# Sets up the machine, builds everything and runs the whole test suite.
# Optional argument: a sanitizer ("address" or "thread"), built in its own
# directory.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
sanitize=${1:-}
dir=build${sanitize:+-$sanitize}
jobs=$(nproc)
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVENIX_SANITIZE="$sanitize"
cmake --build "$dir" -j "$jobs"
runner=()
# ThreadSanitizer's runtime cannot map its shadow memory under some kernels'
# address-space randomisation; run its suite with randomisation off.
if [ "$sanitize" = thread ] && setarch "$(uname -m)" -R true 2>/dev/null; then
  runner=(setarch "$(uname -m)" -R)
fi
"${runner[@]}" ctest --test-dir "$dir" -j "$jobs" --output-on-failure
