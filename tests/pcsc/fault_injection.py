#!/usr/bin/env python3
"""The seeded fault-injection run over the PC/SC reader library. For each
seed the built program (or, for some seeds, --repeat, which calls the library
several times in one process) reads through the seeded PC/SC service
(seeded_service/), whose every call answers normally, fails with a real
PC/SC error, answers late, never answers, or answers with odd data, as the
seed draws. Every run must:

- end with exit status 0, each read within the deadline and a second;
- write nothing on standard error;
- write exactly one well-formed frame (the repeat host: one line per call,
  the buffer untouched unless the status is 0);
- report a card number only if it comes from a UID the service answered,
  under the settings in force;
- leave no violation in the service's log (what a real service expects of
  its caller, and what the library promises).

    fault_injection.py --exe PATH --reader PATH --repeat PATH --standin PATH
                       [--runner ARG]... [--seeds N-M] [--jobs N]

On Linux --standin is the folder of the tests' libpcsclite.so.1, put first on
the loader's path for the host's run only. With --runner (the Windows build,
run under Wine) it is the winscard.dll stand-in, whose script word
"seeded:SEED:LATE_MS" serves the same service. Each seed also chooses the
settings beside the library (mostly deadline_ms = 500, some at the default
3000) and the host. A failing seed is printed with the command that repeats
it and the service's log.
"""

import argparse
import concurrent.futures
import os
import random
import re
import shlex
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

from e2e import LIBRARY, NO_CARD, NO_READER, frame  # noqa: E402

SLACK = 1.0  # what a read may take past its deadline, process start included
KILL_AFTER = 10.0  # past its bound, a host still running is killed
UID_SIZES = range(4, 11)
# Held while a run copies its files and while one starts its host: a host
# started while another run's copy of an executable is still open for
# writing would inherit that descriptor until its exec, and the other run's
# exec of its copy would then fail with "Text file busy".
SPAWNING = threading.Lock()
READER_PARTS = ["contactless", "reader, token", "token, desk", "no such reader"]


class Plan:
    """What a seed chooses besides the service's draws: the settings file
    (None: none, so the defaults) and the host."""

    def __init__(self, seed):
        r = random.Random(seed)
        self.order, self.which, self.deadline_ms = "as_read", "last4", 3000
        self.settings = None
        if r.random() >= 1 / 10:
            lines = ["# written by the fault-injection run"]
            self.order = r.choice(["as_read", "reversed"])
            self.which = r.choice(["last4", "first4"])
            if r.random() < 0.5:
                lines += [f"byte_order = {self.order}", f"uid_bytes = {self.which}"]
            else:
                self.order, self.which = "as_read", "last4"
            if r.random() < 0.95:
                self.deadline_ms = 500
                lines.append("deadline_ms = 500")
            if r.random() < 0.2:
                lines.append("readers = " + r.choice(READER_PARTS))
            self.settings = "\r\n".join(lines) + "\r\n"
        self.calls = r.randint(2, 5) if r.random() < 0.25 else 0
        # Long enough, some of them, for a call given up to wake meanwhile.
        self.pause_ms = r.choice([0, 0, 100, 300, 700]) if self.calls else 0

    def describe(self):
        settings = "none" if self.settings is None else repr(self.settings)
        host = (f"repeat host, {self.calls} calls, {self.pause_ms} ms apart" if self.calls
                else "the program")
        return f"settings {settings}; {host}"


def card_number(uid, plan):
    four = uid[-4:] if plan.which == "last4" else uid[:4]
    if plan.order == "reversed":
        four = four[::-1]
    return int.from_bytes(four, "big", signed=True)


def answered(events, plan):
    """The (UID length, card number) pairs that the service's answers allow:
    an answer counts when it ends in 90 00 after 4 to 10 bytes."""
    allowed = set()
    for text in events:
        if text.startswith("answer "):
            data = bytes.fromhex(text.split()[1]) if len(text.split()) > 1 else b""
            uid = data[:-2]
            if data[-2:] == b"\x90\x00" and len(uid) in UID_SIZES:
                allowed.add((len(uid), card_number(uid, plan)))
    return allowed


