#!/bin/sh
# Signs Windows files (programs, libraries, installers, MSI packages) in place
# with the code-signing certificate of a release:
#
#     sign.sh FILE...
#
#   VELLICOR_SIGN_PKCS12         the certificate and its key, a PKCS#12 file;
#                                unset: nothing is signed
#   VELLICOR_SIGN_PASSWORD_FILE  the file whose first line is its password
#   VELLICOR_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamp server, optional
#
# The password is read from its file by osslsigncode itself, so that it never
# appears on a command line. Signing is SHA-256; without a time stamp the
# same file signed twice is the same, byte for byte.
set -eu
[ -n "${VELLICOR_SIGN_PKCS12:-}" ] || exit 0
if [ -z "${VELLICOR_SIGN_PASSWORD_FILE:-}" ]; then
    echo "sign.sh: VELLICOR_SIGN_PKCS12 is set, VELLICOR_SIGN_PASSWORD_FILE is not" >&2
    exit 1
fi
for file; do
    if ! osslsigncode sign -pkcs12 "$VELLICOR_SIGN_PKCS12" -readpass "$VELLICOR_SIGN_PASSWORD_FILE" \
        -h sha256 -n Vellicor ${VELLICOR_SIGN_TIMESTAMP_URL:+-ts "$VELLICOR_SIGN_TIMESTAMP_URL"} \
        -in "$file" -out "$file.signed" >"$file.signlog" 2>&1; then
        cat "$file.signlog" >&2
        rm -f "$file.signed" "$file.signlog"
        echo "sign.sh: cannot sign $file" >&2
        exit 1
    fi
    # Onto the file, which keeps its mode.
    cat "$file.signed" >"$file"
    rm -f "$file.signed" "$file.signlog"
done
