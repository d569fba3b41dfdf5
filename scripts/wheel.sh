#!/usr/bin/env bash
# Builds the source archive and, from it, a wheel into dist/, then checks both:
# metadata, long description and the files each one holds.
#   wheel.sh [PYTHON]   (default: the free-threaded interpreter; the wheel is for it alone)
source "$(dirname "$0")/common.sh"
PYTHON="${1:-$("$PROJECT_ROOT/scripts/freethreaded-python.sh" | tail -n 1)}"
TOOLS="$PROJECT_ROOT/build/wheel-tools"
REQS="$PROJECT_ROOT/scripts/requirements-wheel.txt"

# The interpreter a python (or a venv's python) really runs.
base() { "$1" -c 'import os, sys; print(os.path.realpath(sys._base_executable))' 2>/dev/null; }
if [ ! -x "$TOOLS/bin/python" ] || ! cmp -s "$REQS" "$TOOLS/.velk-requirements" \
        || [ "$(base "$TOOLS/bin/python")" != "$(base "$PYTHON")" ]; then
    step "installing the packaging tools into $TOOLS"
    rm -rf "$TOOLS"
    quietly "$PYTHON" -m venv "$TOOLS"
    quietly "$TOOLS/bin/python" -m pip install -r "$REQS"
    cp "$REQS" "$TOOLS/.velk-requirements"
fi
step "building the source archive, then the wheel from it, into dist/"
rm -rf "$PROJECT_ROOT/dist"
quietly "$TOOLS/bin/python" -m build --outdir "$PROJECT_ROOT/dist" "$PROJECT_ROOT"
step "checking the archives in dist/"
STEP_LOG=""
"$TOOLS/bin/python" "$PROJECT_ROOT/scripts/check-dist.py" "$PROJECT_ROOT"/dist/*
step "loading a module from the installed wheel"
TRY=$(mktemp -d)
trap 'rm -rf "$TRY"' EXIT
quietly "$TOOLS/bin/python" -m pip install --no-deps --target "$TRY" "$PROJECT_ROOT"/dist/*.whl
(cd "$TRY" && PYTHONPATH="$TRY" "$TOOLS/bin/python" -P -W ignore::RuntimeWarning -c 'import velk_dev_kit.recorder')
