#!/usr/bin/env bash
# make wheel: the source archive and, built from it, one wheel per interpreter
# the project builds for, into dist/:
#   free-threaded CPython 3.13, x86-64   on the host
#   CPython 3.14, x86-64                 in the 3.14 root
#   CPython 3.14, aarch64                cross-built, tried under the emulator
# Each wheel gets the manylinux tag its symbols allow and is installed with its
# devpanel extra into a fresh environment of its interpreter, which imports
# every module; then every archive is checked (scripts/check-dist.py).
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/aarch64-common.sh"
PYTHON=$("$PROJECT_ROOT/scripts/freethreaded-python.sh" | tail -n 1)
DIST="$PROJECT_ROOT/dist"
TOOLS=$("$PROJECT_ROOT/scripts/wheel-tools.sh" "$PYTHON")

step "building the source archive into dist/" "$TREE_LOGS/wheel-sdist.log"
# The one place dist/ is emptied: every later step only adds to it.
rm -rf "$DIST"
quietly "$TOOLS/bin/python" -m build --sdist --outdir "$DIST" "$PROJECT_ROOT"
SDIST=$(ls "$DIST"/*.tar.gz)
end_step

"$PROJECT_ROOT/scripts/wheel-one.sh" "$PYTHON" "$SDIST" "$DIST" >/dev/null

# aarch64: built from the unpacked archive by aarch64-wheel.sh, tagged here.
WORK="$PROJECT_ROOT/build/wheel-aarch64"
rm -rf "$WORK"
mkdir -p "$WORK/src" "$WORK/raw" "$WORK/repaired"
tar -xzf "$SDIST" -C "$WORK/src" --strip-components=1
RAW=$("$PROJECT_ROOT/scripts/aarch64-wheel.sh" "$WORK/raw" "$WORK/src" | tail -n 1)
step "tagging it with the manylinux tag its symbols allow" "$TREE_LOGS/wheel-aarch64/repair.log"
quietly env PATH="$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" repair --wheel-dir "$WORK/repaired" "$RAW"
WHEEL="$DIST/$(basename "$WORK"/repaired/*.whl)"
mv "$WORK"/repaired/*.whl "$WHEEL"
end_step
say "    $(basename "$WHEEL")"
step "installing it with the devpanel extra into a fresh aarch64 environment" "$TREE_LOGS/wheel-aarch64/try.log"
SYSROOT=$("$PROJECT_ROOT/scripts/arm64-sysroot.sh" | tail -n 1)
aarch64_venv "$SYSROOT" "$WORK/venv"
# pip installs for the target: it takes the wheel only if its tags fit
# CPython 3.14 on aarch64, and the dependencies' wheels the target needs.
platforms=()
for p in $(basename "$WHEEL" .whl | awk -F- '{print $NF}' | tr . ' '); do platforms+=(--platform "$p"); done
quietly "$TOOLS/bin/python" -m pip install --progress-bar off --target "$WORK/venv/lib/python3.14/site-packages" --only-binary=:all: \
    --python-version 3.14 --implementation cp --abi cp314 "${platforms[@]}" "$WHEEL[devpanel]"
step "importing every module from it under the emulator"
(cd "$WORK" && PYTHONPATH="$PROJECT_ROOT/ros_stub" "$WORK/venv/bin/python3.14" -P "$PROJECT_ROOT/scripts/try-wheel.py") >&2

# Last, as the root may be busy with another work tree's tests.
"$PROJECT_ROOT/scripts/in-root.sh" bash scripts/wheel-one.sh /usr/bin/python3.14 \
    "dist/$(basename "$SDIST")" dist >/dev/null

step "checking the archives in dist/"
"$TOOLS/bin/python" "$PROJECT_ROOT/scripts/check-dist.py" "$DIST"/*
count=$(ls "$DIST"/*.whl | wc -l)
[ "$count" -eq 3 ] || { _current_step="checking dist/: $count wheels, not 3"; false; }
end_step
say "dist/:"
ls -1 "$DIST" | sed 's/^/    /' >&2