class Run:
    def __init__(self, args, seed):
        self.args, self.seed, self.plan = args, seed, Plan(seed)
        self.faults = []
        self.outcomes = []
        self.events = []
        self.never_answered = False
        self.out = self.err = b""

    def fault(self, text):
        self.faults.append(text)

    def execute(self):
        args, plan = self.args, self.plan
        root = tempfile.mkdtemp(prefix="vellicor-faults-")
        try:
            host = args.repeat if plan.calls else args.exe
            exe = os.path.join(root, os.path.basename(host))
            with SPAWNING:
                shutil.copy2(host, exe)
                shutil.copy2(args.reader, os.path.join(root, LIBRARY))
                if args.runner:
                    shutil.copy2(args.standin, os.path.join(root, "winscard.dll"))
            if plan.settings is not None:
                with open(os.path.join(root, "OUR_IDR.ini"), "w", newline="") as f:
                    f.write(plan.settings)
            env = dict(os.environ)
            if args.runner:
                log = os.path.join(root, "winscard.log")
                env.update(VELLICOR_WINSCARD=f"seeded:{self.seed}:{plan.deadline_ms}",
                           WINEDLLOVERRIDES="winscard=n")
            else:
                log = os.path.join(root, "service.log")
                env = {k: v for k, v in env.items()
                       if not k.startswith(("PCSCLITE", "LIBPCSCLITE"))}
                env.update(LD_LIBRARY_PATH=os.path.abspath(args.standin),
                           VELLICOR_FAULT_SEED=str(self.seed),
                           VELLICOR_FAULT_LATE_MS=str(plan.deadline_ms), VELLICOR_FAULT_LOG=log)
            command = [*args.runner, exe]
            if plan.calls:
                # By path on Linux, where a bare name is looked for on the
                # loader's path; Windows looks beside the host first.
                library = LIBRARY if args.runner else os.path.join(root, LIBRARY)
                command += [library, str(plan.calls), str(plan.pause_ms)]
            self.host(command, env, root, log)
            self.events = read_log(log)
            self.check_log()
            self.check_output()
        finally:
            shutil.rmtree(root, ignore_errors=True)

    def host(self, command, env, root, log):
        """Runs the host, noting when each line of its output arrived."""
        deadline, plan = self.plan.deadline_ms / 1000, self.plan
        calls = plan.calls or 1
        bound = calls * (deadline + SLACK + plan.pause_ms / 1000) + (5 if self.args.runner else 0)
        self.started = time.time()
        # Popen returns once the host's exec has closed what it inherited.
        with SPAWNING:
            proc = subprocess.Popen(command, env=env, cwd=root, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0)
        self.lines = []
        timer = threading.Timer(bound + KILL_AFTER, proc.kill)
        timer.start()
        try:
            if plan.calls:
                while True:
                    line = proc.stdout.readline()
                    if not line:
                        break
                    self.lines.append((time.time(), line))
                self.out = b"".join(line for _, line in self.lines)
                self.err = proc.stderr.read()
            else:
                self.out, self.err = proc.communicate()
            proc.wait()
        finally:
            timer.cancel()
        self.exited = time.time()
        self.status = proc.returncode
        if self.args.runner:
            # Under Wine the clock starts when the stand-in is loaded: Wine's
            # own start takes a second or so.
            first = first_log_time(log)
            if first is not None:
                self.started = first

    def check_log(self):
        if not self.events:
            self.fault("the service was never loaded")
        for text in self.events:
            if text.startswith(("violation:", "script error:")):
                self.fault(f"the service saw: {text}")
            if text.endswith("never answering"):
                self.never_answered = True

    def check_output(self):
        plan = self.plan
        deadline = plan.deadline_ms / 1000
        if self.status != 0:
            self.fault(f"exit status {self.status}")
        if self.err:
            self.fault(f"standard error {self.err[:400]!r}")
        allowed = answered(self.events, plan)
        if not plan.calls:
            took = self.exited - self.started
            if took > deadline + SLACK:
                self.fault(f"took {took:.2f} s, over the deadline of {deadline} s and a second")
            texts = {frame(NO_CARD): "no card", frame(NO_READER): "no reader"}
            numbers = {frame(str(n).encode()): n for _, n in allowed}
            if self.out in texts:
                self.outcomes.append(texts[self.out])
            elif self.out in numbers:
                self.outcomes.append("card number")
            else:
                self.fault(f"stdout {self.out!r}: {describe_output(self.out, allowed)}")
            return
        # The repeat host: a line per call as it returns, then the descriptors.
        previous = self.started
        for i, (arrived, line) in enumerate(self.lines[:plan.calls]):
            pause = plan.pause_ms / 1000 if i else 0
            if arrived - previous > pause + deadline + SLACK:
                self.fault(f"call {i + 1} returned {arrived - previous - pause:.2f} s after it "
                           f"began, over the deadline of {deadline} s and a second")
            previous = arrived
            self.check_call(i + 1, line.decode(errors="replace").strip(), allowed)
        last = self.lines[-1][1] if self.lines else b""
        if len(self.lines) != plan.calls + 1 or not last.startswith(b"open descriptors:"):
            self.fault(f"{len(self.lines)} lines from the repeat host, expected {plan.calls} "
                       f"calls and the descriptors: {self.out!r}")
        elif self.exited - previous > plan.pause_ms / 1000 + SLACK:
            self.fault(f"the repeat host exited {self.exited - previous:.2f} s after its last call")

    def check_call(self, number, line, allowed):
        match = re.fullmatch(r"(-?\d+) ([0-9a-f]{10})", line)
        if not match:
            self.fault(f"call {number}: {line!r} is no status and buffer")
            return
        status, buffer = int(match.group(1)), bytes.fromhex(match.group(2))
        if status in (8, 23) and buffer == bytes(5):
            self.outcomes.append("no card" if status == 8 else "no reader")
        elif status == 0 and (buffer[0], struct.unpack(">i", buffer[1:])[0]) in allowed:
            self.outcomes.append("card number")
        else:
            self.fault(f"call {number}: status {status}, buffer {buffer.hex()}: answered UIDs "
                       f"allow only {sorted(allowed)}")

    def report(self, argv):
        repeat = [sys.executable, os.path.abspath(__file__), *argv, "--seeds", str(self.seed)]
        log = "\n    ".join(self.events) or "(none)"
        return (f"FAIL seed {self.seed}: " + "; ".join(self.faults) + "\n"
                f"  {self.plan.describe()}\n"
                f"  repeat with: {shlex.join(repeat)}\n"
                f"  host's output: {self.out!r}\n"
                f"  service log:\n    {log}")


