#!/usr/bin/env bash
# Runs every benchmark in bench/ on the package as installed in .venv (made by
# `make venv`), then prints the closing table of all their comparisons and
# writes it to build/bench.md. Exits 1 when a benchmark fails or a target is
# missed; the table is printed either way.
source "$(dirname "$0")/common.sh"
VENV="$PROJECT_ROOT/.venv"
# callgrind counts the relay's instructions per message; readelf (binutils)
# matches the installed module with the build tree's copy that keeps its symbols.
ensure_host_packages valgrind binutils \
    || echo "    (valgrind could not be installed: the relay benchmark counts no instructions)" >&2
"$VENV/bin/python" -m pip install -q --only-binary jiter,pydantic-core openai >/dev/null 2>&1 \
    || echo "(the openai package could not be installed: the chat benchmark skips its column)"
ROWS="$PROJECT_ROOT/build/bench-rows.jsonl"
mkdir -p "$PROJECT_ROOT/build"
: >"$ROWS"
status=0
cd "$PROJECT_ROOT"
for b in bench/bench_*.py; do
    echo "== $b"
    VELK_BENCH_ROWS="$ROWS" "$VENV/bin/python" "$b" || { echo "   ($b exited with $?)"; status=1; }
done
echo
echo "== all benchmarks (also in build/bench.md)"
"$VENV/bin/python" bench/_table.py "$ROWS" "$PROJECT_ROOT/build/bench.md" || status=1
exit "$status"
