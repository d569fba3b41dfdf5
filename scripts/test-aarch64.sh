#!/usr/bin/env bash
# Cross-compiles the package for aarch64 and runs the whole test suite on
# Debian's CPython 3.14 for arm64 under the user-mode emulator.
#   test-aarch64.sh [pytest arguments...]
# The emulator is always called explicitly (nothing is registered with the
# kernel). pytest's own closing line is the last line printed, and is kept
# with the whole output in build/pytest-aarch64.log.
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/aarch64-common.sh"

DIST="$PROJECT_ROOT/build/aarch64-dist"
rm -rf "$DIST"
"$PROJECT_ROOT/scripts/aarch64-wheel.sh" "$DIST"
WHEEL=$(ls "$DIST"/velk_dev_kit-*-linux_aarch64.whl)
ENV_DIR="$PROJECT_ROOT/build/aarch64-env"
SITE="$ENV_DIR/lib/python3.14/site-packages"

step "installing $(basename "$WHEEL") into $ENV_DIR"
rm -rf "$SITE"/velk_dev_kit "$SITE"/velk_dev_kit-*.dist-info
python3 -m zipfile -e "$WHEEL" "$SITE"

step "running the tests on $("$ENV_DIR/bin/python3.14" -c 'import platform; print(platform.python_version(), platform.machine())') under qemu-user"
STEP_LOG=""
cd "$PROJECT_ROOT"
LOG="$PROJECT_ROOT/build/pytest-aarch64.log"
set +e
# Tests bound to wall-clock time skip themselves under the emulator.
export VELK_EMULATOR=qemu-user
"$ENV_DIR/bin/python3.14" -m pytest "$@" 2>&1 | tee "$LOG"
status=${PIPESTATUS[0]}
exit "$status"
