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
# The password, the file's first line without its line end (LF or CR LF), is
# handed to osslsigncode in a file of its own, readable by this user alone
# and removed however the script ends, so that it never appears on a command
# line. Signing is SHA-256; without a time stamp the same file signed twice
# is the same, byte for byte.
set -eu
[ -n "${VELLICOR_SIGN_PKCS12:-}" ] || exit 0
if [ -z "${VELLICOR_SIGN_PASSWORD_FILE:-}" ]; then
    echo "sign.sh: VELLICOR_SIGN_PKCS12 is set, VELLICOR_SIGN_PASSWORD_FILE is not" >&2
    exit 1
fi
if [ ! -r "$VELLICOR_SIGN_PASSWORD_FILE" ]; then
    echo "sign.sh: cannot read VELLICOR_SIGN_PASSWORD_FILE ($VELLICOR_SIGN_PASSWORD_FILE)" >&2
    exit 1
fi
password=
trap 'rm -f ${password:+"$password"}' EXIT
trap 'exit 1' HUP INT TERM
password=$(umask 077 && mktemp "${TMPDIR:-/tmp}/vellicor-sign.XXXXXX")
line=
# read fails on a last line without its LF, and still sets it.
IFS= read -r line <"$VELLICOR_SIGN_PASSWORD_FILE" || :
cr=$(printf '\r')
printf '%s' "${line%"$cr"}" >"$password"
for file; do
    if ! osslsigncode sign -pkcs12 "$VELLICOR_SIGN_PKCS12" -readpass "$password" \
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
