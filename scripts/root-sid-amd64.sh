#!/usr/bin/env bash
# A Debian unstable root for this x86-64 machine, with CPython 3.14 and what building tovra
# takes, for testing on the newest CPython (scripts/root.sh tells how roots are made and kept).
#   bash scripts/root-sid-amd64.sh                 make it (or reuse it) and print its directory
#   bash scripts/root-sid-amd64.sh run CMD ARG...  run CMD in it, in the checkout (/tovra)
set -euo pipefail
source "$(dirname "$0")/root.sh"
root_main sid-amd64 sid amd64 \
  python3.14 python3.14-dev python3.14-venv g++ cmake make e2fsprogs ca-certificates -- "$@"
