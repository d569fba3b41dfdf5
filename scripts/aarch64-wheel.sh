#!/usr/bin/env bash
# Builds the linux_aarch64 wheel for CPython 3.14 and checks it.
#   aarch64-wheel.sh [OUT_DIR [SOURCE_DIR]]   (default: build/aarch64-dist, the checkout)
# make wheel builds it from the unpacked source archive, then tags it.
# The project's own build (scikit-build-core, CMake with
# cmake/aarch64-linux-gnu.cmake) runs in the emulated aarch64 interpreter, so
# the wheel's tags and module suffix are the target's; cmake, ninja and the
# cross compiler run natively. Any compiler or CMake warning fails the build.
# Prints the wheel's path on its last line.
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/aarch64-common.sh"
OUT="${1:-$PROJECT_ROOT/build/aarch64-dist}"
OUT="$(mkdir -p "$OUT" && cd "$OUT" && pwd)"
SOURCE="$(cd "${2:-$PROJECT_ROOT}" && pwd)"
# The oldest C library of the robots served: Ubuntu 22.04 (ROS 2 Humble).
MAX_GLIBC="${VELK_AARCH64_MAX_GLIBC:-2.35}"

SYSROOT=$("$PROJECT_ROOT/scripts/arm64-sysroot.sh" | tail -n 1)
ensure_host_packages $AARCH64_HOST_PACKAGES
ensure_host_build_tools
ENV_DIR="$PROJECT_ROOT/build/aarch64-env"
make_aarch64_env "$SYSROOT" "$ENV_DIR"

step "cross-compiling velk_dev_kit for aarch64 (CPython 3.14 wheel)"
export VELK_AARCH64_SYSROOT="$SYSROOT"
# CMake keeps the root's path in its cache: a build made against another root starts over.
BUILD_DIR="$SOURCE/build/aarch64-cmake"
if [ -f "$BUILD_DIR/CMakeCache.txt" ] && ! grep -qF -- "-idirafter $SYSROOT/usr/include" "$BUILD_DIR/CMakeCache.txt"; then
    rm -rf "$BUILD_DIR"
fi
cd "$SOURCE"
# The build's own interpreter is the bare arm64 executable, which CMake runs
# through the toolchain's emulator setting.
quietly env PYTHONPATH="$ENV_DIR/build-backend" \
    "$QEMU_AARCH64" -L "$SYSROOT" $QEMU_AARCH64_CPU "$SYSROOT/usr/bin/python3.14" - "$OUT" \
    "$PROJECT_ROOT/cmake/aarch64-linux-gnu.cmake" "$BUILD_DIR" <<'PY'
import sys
from scikit_build_core.build import build_wheel
out, toolchain, build_dir = sys.argv[1:]
# Lets CMake ask the target's interpreter (through the emulator) for its
# settings, the module suffix among them.
name = build_wheel(out, {"build-dir": build_dir,
                         "cmake.define.CMAKE_TOOLCHAIN_FILE": toolchain,
                         "cmake.define.CMAKE_POLICY_DEFAULT_CMP0190": "NEW"})
with open(f"{out}/.aarch64-wheel", "w") as f:
    f.write(name)
PY
BUILD_LOG="$STEP_LOG"
if grep -nE 'warning:|CMake Warning' "$BUILD_LOG" >&2; then
    rm -rf "$BUILD_DIR"   # so the next build compiles, and warns, again
    _current_step="cross-compiling for aarch64: the build printed warnings (above)"
    false
fi
WHEEL="$OUT/$(cat "$OUT/.aarch64-wheel")"
rm -f "$OUT/.aarch64-wheel"

step "checking $(basename "$WHEEL")"
STEP_LOG=""
CHECK=$(mktemp -d)
trap 'rm -rf "$CHECK"' EXIT
python3 - "$WHEEL" "$SOURCE/src/velk_dev_kit" "$CHECK" <<'PY'
import pathlib, sys, zipfile
wheel, src, dest = sys.argv[1], pathlib.Path(sys.argv[2]), sys.argv[3]
suffix = ".cpython-314-aarch64-linux-gnu.so"
assert wheel.endswith("-cp314-cp314-linux_aarch64.whl"), f"unexpected wheel tags: {wheel}"
with zipfile.ZipFile(wheel) as z:
    names = set(z.namelist())
    package = {n for n in names if n.startswith("velk_dev_kit/")}
    meta = names - package
    expected = {f"velk_dev_kit/{p.relative_to(src)}" for p in src.rglob("*")
                if p.is_file() and p.suffix != ".cpp" and "__pycache__" not in p.parts}
    expected |= {f"velk_dev_kit/{p.stem}{suffix}" for p in src.glob("*.cpp")}
    problems = [f"missing: {n}" for n in sorted(expected - package)]
    problems += [f"unexpected: {n}" for n in sorted(package - expected)]
    problems += [f"outside the package: {n}" for n in sorted(meta)
                 if not n.startswith("velk_dev_kit-") or ".dist-info/" not in n]
    for required in ("METADATA", "WHEEL", "RECORD"):
        if not any(n.endswith(".dist-info/" + required) for n in meta):
            problems.append(f"missing: dist-info {required}")
    if problems:
        sys.exit("wheel file list:\n  " + "\n  ".join(problems))
    z.extractall(dest, [n for n in package if n.endswith(".so")])
print(f"    file list as expected: {len(package)} package files, {len(meta)} metadata files")
PY
highest() {  # highest version of one symbol-version family over all modules
    { grep -oE "\b$1_[0-9.]+" || true; } | sed "s/^$1_//" | sort -uV | tail -n 1
}
glibc="" glibcxx="" needed=""
for so in "$CHECK"/velk_dev_kit/*.so; do
    machine=$(aarch64-linux-gnu-readelf -h "$so" | sed -n 's/^ *Machine: *//p')
    [ "$machine" = "AArch64" ] || { _current_step="checking $(basename "$so"): machine is '$machine'"; false; }
    syms=$(aarch64-linux-gnu-objdump -T "$so")
    glibc=$(printf '%s\n%s\n' "$glibc" "$(highest GLIBC <<<"$syms")" | grep . | sort -V | tail -n 1)
    glibcxx=$(printf '%s\n%s\n' "$glibcxx" "$(highest GLIBCXX <<<"$syms")" | grep . | sort -V | tail -n 1 || true)
    needed+=" $(aarch64-linux-gnu-readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')"
done
needed=$(tr ' ' '\n' <<<"$needed" | grep . | sort -u | tr '\n' ' ')
echo "    .so files: AArch64 ELF; highest symbol versions: GLIBC_${glibc:-none}, GLIBCXX_${glibcxx:-none}"
echo "    shared libraries needed: $needed"
if [ "$(printf '%s\n%s\n' "$glibc" "$MAX_GLIBC" | sort -V | tail -n 1)" != "$MAX_GLIBC" ]; then
    _current_step="checking the wheel: needs GLIBC_$glibc, newer than $MAX_GLIBC"; false
fi
for lib in $needed; do
    case "$lib" in
        libc.so.6|libm.so.6|ld-linux-aarch64.so.1) ;;
        *) _current_step="checking the wheel: needs $lib, which robots may lack"; false ;;
    esac
done
echo "$WHEEL"
