#!/usr/bin/env bash
# Installs what building and testing the library needs, on Debian 12.
# Packages already present are left alone; nothing is fetched from elsewhere.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config binutils
  libboost-thread-dev libboost-system-dev libboost-chrono-dev libboost-filesystem-dev
  libjpeg62-turbo-dev
  libgtest-dev libbenchmark-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ] || [ "${1:-}" = "--always" ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update
  $sudo apt-get install -y --no-install-recommends "${packages[@]}"
fi
