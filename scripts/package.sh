#!/usr/bin/env bash
# Builds the release packages into dist/ (or the folder given): the Debian
# package, the Windows zip and the Windows installer, named with the version
# in project(), and SHA256SUMS over the three.
#
#     scripts/package.sh [OUTPUT_FOLDER]
#
# Both builds (presets package-linux and package-win32) start afresh, and
# every time in the packages is the last commit's (SOURCE_DATE_EPOCH, unless
# the caller set it), so two runs on one commit give the same .deb and .zip.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-dist}

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    if ! SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null); then
        echo "package.sh: not a git checkout; set SOURCE_DATE_EPOCH to the release's time" >&2
        exit 1
    fi
fi
export SOURCE_DATE_EPOCH
if [ -n "$(git status --porcelain --untracked-files=no 2>/dev/null)" ]; then
    echo "package.sh: warning: uncommitted changes, so these are not the packages of" \
        "commit $(git rev-parse --short HEAD)" >&2
fi
# Nothing of the caller's settings may reach the packages.
export LC_ALL=C TZ=UTC
umask 022

mkdir -p build
for preset in package-linux package-win32; do
    log=build/$preset.log
    echo "package.sh: building $preset (log: $log)"
    if ! cmake --workflow --preset "$preset" --fresh >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        echo "package.sh: $preset failed, see $log" >&2
        exit 1
    fi
done

config=build/package-linux/CPackConfig.cmake
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$config")
deb=$(cd build/package-linux && echo "vellicor_${version}"_*.deb)
files=("$deb" "vellicor-$version-win32.zip" "vellicor-$version-win32-setup.exe")
mkdir -p "$out"
cp "build/package-linux/${files[0]}" "build/package-win32/${files[1]}" \
    "build/package-win32/${files[2]}" "$out/"
(cd "$out" && sha256sum "${files[@]}" >SHA256SUMS)
echo "package.sh: $out/"
sed 's/^/  /' "$out/SHA256SUMS"
