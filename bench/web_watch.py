#!/usr/bin/python3
"""What a watch from a web page costs (run by bench/web_watch.sh), in
headless Chromium and Firefox ESR with the extension: watchCards() on the
test page, the watch host registered as the browser starts it.

Latency, p50 and p95 over PRESENTATIONS presentations, each at a moment
chosen at random against the host's rhythm, from the card presented to the
page's listener being called (the page's clock, wall time, against ours):
- vendor-style: the scripted reader switching to a card when its answer
  file is replaced; the host reads every 200 ms. The browser's share: from
  the end of the library call that found the card (the reader's own call
  log) to the listener;
- PC/SC: our library against a private pcscd with vpcd's reader, a virtual
  card inserted (connected) at a known moment; split at pcscd first asking
  the card for its ATR (before: pcscd polling vpcd every 400 ms) and at the
  card answering the host's read of its UID (after: the browser's share).

Idle cost: CPU time of the browser's whole process tree (the host
included) over IDLE seconds of the page in front, watching with no card,
for each library, against the same page not watching (measured before,
between and after; their mean).

Runs inside the private service's namespaces (pcsc_daemon.py), so needs root
or unprivileged user namespaces.
"""

import argparse
import os
import random
import statistics
import sys
import time

sys.dont_write_bytecode = True
here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "tests", "pcsc"))
sys.path.insert(0, os.path.join(here, "..", "tests", "web"))

from pcsc_daemon import Service, enter_namespaces  # noqa: E402
from virtual_card import GET_UID, VirtualCard  # noqa: E402
from web_e2e import NO_CARD, Failure, Harness, card, launch_for_watch  # noqa: E402

TICK = os.sysconf("SC_CLK_TCK")


class StampedCard(VirtualCard):
    """A virtual card that notes when it answered a read of its UID."""

    answered_at = None

    def _answer(self, apdu):
        answer = super()._answer(apdu)
        if apdu == GET_UID:
            self.answered_at = time.time()
        return answer


def tree_cpu(root):
    """CPU seconds of process `root` and every descendant, living or reaped."""
    parents = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                with open(f"/proc/{name}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                parents[int(name)] = (int(fields[1]), sum(int(v) for v in fields[11:15]))
            except (OSError, IndexError):
                pass
    total, todo = 0, [root]
    while todo:
        pid = todo.pop()
        total += parents.get(pid, (0, 0))[1]
        todo += [child for child, (parent, _) in parents.items() if parent == pid]
    return total / TICK


def process_cpu(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return sum(int(v) for v in f.read().rsplit(")", 1)[1].split()[11:13]) / TICK
    except OSError:
        return 0.0


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, max(0, round(p / 100 * len(ordered)) - 1))]


def next_heard(watch):
    """The next result watch heard, with the page's wall-clock time, in s."""
    heard = watch.h.evaluate(watch.tab, f"window.vellicorTest.awaitHeard({watch.number}, {watch.since}, true)")
    watch.since += 1
    result = dict(heard[0])
    return result.pop("at") / 1000, result


def await_result(watch, expected, what, meanwhile=()):
    while True:
        at, result = next_heard(watch)
        if result == expected:
            return at
        if result not in meanwhile:
            raise Failure(f"{what}: heard {result}, expected {expected}")


def call_ends(rig):
    """Wall-clock times at which the reader's calls returned."""
    offset = time.time() - time.monotonic()
    return [int(line[1]) / 1e9 + offset for line in rig.log() if line[0] == "leave"]


def vendor_latency(rig, page, count):
    watch = rig.watch(page)
    await_result(watch, NO_CARD, "start")
    took, browser = [], []
    for i in range(count):
        time.sleep(random.uniform(0.05, 0.45))
        number = 0x10000000 + i
        presented = time.time()
        rig.set(f"0 {number:08X}")
        heard = await_result(watch, card(number), "card")
        took.append(heard - presented)
        browser.append(heard - max(t for t in call_ends(rig) if t <= heard))
        rig.set("8")
        await_result(watch, NO_CARD, "card taken away")
    watch.stop()
    rig.all_ended("bench done")
    return took, browser


def pcsc_latency(service, rig, page, count):
    watch = rig.watch(page)
    await_result(watch, NO_CARD, "start", meanwhile=[{"status": "no_reader"}])
    took, daemon, browser = [], [], []
    for i in range(count):
        time.sleep(random.uniform(0.3, 0.8))
        number = 0x10000000 + i
        reader_card = StampedCard(service.reader_port(0), bytes.fromhex(f"{number:08X}"))
        presented, presented_mono = time.time(), time.monotonic()
        reader_card.insert()
        heard = await_result(watch, card(number), "card")
        took.append(heard - presented)
        daemon.append(reader_card.powered_at - presented_mono)
        browser.append(heard - reader_card.answered_at)
        reader_card.remove()
        await_result(watch, NO_CARD, "card taken away")
    watch.stop()
    rig.all_ended("bench done")
    return took, daemon, browser


