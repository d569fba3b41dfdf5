#!/usr/bin/env bash
# Builds a free-threaded CPython from the newest CPython source package that the
# configured Debian mirror serves, and installs it under the cache directory.
# Prints the interpreter's path on stdout (its only output there); steps go to stderr.
source "$(dirname "$0")/common.sh"

PREFIX="$VELK_CACHE/python-freethreaded"
ready() {
    [ -x "$PREFIX/bin/python3" ] && "$PREFIX/bin/python3" -c 'import sys, ssl; sys.exit(sys._is_gil_enabled())' 2>/dev/null
}
if ready; then
    echo "$PREFIX/bin/python3"
    exit 0
fi
# One build at a time across work trees; whoever waited finds it ready.
take_lock 8 "$VELK_CACHE/python-freethreaded.lock" "the free-threaded CPython build"
if ready; then
    echo "$PREFIX/bin/python3"
    exit 0
fi
say "==> no free-threaded CPython in $PREFIX yet: building one (once per machine)"
build_start=$SECONDS

ensure_host_packages dpkg-dev build-essential libssl-dev zlib1g-dev libffi-dev \
    libbz2-dev liblzma-dev libsqlite3-dev uuid-dev libreadline-dev pkg-config

MIRROR=$(debian_mirror)
APT_DIR="$VELK_CACHE/apt-source"
mkdir -p "$APT_DIR/lists/partial" "$APT_DIR/archives/partial" "$APT_DIR/src"
# Newest first: the first suite whose source package downloads wins.
CANDIDATES=("unstable python3.14" "trixie python3.13")

APT_VALIDITY=()
apt_src() {
    apt-get -o Dir::Etc::SourceList="$APT_DIR/sources.list" \
            -o Dir::Etc::SourceParts=/dev/null \
            -o Dir::State::Lists="$APT_DIR/lists" \
            -o Dir::Cache::Archives="$APT_DIR/archives" \
            "${APT_VALIDITY[@]}" "$@"
}

# The index is fetched with apt's full checks first. A mirror that serves a
# frozen snapshot has Release files past their Valid-Until date; only then is
# that date ignored, and said so. Signatures are checked either way.
apt_src_update() {
    APT_VALIDITY=()
    local from
    from=$(wc -l <"$STEP_LOG")
    if quietly apt_src update && ! tail -n +"$((from + 1))" "$STEP_LOG" | grep -q '^E: '; then
        return 0
    fi
    local expired
    expired=$(tail -n +"$((from + 1))" "$STEP_LOG" | grep -iE 'is expired|no longer valid' | head -n 1) || true
    [ -n "$expired" ] || return 1
    warn "The mirror's Release file for $suite is out of date:" \
         "  $expired" \
         "Fetching the source index again IGNORING ITS EXPIRY DATE (Acquire::Check-Valid-Until=false)." \
         "Its signature is still checked; only the date is not (a frozen snapshot mirror looks like this)."
    APT_VALIDITY=(-o Acquire::Check-Valid-Until=false)
    from=$(wc -l <"$STEP_LOG")
    quietly apt_src update && ! tail -n +"$((from + 1))" "$STEP_LOG" | grep -q '^E: '
}

SRC_DIR=""
for candidate in "${CANDIDATES[@]}"; do
    read -r suite package <<<"$candidate"
    step "fetching CPython source package $package from $suite" "$CACHE_LOGS/cpython-fetch-$package.log"
    printf 'deb-src %s %s main\n' "$MIRROR" "$suite" >"$APT_DIR/sources.list"
    work="$APT_DIR/src/$package"
    if [ -z "$(ls -d "$work"/*.orig.tar.* 2>/dev/null)" ]; then
        rm -rf "$work" && mkdir -p "$work"
        if ! apt_src_update || ! (cd "$work" && quietly apt_src source --download-only "$package"); then
            abandon_step "$package is not served from $suite (see the log); trying the next candidate"
            rm -rf "$work"
            continue
        fi
    else
        say "    already downloaded in $work"
    fi
    SRC_DIR="$work/upstream"
    if [ ! -x "$SRC_DIR/configure" ]; then
        step "unpacking $package (upstream sources)" "$CACHE_LOGS/cpython-unpack.log"
        rm -rf "$SRC_DIR"
        (cd "$work" && quietly dpkg-source --skip-patches -x ./*.dsc upstream)
    fi
    break
done
if [ -z "$SRC_DIR" ]; then
    _current_step="fetching CPython source"
    say "no CPython source package could be fetched from $MIRROR"
    false
fi

BUILD="$VELK_CACHE/python-freethreaded-build"
step "configuring CPython with --disable-gil" "$CACHE_LOGS/cpython-configure.log"
rm -rf "$BUILD" && mkdir -p "$BUILD"
(cd "$BUILD" && quietly "$SRC_DIR/configure" --prefix="$PREFIX" --disable-gil --with-ensurepip=install)
step "building CPython (several minutes on first run)" "$CACHE_LOGS/cpython-build.log"
(cd "$BUILD" && quietly make -j"$(nproc)")
step "installing CPython into $PREFIX" "$CACHE_LOGS/cpython-install.log"
(cd "$BUILD" && quietly make install)
end_step
rm -rf "$BUILD"
_current_step="checking the new interpreter"
"$PREFIX/bin/python3" -c 'import sys, ssl; assert not sys._is_gil_enabled()'
say "    free-threaded CPython ready in $(duration $((SECONDS - build_start))): $PREFIX/bin/python3"
echo "$PREFIX/bin/python3"
