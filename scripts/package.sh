#!/usr/bin/env bash
# Builds the release packages into dist/ (or the folder given): the Debian
# package, the Windows zip, the Windows installer and the MSI package, the
# browser extension's release files (the Firefox add-on, and given the
# release key the signed .crx and its update manifest), named with the
# version in project(), and SHA256SUMS over them all.
#
#     scripts/package.sh [OUTPUT_FOLDER]
#
# Both builds (presets package-linux and package-win32) start afresh, and
# every time in the packages is the last commit's (SOURCE_DATE_EPOCH, unless
# the caller set it), so two runs on one commit give the same packages.
#
# Given a code-signing certificate, every Windows file shipped is signed
# (packaging/windows/sign.sh): VELLICOR_SIGN_PKCS12 names the PKCS#12 file,
# VELLICOR_SIGN_PASSWORD_FILE the file holding its password, and
# VELLICOR_SIGN_TIMESTAMP_URL, optional, a time-stamp server.
#
# The extension (packaging/extension/pack.py): VELLICOR_EXTENSION_KEY_FILE
# names the release key (PEM) to sign the .crx with, which must be the
# private half of the extension's key; VELLICOR_EXTENSION_URL the URL of the
# folder the .crx is served from, for its update manifest (else a
# placeholder); VELLICOR_EXTENSION_XPI a copy of the add-on that Mozilla
# signed, shipped in place of the one built. VELLICOR_EXTENSION_PUBLIC_KEY,
# for an extension ID of one's own (the tests' throwaway key), replaces the
# key in web/extension/manifest.json, which every host manifest then follows.
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

if [ -n "${VELLICOR_SIGN_PKCS12:-}" ]; then
    for file in "$VELLICOR_SIGN_PKCS12" "${VELLICOR_SIGN_PASSWORD_FILE:-}"; do
        if [ ! -r "$file" ]; then
            echo "package.sh: signing needs VELLICOR_SIGN_PKCS12 and VELLICOR_SIGN_PASSWORD_FILE" \
                "to name readable files; \"$file\" is not one" >&2
            exit 1
        fi
    done
    # Both are read from the build tree's scripts, whatever the folder now.
    VELLICOR_SIGN_PKCS12=$(realpath "$VELLICOR_SIGN_PKCS12")
    VELLICOR_SIGN_PASSWORD_FILE=$(realpath "$VELLICOR_SIGN_PASSWORD_FILE")
    export VELLICOR_SIGN_PKCS12 VELLICOR_SIGN_PASSWORD_FILE
    echo "package.sh: signing the Windows files with $VELLICOR_SIGN_PKCS12"
else
    echo "package.sh: no VELLICOR_SIGN_PKCS12, so the Windows files are not signed"
fi

pack=packaging/extension/pack.py
manifest=web/extension/manifest.json
if [ -n "${VELLICOR_EXTENSION_KEY_FILE:-}" ]; then
    # Refused here, before any build, when it would give another ID.
    if ! id=$(python3 "$pack" check-key --key-file "$VELLICOR_EXTENSION_KEY_FILE" \
        --manifest "$manifest" --key "${VELLICOR_EXTENSION_PUBLIC_KEY:-}"); then
        echo "package.sh: no packages made" >&2
        exit 1
    fi
    VELLICOR_EXTENSION_KEY_FILE=$(realpath "$VELLICOR_EXTENSION_KEY_FILE")
    export VELLICOR_EXTENSION_KEY_FILE
    echo "package.sh: signing the extension (ID $id) with $VELLICOR_EXTENSION_KEY_FILE"
else
    echo "package.sh: no VELLICOR_EXTENSION_KEY_FILE, so no .crx is made"
fi
if [ -n "${VELLICOR_EXTENSION_URL:-}" ] &&
    ! python3 "$pack" check-url --url "$VELLICOR_EXTENSION_URL" >/dev/null; then
    exit 1
fi
if [ -n "${VELLICOR_EXTENSION_XPI:-}" ]; then
    if ! signed=$(python3 "$pack" check-xpi --xpi "$VELLICOR_EXTENSION_XPI" --manifest "$manifest"); then
        exit 1
    fi
    VELLICOR_EXTENSION_XPI=$(realpath "$VELLICOR_EXTENSION_XPI")
    export VELLICOR_EXTENSION_XPI
    echo "package.sh: the Firefox add-on is $VELLICOR_EXTENSION_XPI ($signed)"
fi

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
windows=("vellicor-$version-win32.zip" "vellicor-$version-win32-setup.exe"
    "vellicor-$version-win32.msi")
extension=("vellicor-extension-$version.xpi")
if [ -n "${VELLICOR_EXTENSION_KEY_FILE:-}" ]; then
    extension+=("vellicor-extension-$version.crx" "vellicor-extension-$version.xml")
fi
files=("$deb" "${windows[@]}" "${extension[@]}")
mkdir -p "$out"
# A .crx of an earlier run with a key is not this release's.
rm -f "$out/vellicor-extension-$version.crx" "$out/vellicor-extension-$version.xml"
cp "build/package-linux/$deb" "${windows[@]/#/build/package-win32/}" \
    "${extension[@]/#/build/package-linux/packaging/extension-release/}" "$out/"
if [ -n "${VELLICOR_EXTENSION_XPI:-}" ]; then
    cp "$VELLICOR_EXTENSION_XPI" "$out/vellicor-extension-$version.xpi"
fi
(cd "$out" && sha256sum "${files[@]}" >SHA256SUMS)
echo "package.sh: $out/"
sed 's/^/  /' "$out/SHA256SUMS"
