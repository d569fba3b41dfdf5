# Shared settings of the aarch64 scripts. Sourced after common.sh, not run.

# A step failing inside a function is reported like one at the top level.
set -o errtrace

AARCH64_HOST_PACKAGES="g++-aarch64-linux-gnu binutils-aarch64-linux-gnu qemu-user-static"
QEMU_AARCH64=/usr/bin/qemu-aarch64-static
# Debian builds CPython with branch protection; the emulator's pointer
# authentication makes it about 20 times slower and nothing here needs it.
QEMU_AARCH64_CPU="-cpu max,pauth=off"
# Build tools for the host, never installed into the emulated interpreter.
AARCH64_BUILD_ONLY="scikit-build-core cmake ninja"
HOST_TOOLS="$VELK_CACHE/host-build-tools"

host_pip() {
    python3 -m pip --disable-pip-version-check "$@"
}

# Native cmake and ninja for the cross build, on PATH from here on.
ensure_host_build_tools() {
    local stamp="$HOST_TOOLS/.velk-ready"
    if [ ! -f "$stamp" ]; then
        step "installing cmake and ninja for the host into $HOST_TOOLS"
        rm -rf "$HOST_TOOLS"
        quietly host_pip install --target "$HOST_TOOLS" 'cmake>=3.26' ninja
        touch "$stamp"
    fi
    PATH="$HOST_TOOLS/cmake/data/bin:$HOST_TOOLS/ninja/data/bin:$PATH"
    export PATH
}

# Installs pure-Python wheels for CPython 3.14 into a folder with the host's pip.
#   pure_install TARGET REQUIREMENT...
pure_install() {
    local target="$1"; shift
    host_pip install --target "$target" --upgrade --only-binary=:all: \
        --platform any --python-version 3.14 --implementation py --abi none "$@"
}

# An environment for the emulated interpreter laid out like a virtual
# environment: bin/python3.14 is a script the kernel can run, so children
# started with sys.executable run emulated too; lib/python3.14/site-packages is
# its own, empty when made.
#   aarch64_venv SYSROOT ENV_DIR
aarch64_venv() {
    local sysroot="$1" env="$2" version
    version=$("$QEMU_AARCH64" -L "$sysroot" $QEMU_AARCH64_CPU "$sysroot/usr/bin/python3.14" \
              -c 'import platform; print(platform.python_version())')
    mkdir -p "$env/bin" "$env/lib/python3.14/site-packages"
    cat >"$env/bin/python3.14" <<WRAPPER
#!/bin/sh
# CPython 3.14 for aarch64 under the user-mode emulator; sys.executable is this script.
exec $QEMU_AARCH64 -L "$sysroot" $QEMU_AARCH64_CPU -0 "\$0" "$sysroot/usr/bin/python3.14" "\$@"
WRAPPER
    chmod +x "$env/bin/python3.14"
    printf 'home = %s\ninclude-system-site-packages = false\nversion = %s\n' \
        "$sysroot/usr/bin" "$version" >"$env/pyvenv.cfg"
}

# That environment with the pure-Python dependencies of the tests in its
# site-packages, and the build tools' Python part in build-backend.
#   make_aarch64_env SYSROOT ENV_DIR
make_aarch64_env() {
    local sysroot="$1" env="$2" site reqs stamp line name failed=()
    site="$env/lib/python3.14/site-packages"
    aarch64_venv "$sysroot" "$env"

    reqs=$(sed -e 's/#.*//' -e 's/[[:space:]]//g' "$PROJECT_ROOT/scripts/requirements.txt" | grep -v '^$' || true)
    stamp="$env/.velk-requirements"
    if [ "$(printf '%s\n' "$reqs" "$AARCH64_BUILD_ONLY")" != "$(cat "$stamp" 2>/dev/null)" ]; then
        step "installing the pure-Python dependencies for aarch64 into $env"
        rm -rf "$site" "$env/build-backend" && mkdir -p "$site"
        local wanted=()
        for line in $reqs; do
            name=$(printf '%s' "$line" | sed -E 's/[<>=!~;[].*//' | tr 'A-Z_' 'a-z-')
            case " $AARCH64_BUILD_ONLY " in *" $name "*) continue ;; esac
            wanted+=("$line")
        done
        if ! quietly pure_install "$site" "${wanted[@]}"; then
            # One without a pure-Python wheel must not keep the others out:
            # the tests that need it skip under the emulator.
            for line in "${wanted[@]}"; do
                quietly pure_install "$site" "$line" || failed+=("$line")
            done
            echo "    no pure-Python wheel for: ${failed[*]}; their tests skip under the emulator"
        fi
        quietly pure_install "$env/build-backend" 'scikit-build-core>=0.11'
        printf '%s\n' "$reqs" "$AARCH64_BUILD_ONLY" >"$stamp"
    fi
}
