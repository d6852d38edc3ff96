#!/usr/bin/env bash
# usage: run_saving_host.sh <example host> <its arguments up to bmp|jpg>
# Runs the host with an output prefix in a fresh scratch folder, then checks
# that it saved frames of the asked format there. The folder is removed
# however the run ends, so the test leaves no frames behind.
set -euo pipefail
format=${!#}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tolvenix-saved-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
"$@" "$scratch/saved"
saved=("$scratch"/saved_*."$format")
if [ ! -f "${saved[0]}" ]; then
  echo "no saved_*.$format in $scratch" >&2
  exit 1
fi
echo "${#saved[@]} frames saved as .$format"
