#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test twice: a release build, and a build
# with AddressSanitizer and UndefinedBehaviorSanitizer where any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh --test

jobs=$(nproc 2>/dev/null || echo 2)
export QT_QPA_PLATFORM=offscreen

run_suite() {
  local dir=$1; shift
  # The test builds give the client the hidden options the tests drive it with.
  cmake -S . -B "$dir" -G Ninja -DTAVREL_WERROR=ON -DTAVREL_TEST_HOOKS=ON "$@"
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600
}

echo "== release build and tests ($(date +%T))"
run_suite build-ci/release -DCMAKE_BUILD_TYPE=Release

echo "== sanitizer build and tests ($(date +%T))"
# A sanitizer report ends the process with a failure, and so fails its test.
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:exitcode=99:detect_leaks=1"
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:suppressions=$PWD/scripts/ubsan.supp"
run_suite build-ci/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVREL_SANITIZE=ON
echo "== all suites passed ($(date +%T))"
