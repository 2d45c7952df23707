#!/usr/bin/env bash
# Runs the test suite inside a root (scripts/root-*.sh) against a wheel from dist/: a fresh
# environment of the root's Python gets the wheel and the test dependencies from PyPI, then
# pytest runs there on this checkout's tests (the wheel tests run outside, by tests/test_wheels.py).
#   bash scripts/root-test.sh ROOT-SCRIPT PYTHON WHEEL [pytest arguments]
# e.g. bash scripts/root-test.sh root-bookworm-arm64.sh python3 dist/tovra-*aarch64.whl -m "not slow"
# Exits 77 when this machine cannot have the root, as the root script does.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = --inside ]; then
  shift
  python=$1 wheel=$2
  shift 2
  venv=build/root-venv-$(uname -m)-$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  rm -rf "$venv"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet "$wheel[test]"
  echo "testing $wheel with CPython $("$venv/bin/python" -c 'import platform; print(platform.python_version(), platform.machine())') in $venv"
  status=0
  "$venv/bin/python" -m pytest -q -p no:cacheprovider --ignore=tests/test_wheels.py "$@" || status=$?
  rm -rf "$venv"
  exit "$status"
fi

script=$1 python=$2 wheel=$3
shift 3
[ -f "$wheel" ] || {
  echo "root-test: no wheel $wheel (bash scripts/build-wheels.sh builds them)" >&2
  exit 1
}
status=0
bash "scripts/$script" >/dev/null || status=$?
[ "$status" -eq 0 ] || exit "$status"
exec bash "scripts/$script" run bash scripts/root-test.sh --inside "$python" "$wheel" "$@"
