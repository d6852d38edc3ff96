#!/usr/bin/env bash
# Sets up the machine, builds the library and runs the example host.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --target example_host
./build/examples/example_host "$@"
