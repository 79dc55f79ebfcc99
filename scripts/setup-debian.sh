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
)

export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
