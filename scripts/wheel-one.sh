#!/usr/bin/env bash
# Builds the wheel of one interpreter from the source archive, gives it the
# manylinux tag its symbols allow (auditwheel), and installs it with its
# devpanel extra into a fresh venv of that interpreter to import every module.
#   wheel-one.sh PYTHON SDIST OUT_DIR
# Runs on the host for the free-threaded interpreter and inside the 3.14 root
# for CPython 3.14. Prints the wheel's path on its last line.
source "$(dirname "$0")/common.sh"
PYTHON="$1" SDIST="$(cd "$(dirname "$2")" && pwd)/$(basename "$2")"
OUT="$(mkdir -p "$3" && cd "$3" && pwd)"
# The C++ runtime goes into each module, its symbols private, so the wheel
# needs only the C library; what a module never calls is dropped.
STATIC_RUNTIME="-static-libstdc++ -static-libgcc -Wl,--gc-sections -Wl,--exclude-libs,ALL"

TOOLS=$("$PROJECT_ROOT/scripts/wheel-tools.sh" "$PYTHON")
tag=$(basename "$TOOLS"); tag=${tag#wheel-tools-}
WORK="$PROJECT_ROOT/build/wheel-$tag"
LOGS="$TREE_LOGS/wheel-$tag"

step "building the $tag wheel from $(basename "$SDIST")" "$LOGS/build.log"
rm -rf "$WORK"
mkdir -p "$WORK/src" "$WORK/raw" "$WORK/repaired"
tar -xzf "$SDIST" -C "$WORK/src" --strip-components=1
quietly "$TOOLS/bin/python" -m build --wheel --outdir "$WORK/raw" \
    -C "cmake.define.CMAKE_MODULE_LINKER_FLAGS=$STATIC_RUNTIME" "$WORK/src"

step "tagging it with the manylinux tag its symbols allow" "$LOGS/repair.log"
quietly env PATH="$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" repair --wheel-dir "$WORK/repaired" "$WORK/raw"/*.whl
WHEEL="$OUT/$(basename "$WORK"/repaired/*.whl)"
mv "$WORK"/repaired/*.whl "$WHEEL"
end_step
say "    $(basename "$WHEEL")"

step "installing it with the devpanel extra into a fresh venv, importing every module" "$LOGS/try.log"
quietly "$PYTHON" -m venv "$WORK/venv"
quietly "$WORK/venv/bin/python" -m pip install --progress-bar off "$WHEEL[devpanel]"
end_step
(cd "$WORK" && PYTHONPATH="$PROJECT_ROOT/ros_stub" "$WORK/venv/bin/python" -P "$PROJECT_ROOT/scripts/try-wheel.py") >&2
echo "$WHEEL"
