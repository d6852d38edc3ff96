#!/usr/bin/env bash
# usage: check_install.sh <build dir> <host source dir> <c++ compiler>
# Works in a scratch folder of its own, removed however the run ends.
set -euo pipefail
build=$1 host=$2 cxx=$3
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tolvenix-install-XXXXXX")
# cmake --install writes its manifest into the build folder; put back the one
# a real install left there, or remove ours.
manifest=$build/install_manifest.txt
if [ -e "$manifest" ]; then cp -p "$manifest" "$scratch/manifest"; fi
cleanup() {
  if [ -e "$scratch/manifest" ]; then cp -p "$scratch/manifest" "$manifest"; else rm -f "$manifest"; fi
  rm -rf "$scratch"
}
trap cleanup EXIT
prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

# 1. CMake package.
cmake -S "$host" -B "$scratch/host-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$scratch/host-build" >/dev/null
LD_LIBRARY_PATH=$prefix/lib "$scratch/host-build/installed_host"

# 2. pkg-config.
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig:$prefix/lib/x86_64-linux-gnu/pkgconfig
flags=$(pkg-config --cflags --libs TolvenixUtilities)
# shellcheck disable=SC2086
"$cxx" -std=c++17 "$host/main.cpp" $flags -o "$scratch/pc_host"
libdir=$(pkg-config --variable=libdir TolvenixUtilities)
LD_LIBRARY_PATH=$libdir "$scratch/pc_host"
