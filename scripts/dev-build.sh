#!/usr/bin/env bash
# Quick edit-compile loop for one module, without the packaging step:
#   dev-build.sh VENV_DIR MODULE [MODULE...]
# Makes VENV_DIR from the free-threaded interpreter when missing, then compiles
# each named module straight into its site-packages.
source "$(dirname "$0")/common.sh"
VENV="$1"; shift
if [ ! -x "$VENV/bin/python" ]; then
    PYTHON=$("$PROJECT_ROOT/scripts/freethreaded-python.sh") || exit $?
    step "creating $VENV with the dependencies" "$TREE_LOGS/dev-build-venv.log"
    quietly "$PYTHON" -m venv "$VENV"
    quietly "$VENV/bin/python" -m pip install -r "$PROJECT_ROOT/scripts/requirements.txt"
fi
PY="$VENV/bin/python"
read -r INCLUDE EXT SITE < <("$PY" -c 'import sysconfig as s; print(s.get_paths()["include"], s.get_config_var("EXT_SUFFIX"), s.get_paths()["purelib"])')
mkdir -p "$SITE/velk_dev_kit"
# Everything of the package but its C++ sources: initialiser, stubs, subpackages.
(cd "$PROJECT_ROOT/src/velk_dev_kit" && tar cf - --exclude='*.cpp' --exclude=__pycache__ .) \
    | tar xf - -C "$SITE/velk_dev_kit"
for module in "$@"; do
    step "compiling $module"
    g++ -std=c++20 -O2 -g -Wall -Wextra -Wno-missing-field-initializers -shared -fPIC \
        -fvisibility=hidden -I"$PROJECT_ROOT/core" -I"$INCLUDE" \
        "$PROJECT_ROOT/src/velk_dev_kit/$module.cpp" -o "$SITE/velk_dev_kit/$module$EXT"
done
