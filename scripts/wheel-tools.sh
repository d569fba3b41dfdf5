#!/usr/bin/env bash
# Makes (or reuses) the venv of make wheel's tools for one interpreter, under
# build/; prints its path on stdout (its only output there).
#   wheel-tools.sh PYTHON
source "$(dirname "$0")/common.sh"
PYTHON="$1"
REQS="$PROJECT_ROOT/scripts/requirements-wheel.txt"
tag=$("$PYTHON" -c 'import sys, sysconfig; v = sys.version_info
print(f"cp{v[0]}{v[1]}" + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))')
TOOLS="$PROJECT_ROOT/build/wheel-tools-$tag"

# The interpreter a python (or a venv's python) really runs.
base() { "$1" -c 'import os, sys; print(os.path.realpath(sys._base_executable))' 2>/dev/null; }
if [ ! -x "$TOOLS/bin/python" ] || ! cmp -s "$REQS" "$TOOLS/.velk-requirements" \
        || [ "$(base "$TOOLS/bin/python")" != "$(base "$PYTHON")" ]; then
    step "installing the packaging tools into $(shown_path "$TOOLS")" "$TREE_LOGS/wheel-tools-$tag.log"
    rm -rf "$TOOLS"
    quietly "$PYTHON" -m venv "$TOOLS"
    quietly "$TOOLS/bin/python" -m pip install --progress-bar off -r "$REQS"
    cp "$REQS" "$TOOLS/.velk-requirements"
fi
echo "$TOOLS"
