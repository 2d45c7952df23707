#!/usr/bin/env bash
# A Debian 12 root for 64-bit ARM (aarch64) with its CPython 3.11 and what building tovra takes,
# run on this machine through binfmt_misc and qemu-user-static (scripts/root.sh tells how roots
# are made and kept). Exits 77, with the reason, where this machine cannot run ARM programs.
#   bash scripts/root-bookworm-arm64.sh                 make it (or reuse it), print its directory
#   bash scripts/root-bookworm-arm64.sh run CMD ARG...  run CMD in it, in the checkout (/tovra)
set -euo pipefail
source "$(dirname "$0")/root.sh"
root_main bookworm-arm64 bookworm arm64 \
  python3 python3-dev python3-venv g++ cmake make e2fsprogs ca-certificates -- "$@"
