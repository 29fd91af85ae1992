#!/usr/bin/env bash
# Sets up the machine, then builds and runs the whole test suite twice: a
# normal build, and one with AddressSanitizer (leaks checked) and
# UndefinedBehaviorSanitizer; between the two it runs the fuzz targets
# briefly.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
run_suite() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

echo "== normal build"
run_suite build -DVORLAN_TESTS=ON
echo "== fuzzing (a few seconds; run build-fuzz/utf8Fuzz by hand for longer)"
cmake -S . -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DVORLAN_FUZZ=ON -DVORLAN_TESTS=OFF >/dev/null
cmake --build build-fuzz -j "$jobs" --target utf8Fuzz
ctest --test-dir build-fuzz --output-on-failure
echo "== sanitizer build"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-sanitize -DVORLAN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
