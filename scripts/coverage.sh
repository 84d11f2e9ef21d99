#!/usr/bin/env bash
# Line coverage of the product's sources by the test suite, one list per test
# program: what a test catches is bounded by what it runs, so before a test is
# cut or merged, the lines only it covers show what must stay covered elsewhere.
#   scripts/coverage.sh [OUT_DIR] [CTEST_REGEX]
# writes OUT_DIR/<test>.txt ("file:line" per covered line of src/) and
# OUT_DIR/all.txt (their union). Needs gcovr (ZOV_BENCH_TOOLS=1 bash scripts/install-deps.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build-cov/coverage}")
regex=${2:-.}
build=build-cov
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DZOV_COVERAGE=ON -DZOV_BENCH=OFF \
  ${ZOV_CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
mkdir -p "$out"
for test in $(ctest --test-dir "$build" -N -R "$regex" | sed -n 's/^ *Test *#[0-9]*: //p'); do
  find "$build" -name '*.gcda' -delete
  ctest --test-dir "$build" -R "^${test}\$" >/dev/null || echo "warning: $test failed" >&2
  gcovr -r . --filter 'src/' --gcov-ignore-parse-errors --json "$build/$test.json" "$build" >/dev/null 2>&1
  python3 - "$build/$test.json" >"$out/$test.txt" <<'PY'
import json, sys
for f in json.load(open(sys.argv[1]))["files"]:
    for line in f["lines"]:
        if line["count"] > 0:
            print(f'{f["file"]}:{line["line_number"]}')
PY
  echo "$test: $(wc -l <"$out/$test.txt") lines"
done
shopt -s nullglob
lists=("$out"/*_test.txt "$out"/*smoke*.txt)
sort -u "${lists[@]}" /dev/null >"$out/all.txt"
echo "all: $(wc -l <"$out/all.txt") lines covered"
