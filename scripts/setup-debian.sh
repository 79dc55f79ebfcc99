#!/usr/bin/env bash
# Installs what this project needs on Debian 12:
#
#     setup-debian.sh demo    what building the program and scripts/demo.sh need
#     setup-debian.sh         everything the builds, tests and benchmarks need
#
# Safe to run again: apt skips what is already there.
set -euo pipefail
cd "$(dirname "$0")/.."

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive

case "${1:-all}" in
    demo)
        # The release build: no tests, no PC/SC library, no cross build.
        # Python stages the browser extension that the install rules carry.
        "${as_root[@]}" apt-get update -qq
        "${as_root[@]}" apt-get install -y -qq --no-install-recommends cmake ninja-build g++ \
            python3 >/dev/null
        exit 0
        ;;
    all) ;;
    *)
        echo "usage: setup-debian.sh [demo]" >&2
        exit 2
        ;;
esac

packages=(
    # Linux build and tests
    cmake ninja-build g++ googletest python3 clang-format clang-tidy git
    # Benchmarks
    gcc valgrind hyperfine
    # PC/SC reader library, its tests against a private pcscd, its benchmark
    pcscd libpcsclite-dev pkg-config iproute2 util-linux python3-pyscard
    # Windows build, and its tests under 32-bit Wine: pefile reads the built
    # files back, locales holds the zh_CN data the Wine runner compiles
    g++-mingw-w64-i686-posix wine wine32:i386 python3-pefile locales
    # Packages (scripts/package.sh) and their tests: CPack's .deb needs file
    # and dpkg-shlibdeps, the installer makensis, the MSI package wixl, the
    # msitools and libmsi's bindings for Debian's python3, signing
    # osslsigncode (the tests make their certificate with openssl)
    dpkg-dev file lintian nsis wixl msitools gir1.2-libmsi-1.0 python3-gi openssl
    # The README's first command, tried in a fresh Debian root
    debootstrap
    # The browser kit's tests: Debian's Chromium and Firefox ESR, driven
    # headless
    chromium firefox-esr
    # What Debian 12's own node (unpacked below for the rule tests) loads
    # from the system: libnode's libraries and the scripts it keeps outside
    libuv1 libc-ares2 libicu72 libnghttp2-14 libbrotli1 libssl3 zlib1g
    node-acorn node-cjs-module-lexer node-undici
)
# Wine's i386 loader runs under qemu's user-mode emulation (see
# tests/wine/run-under-wine.sh.in); bookworm's own qemu 7.2 starts Wine in
# minutes instead of a fraction of a second, so it comes from backports.
backports=(qemu-user/bookworm-backports
    # 2.9: the version the signing was tested with.
    osslsigncode/bookworm-backports)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${as_root[@]}" dpkg --add-architecture i386
fi
backports_list=/etc/apt/sources.list.d/bookworm-backports.sources
if ! grep -rqs bookworm-backports /etc/apt/sources.list /etc/apt/sources.list.d/; then
    printf '%s\n' 'Types: deb' 'URIs: http://deb.debian.org/debian' 'Suites: bookworm-backports' \
        'Components: main' 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' |
        "${as_root[@]}" tee "$backports_list" >/dev/null
fi

"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${packages[@]}" "${backports[@]}" >/dev/null

# Node.js and npm, for ESLint and the browser kit's rule tests: the machine's
# own where it has them, Debian's otherwise. Then the pinned dev tools.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    "${as_root[@]}" apt-get install -y -qq --no-install-recommends nodejs npm >/dev/null
fi
npm ci --no-audit --no-fund --loglevel=error >/dev/null

download=$(mktemp -d)
trap 'rm -rf "$download"' EXIT
# fetch PACKAGE...: downloads Debian's .debs into $download, saying why on failure.
fetch() {
    if ! (cd "$download" && apt-get download -qq "$@" >log 2>&1); then
        cat "$download/log" >&2
        exit 1
    fi
}

# Debian 12's own node, unpacked into a folder of the tests' own, so that the
# rule tests also run under the node a fresh Debian 12 gets where the machine
# has another (whose nodejs package stands in the way of installing it).
node_dir=tests/web/.debian-node
node_version=$(apt-cache policy libnode108 | sed -n 's/^ *Candidate: *//p')
fetch "nodejs=$node_version" "libnode108=$node_version"
rm -rf "$node_dir"
for deb in "$download"/nodejs_*.deb "$download"/libnode108_*.deb; do
    dpkg-deb -x "$deb" "$node_dir"
done
LD_LIBRARY_PATH="$node_dir/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)" \
    "$node_dir/usr/bin/node" --version >/dev/null

# vpcd's reader driver, for the PC/SC tests' private pcscd only: unpacked into
# a folder of the tests' own, never installed. Installed, vpcd would make the
# machine's own pcscd open two virtual readers listening on every network
# interface, into which anyone who reaches the ports can "insert" any card.
vpcd_dir=tests/pcsc/.vpcd
fetch vsmartcard-vpcd
rm -rf "$vpcd_dir"
dpkg-deb -x "$download"/vsmartcard-vpcd_*.deb "$vpcd_dir"
test -e "$vpcd_dir/usr/lib/pcsc/drivers/serial/libifdvpcd.so"

# Earlier versions of this script installed vpcd system-wide; say so if it is.
if grep -qs ifdvpcd /etc/reader.conf.d/*; then
    echo "warning: a vpcd virtual reader is configured in /etc/reader.conf.d: the machine's" >&2
    echo "pcscd listens for virtual cards on the network. If you did not install it on" >&2
    echo "purpose, remove it: sudo apt-get purge vsmartcard-vpcd (see docs/developing.md)" >&2
fi
