#!/usr/bin/env bash
# Sets up the machine, builds the library and runs the example host with the
# given arguments (see examples/SimHost.cpp).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default
cmake --build --preset default --target example_host
./build/examples/example_host "$@"
