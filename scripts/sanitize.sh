#!/usr/bin/env bash
# Build the two extension modules with AddressSanitizer and UndefinedBehaviorSanitizer and run
# the test suite and the fuzz suite against them.
#
# The sanitized modules are built in build/sanitize and never written into src/: the package
# tree is copied to a temporary directory and the two sanitized shared libraries replace the
# regular ones there. The interpreter itself is not instrumented, so the ASan runtime is
# preloaded and Python's own allocator is switched off (PYTHONMALLOC=malloc) so that every
# allocation goes through ASan.
#
# Allocations that can never succeed (NumPy asked for an array of terabytes) must fail the way
# they fail without sanitizers, with a MemoryError, so the allocator returns null instead of
# aborting. A sanitizer report aborts the interpreter, and pytest's captured output dies with
# it, so the reports are written to files and shown at the end.
#
# Usage: scripts/sanitize.sh [extra pytest arguments]
#   ORVANE_FUZZ=long scripts/sanitize.sh     # also run the long fuzz profile
#   SANITIZE_KEEP=1 scripts/sanitize.sh      # keep the temporary package copy
#   SANITIZE_TESTS="tests/test_fuzz.py tests/test_leaks.py" scripts/sanitize.sh   # some files only
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="$ROOT/build/sanitize"
PYTHON="${PYTHON:-python}"
JOBS="${JOBS:-2}"

configure_and_build() {
    local generator=()
    if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
    cmake -S "$ROOT" -B "$BUILD_DIR" "${generator[@]}" \
        -DORVANE_SANITIZE=ON \
        -DORVANE_INPLACE=OFF \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DPython_EXECUTABLE="$(command -v "$PYTHON")" \
        -Dpybind11_DIR="$("$PYTHON" -m pybind11 --cmakedir)"
    cmake --build "$BUILD_DIR" -j"$JOBS"
}

# The one built library whose name starts with $1 (e.g. tembrel.cpython-311-x86_64-linux-gnu.so).
built_module() {
    local found
    found="$(find "$BUILD_DIR" -maxdepth 2 -name "$1.*.so" -newer "$BUILD_DIR/CMakeCache.txt" | head -n 1)"
    if [[ -z "$found" ]]; then
        found="$(find "$BUILD_DIR" -maxdepth 2 -name "$1.*.so" | head -n 1)"
    fi
    if [[ -z "$found" ]]; then
        echo "sanitize.sh: no $1 module was built in $BUILD_DIR" >&2
        exit 1
    fi
    echo "$found"
}

make_package_copy() {
    local target="$1"
    cp -r "$ROOT/src/orvane" "$target/orvane"
    find "$target/orvane" -name '__pycache__' -type d -prune -exec rm -rf {} +
    rm -f "$target"/orvane/gusk/estimators/utils/tembrel.*.so
    rm -f "$target"/orvane/gusk/estimators/tembrel/models/gusk_estimators.*.so
    cp "$(built_module tembrel)" "$target/orvane/gusk/estimators/utils/"
    cp "$(built_module gusk_estimators)" "$target/orvane/gusk/estimators/tembrel/models/"
}

sanitizer_preload() {
    local libs=() lib
    for name in libasan.so libubsan.so; do
        lib="$(gcc -print-file-name="$name")"
        # gcc echoes the bare name back when it has no such runtime.
        if [[ "$lib" != "$name" && -e "$lib" ]]; then libs+=("$lib"); fi
    done
    (IFS=' '; echo "${libs[*]}")
}

run_tests() {
    local package_dir="$1"
    shift
    local preload reports="$package_dir/sanitizer-reports"
    local -a tests
    read -r -a tests <<<"${SANITIZE_TESTS:-tests}"
    preload="$(sanitizer_preload)"
    mkdir -p "$reports"
    echo "sanitize.sh: LD_PRELOAD=$preload"
    echo "sanitize.sh: running ${tests[*]} against $package_dir"
    local status=0
    (
        cd "$ROOT"
        env LD_PRELOAD="$preload" \
            ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:print_stacktrace=1:allocator_may_return_null=1:log_path=$reports/asan" \
            UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan" \
            PYTHONMALLOC=malloc \
            PYTHONPATH="$package_dir" \
            "$PYTHON" -m pytest "${tests[@]}" -q -p no:cacheprovider "$@"
    ) || status=$?
    show_reports "$reports" || status=1
    return "$status"
}

# Prints every sanitizer report written during the run; fails when there was one.
show_reports() {
    local found=1 report
    for report in "$1"/*; do
        [[ -s "$report" ]] || continue
        found=0
        echo "sanitize.sh: sanitizer report $report:" >&2
        cat "$report" >&2
    done
    return $((1 - found))
}

PACKAGE_DIR=""

remove_package_copy() {
    if [[ -n "$PACKAGE_DIR" && -z "${SANITIZE_KEEP:-}" ]]; then rm -rf "$PACKAGE_DIR"; fi
}

main() {
    configure_and_build
    PACKAGE_DIR="$(mktemp -d "${TMPDIR:-/tmp}/orvane-sanitize.XXXXXX")"
    trap remove_package_copy EXIT
    if [[ -n "${SANITIZE_KEEP:-}" ]]; then echo "sanitize.sh: keeping $PACKAGE_DIR"; fi
    make_package_copy "$PACKAGE_DIR"
    # Make sure the sanitized copy, not src/, is what the tests import.
    env PYTHONPATH="$PACKAGE_DIR" LD_PRELOAD="$(sanitizer_preload)" ASAN_OPTIONS=detect_leaks=0 \
        "$PYTHON" -c 'import orvane.gusk.estimators.tembrel.models.gusk_estimators as g, sys; assert g.__file__.startswith(sys.argv[1]), g.__file__; print("sanitize.sh: using", g.__file__)' \
        "$PACKAGE_DIR"
    run_tests "$PACKAGE_DIR" "$@"
}

main "$@"
