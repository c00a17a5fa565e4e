#!/usr/bin/env bash
# Sets up, builds and runs every test: the format check, the normal build, then the same
# tests built with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash tools/setup.sh --tests

echo "== format check"
git ls-files -z -- '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror

echo "== build and test"
bash tools/build.sh build
ctest --test-dir build --output-on-failure -j2

echo "== sanitizer build and test"
bash tools/build.sh build-asan -DCORVANE_SANITIZE=ON -DCORVANE_BUILD_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
LSAN_OPTIONS=suppressions=$root/tools/lsan.supp:print_suppressions=0 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j2
