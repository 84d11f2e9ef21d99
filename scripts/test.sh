#!/usr/bin/env bash
# Builds everything and runs the whole test suite: first the normal build,
# then the same suite built with AddressSanitizer and UndefinedBehaviorSanitizer,
# then built with ThreadSanitizer (suppressions in tests/tsan.supp; the
# allocation-failure walk is left out there: it runs one thread and takes
# many times longer under it).
# Every test program runs inside zovsandbox (private mount and IPC namespaces),
# so nothing is created on the real /tmp, /opt or /var.
#   ZOV_SKIP_SANITIZERS=1  skip both sanitizer passes
#   ZOV_SKIP_TSAN=1        skip the ThreadSanitizer pass only
#   ZOV_CMAKE_ARGS="..."   extra CMake arguments (e.g. -DZOV_SOAK=ON)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh test

jobs=$(nproc)
run_suite() {
  local dir=$1
  shift
  cmake -S . -B "$dir" "$@" ${ZOV_CMAKE_ARGS:-} >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" ${ZOV_CTEST_EXCLUDE:+-E "$ZOV_CTEST_EXCLUDE"}
}

echo "== Build and test"
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
if [ "${ZOV_SKIP_SANITIZERS:-0}" != 1 ]; then
  echo "== Build and test with AddressSanitizer and UndefinedBehaviorSanitizer"
  run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DZOV_SANITIZE=ON -DZOV_BENCH=OFF
fi
if [ "${ZOV_SKIP_SANITIZERS:-0}" != 1 ] && [ "${ZOV_SKIP_TSAN:-0}" != 1 ]; then
  echo "== Build and test with ThreadSanitizer"
  ZOV_CTEST_EXCLUDE='^allocation_injection_test$' \
    run_suite build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZOV_TSAN=ON -DZOV_BENCH=OFF
fi
