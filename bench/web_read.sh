#!/usr/bin/env bash
# What a read from a web page costs: the median round trip of readCard() for
# a card in headless Chromium and in headless Firefox ESR with the extension,
# each beside the extension starting the host itself (the browser's own cost
# of a native host, without the page, the content script and the origin
# check: Chromium's service worker, a Firefox extension page), and the program
# run alone; all in the same rounds. Against the simulated reader; prints
# figures, asserts nothing. READS (default 200) rounds, after 10 not counted.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --workflow --preset release >/dev/null
bin=build/release/bin
python3 tests/web/web_e2e.py --exe "$bin/vellicor" --reader "$bin/OUR_IDR.dll" --reads "${READS:-200}" bench
