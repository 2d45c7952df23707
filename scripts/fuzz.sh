#!/usr/bin/env bash
# Builds the libFuzzer targets of the core with clang, AddressSanitizer and UBSan, and runs each
# for a while on its seed corpus. Any crash, sanitizer report or broken property fails the run.
#   bash scripts/fuzz.sh [seconds per target, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}
if ! command -v clang++ >/dev/null || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-dev >/dev/null 2>&1 ||
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-14-dev
fi

build=build/fuzz
mkdir -p "$build"
flags=(-std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -DTOVRA_DEBUG_ASSERTIONS -Isrc)
# The vector validators and decoder of UTF-8 are built for their instruction sets alone, as
# CMake does.
clang++ "${flags[@]}" -mssse3 -c src/json/utf8_validate_ssse3.cc -o "$build/utf8_validate_ssse3.o"
clang++ "${flags[@]}" -mssse3 -c src/json/utf8_ssse3.cc -o "$build/utf8_ssse3.o"
clang++ "${flags[@]}" -mavx2 -c src/json/utf8_validate_avx2.cc -o "$build/utf8_validate_avx2.o"
clang++ "${flags[@]}" -mavx2 -mpopcnt -c src/json/utf8_decode_avx2.cc -o "$build/utf8_decode_avx2.o"
# Every other source of the layer, so that a new file needs no entry here.
json_layer=("$build/utf8_validate_ssse3.o" "$build/utf8_ssse3.o" "$build/utf8_validate_avx2.o"
  "$build/utf8_decode_avx2.o")
for source in src/json/*.cc; do
  case "$source" in
    src/json/utf8_validate_*|src/json/utf8_decode_*|src/json/utf8_ssse3.cc) ;;
    *) json_layer+=("$source") ;;
  esac
done
query_layer=(src/query/query.cc src/query/key_path.cc src/query/filter.cc src/query/update.cc)
clang++ "${flags[@]}" "${json_layer[@]}" tests/fuzz/fuzz_reader.cc -o "$build/fuzz_reader"
clang++ "${flags[@]}" "${json_layer[@]}" "${query_layer[@]}" src/store/query_cache.cc src/store/fs.cc \
  src/store/indexes.cc src/store/equality_index.cc src/store/numeric_index.cc \
  tests/fuzz/fuzz_query.cc -o "$build/fuzz_query"

export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

for target in reader query; do
  corpus="$build/corpus_$target"
  mkdir -p "$corpus"
  cp -n tests/fuzz/corpus_$target/* "$corpus/" 2>/dev/null || true
  echo "fuzzing $target for ${seconds}s"
  "$build/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/" "$corpus" \
    >"$build/fuzz_$target.out" 2>"$build/fuzz_$target.log" || {
    tail -n 60 "$build/fuzz_$target.log"
    exit 1
  }
  grep -E 'stat::number_of_executed_units|Done' "$build/fuzz_$target.log" | tail -n 2
done
