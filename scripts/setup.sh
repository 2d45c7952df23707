#!/usr/bin/env bash
# Sets up everything tovra needs on a Debian machine, then runs the demo or the tests.
#   bash scripts/setup.sh demo    install, then run examples/quickstart.py
#   bash scripts/setup.sh test    install, then run the test suite
# Run as root or as a user with sudo: missing Debian packages are installed with apt-get.
set -euo pipefail
cd "$(dirname "$0")/.."

action=${1:-demo}
python=${PYTHON:-python3}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Debian packages the build needs: a C++ compiler and CMake.
missing=()
command -v g++ >/dev/null || missing+=(g++)
command -v cmake >/dev/null || missing+=(cmake)
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing Debian packages: ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

"$python" -m pip install --quiet --upgrade pip >/dev/null 2>&1 || true
"$python" -m pip install --quiet ".[test]"

case "$action" in
  demo)
    "$python" examples/quickstart.py
    ;;
  test)
    shift || true
    "$python" -m pytest -q "$@"
    ;;
  *)
    echo "usage: $0 demo|test" >&2
    exit 2
    ;;
esac
