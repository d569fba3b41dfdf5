#!/usr/bin/env bash
# Creates a Debian unstable root with CPython 3.14 and the build tools, cached
# outside the work tree. Prints the root's path on its last line.
source "$(dirname "$0")/common.sh"

ROOT="$VELK_CACHE/py314-root"
STAMP="$ROOT/.velk-ready"
PACKAGES="python3.14,python3.14-dev,python3.14-venv,g++,cmake,make,ninja-build,ca-certificates"

if [ -f "$STAMP" ]; then
    echo "$ROOT"
    exit 0
fi

ensure_host_packages debootstrap
MIRROR=$(debian_mirror)

step "bootstrapping Debian unstable with CPython 3.14 into $ROOT (about 3 minutes on first run)"
rm -rf "$ROOT"
if ! quietly debootstrap --variant=minbase --include="$PACKAGES" unstable "$ROOT" "$MIRROR"; then
    # Unstable may be signed by a key newer than this host's keyring knows.
    echo "    signature check failed or bootstrap broke; retrying without the keyring check"
    rm -rf "$ROOT"
    quietly debootstrap --no-check-gpg --variant=minbase --include="$PACKAGES" unstable "$ROOT" "$MIRROR"
fi
cp /etc/resolv.conf "$ROOT/etc/resolv.conf"
chroot "$ROOT" /usr/bin/python3.14 -c 'import sys; assert sys.version_info[:2] == (3, 14)'
touch "$STAMP"
echo "$ROOT"
