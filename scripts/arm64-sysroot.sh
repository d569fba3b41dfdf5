#!/usr/bin/env bash
# Makes an arm64 root with CPython 3.14 from Debian unstable's arm64 packages,
# cached outside the work tree. The packages are fetched with apt under a
# private configuration and unpacked with dpkg-deb: no arm64 code runs except
# the final byte-compilation of the standard library, under the emulator.
# Prints the root's path on its last line.
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/aarch64-common.sh"

SYSROOT="$VELK_CACHE/arm64-sysroot"
STAMP="$SYSROOT/.velk-ready"
PACKAGES=(python3.14 python3.14-dev libpython3.14-dev libc6 libstdc++6 libgcc-s1)

if [ -f "$STAMP" ]; then
    echo "$SYSROOT"
    exit 0
fi

# One builder at a time; a second caller waits and then finds the stamp.
exec 8>"$VELK_CACHE/arm64-sysroot.lock"
flock 8
if [ -f "$STAMP" ]; then
    echo "$SYSROOT"
    exit 0
fi

ensure_host_packages $AARCH64_HOST_PACKAGES
MIRROR=$(debian_mirror)
APT_DIR="$VELK_CACHE/apt-arm64"
mkdir -p "$APT_DIR/lists/partial" "$APT_DIR/archives/partial" "$APT_DIR/cache"
: >"$APT_DIR/status"
printf 'deb [arch=arm64] %s unstable main\n' "$MIRROR" >"$APT_DIR/sources.list"

# Nothing of the host's own apt state is read or written: an empty package
# status, so every dependency is fetched, and the host's keyring for checks.
apt_arm64() {
    apt-get -o APT::Architecture=arm64 -o APT::Architectures=arm64 \
            -o Dir::State="$APT_DIR" \
            -o Dir::State::Lists="$APT_DIR/lists" \
            -o Dir::State::status="$APT_DIR/status" \
            -o Dir::State::extended_states="$APT_DIR/extended_states" \
            -o Dir::Cache="$APT_DIR/cache" \
            -o Dir::Cache::Archives="$APT_DIR/archives" \
            -o Dir::Etc::SourceList="$APT_DIR/sources.list" \
            -o Dir::Etc::SourceParts=/dev/null \
            -o Dir::Etc::Preferences=/dev/null \
            -o Dir::Etc::PreferencesParts=/dev/null \
            -o APT::Install-Recommends=false \
            -o Acquire::Check-Valid-Until=false \
            -o Debug::NoLocking=true "$@"
}

step "fetching Debian unstable's arm64 package lists"
if ! quietly apt_arm64 update || grep -q 'NO_PUBKEY\|not signed' "$STEP_LOG"; then
    # Unstable may be signed by a key newer than this host's keyring knows.
    echo "    signature check failed; retrying without it"
    printf 'deb [arch=arm64 trusted=yes] %s unstable main\n' "$MIRROR" >"$APT_DIR/sources.list"
    quietly apt_arm64 -o Acquire::AllowInsecureRepositories=true update
fi

step "downloading ${PACKAGES[*]} for arm64 and what they need"
quietly apt_arm64 -y --download-only install "${PACKAGES[@]}"

step "unpacking the arm64 packages into $SYSROOT"
rm -rf "$SYSROOT"
mkdir -p "$SYSROOT/usr"
for deb in "$APT_DIR"/archives/*.deb; do
    dpkg-deb -x "$deb" "$SYSROOT"
done
# The loader and libraries are looked up under /lib (the emulator's -L prefix,
# the ELF interpreter path): merge the top-level folders into usr/.
for d in bin lib sbin; do
    if [ -d "$SYSROOT/$d" ] && [ ! -L "$SYSROOT/$d" ]; then
        mkdir -p "$SYSROOT/usr/$d"
        cp -a "$SYSROOT/$d/." "$SYSROOT/usr/$d/"
        rm -rf "${SYSROOT:?}/$d"
    fi
    [ -e "$SYSROOT/$d" ] || ln -s "usr/$d" "$SYSROOT/$d"
done
[ -e "$SYSROOT/usr/lib/ld-linux-aarch64.so.1" ] || {
    _current_step="checking the arm64 root"; echo "no arm64 loader in the unpacked packages" >&2; false; }

# The packages ship no byte code; without it every emulated start compiles
# the modules it imports again.
step "byte-compiling the arm64 standard library under the emulator (about a minute)"
quietly "$QEMU_AARCH64" -L "$SYSROOT" $QEMU_AARCH64_CPU \
    "$SYSROOT/usr/bin/python3.14" -m compileall -q "$SYSROOT/usr/lib/python3.14"
"$QEMU_AARCH64" -L "$SYSROOT" $QEMU_AARCH64_CPU "$SYSROOT/usr/bin/python3.14" \
    -c 'import sys, platform; assert sys.version_info[:2] == (3, 14) and platform.machine() == "aarch64"'
touch "$STAMP"
echo "$SYSROOT"
