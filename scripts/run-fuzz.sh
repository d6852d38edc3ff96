#!/usr/bin/env bash
# Sets up the machine, builds the fuzz preset (clang, libFuzzer, ASan + UBSan)
# and runs each fuzz target over a scratch copy of its seed corpus, so that
# new inputs never land in the tree.
#   bash scripts/run-fuzz.sh [secondsPerTarget]   (default 30)
# Inputs that fail are kept as build-fuzz/finds/<target>-crash-*.
# The JPEG codec writes a warning to standard error for nearly every input
# (tens of megabytes a run, in which a failure is lost); -close_fd_mask=2
# sends the targets' standard error nowhere, while libFuzzer's own lines and
# the sanitizers' reports still arrive on the step's standard error.
# -verbosity=0 leaves out libFuzzer's line for each input it adds or
# shortens (thousands a run); a failure, the input kept for it and the final
# statistics are still printed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
bash scripts/setup.sh fuzz
jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
cmake --preset fuzz
cmake --build --preset fuzz -j "$jobs"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p build-fuzz/finds
for seeds in fuzz/corpus/*/; do
  target=$(basename "$seeds")
  cp -r "$seeds" "$scratch/$target"
  echo "== $target: $seconds s =="
  "build-fuzz/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
    -close_fd_mask=2 -verbosity=0 -artifact_prefix="build-fuzz/finds/$target-" "$scratch/$target"
done
