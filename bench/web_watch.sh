#!/usr/bin/env bash
# What a watch from a web page costs (bench/web_watch.py says which): in
# headless Chromium and Firefox ESR, presentation to the page's listener, p50
# and p95, with a vendor-style library and with our PC/SC library against a
# private pcscd, each split into its parts; and the CPU time of the browser's
# whole process tree while a page watches with no card, against the same
# page not watching. Builds the release-test preset's programs and libraries
# first. Needs root or unprivileged user namespaces (the private pcscd).
#
#   bench/web_watch.sh [PRESENTATIONS [IDLE_SECONDS]]
set -euo pipefail
cd "$(dirname "$0")/.."

presentations=${1:-100}
idle=${2:-60}
build=build/release-test
cmake --preset release-test >/dev/null
cmake --build "$build" --target vellicor vellicor-watch pcsc_reader scripted_reader simulated_reader >/dev/null
vpcd=$PWD/tests/pcsc/.vpcd/usr/lib/pcsc/drivers/serial/libifdvpcd.so
exec /usr/bin/python3 bench/web_watch.py --exe "$build/bin/vellicor" --reader "$build/bin/OUR_IDR.dll" \
    --scripted "$build/fixtures/scripted/OUR_IDR.dll" --watch "$build/bin/vellicor-watch" \
    --pcsc-library "$build/drivers/pcsc/OUR_IDR.dll" \
    --pcscd "$(command -v pcscd || echo /usr/sbin/pcscd)" --driver "$vpcd" \
    --usb-drivers "$(pkg-config --variable=usbdropdir libpcsclite)" \
    --presentations "$presentations" --idle "$idle"
