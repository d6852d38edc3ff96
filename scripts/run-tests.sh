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
ctest --test-dir "$dir" -j "$jobs" --output-on-failure
