#!/usr/bin/env bash
# Builds the module with AddressSanitizer, UndefinedBehaviorSanitizer and invariant checks into
# build/sanitize and runs the whole pytest suite against that build. Exits non-zero on any test
# failure or any sanitizer report. Extra arguments are passed to pytest
# (e.g. scripts/sanitize.sh -x tests/x.py).
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build/sanitize
# The environment scripts/setup.sh makes holds pytest and the test dependencies.
if [[ -x .venv/bin/python ]]; then
  python=$PWD/.venv/bin/python
else
  python=$(command -v python3)
fi

cmake -S . -B "$build_dir" -DTOVRA_SANITIZE=ON -DTOVRA_ASSERTIONS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build_dir" --target tovra -j "$(nproc)"

module=$(find "$build_dir" -maxdepth 2 -name 'tovra*.so' -print -quit)
if [[ -z "$module" ]]; then
  echo "sanitize: no tovra*.so under $build_dir" >&2
  exit 1
fi
module_dir=$(cd "$(dirname "$module")" && pwd)

# The interpreter is not built with the sanitizers, so their runtimes must be loaded first.
asan_runtime=$(g++ -print-file-name=libasan.so)
ubsan_runtime=$(g++ -print-file-name=libubsan.so)
for runtime in "$asan_runtime" "$ubsan_runtime"; do
  [[ -e "$runtime" ]] || { echo "sanitize: missing runtime $runtime" >&2; exit 1; }
done

# Every sanitizer report goes to a file under log_dir as well as stderr, so that a report from a
# subprocess (whose stderr a test may swallow) still fails the run.
log_dir=$(mktemp -d "${TMPDIR:-/tmp}/tovra-sanitize.XXXXXX")
trap 'rm -rf "$log_dir"' EXIT

export PYTHONPATH="$module_dir${PYTHONPATH:+:$PYTHONPATH}"
export LD_PRELOAD="$asan_runtime $ubsan_runtime"
# The interpreter keeps its objects alive until exit by design; leaks are measured separately.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$log_dir/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$log_dir/ubsan"
# Route Python's allocations through malloc so ASan sees every buffer the module touches.
export PYTHONMALLOC=malloc

"$python" - "$module_dir" <<'EOF'
import os, sys
import tovra
expected = os.path.realpath(sys.argv[1])
loaded = os.path.realpath(os.path.dirname(tovra.__file__))
if loaded != expected:
    sys.exit(f"sanitize: tovra loaded from {tovra.__file__}, not from the sanitizer build {expected}")
print(f"sanitize: testing {tovra.__file__}")
EOF

status=0
"$python" -m pytest -q -p no:cacheprovider "$@" || status=$?

if compgen -G "$log_dir/*" >/dev/null; then
  echo "sanitize: sanitizer reports:" >&2
  cat "$log_dir"/* >&2
  status=1
fi
exit "$status"
