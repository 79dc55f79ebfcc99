#!/usr/bin/env bash
# A whole read with a card present, from the program's start to its exit:
# vellicor with the PC/SC reader library beside it, against the same PC/SC
# calls made by a minimal C program without the library's deadline
# (bench/pcsc_read.c), against vellicor with the same library built to read
# on the caller's thread without a deadline (bench/unbounded_read.cpp: what
# the bound alone costs when nothing goes wrong), and against the same read
# by a short Python script using pyscard, which is what a user would
# otherwise reach for. All read from a private pcscd with
# vpcd's virtual reader and our virtual card (tests/pcsc/pcsc_daemon.py), so
# this needs root or unprivileged user namespaces. Prints the medians of one
# hyperfine run over all of them and the ratios, and for scale the program
# with the simulated reader, which does no PC/SC at all.
#
#   bench/pcsc_read.sh [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-300}
uid=04112233445566  # a 7-byte UID; the card number is its last four bytes
expected_cardno=860116326

if [ "${PCSC_BENCH_STAGE:-}" = "" ]; then
    cmake --workflow --preset release >/dev/null
    cmake --build build/release --target pcsc_reader_unbounded >/dev/null
    stage=$(mktemp -d)
    trap 'rm -rf "$stage"' EXIT
    mkdir "$stage/pcsc" "$stage/unbounded" "$stage/simulated"
    # shellcheck disable=SC2046 # pkg-config's flags are separate words
    cc -O2 -o "$stage/pcsc_read_c" bench/pcsc_read.c $(pkg-config --cflags --libs libpcsclite)
    cp build/release/bin/vellicor "$stage/pcsc/"
    cp build/release/drivers/pcsc/OUR_IDR.dll "$stage/pcsc/"
    cp build/release/bin/vellicor build/release/bench/unbounded/OUR_IDR.dll "$stage/unbounded/"
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
unbounded=("$stage/unbounded/vellicor")
c_read=("$stage/pcsc_read_c")
simulated=("$stage/simulated/vellicor")
pyscard=(/usr/bin/python3 bench/pcsc_read_pyscard.py)
expected=$(printf '{"cardno":"%s"}' "$expected_cardno")

# The card takes a moment to appear; both must read it before timing starts.
for attempt in $(seq 100); do
    if [ "$("${vellicor[@]}" | tail -c +5)" = "$expected" ]; then break; fi
    [ "$attempt" -lt 100 ] || { echo "vellicor never read the card" >&2; exit 1; }
    sleep 0.1
done
for other in unbounded c_read pyscard; do
    declare -n command=$other
    if ! cmp -s <("${vellicor[@]}") <("${command[@]}"); then
        echo "vellicor and $other disagree:" >&2
        "${vellicor[@]}" | od -c >&2
        "${command[@]}" | od -c >&2
        exit 1
    fi
done

json=$(mktemp)
trap 'rm -f "$json"' EXIT
hyperfine --shell=none --warmup 10 --runs "$runs" --export-json "$json" \
    --command-name "vellicor + PC/SC OUR_IDR.dll" "${vellicor[*]}" \
    --command-name "same, no deadline" "${unbounded[*]}" \
    --command-name "C, same calls, no deadline" "${c_read[*]}" \
    --command-name "pyscard script" "${pyscard[*]}" \
    --command-name "vellicor + simulated OUR_IDR.dll" "${simulated[*]}"
# hyperfine runs one command's runs after the other's; on a busy machine the
# load moves in between. So vellicor, the C program and vellicor without the
# deadline are also timed in rounds, one right after the other (in turn which
# first), and the median of the rounds' ratios is printed beside the ratio of
# the medians.
/usr/bin/python3 - "$json" "$runs" "${vellicor[0]}" "${c_read[0]}" "${unbounded[0]}" <<'PY'
import json, os, statistics, sys, time
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
runs, programs = int(sys.argv[2]), sys.argv[3:6]
vellicor, c_program, unbounded = programs
devnull = os.open(os.devnull, os.O_WRONLY)
def took(program):
    start = time.perf_counter_ns()
    pid = os.posix_spawn(program, [program], os.environ,
                         file_actions=[(os.POSIX_SPAWN_DUP2, devnull, 1)])
    os.waitpid(pid, 0)
    return time.perf_counter_ns() - start
against_c, against_unbounded = [], []
for i in range(runs):
    order = programs[i % 3:] + programs[:i % 3]
    times = {program: took(program) for program in order}
    against_c.append(times[vellicor] / times[c_program])
    against_unbounded.append(times[vellicor] / times[unbounded])
median = {name: result["median"] for name, result in results.items()}
ours = median["vellicor + PC/SC OUR_IDR.dll"]
c_read = median["C, same calls, no deadline"]
print(f"whole read, card present (median of {runs} runs):")
print(f"  vellicor + PC/SC OUR_IDR.dll  {ours * 1000:8.2f} ms")
print(f"  same, no deadline             {median['same, no deadline'] * 1000:8.2f} ms")
print(f"  C, same calls, no deadline    {c_read * 1000:8.2f} ms")
print(f"  pyscard script                {median['pyscard script'] * 1000:8.2f} ms")
print(f"  ratio vellicor / C            {ours / c_read:8.2f}x")
print(f"  same, median of rounds        {statistics.median(against_c):8.2f}x (aimed at: 1.10x)")
print(f"  deadline's cost, of rounds    {statistics.median(against_unbounded):8.2f}x")
print(f"  ratio pyscard / vellicor      {median['pyscard script'] / ours:8.1f}x")
print("for scale, no PC/SC at all:")
print(f"  vellicor + simulated reader   {median['vellicor + simulated OUR_IDR.dll'] * 1000:8.2f} ms")
PY
