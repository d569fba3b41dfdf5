# Shared helpers for the set-up scripts. Sourced, not run.
set -euo pipefail

VELK_CACHE="${VELK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/velk_dev_kit}"
PROJECT_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
mkdir -p "$VELK_CACHE"

_current_step="set-up"

step() {
    _current_step="$1"
    printf '==> %s\n' "$1"
}

_on_error() {
    local rc=$?
    printf '\n*** set-up step failed: %s (exit %s)\n' "$_current_step" "$rc" >&2
    [ -n "${STEP_LOG:-}" ] && [ -f "$STEP_LOG" ] && {
        printf '*** last lines of %s:\n' "$STEP_LOG" >&2
        tail -n 25 "$STEP_LOG" >&2
    }
    exit "$rc"
}
trap _on_error ERR

# Runs a noisy command with its output in a log file, shown only on failure.
quietly() {
    STEP_LOG="$VELK_CACHE/$(basename "$0" .sh).log"
    "$@" >"$STEP_LOG" 2>&1
}

# The Debian mirror this machine is already configured with; never hard-coded.
debian_mirror() {
    local uri
    uri=$(grep -hE '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null \
          | awk '{print $2}' | grep -v security | head -n 1 || true)
    if [ -z "$uri" ]; then
        uri=$(grep -hE '^deb ' /etc/apt/sources.list 2>/dev/null \
              | awk '{print $2}' | grep -v security | head -n 1 || true)
    fi
    [ -n "$uri" ] || { echo "no Debian mirror configured in /etc/apt" >&2; return 1; }
    printf '%s\n' "$uri"
}

ensure_host_packages() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' \
            || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    step "installing host packages: ${missing[*]}"
    quietly apt-get update
    DEBIAN_FRONTEND=noninteractive quietly apt-get install -y --no-install-recommends "${missing[@]}"
}
