#!/usr/bin/env bash
# Finds the CPython interpreters tovra supports (3.10 to 3.13) on this machine: python3.X on
# PATH first, then pyenv's versions directory (newest patch release first). Prints one line
# "3.X /path/to/interpreter" per version found on standard output, and a note per version,
# found or skipped, on standard error.
#   bash scripts/find-pythons.sh
set -euo pipefail

versions=(3.10 3.11 3.12 3.13)

if command -v pyenv >/dev/null 2>&1; then
  pyenv_root=$(pyenv root 2>/dev/null || true)
fi
pyenv_root=${pyenv_root:-${PYENV_ROOT:-$HOME/.pyenv}}

# Prints "X.Y executable" for a working CPython with the GIL (a free-threaded build has another
# ABI and gets no wheel), nothing otherwise. A pyenv shim for a version that is not selected
# exits with an error, and is passed over here.
probe() {
  "$1" -c '
import sys, sysconfig
if sys.implementation.name == "cpython" and not sysconfig.get_config_var("Py_GIL_DISABLED"):
    print("%d.%d" % sys.version_info[:2], sys.executable)
' 2>/dev/null || true
}

for version in "${versions[@]}"; do
  candidates=()
  while IFS= read -r path; do
    candidates+=("$path")
  done < <(type -aP "python$version" 2>/dev/null || true)
  while IFS= read -r dir; do
    candidates+=("$dir/bin/python$version")
  done < <(compgen -G "$pyenv_root/versions/$version.*" | sort -V -r || true)

  found=
  for candidate in "${candidates[@]}"; do
    [[ -x "$candidate" ]] || continue
    read -r actual executable < <(probe "$candidate") || continue
    if [[ "$actual" == "$version" && -n "$executable" ]]; then
      found=$executable
      break
    fi
  done

  if [[ -n "$found" ]]; then
    echo "found CPython $("$found" -c 'import platform; print(platform.python_version())') at $found" >&2
    echo "$version $found"
  else
    echo "skipped CPython $version: not found (no working python$version on PATH or under $pyenv_root/versions)" >&2
  fi
done
