#!/usr/bin/env bash
# Makes (or reuses) the virtual environment, installs the dependencies from
# PyPI and builds and installs the package into it.
#   venv.sh PYTHON VENV_DIR
source "$(dirname "$0")/common.sh"
PYTHON="$1"
VENV="$2"
REQS="$PROJECT_ROOT/scripts/requirements.txt"
STAMP="$VENV/.velk-requirements"

if [ ! -x "$VENV/bin/python" ] || [ "$("$VENV/bin/python" -c 'import sys; print(sys._base_executable)' 2>/dev/null)" != "$("$PYTHON" -c 'import sys; print(sys.executable)')" ]; then
    step "creating the virtual environment $VENV"
    rm -rf "$VENV"
    quietly "$PYTHON" -m venv "$VENV"
fi
if ! cmp -s "$REQS" "$STAMP"; then
    step "installing dependencies into $VENV"
    quietly "$VENV/bin/python" -m pip install --upgrade pip
    quietly "$VENV/bin/python" -m pip install -r "$REQS"
    cp "$REQS" "$STAMP"
fi
step "building and installing velk_dev_kit into $VENV"
(cd "$PROJECT_ROOT" && quietly "$VENV/bin/python" -m pip install --no-build-isolation --no-deps --force-reinstall .)
