#!/usr/bin/env bash
# Installs everything the builds, tests and benchmarks need on Debian 12.
# Safe to run again: apt skips what is already there.
set -euo pipefail

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)

packages=(
    # Linux build and tests
    cmake ninja-build g++ googletest python3 clang-format clang-tidy git
    # Benchmarks
    gcc valgrind hyperfine
    # PC/SC reader library, its tests against a private pcscd, its benchmark
    pcscd libpcsclite-dev pkg-config vsmartcard-vpcd iproute2 util-linux python3-pyscard
    # Windows build, and its tests under 32-bit Wine: pefile reads the built
    # files back, locales holds the zh_CN data the Wine runner compiles
    g++-mingw-w64-i686-posix wine wine32:i386 python3-pefile locales
)
# Wine's i386 loader runs under qemu's user-mode emulation (see
# tests/wine/run-under-wine.sh.in); bookworm's own qemu 7.2 starts Wine in
# minutes instead of a fraction of a second, so it comes from backports.
backports=(qemu-user/bookworm-backports)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${as_root[@]}" dpkg --add-architecture i386
fi
backports_list=/etc/apt/sources.list.d/bookworm-backports.sources
if ! grep -rqs bookworm-backports /etc/apt/sources.list /etc/apt/sources.list.d/; then
    printf '%s\n' 'Types: deb' 'URIs: http://deb.debian.org/debian' 'Suites: bookworm-backports' \
        'Components: main' 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' |
        "${as_root[@]}" tee "$backports_list" >/dev/null
fi

export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${packages[@]}" "${backports[@]}" >/dev/null
