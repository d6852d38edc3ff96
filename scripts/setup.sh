#!/usr/bin/env bash
# Installs what building and testing the library needs, on Debian 12.
#   bash scripts/setup.sh [fuzz|coverage]
# With `fuzz`, also clang and libFuzzer for the fuzz preset; with `coverage`,
# also gcovr for the coverage report. Only missing
# packages are installed; when none is missing no package tool runs at all.
# Installing needs root, or sudo.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config binutils
  libboost-thread-dev libboost-system-dev libboost-chrono-dev libboost-filesystem-dev
  libjpeg62-turbo-dev
  libgtest-dev libbenchmark-dev
  xfsprogs
  bindfs fuse3
)
case "${1:-}" in
  "") ;;
  fuzz) packages+=(clang libclang-rt-14-dev) ;;
  coverage) packages+=(gcovr) ;;
  *) echo "usage: $0 [fuzz|coverage]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ "${#missing[@]}" -gt 0 ] || exit 0

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "$0: installing ${missing[*]} needs root or sudo" >&2; exit 1; }
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive

# Another apt or dpkg run may hold the package locks; wait for it instead of
# failing. apt-get install waits on the dpkg locks by itself, but apt 2.6
# does not apply that wait to the package lists' lock that apt-get update
# takes, so update is retried while that lock is busy.
waitSeconds=600
lockWait=(-o "DPkg::Lock::Timeout=$waitSeconds")
log=$(mktemp)
trap 'rm -f "$log"' EXIT
deadline=$((SECONDS + waitSeconds))
told=""
until "${sudo[@]}" apt-get "${lockWait[@]}" update >"$log" 2>&1; do
  if ! grep -q "Could not get lock" "$log" || [ "$SECONDS" -ge "$deadline" ]; then
    cat "$log" >&2
    exit 1
  fi
  [ -n "$told" ] || echo "$0: waiting for another package manager to release the package lists"
  told=yes
  sleep 5
done
cat "$log"
"${sudo[@]}" apt-get "${lockWait[@]}" install -y --no-install-recommends "${missing[@]}"
