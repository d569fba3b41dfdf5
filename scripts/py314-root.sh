#!/usr/bin/env bash
# Creates a Debian unstable root with CPython 3.14 and the build tools, cached
# outside the work tree. Prints the root's path on stdout (its only output
# there); steps go to stderr. Callers hold the root's lock (see in-root.sh).
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

LOG="$CACHE_LOGS/py314-root-bootstrap.log"
step "bootstrapping Debian unstable with CPython 3.14 into $ROOT (about 3 minutes on first run)" "$LOG"
rm -rf "$ROOT"
if ! quietly debootstrap --variant=minbase --include="$PACKAGES" unstable "$ROOT" "$MIRROR"; then
    # Unstable may be signed by a key newer than this host's keyring knows;
    # only that failure is worth a retry without the check.
    reason=$(grep -E '^(E|W): ' "$LOG" | grep -iE 'signature|signed|NO_PUBKEY|gpgv|keyring|key id' | head -n 1) || true
    if [ -z "$reason" ]; then
        false   # not a signature problem: report it as it is
    fi
    abandon_step "the checked bootstrap failed"
    warn "debootstrap could not verify the signature of unstable's Release file:" \
         "  $reason" \
         "Bootstrapping AGAIN WITHOUT SIGNATURE CHECKS (debootstrap --no-check-gpg): the packages" \
         "are checked only against a Release file nobody vouched for. Update the host's" \
         "debian-archive-keyring to avoid this."
    step "bootstrapping Debian unstable without signature checks into $ROOT" "$CACHE_LOGS/py314-root-bootstrap-unchecked.log"
    rm -rf "$ROOT"
    quietly debootstrap --no-check-gpg --variant=minbase --include="$PACKAGES" unstable "$ROOT" "$MIRROR"
    echo "bootstrapped with --no-check-gpg: $reason" >"$ROOT/.velk-unchecked"
fi
end_step
_current_step="checking CPython 3.14 in the root"
cp /etc/resolv.conf "$ROOT/etc/resolv.conf"
chroot "$ROOT" /usr/bin/python3.14 -c 'import sys; assert sys.version_info[:2] == (3, 14)'
touch "$STAMP"
echo "$ROOT"
