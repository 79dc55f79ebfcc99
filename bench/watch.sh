#!/usr/bin/env bash
# The watch host's own figures (bench/watch.py says which): presentation to
# message, p50 and p95, with a vendor-style library and with our PC/SC
# library against a private pcscd; and the host's idle CPU time. Builds the
# release-test preset's programs and libraries first. Needs root or
# unprivileged user namespaces (the private pcscd).
#
#   bench/watch.sh [PRESENTATIONS [IDLE_SECONDS]]
set -euo pipefail
cd "$(dirname "$0")/.."

presentations=${1:-100}
idle=${2:-60}
build=build/release-test
cmake --preset release-test >/dev/null
cmake --build "$build" --target vellicor-watch pcsc_reader scripted_reader simulated_reader >/dev/null
vpcd=$PWD/tests/pcsc/.vpcd/usr/lib/pcsc/drivers/serial/libifdvpcd.so
exec /usr/bin/python3 bench/watch.py --watch "$build/bin/vellicor-watch" \
    --pcsc-library "$build/drivers/pcsc/OUR_IDR.dll" \
    --scripted "$build/fixtures/scripted/OUR_IDR.dll" --simulated "$build/bin/OUR_IDR.dll" \
    --pcscd "$(command -v pcscd || echo /usr/sbin/pcscd)" --driver "$vpcd" \
    --usb-drivers "$(pkg-config --variable=usbdropdir libpcsclite)" \
    --presentations "$presentations" --idle "$idle"
