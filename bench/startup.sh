#!/usr/bin/env bash
# What one run of vellicor costs against the simulated reader, beside a
# minimal C program doing the same job: user-space instructions (callgrind,
# repeatable) and median wall time (hyperfine). Prints figures; asserts nothing.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --workflow --preset release >/dev/null
bin=build/release/bin
cc -O2 -o "$bin/minimal-reader" bench/minimal.c -ldl

# Both must write the same frame, or the comparison means nothing.
cmp <("$bin/vellicor") <("$bin/minimal-reader")

instructions() {
    local out
    out=$(mktemp -d)
    valgrind --tool=callgrind --callgrind-out-file="$out/cg" "$1" >/dev/null 2>"$out/log"
    sed -n 's/^summary: //p' "$out/cg"
    rm -rf "$out"
}

median_ms() {
    local json
    json=$(mktemp)
    hyperfine -N --warmup 20 --runs 300 --export-json "$json" "$1" >/dev/null 2>&1
    python3 -c 'import json,sys; print("%.3f" % (json.load(open(sys.argv[1]))["results"][0]["median"] * 1000))' "$json"
    rm -f "$json"
}

ours_ir=$(instructions "$bin/vellicor")
c_ir=$(instructions "$bin/minimal-reader")
ours_ms=$(median_ms "$bin/vellicor")
c_ms=$(median_ms "$bin/minimal-reader")

printf '%-16s %14s %12s\n' program instructions "median ms"
printf '%-16s %14s %12s\n' vellicor "$ours_ir" "$ours_ms"
printf '%-16s %14s %12s\n' minimal-c "$c_ir" "$c_ms"
printf '%-16s %14s %12s\n' ratio \
    "$(awk -v a="$ours_ir" -v b="$c_ir" 'BEGIN { printf "%.2f", a / b }')" \
    "$(awk -v a="$ours_ms" -v b="$c_ms" 'BEGIN { printf "%.2f", a / b }')"
