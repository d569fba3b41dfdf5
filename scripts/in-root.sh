#!/usr/bin/env bash
# Runs a command inside the CPython 3.14 root with the work tree bind-mounted at
# /work-tree. Mounts are undone on every exit path.
source "$(dirname "$0")/common.sh"

# One work tree at a time: the root has one mount point and one venv.
take_lock 9 "$VELK_CACHE/py314-root.lock" "the CPython 3.14 root"
ROOT=$("$(dirname "$0")/py314-root.sh") || exit $?
if [ -f "$ROOT/.velk-unchecked" ]; then
    say "!!! note: this root was bootstrapped without signature checks ($(cat "$ROOT/.velk-unchecked"))"
fi
MOUNTS=()
cleanup() {
    local m
    for ((i=${#MOUNTS[@]}-1; i>=0; i--)); do
        m="${MOUNTS[$i]}"
        umount -l "$m" 2>/dev/null || true
    done
}
trap 'rc=$?; cleanup; _on_exit $rc' EXIT
trap 'exit 130' INT TERM

bind() {
    mkdir -p "$ROOT$2"
    mountpoint -q "$ROOT$2" && umount -l "$ROOT$2"
    mount --bind "$1" "$ROOT$2"
    MOUNTS+=("$ROOT$2")
}
step "entering the CPython 3.14 root ($ROOT)"
bind "$PROJECT_ROOT" /work-tree
bind /dev /dev
bind /proc /proc
mkdir -p "$ROOT/dev/shm"
cp /etc/resolv.conf "$ROOT/etc/resolv.conf"
# The host's CA bundle may hold the certificate of a local TLS proxy.
CA_BUNDLE="${SSL_CERT_FILE:-/etc/ssl/certs/ca-certificates.crt}"
mkdir -p "$ROOT/etc/ssl/certs"
[ -f "$CA_BUNDLE" ] && cp "$CA_BUNDLE" "$ROOT/etc/ssl/certs/host-ca-bundle.crt"
ca=/etc/ssl/certs/host-ca-bundle.crt
chroot "$ROOT" /usr/bin/env -i HOME=/root PATH=/usr/local/bin:/usr/bin:/bin \
    LANG=C.UTF-8 CI="${CI:-}" TERM="${TERM:-dumb}" \
    VELK_HOST_TREE="$PROJECT_ROOT" VELK_HOST_ROOT="$ROOT" \
    ${PY_COLORS:+PY_COLORS="$PY_COLORS"} ${VELK_TICK:+VELK_TICK="$VELK_TICK"} \
    SSL_CERT_FILE=$ca PIP_CERT=$ca REQUESTS_CA_BUNDLE=$ca \
    ${PIP_INDEX_URL:+PIP_INDEX_URL="$PIP_INDEX_URL"} \
    ${ROS_STUB_CONSOLE:+ROS_STUB_CONSOLE="$ROS_STUB_CONSOLE"} \
    /bin/bash -c 'cd /work-tree && "$@"' in-root "$@"
