#!/usr/bin/env bash
# Checks the layers, builds everything and runs every test; then builds the tests with clang and
# ThreadSanitizer (which also checks the locking annotations) and runs every test again.
# Then it builds the Debian package and checks it (scripts/check-package.sh). The last line sums
# up both runs and the package check.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${FK_BUILD_DIR:-build}"
tsanBuild="${FK_TSAN_BUILD_DIR:-$build-tsan}"

scripts/check-layers.sh
scripts/build.sh

# Runs ctest in a build directory; its summary line is kept for the last line of this script.
summaries=()
runTests() {
  local dir="$1" log
  log="$(mktemp)"
  local status=0
  env TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1 second_deadlock_stack=1}" \
    ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" 2>&1 | tee "$log" || status=$?
  summaries+=("$dir: $(grep -E '^[0-9]+% tests passed' "$log" | tail -1)")
  rm -f "$log"
  return "$status"
}

failed=0
runTests "$build" || failed=1

CC=clang CXX=clang++ cmake -S . -B "$tsanBuild" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFK_SANITIZE_THREAD=ON >/dev/null
cmake --build "$tsanBuild" -j"$(nproc)" --target fk_tests
runTests "$tsanBuild" || failed=1

packageChecked=0
if scripts/check-package.sh; then packageChecked=1; else failed=1; fi

passed=$packageChecked
failedTests=$((1 - packageChecked))
for summary in "${summaries[@]}"; do
  echo "$summary"
  # "98% tests passed, 2 tests failed out of 168"
  total=$(sed -n 's/.* out of \([0-9]*\).*/\1/p' <<<"$summary")
  bad=$(sed -n 's/.* \([0-9]*\) tests failed.*/\1/p' <<<"$summary")
  passed=$((passed + ${total:-0} - ${bad:-0}))
  failedTests=$((failedTests + ${bad:-0}))
done
echo "package: $([ "$packageChecked" = 1 ] && echo "checks passed" || echo "checks FAILED")"
if [ "${#summaries[@]}" -ne 2 ]; then failed=1; fi
echo "$passed passed, $failedTests failed"
exit "$failed"