def idle_phase(h, rig, page, seconds, watching):
    """CPU seconds per second of the browser's tree, and of the host alone."""
    watch = None
    if watching:
        watch = rig.watch(page)
        await_result(watch, NO_CARD, "start", meanwhile=[{"status": "no_reader"}])
    starts = len(rig.starts())
    time.sleep(2)
    host = rig.starts()[-1][0] if watching else None
    tree_before, host_before = tree_cpu(h.browser.process.pid), process_cpu(host) if host else 0
    time.sleep(seconds)
    tree = (tree_cpu(h.browser.process.pid) - tree_before) / seconds
    host_share = (process_cpu(host) - host_before) / seconds if host else None
    if len(rig.starts()) != starts:
        raise Failure("the watch host was started again while idle")
    if watch:
        watch.stop()
        rig.all_ended("idle phase done")
    return tree, host_share


def line(name, values):
    return (f"  {name:<52} p50 {percentile(values, 50) * 1000:6.1f} ms   "
            f"p95 {percentile(values, 95) * 1000:6.1f} ms   max {max(values) * 1000:6.1f} ms")


def bench_browser(args, browser, service):
    h = Harness(args, browser)
    try:
        rig = launch_for_watch(h)
        page = h.page()
        pcsc_exe = h.stage("watch-pcsc", args.pcsc_library, args.watch)
        scripted = {"program": rig.exe, **rig.env}
        pcsc = {"program": pcsc_exe, **service.env, "XDG_RUNTIME_DIR": rig.env["XDG_RUNTIME_DIR"]}

        def use(scenario):
            rig.scenario(**scenario)

        name = h.browser.name
        print(f"{name}, presentation to the page's listener, {args.presentations} presentations:", flush=True)
        use(scripted)
        took, browser_share = vendor_latency(rig, page, args.presentations)
        print(line("vendor-style library, read every 200 ms", took))
        print(line("  of which from the library's answer to the listener", browser_share), flush=True)
        use(pcsc)
        took, daemon, browser_share = pcsc_latency(service, rig, page, args.presentations)
        print(line("our PC/SC library, waiting in pcscd + vpcd", took))
        print(line("  of which pcscd noticing the card (vpcd)", daemon))
        print(line("  of which from the card's answer to the listener", browser_share), flush=True)

        print(f"{name}, idle, no card, CPU time per second of wall time over {args.idle:.0f} s:")
        rig.set("8")
        results = {}
        for phase, scenario in [("not watching", None), ("scripted", scripted), ("not watching", None),
                                ("pcsc", pcsc), ("not watching", None)]:
            if scenario:
                use(scenario)
            results.setdefault(phase, []).append(idle_phase(h, rig, page, args.idle, scenario is not None))
        quiet = [tree for tree, _ in results["not watching"]]
        base = statistics.mean(quiet)
        print(f"  {'page not watching (browser tree)':<44} {base * 100:6.3f} % of a core "
              f"({', '.join(f'{q * 100:.3f}' for q in quiet)})")
        for phase, label in [("scripted", "watching, scripted reader"), ("pcsc", "watching, our PC/SC library")]:
            [(tree, host)] = results[phase]
            print(f"  {label:<44} {tree * 100:6.3f} %, minus not watching {(tree - base) * 100:6.3f} %"
                  f" (the host alone {host * 100:.3f} %)", flush=True)
    finally:
        h.cleanup()


def main():
    parser = argparse.ArgumentParser()
    for option in ("--exe", "--reader", "--scripted", "--watch", "--pcsc-library", "--pcscd", "--driver",
                   "--usb-drivers"):
        parser.add_argument(option, required=True)
    parser.add_argument("--chromium", default="/usr/bin/chromium")
    parser.add_argument("--firefox", default="/usr/bin/firefox-esr")
    parser.add_argument("--browsers", default="chromium,firefox")
    parser.add_argument("--presentations", type=int, default=100)
    parser.add_argument("--idle", type=float, default=60.0)
    args = parser.parse_args()
    enter_namespaces()
    service = Service(args.pcscd, args.driver, args.usb_drivers)
    try:
        service.isolate()
        service.start()
        for browser in args.browsers.split(","):
            if not os.path.exists(getattr(args, browser)):
                print(f"({browser} left out: not at {getattr(args, browser)})")
                continue
            bench_browser(args, browser, service)
    except Failure as failure:
        raise SystemExit(f"FAIL: {failure}") from None
    finally:
        service.cleanup()


if __name__ == "__main__":
    main()
