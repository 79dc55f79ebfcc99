#!/usr/bin/env bash
# Builds the program and reads one card from the simulated reader built beside
# it; shows the frame as bytes and the message as a person reads it.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --workflow --preset release >/dev/null
exe=build/release/bin/vellicor
out=$(mktemp)
trap 'rm -f "$out"' EXIT

"$exe" >"$out"
echo "vellicor wrote $(stat -c %s "$out") bytes:"
od -An -tx1 -v "$out"
echo "length prefix: $(od -An -tu4 -N4 "$out" | tr -d ' ') bytes of JSON follow"
echo "message (GBK, shown as UTF-8): $(tail -c +5 "$out" | iconv -f GBK -t UTF-8)"
