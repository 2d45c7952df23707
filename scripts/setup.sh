#!/usr/bin/env bash
# Sets up everything tovra needs on a Debian machine, then runs the demo or the tests.
#   bash scripts/setup.sh demo    install, then run examples/quickstart.py
#   bash scripts/setup.sh test    install, then run the test suite (extra arguments go to pytest)
# tovra and its test dependencies go into a virtual environment, .venv by default, made with
# python3. Environment:
#   PYTHON=python3.12   the interpreter to build for and to make the environment with
#   VENV=path           where the environment lives; it is remade when it holds another version
# Run as root or as a user with sudo: missing Debian packages are installed with apt-get.
set -euo pipefail
cd "$(dirname "$0")/.."

action=${1:-demo}
shift || true
python=${PYTHON:-python3}
venv=${VENV:-.venv}

case "$action" in
  demo | test) ;;
  *)
    echo "usage: $0 demo|test [pytest arguments]" >&2
    exit 2
    ;;
esac

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}
apt_updated=
apt_install() {
  echo "installing Debian packages: $*"
  if [ -z "$apt_updated" ]; then
    as_root apt-get update -qq
    apt_updated=1
  fi
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@"
}

# Debian packages the build needs: a C++ compiler and CMake, and Python itself when the default
# interpreter is missing.
missing=()
command -v g++ >/dev/null || missing+=(g++)
command -v cmake >/dev/null || missing+=(cmake)
if ! command -v "$python" >/dev/null && [ "$python" = python3 ]; then
  missing+=(python3 python3-venv)
fi
# The tests also use strace, which shows the syncs and modes of every file an operation makes.
if [ "$action" = test ]; then
  command -v strace >/dev/null || missing+=(strace)
fi
if [ ${#missing[@]} -gt 0 ]; then
  apt_install "${missing[@]}"
fi

version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')

# A fresh environment, or the one already there when it was made for the same version.
if [ -x "$venv/bin/python" ] &&
  [ "$("$venv/bin/python" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" = "$version" ]; then
  :
elif ! "$python" -m venv --clear "$venv"; then
  # Debian's interpreter makes environments only with its venv package.
  apt_install "python$version-venv"
  "$python" -m venv --clear "$venv"
fi

venv_python="$venv/bin/python"
"$venv_python" -m pip install --quiet --upgrade pip >/dev/null 2>&1 || true
"$venv_python" -m pip install --quiet ".[test]"

case "$action" in
  demo)
    "$venv_python" examples/quickstart.py
    ;;
  test)
    echo "testing with CPython $("$venv_python" -c 'import platform; print(platform.python_version())') in $venv"
    "$venv_python" -m pytest -q "$@"
    ;;
esac
