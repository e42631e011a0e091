#!/usr/bin/env bash
# The CI's sanitizer job: builds the AddressSanitizer/UndefinedBehaviorSanitizer variant of the
# two extension modules and runs the tests that drive the native code hardest under it (the
# fuzz suite in its fast profile, the recursive loops, prediction and intervals, reference
# leaks, threads, the native function layer). About five minutes on two idle cores (most of it
# the build: 6 CPU-minutes with the tests, 1 for the tests alone); the whole suite
# under the sanitizers stays `scripts/sanitize.sh` (see the README).
#
# Runs in the active Python environment, which needs the test extra; the build tools are
# added to it when missing.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PYTHON="${PYTHON:-python}"

NATIVE_HEAVY_TESTS=(
    tests/test_fuzz.py
    tests/test_recursion.py
    tests/test_recursive_direct_loop.py
    tests/test_predict.py
    tests/test_intervals.py
    tests/test_leaks.py
    tests/test_threads.py
    tests/test_pyclass.py
    tests/test_tembrel.py
)

ensure_build_tools() {
    "$PYTHON" -c "import pybind11" 2>/dev/null || "$PYTHON" -m pip install --quiet pybind11
    command -v cmake >/dev/null 2>&1 || "$PYTHON" -m pip install --quiet cmake
    command -v ninja >/dev/null 2>&1 || "$PYTHON" -m pip install --quiet ninja
}

main() {
    ensure_build_tools
    local start=$SECONDS status=0
    SANITIZE_TESTS="${NATIVE_HEAVY_TESTS[*]}" PYTHON="$PYTHON" \
        "$ROOT/scripts/sanitize.sh" "$@" || status=$?
    echo "ci_sanitize.sh: sanitizer job took $((SECONDS - start)) s (status $status)"
    return "$status"
}

main "$@"
