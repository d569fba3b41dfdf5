#!/usr/bin/env bash
# Builds a free-threaded CPython from the newest CPython source package that the
# configured Debian mirror serves, and installs it under the cache directory.
# Prints the interpreter's path on its last line.
source "$(dirname "$0")/common.sh"

PREFIX="$VELK_CACHE/python-freethreaded"
if [ -x "$PREFIX/bin/python3" ] && "$PREFIX/bin/python3" -c 'import sys, ssl; sys.exit(sys._is_gil_enabled())' 2>/dev/null; then
    echo "$PREFIX/bin/python3"
    exit 0
fi

ensure_host_packages dpkg-dev build-essential libssl-dev zlib1g-dev libffi-dev \
    libbz2-dev liblzma-dev libsqlite3-dev uuid-dev libreadline-dev pkg-config

MIRROR=$(debian_mirror)
APT_DIR="$VELK_CACHE/apt-source"
mkdir -p "$APT_DIR/lists/partial" "$APT_DIR/archives/partial" "$APT_DIR/src"
# Newest first: the first suite whose source package downloads wins.
CANDIDATES=("unstable python3.14" "trixie python3.13")

apt_src() {
    apt-get -o Dir::Etc::SourceList="$APT_DIR/sources.list" \
            -o Dir::Etc::SourceParts=/dev/null \
            -o Dir::State::Lists="$APT_DIR/lists" \
            -o Dir::Cache::Archives="$APT_DIR/archives" \
            -o Acquire::Check-Valid-Until=false "$@"
}

SRC_DIR=""
for candidate in "${CANDIDATES[@]}"; do
    read -r suite package <<<"$candidate"
    step "fetching CPython source package $package from $suite"
    printf 'deb-src %s %s main\n' "$MIRROR" "$suite" >"$APT_DIR/sources.list"
    work="$APT_DIR/src/$package"
    if [ -z "$(ls -d "$work"/*.orig.tar.* 2>/dev/null)" ]; then
        rm -rf "$work" && mkdir -p "$work"
        if ! quietly apt_src update || ! (cd "$work" && quietly apt_src source --download-only "$package"); then
            echo "    $package is not served from $suite; trying the next candidate"
            rm -rf "$work"
            continue
        fi
    fi
    SRC_DIR="$work/upstream"
    if [ ! -x "$SRC_DIR/configure" ]; then
        step "unpacking $package (upstream sources)"
        rm -rf "$SRC_DIR"
        (cd "$work" && quietly dpkg-source --skip-patches -x ./*.dsc upstream)
    fi
    break
done
[ -n "$SRC_DIR" ] || { _current_step="fetching CPython source"; echo "no CPython source package could be fetched" >&2; false; }

step "configuring CPython with --disable-gil"
BUILD="$VELK_CACHE/python-freethreaded-build"
rm -rf "$BUILD" && mkdir -p "$BUILD"
(cd "$BUILD" && quietly "$SRC_DIR/configure" --prefix="$PREFIX" --disable-gil --with-ensurepip=install)
step "building CPython (several minutes on first run)"
(cd "$BUILD" && quietly make -j"$(nproc)")
step "installing CPython into $PREFIX"
(cd "$BUILD" && quietly make install)
rm -rf "$BUILD"
"$PREFIX/bin/python3" -c 'import sys, ssl; assert not sys._is_gil_enabled()'
echo "$PREFIX/bin/python3"