def describe_output(out, allowed):
    if len(out) < 4 or struct.unpack("<I", out[:4])[0] != len(out) - 4:
        return "not exactly one frame"
    match = re.fullmatch(rb'\{"cardno":"(.*)"\}', out[4:], re.DOTALL)
    if not match:
        return "a frame, but not the one-key message"
    if match.group(1) == b"":
        return "empty cardno: the library returned a status other than 0, 8 and 23"
    return f"a card number that no answered UID gives (they allow {sorted(allowed)})"


def read_log(path):
    """The log's events, without their times."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return [line.rstrip("\n").split(" ", 1)[-1] for line in f]
    except OSError:
        return []


def first_log_time(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return float(f.readline().split(" ", 1)[0])
    except (OSError, ValueError):
        return None


def seed_range(text):
    match = re.fullmatch(r"(\d+)(?:-(\d+))?", text)
    if not match:
        raise argparse.ArgumentTypeError(f"{text!r}: expected N or N-M")
    first = int(match.group(1))
    last = int(match.group(2) or first)
    if last < first:
        raise argparse.ArgumentTypeError(f"{text!r}: the range is empty")
    return range(first, last + 1)


def main():
    parser = argparse.ArgumentParser()
    for option in ("--exe", "--reader", "--repeat", "--standin"):
        parser.add_argument(option, required=True)
    parser.add_argument("--runner", action="append", default=[],
                        help="the command that runs a Windows program, one word per option")
    parser.add_argument("--seeds", type=seed_range, default=seed_range("1-300"))
    parser.add_argument("--jobs", type=int, default=2)
    args = parser.parse_args()
    # The options that repeat a seed: everything but the seeds.
    argv = []
    skip = False
    for word in sys.argv[1:]:
        if skip:
            skip = False
        elif word == "--seeds":
            skip = True
        elif not word.startswith("--seeds="):
            argv.append(word)

    started = time.monotonic()
    failed, outcomes, never = [], {}, 0

    def one(seed):
        run = Run(args, seed)
        try:
            run.execute()
        except (OSError, subprocess.SubprocessError) as error:
            run.fault(f"could not run: {error}")
        return run

    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        for run in pool.map(one, args.seeds):
            for outcome in run.outcomes:
                outcomes[outcome] = outcomes.get(outcome, 0) + 1
            never += run.never_answered
            if run.faults:
                failed.append(run.seed)
                print(run.report(argv), flush=True)
    took = time.monotonic() - started
    seeds = args.seeds
    print(f"seeds {seeds.start}-{seeds.stop - 1}: {len(seeds) - len(failed)} passed, "
          f"{len(failed)} failed, in {took:.1f} s, {args.jobs} at a time")
    print("reads: " + ", ".join(f"{count} {name}" for name, count in sorted(outcomes.items()))
          + f"; {never} runs with a call never answered")
    if failed:
        print("failed seeds: " + " ".join(map(str, failed)))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
