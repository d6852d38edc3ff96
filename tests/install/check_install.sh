#!/usr/bin/env bash
# usage: check_install.sh <build dir> <scratch dir> <host source dir> <c++ compiler>
set -euo pipefail
build=$1 scratch=$2 host=$3 cxx=$4
rm -rf "$scratch"
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
