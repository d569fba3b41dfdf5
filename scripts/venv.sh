#!/usr/bin/env bash
# Makes (or reuses) the virtual environment, installs the dependencies from
# PyPI and builds and installs the package into it.
#   venv.sh PYTHON VENV_DIR [extra pip options for building the package...]
# VELK_EXTRA_REQUIREMENTS names one more requirements file to install (the ros
# part's real ROS 2).
source "$(dirname "$0")/common.sh"
PYTHON="$1"
VENV="$2"
shift 2
REQS="$PROJECT_ROOT/scripts/requirements.txt"
EXTRA_REQS="${VELK_EXTRA_REQUIREMENTS:-}"
STAMP="$VENV/.velk-requirements"
name=$(basename "$VENV"); name=${name#.}
LOGS="$TREE_LOGS/$name"

# Reused only when made from this very interpreter (python3 is a link to python3.13).
base_of() { "$1" -c 'import os, sys; print(os.path.realpath(getattr(sys, "_base_executable", sys.executable)))' 2>/dev/null; }
if [ ! -x "$VENV/bin/python" ] || [ "$(base_of "$VENV/bin/python")" != "$(base_of "$PYTHON")" ]; then
    step "creating the virtual environment $VENV" "$LOGS/create.log"
    rm -rf "$VENV"
    quietly "$PYTHON" -m venv "$VENV"
fi
wanted() { cat "$REQS" ${EXTRA_REQS:+"$EXTRA_REQS"}; }
if ! cmp -s <(wanted) "$STAMP"; then
    step "installing dependencies into $VENV (a minute or two on first run)" "$LOGS/dependencies.log"
    quietly "$VENV/bin/python" -m pip install --progress-bar off --upgrade pip
    if ! quietly "$VENV/bin/python" -m pip install --progress-bar off -r "$REQS" ${EXTRA_REQS:+-r "$EXTRA_REQS"}; then
        if grep -qiE 'Could not find a version|No matching distribution|Failed to establish|Max retries|Name or service not known|Temporary failure in name resolution' "$STEP_LOG"; then
            warn "pip could not get the packages from PyPI (unreachable, or no wheel for $("$VENV/bin/python" -c 'import sys; print(sys.version.split()[0])')):" \
                 "  $(grep -m 1 -iE 'ERROR:|Could not' "$STEP_LOG" || true)" \
                 "This part of the tests needs PyPI: see $(shown_path "$STEP_LOG")."
        fi
        false
    fi
    wanted >"$STAMP"
fi
step "building and installing velk_dev_kit into $VENV" "$LOGS/build.log"
(cd "$PROJECT_ROOT" && quietly "$VENV/bin/python" -m pip install -v --no-build-isolation --no-deps --force-reinstall "$@" .)
end_step
