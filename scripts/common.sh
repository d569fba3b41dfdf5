# Shared helpers for the set-up scripts. Sourced, not run.
#
# Step lines, progress and warnings go to stderr: a script's result (a path on
# its stdout) can then be captured with $(...) while the terminal still sees
# every step as it starts.
set -eEuo pipefail   # -E: failures inside functions reach the ERR trap too

VELK_CACHE="${VELK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/velk_dev_kit}"
PROJECT_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
mkdir -p "$VELK_CACHE"
# Logs of steps whose results are shared by all work trees, and of this tree's own.
CACHE_LOGS="$VELK_CACHE/logs"
TREE_LOGS="$PROJECT_ROOT/build/logs"
# Seconds between "still running" lines of a long step.
TICK="${VELK_TICK:-15}"

_current_step="set-up"
_step_start=$SECONDS
_step_failed=""
_ticker_pid=""
STEP_LOG=""

say() { printf '%s\n' "$*" >&2; }

# Paths as the user can open them: inside the 3.14 root the work tree is
# mounted at /work-tree and the root itself lives under the host's cache.
shown_path() {
    local p="$1"
    if [ -n "${VELK_HOST_TREE:-}" ] && [[ "$p" == /work-tree/* ]]; then
        p="$VELK_HOST_TREE${p#/work-tree}"
    elif [ -n "${VELK_HOST_ROOT:-}" ] && [[ "$p" == /* ]]; then
        p="$VELK_HOST_ROOT$p"
    fi
    printf '%s' "$p"
}

duration() {
    local s=$1
    if [ "$s" -ge 60 ]; then printf '%dm%02ds' $((s / 60)) $((s % 60)); else printf '%ds' "$s"; fi
}

# The end of the step's log, short enough for one terminal line; for long
# compiler lines, the last file named in it.
_progress() {
    local line file
    # Blank lines and the source excerpts of compiler warnings say nothing.
    line=$(tail -n 20 "$STEP_LOG" 2>/dev/null | tr -d '\r' \
           | grep -vE '^[[:space:]]*$|^[[:space:]]*[0-9]*[[:space:]]*\|' | tail -n 1) || true
    if [ ${#line} -gt 72 ]; then
        file=$(printf '%s' "$line" | grep -oE '[[:alnum:]_./+-]+\.(c|cc|cpp|h|o|so|a|py|deb|whl|tar\.gz|tar\.xz)\b' | tail -n 1) || true
        if [ -n "$file" ]; then line="... $file"; else line="${line:0:69}..."; fi
    fi
    printf '%s' "$line"
}

# Runs in the background while a logged step works: one line every $TICK s.
_ticker() {
    set +e
    trap - ERR
    local parent=$1 sleeper=""
    trap '[ -n "$sleeper" ] && kill "$sleeper" 2>/dev/null; exit 0' TERM
    while :; do
        sleep "$TICK" & sleeper=$!
        wait "$sleeper"
        kill -0 "$parent" 2>/dev/null || exit 0
        say "    ... $(duration $((SECONDS - _step_start))) so far: $(_progress)"
    done
}

_stop_ticker() {
    if [ -n "$_ticker_pid" ]; then
        kill "$_ticker_pid" 2>/dev/null || true
        wait "$_ticker_pid" 2>/dev/null || true
        _ticker_pid=""
    fi
}

# Closes the running step: logged steps say how long they took.
end_step() {
    _stop_ticker
    if [ -n "$STEP_LOG" ] && [ -z "$_step_failed" ]; then
        say "    done in $(duration $((SECONDS - _step_start)))"
    fi
    STEP_LOG=""
}

# Ends the running step as given up (the script goes on another way).
abandon_step() {
    _stop_ticker
    say "    $1 (after $(duration $((SECONDS - _step_start))))"
    STEP_LOG=""
}

# step TITLE [LOG]: announces a step as it starts. With LOG, the output of the
# step's commands (run through `quietly`) goes to that file, named on the step
# line, and the step reports that it is alive and how long it took.
step() {
    end_step
    _current_step="$1"
    _step_start=$SECONDS
    STEP_LOG="${2:-}"
    if [ -n "$STEP_LOG" ]; then
        mkdir -p "$(dirname "$STEP_LOG")"
        : >"$STEP_LOG"
        say "==> $1   (log: $(shown_path "$STEP_LOG"))"
        # Not holding our stdout or lock descriptors: $(...) and flock callers
        # must not wait for it.
        _ticker $$ >/dev/null 8>&- 9>&- &
        _ticker_pid=$!
    else
        say "==> $1"
    fi
}

# A warning that must not scroll by unnoticed.
warn() {
    say ""
    local line
    for line in "$@"; do say "!!! $line"; done
    say ""
}

_on_error() {
    local rc=$?
    # In a subshell, leave the report to the shell that runs the step.
    [ "$BASH_SUBSHELL" -gt 0 ] && exit "$rc"
    _step_failed=1
    _stop_ticker
    say ""
    say "*** set-up step failed: $_current_step (exit $rc, after $(duration $((SECONDS - _step_start))))"
    if [ -n "$STEP_LOG" ] && [ -f "$STEP_LOG" ]; then
        say "*** last lines of $(shown_path "$STEP_LOG"):"
        tail -n 25 "$STEP_LOG" >&2
    fi
    exit "$rc"
}
_on_exit() {
    [ "${1:-0}" -eq 0 ] || _step_failed=1
    end_step
}
trap _on_error ERR
trap '_on_exit $?' EXIT

# Runs a noisy command of the current step with its output in the step's log.
quietly() {
    if [ -z "$STEP_LOG" ]; then  # a step named without a log of its own
        STEP_LOG="$CACHE_LOGS/$(basename "$0" .sh).log"
        mkdir -p "$CACHE_LOGS" && : >"$STEP_LOG"
    fi
    "$@" >>"$STEP_LOG" 2>&1
}

# Takes the lock on descriptor FD of FILE; says so when another work tree holds it.
take_lock() {
    local fd=$1 file=$2 what=$3
    eval "exec $fd>\"\$file\""
    if ! flock -n "$fd"; then
        say "==> waiting for $what (another work tree is using it; lock: $file)"
        local start=$SECONDS
        flock "$fd"
        say "    waited $(duration $((SECONDS - start)))"
    fi
}

# The environment for the real ROS 2 client library: a DDS domain of this run's
# own (held by a lock until the run ends, so two runs never hear each other),
# discovery on the loopback only, and rcutils' console lines unbuffered in the
# form the tests' log capture reads.
# VENV for one real ROS 2 distribution inside the 3.14 root (ros: Jazzy,
# ros-kilted: Kilted), with its requirements and the run's own DDS domain.
real_ros2_venv() {
    VENV=/opt/velk-$1-venv
    export VELK_EXTRA_REQUIREMENTS="$PROJECT_ROOT/scripts/requirements-$1.txt"
    use_real_ros2
}

use_real_ros2() {
    local id start=$((RANDOM % 101))
    unset ROS_DOMAIN_ID
    for ((i = 0; i < 101; i++)); do
        id=$(((start + i) % 101 + 1))
        exec 7>"$VELK_CACHE/ros-domain-$id.lock"
        if flock -n 7; then
            export ROS_DOMAIN_ID=$id
            break
        fi
    done
    [ -n "${ROS_DOMAIN_ID:-}" ] || { say "*** every ROS 2 domain id is taken by another run"; exit 1; }
    export VELK_ROS=real ROS_AUTOMATIC_DISCOVERY_RANGE=LOCALHOST ROS_LOCALHOST_ONLY=1
    export RCUTILS_LOGGING_BUFFERED_STREAM=0 RCUTILS_COLORIZED_OUTPUT=0
    export RCUTILS_CONSOLE_OUTPUT_FORMAT='[{severity}] [{name}]: {message}'
    say "==> real ROS 2 on DDS domain $ROS_DOMAIN_ID, discovery on the loopback only"
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
    step "installing host packages: ${missing[*]}" "$CACHE_LOGS/host-packages.log"
    quietly apt-get update
    DEBIAN_FRONTEND=noninteractive quietly apt-get install -y --no-install-recommends "${missing[@]}"
    end_step
}
