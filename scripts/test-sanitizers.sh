#!/usr/bin/env bash
# Builds the modules with AddressSanitizer and UndefinedBehaviorSanitizer into
# their own venv (.venv-asan, from the free-threaded interpreter) and runs the
# whole suite with the sanitizer runtime preloaded. Any report fails the run,
# also one from a child interpreter whose test did not notice it.
#   test-sanitizers.sh [pytest arguments...]
source "$(dirname "$0")/common.sh"
PYTHON=$("$PROJECT_ROOT/scripts/freethreaded-python.sh") || exit $?
VENV="$PROJECT_ROOT/.venv-asan"
"$PROJECT_ROOT/scripts/venv.sh" "$PYTHON" "$VENV" \
    -C cmake.define.VELK_SANITIZE=address,undefined \
    -C cmake.build-type=RelWithDebInfo \
    -C "build-dir=build/asan-{wheel_tag}" || exit $?

# The interpreter is a C program: with libasan alone, the first C++ throw in a
# module aborts, so the C++ runtime is preloaded right after it.
PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so.6)"
REPORTS="$PROJECT_ROOT/build/sanitizer-reports"
rm -rf "$REPORTS" && mkdir -p "$REPORTS"
# Reports go to files (one per process) so that none is lost in a child's
# captured output. Leak detection is off: the interpreter deliberately leaves
# its own allocations to the system at exit, which would bury any report, and
# the package's own leaks are what the reference-count, descriptor and thread
# checks of the leak tests look for.
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:log_path=$REPORTS/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
# UndefinedBehaviorSanitizer runs as a plug-in of the address one and ignores
# log_path, so every interpreter of this venv (children too) points its report
# file the same way as it starts.
export VELK_UBSAN_REPORTS="$REPORTS/ubsan"
SITE=$("$VENV/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
echo 'import os, ctypes; p = os.environ.get("VELK_UBSAN_REPORTS"); p and ctypes.CDLL("libubsan.so.1").__sanitizer_set_report_path(p.encode())' \
    >"$SITE/velk_sanitizer_reports.pth"

step "running the tests on $("$VENV/bin/python" -c 'import sys; print(sys.version.split()[0])') free-threaded, modules built with AddressSanitizer and UndefinedBehaviorSanitizer (reports: $(shown_path "$REPORTS"))"
cd "$PROJECT_ROOT"
rc=0
LD_PRELOAD="$PRELOAD" "$VENV/bin/python" -m pytest -m "not no_sanitizers" "$@" || rc=$?

shopt -s nullglob
reports=("$REPORTS"/*)
if [ ${#reports[@]} -gt 0 ]; then
    say ""
    say "*** the sanitizers reported ${#reports[@]} fault(s):"
    for r in "${reports[@]}"; do
        # The fault and the first frames; the interpreter's own frames follow.
        say "--- $(shown_path "$r")"
        grep -m 1 -E 'ERROR: |runtime error: ' "$r" >&2 || true
        grep -m 12 -E '^ +#[0-9]+ ' "$r" >&2 || true
        grep -m 1 '^SUMMARY: ' "$r" >&2 || true
    done
    # In pytest's closing words, so that nobody reads the run as passed.
    echo "=== FAILED: ${#reports[@]} sanitizer report(s) in $REPORTS ==="
    [ "$rc" -ne 0 ] || rc=1
fi
exit "$rc"
