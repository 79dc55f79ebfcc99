#!/usr/bin/python3
"""The watch host's own figures (run by bench/watch.sh): how long from a card
presented to the host's message for it, and what the host costs while
nothing happens.

Latency, p50 and p95 over PRESENTATIONS presentations, each at a moment
chosen at random against the host's rhythm:
- vendor-style: the scripted reader (a library without a wait) switching to a
  card when its answer file is replaced; the host reads every 200 ms;
- PC/SC: our library against a private pcscd with vpcd's reader, a virtual
  card inserted (connected) at a known moment. Also split at the moment
  pcscd first asked the card for its ATR: before it is the daemon's own
  delay (it polls vpcd's driver every 400 ms), after it ours.

Idle cost: CPU time of the host, and of pcscd, over IDLE seconds with no
card, for the simulated reader, the scripted reader and our PC/SC library.

Runs inside the private service's namespaces (pcsc_daemon.py), so needs root
or unprivileged user namespaces.
"""

import argparse
import os
import random
import shutil
import sys
import tempfile
import time

sys.dont_write_bytecode = True
here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "tests", "pcsc"))
sys.path.insert(0, os.path.join(here, "..", "tests", "e2e"))

from e2e import LIBRARY, WatchHost, event  # noqa: E402
from pcsc_daemon import Service, enter_namespaces  # noqa: E402


def cpu_seconds(pid):
    """CPU time of every thread of the process so far, from the scheduler's
    nanosecond counts."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total / 1e9


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, max(0, round(p / 100 * len(ordered)) - 1))]


def stage(root, name, watch, library):
    folder = os.path.join(root, name)
    os.mkdir(folder)
    shutil.copy2(watch, folder)
    shutil.copy2(library, os.path.join(folder, LIBRARY))
    return os.path.join(folder, os.path.basename(watch))


def await_event(host, expected, what, meanwhile=()):
    while True:
        at, got = host.next(what, within=10)
        if got == expected:
            return at
        if got not in meanwhile:
            raise SystemExit(f"{what}: got {got!r}, expected {expected!r}")


class Answer:
    def __init__(self, root):
        self.path = os.path.join(root, "answer")
        self.set("8")

    def set(self, text):
        with open(self.path + ".new", "w") as f:
            f.write(text)
        os.replace(self.path + ".new", self.path)


def vendor_latency(root, exe, count):
    answer = Answer(root)
    host = WatchHost(exe, {"VELLICOR_SCRIPTED_ANSWER": answer.path}, root=root)
    await_event(host, event("no_card"), "start")
    took = []
    for i in range(count):
        time.sleep(random.uniform(0.05, 0.45))
        number = 0x10000000 + i
        presented = time.monotonic()
        answer.set(f"0 {number:08X}")
        took.append(await_event(host, event("card", number), "card") - presented)
        answer.set("8")
        await_event(host, event("no_card"), "card taken away")
    host.close("bench done")
    return took


def pcsc_latency(service, root, exe, count):
    host = WatchHost(exe, service.env, root=root)
    await_event(host, event("no_card"), "start", meanwhile={event("no_reader")})
    took, daemon, ours = [], [], []
    for i in range(count):
        time.sleep(random.uniform(0.3, 0.8))
        uid = bytes.fromhex(f"{0x10000000 + i:08X}")
        card = service.card(uid)
        presented = time.monotonic()
        card.insert()
        heard = await_event(host, event("card", 0x10000000 + i), "card")
        took.append(heard - presented)
        daemon.append(card.powered_at - presented)
        ours.append(heard - card.powered_at)
        card.remove()
        await_event(host, event("no_card"), "card taken away")
    host.close("bench done")
    return took, daemon, ours


def idle_cost(root, exe, env, seconds, daemon=None):
    host = WatchHost(exe, env, root=root)
    host.next("start", within=10)
    time.sleep(2)
    host_before = cpu_seconds(host.proc.pid)
    daemon_before = cpu_seconds(daemon.pid) if daemon else 0.0
    time.sleep(seconds)
    host_used = cpu_seconds(host.proc.pid) - host_before
    daemon_used = cpu_seconds(daemon.pid) - daemon_before if daemon else None
    host.close("bench done")
    return host_used / seconds, (daemon_used / seconds if daemon else None)


def line(name, values):
    return (f"  {name:<46} p50 {percentile(values, 50) * 1000:6.1f} ms   "
            f"p95 {percentile(values, 95) * 1000:6.1f} ms   max {max(values) * 1000:6.1f} ms")


def main():
    parser = argparse.ArgumentParser()
    for option in ("--watch", "--pcsc-library", "--scripted", "--simulated", "--pcscd",
                   "--driver", "--usb-drivers"):
        parser.add_argument(option, required=True)
    parser.add_argument("--presentations", type=int, default=100)
    parser.add_argument("--idle", type=float, default=60.0)
    args = parser.parse_args()
    enter_namespaces()
    root = os.path.realpath(tempfile.mkdtemp(prefix="vellicor-bench-watch-"))
    service = Service(args.pcscd, args.driver, args.usb_drivers)
    try:
        service.isolate()
        service.start()
        scripted = stage(root, "scripted", args.watch, args.scripted)
        simulated = stage(root, "simulated", args.watch, args.simulated)
        pcsc = stage(root, "pcsc", args.watch, args.pcsc_library)

        vendor = vendor_latency(os.path.dirname(scripted), scripted, args.presentations)
        took, daemon, ours = pcsc_latency(service, os.path.dirname(pcsc), pcsc,
                                          args.presentations)
        print(f"presentation to the host's message, {args.presentations} presentations:")
        print(line("vendor-style library, read every 200 ms", vendor))
        print(line("our PC/SC library, waiting in pcscd + vpcd", took))
        print(line("  of which pcscd noticing the card (vpcd)", daemon))
        print(line("  of which from pcscd noticing to the message", ours))

        print(f"idle, no card, CPU time per second of wall time over {args.idle:.0f} s:")
        answer = Answer(os.path.dirname(scripted))
        for name, exe, env, daemon_process in [
                ("simulated reader", simulated, {"VELLICOR_SIM_STATUS": "8"}, None),
                ("scripted reader", scripted, {"VELLICOR_SCRIPTED_ANSWER": answer.path}, None),
                ("our PC/SC library, private pcscd", pcsc, service.env, service.process)]:
            host_share, daemon_share = idle_cost(os.path.dirname(exe), exe, env, args.idle,
                                                 daemon_process)
            text = f"  {name:<34} host {host_share * 100:6.3f} % of a core"
            if daemon_share is not None:
                text += f", pcscd {daemon_share * 100:6.3f} %"
            print(text)
        # What pcscd costs with nobody watching, for scale.
        before = cpu_seconds(service.process.pid)
        time.sleep(args.idle)
        print(f"  {'pcscd alone, nobody watching':<34} pcscd "
              f"{(cpu_seconds(service.process.pid) - before) / args.idle * 100:6.3f} %")
    finally:
        WatchHost.kill_all()
        service.cleanup()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
