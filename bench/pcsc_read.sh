#!/usr/bin/env bash
# A whole read with a card present, from the program's start to its exit:
# vellicor with the PC/SC reader library beside it, against the same read by a
# short Python script using pyscard, which is what a user would otherwise
# reach for. Both read from a private pcscd with vpcd's virtual reader and our
# virtual card (tests/pcsc/pcsc_daemon.py), so this needs root or unprivileged
# user namespaces. Prints both medians and their ratio, and for scale the
# program with the simulated reader, which does no PC/SC at all.
#
#   bench/pcsc_read.sh [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-300}
uid=04112233445566  # a 7-byte UID; the card number is its last four bytes
expected_cardno=860116326

if [ "${PCSC_BENCH_STAGE:-}" = "" ]; then
    cmake --workflow --preset release >/dev/null
    stage=$(mktemp -d)
    trap 'rm -rf "$stage"' EXIT
    mkdir "$stage/pcsc" "$stage/simulated"
    cp build/release/bin/vellicor "$stage/pcsc/"
    cp build/release/drivers/pcsc/OUR_IDR.dll "$stage/pcsc/"
    cp build/release/bin/vellicor build/release/bin/OUR_IDR.dll "$stage/simulated/"
    drivers=$(pkg-config --variable=usbdropdir libpcsclite)
    # vpcd's driver as scripts/setup-debian.sh unpacks it for the tests.
    vpcd=$PWD/tests/pcsc/.vpcd/usr/lib/pcsc/drivers/serial/libifdvpcd.so
    # The rest runs inside the private service's namespaces.
    PCSC_BENCH_STAGE=$stage /usr/bin/python3 tests/pcsc/pcsc_daemon.py \
        --driver "$vpcd" --usb-drivers "$drivers" --uid "$uid" \
        -- "$0" "$runs"
    exit
fi

stage=$PCSC_BENCH_STAGE
vellicor=("$stage/pcsc/vellicor")
simulated=("$stage/simulated/vellicor")
pyscard=(/usr/bin/python3 bench/pcsc_read_pyscard.py)
expected=$(printf '{"cardno":"%s"}' "$expected_cardno")

# The card takes a moment to appear; both must read it before timing starts.
for attempt in $(seq 100); do
    if [ "$("${vellicor[@]}" | tail -c +5)" = "$expected" ]; then break; fi
    [ "$attempt" -lt 100 ] || { echo "vellicor never read the card" >&2; exit 1; }
    sleep 0.1
done
if ! cmp -s <("${vellicor[@]}") <("${pyscard[@]}"); then
    echo "vellicor and the pyscard script disagree:" >&2
    "${vellicor[@]}" | od -c >&2
    "${pyscard[@]}" | od -c >&2
    exit 1
fi

json=$(mktemp)
trap 'rm -f "$json"' EXIT
hyperfine --shell=none --warmup 10 --runs "$runs" --export-json "$json" \
    --command-name "vellicor + PC/SC OUR_IDR.dll" "${vellicor[*]}" \
    --command-name "pyscard script" "${pyscard[*]}" \
    --command-name "vellicor + simulated OUR_IDR.dll" "${simulated[*]}"
/usr/bin/python3 - "$json" <<'PY'
import json, sys
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
ours = results["vellicor + PC/SC OUR_IDR.dll"]["median"]
theirs = results["pyscard script"]["median"]
alone = results["vellicor + simulated OUR_IDR.dll"]["median"]
print(f"whole read, card present (median of {len(results['pyscard script']['times'])} runs):")
print(f"  vellicor + PC/SC OUR_IDR.dll  {ours * 1000:8.2f} ms")
print(f"  pyscard script                {theirs * 1000:8.2f} ms")
print(f"  ratio pyscard / vellicor      {theirs / ours:8.1f}x")
print("for scale, no PC/SC at all:")
print(f"  vellicor + simulated reader   {alone * 1000:8.2f} ms")
PY
