#!/usr/bin/env python3
"""End-to-end cases for the PC/SC reader library: the built program, staged in
a fresh folder with the PC/SC OUR_IDR.dll beside it, reading from a real pcscd
with vpcd's virtual readers and our virtual card (see pcsc_daemon.py). Each
run's whole standard output is compared byte for byte, its standard error must
be empty, its exit status 0, and it must end within the library's deadline
and a second.

    pcsc_e2e.py --exe PATH --reader PATH --repeat PATH --check PATH --vendor PATH
                --watch PATH --pcscd PATH --driver PATH [--usb-drivers PATH] CASE

The watch_* cases run the watch host (--watch) beside the library instead,
spoken to in frames as a browser does (WatchHost, in e2e.py).

Runs as root (or with unprivileged user namespaces): each case enters mount
and network namespaces of its own, so cases run in parallel without sharing
ports or sockets.
"""

import argparse
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

from e2e import LIBRARY, NO_CARD, NO_READER, Failure, WatchHost, event, frame  # noqa: E402
from pcsc_daemon import Service, SetupError, enter_namespaces  # noqa: E402
from virtual_card import GET_UID  # noqa: E402

RUN_TIMEOUT = 20
# The library's bound on a read (read_deadline_ms); a run of the program may
# take a second more.
DEADLINE = 3.0
RUN_BOUND = DEADLINE + 1.0
# A card takes about 0.4 s to appear once connected, and as long to settle
# once gone; this is the bound for either.
SETTLE_BOUND = 10.0
SKIPPED = 77  # CTest's SKIP_RETURN_CODE for these cases


class Harness:
    def __init__(self, args):
        self.args = args
        self.root = os.path.realpath(tempfile.mkdtemp(prefix="vellicor-pcsc-e2e-"))
        self.folder = folder = os.path.join(self.root, "program")
        os.mkdir(folder)
        self.exe = os.path.join(folder, os.path.basename(args.exe))
        shutil.copy2(args.exe, self.exe)
        shutil.copy2(args.reader, os.path.join(folder, LIBRARY))
        self.check_tool = os.path.join(folder, os.path.basename(args.check))
        shutil.copy2(args.check, self.check_tool)
        self.watch = os.path.join(folder, os.path.basename(args.watch))
        shutil.copy2(args.watch, self.watch)
        self.ini = os.path.join(folder, "OUR_IDR.ini")
        self.service = Service(args.pcscd, args.driver, args.usb_drivers)
        self.socket = self.service.socket
        self.cards = []

    def cleanup(self):
        WatchHost.kill_all()
        for card in self.cards:
            card.remove()
        self.service.cleanup()
        shutil.rmtree(self.root, ignore_errors=True)

    def start(self, readers=True):
        self.service.start(readers)

    def insert(self, uid_hex, reader=0, **kwargs):
        card = self.service.card(bytes.fromhex(uid_hex), reader, **kwargs).insert()
        self.cards.append(card)
        return card

    def remove(self, card):
        card.remove()
        self.cards.remove(card)

    def env(self):
        env = {k: v for k, v in os.environ.items() if not k.startswith(("PCSCLITE", "LIBPCSCLITE"))}
        env.update(self.service.env, PCSCLITE_CSOCK_NAME=self.socket)
        return env

    def start_program(self, prefix=(), env=None):
        return subprocess.Popen([*prefix, self.exe], env={**self.env(), **(env or {})},
                                cwd=self.root, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)

    def read(self, prefix=(), env=None, at_least=0.0):
        """One run of the program, through the command `prefix` if given; its
        stdout, after checking the rest."""
        started = time.monotonic()
        proc = self.start_program(prefix, env)
        out, err = proc.communicate(timeout=RUN_TIMEOUT)
        took = time.monotonic() - started
        if not at_least <= took <= RUN_BOUND:
            raise Failure(f"the run took {took:.2f} s, not {at_least} to {RUN_BOUND} s; "
                          f"stdout {out!r}")
        return checked(proc, out, err)

    def start_watch(self):
        return WatchHost(self.watch, self.env(), root=self.root, bound=SETTLE_BOUND)

    def settings(self, text):
        """Writes OUR_IDR.ini beside the library (bytes), or removes it (None)."""
        if os.path.isdir(self.ini):
            os.rmdir(self.ini)
        elif os.path.lexists(self.ini):
            os.remove(self.ini)
        if text is not None:
            with open(self.ini, "wb") as f:
                f.write(text)

    def check(self, *options, tool=None):
        """One run of vellicor-check, the one beside our library unless `tool`
        is given: its exit status and standard output, which must be UTF-8."""
        started = time.monotonic()
        proc = subprocess.run([tool or self.check_tool, *options], env=self.env(), cwd=self.root,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=RUN_TIMEOUT)
        took = time.monotonic() - started
        # Two bounded questions: the survey, then the program's own read.
        if took > 2 * DEADLINE + 1 or proc.stderr:
            raise Failure(f"vellicor-check took {took:.2f} s, stderr {proc.stderr!r}")
        try:
            return proc.returncode, proc.stdout.decode()
        except UnicodeDecodeError as error:
            raise Failure(f"vellicor-check wrote {proc.stdout!r}: {error}") from None

    def hang_service(self):
        """Points the client at a socket that accepts and never answers: the
        kernel completes each connection, nobody ever reads it."""
        path = os.path.join(self.root, "hung.comm")
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(path)
        listener.listen(64)
        self.hung = listener  # kept open for the whole case
        os.chmod(path, 0o777)
        self.socket = path

    def expect(self, expected, what, runs=1):
        for _ in range(runs):
            out = self.read()
            if out != expected:
                raise Failure(f"{what}:\n  expected stdout {expected!r}\n  got      stdout {out!r}")

    def expect_eventually(self, expected, what, meanwhile=()):
        """Reads until the output is `expected`, within SETTLE_BOUND; until
        then only the outputs in `meanwhile` are allowed. Then reads twice
        more: the outcome must stay."""
        deadline = time.monotonic() + SETTLE_BOUND
        while True:
            out = self.read()
            if out == expected:
                break
            if out not in meanwhile:
                raise Failure(f"{what}:\n  expected stdout {expected!r}\n  got      stdout {out!r}")
            if time.monotonic() > deadline:
                raise Failure(f"{what}: still {out!r} after {SETTLE_BOUND} s")
            time.sleep(0.05)
        self.expect(expected, f"{what}, once settled", runs=2)

    def expect_once_asked(self, card, expected, what):
        """For answers that read as no card: reads until the card has been asked
        for its UID (or the reads would prove nothing), every read giving
        `expected`; then reads twice more."""
        deadline = time.monotonic() + SETTLE_BOUND
        while GET_UID not in card.commands:
            self.expect(expected, f"{what}, before the card was asked")
            if time.monotonic() > deadline:
                raise Failure(f"{what}: the card was never asked for its UID")
            time.sleep(0.05)
        self.expect(expected, what, runs=2)

    def expect_repeated(self, line, what, count=30, calls=None, pause_ms=0, after_first=None):
        """Calls the library `count` times in one process: every call must give
        `line` (status and buffer), or each the line in `calls`, and every
        descriptor opened must be closed. With `pause_ms` the process waits
        that long after each call, the library unloaded; `after_first` runs
        once the first call has returned."""
        expected = calls or [line] * count
        # Unbuffered: communicate() reads the raw pipe, so whatever a buffered
        # readline() took beyond the first line would be lost.
        proc = subprocess.Popen([self.args.repeat, self.args.reader, str(len(expected)),
                                 str(pause_ms)], env=self.env(), stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0)
        first = proc.stdout.readline()
        if after_first:
            after_first()
        out, err = proc.communicate(timeout=RUN_TIMEOUT * 3)
        *lines, descriptors = checked(proc, first + out, err).decode().splitlines()
        if lines != expected:
            raise Failure(f"{what}: calls gave {lines}, expected {expected}")
        before, after = (int(n) for n in re.findall(r"\d+", descriptors))
        if before != after:
            raise Failure(f"{what}: {after - before} descriptors left open after {len(lines)} calls")


def checked(proc, out, err):
    if err or proc.returncode != 0:
        raise Failure(f"stdout {out!r}, stderr {err!r}, exit status {proc.returncode}")
    return out


def card_frame(number):
    return frame(str(number).encode())


# Cards as the tests use them: UID, and the card number the program reports.
FOUR_BYTES = ("12345678", 0x12345678)
SEVEN_BYTES = ("04112233445566", 0x33445566)


def case_no_daemon(h):
    # Nothing listens at the socket: the client cannot reach the service.
    h.expect(frame(NO_READER), "no daemon", runs=2)
    # A socket file left behind by a daemon that died.
    stale = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    stale.bind(h.service.socket)
    stale.close()
    h.expect(frame(NO_READER), "stale socket, no daemon")
    h.expect_repeated("23 0000000000", "no daemon, one process")


def case_no_readers(h):
    h.start(readers=False)
    h.expect(frame(NO_READER), "daemon without readers", runs=3)
    h.expect_repeated("23 0000000000", "daemon without readers, one process")


def case_reader_without_card(h):
    h.start()
    # Until the daemon has set up its readers it has none.
    h.expect_eventually(frame(NO_CARD), "reader without card", meanwhile={frame(NO_READER)})


def case_uids(h):
    h.start()
    h.expect_eventually(frame(NO_CARD), "empty reader", meanwhile={frame(NO_READER)})
    for uid, number, what in [
            (*FOUR_BYTES, "4-byte UID"),
            (*SEVEN_BYTES, "7-byte UID: its last four bytes"),
            ("0102030405060708090A", 0x0708090A, "10-byte UID: its last four bytes"),
            ("E004010012345678", 0x12345678, "8-byte UID: its last four bytes"),
            ("DEADBEEF", -559038737, "4-byte UID with its top bit set"),
            ("04A1B2C3D4E5F6", -1009457674, "7-byte UID whose last four have the top bit set")]:
        card = h.insert(uid)
        h.expect_eventually(card_frame(number), what, meanwhile={frame(NO_CARD)})
        h.remove(card)
        h.expect_eventually(frame(NO_CARD), f"{what}, removed", meanwhile={card_frame(number)})


def case_second_reader(h):
    h.start()
    h.expect_eventually(frame(NO_CARD), "empty readers", meanwhile={frame(NO_READER)})
    second = h.insert(SEVEN_BYTES[0], reader=1)
    h.expect_eventually(card_frame(SEVEN_BYTES[1]), "card in the second reader",
                        meanwhile={frame(NO_CARD)})
    # With a card in each, the first reader in PC/SC's order is the one read.
    h.insert(FOUR_BYTES[0], reader=0)
    h.expect_eventually(card_frame(FOUR_BYTES[1]), "cards in both readers",
                        meanwhile={card_frame(SEVEN_BYTES[1])})
    asked = len(second.commands)
    h.expect(card_frame(FOUR_BYTES[1]), "cards in both readers", runs=3)
    if len(second.commands) != asked:
        raise Failure("the card in the second reader was asked although the first holds one")


def case_error_status_word(h):
    h.start()
    h.expect_eventually(frame(NO_CARD), "empty reader", meanwhile={frame(NO_READER)})
    for uid, status_word, what in [
            ("", "6A81", "function not supported"),
            ("", "6300", "failure"),
            (FOUR_BYTES[0], "6A81", "UID with an error status word"),
            (FOUR_BYTES[0], "6282", "UID with a warning"),
            (FOUR_BYTES[0], "9001", "UID with 90 01"),
            ("", "9000", "success without a UID"),
            ("123456", "9000", "3-byte answer"),
            ("0102030405060708090A0B", "9000", "11-byte answer")]:
        card = h.insert(uid, status_word=bytes.fromhex(status_word))
        h.expect_once_asked(card, frame(NO_CARD), what)
        h.remove(card)
    # A token (or a contact card) in the first reader, refusing GET DATA,
    # does not hide the card in the second: the token is asked and passed over.
    token = h.insert("", reader=0, status_word=bytes.fromhex("6D00"))
    h.expect_once_asked(token, frame(NO_CARD), "token alone")
    h.insert(FOUR_BYTES[0], reader=1)
    h.expect_eventually(card_frame(FOUR_BYTES[1]), "token in the first reader, card in the second",
                        meanwhile={frame(NO_CARD)})
    asked = token.commands.count(GET_UID)
    h.expect(card_frame(FOUR_BYTES[1]), "token in the first reader, card in the second", runs=2)
    if token.commands.count(GET_UID) != asked + 2:
        raise Failure("the token in the first reader was not asked first on every read")


def case_card_removed(h):
    h.start()
    h.expect_eventually(frame(NO_CARD), "empty reader", meanwhile={frame(NO_READER)})
    card = h.insert(FOUR_BYTES[0])
    h.expect_eventually(card_frame(FOUR_BYTES[1]), "card present", meanwhile={frame(NO_CARD)})
    h.remove(card)
    h.expect_eventually(frame(NO_CARD), "card removed", meanwhile={card_frame(FOUR_BYTES[1])})
    # Taken away in the middle of a read: asked for its UID, it is gone.
    card = h.insert(FOUR_BYTES[0], vanish=True)
    h.expect_once_asked(card, frame(NO_CARD), "card vanishing during the read")


def case_card_never_answers(h):
    h.start()
    h.expect_eventually(frame(NO_CARD), "empty reader", meanwhile={frame(NO_READER)})
    # Asked for its UID, the card never answers and the reader waits for it:
    # each read ends at the deadline (read() checks the time).
    card = h.insert(FOUR_BYTES[0], silent=True)
    h.expect_once_asked(card, frame(NO_CARD), "card that never answers")
    h.remove(card)
    h.insert(FOUR_BYTES[0])
    h.expect_eventually(card_frame(FOUR_BYTES[1]), "hung card replaced", meanwhile={frame(NO_CARD)})


def case_service_stopped(h):
    h.start()
    h.insert(FOUR_BYTES[0])
    h.expect_eventually(card_frame(FOUR_BYTES[1]), "card present",
                        meanwhile={frame(NO_CARD), frame(NO_READER)})
    daemon = h.service.process
    daemon.send_signal(signal.SIGSTOP)
    try:
        # The service never answers: the program reports it and exits at once,
        # though its read is still waiting inside pcsc-lite.
        h.expect(frame(NO_READER), "service stopped")
        # In one process: the first call is given up, the library unloaded,
        # and then the service goes on, so that the given-up call wakes with
        # the library gone; it must neither run unmapped code nor write into
        # the buffer. The next call reads the card.
        h.expect_repeated(None, "service stopped, then continued",
                          calls=["23 0000000000", "0 0412345678"], pause_ms=1500,
                          after_first=lambda: daemon.send_signal(signal.SIGCONT))
    finally:
        daemon.send_signal(signal.SIGCONT)
    h.expect(card_frame(FOUR_BYTES[1]), "service continued", runs=2)


def case_concurrent_reads(h):
    h.start()
    card = h.insert(SEVEN_BYTES[0])
    expected = card_frame(SEVEN_BYTES[1])
    h.expect_eventually(expected, "card present", meanwhile={frame(NO_CARD), frame(NO_READER)})
    for round_ in range(3):
        programs = [h.start_program() for _ in range(8)]
        for i, proc in enumerate(programs):
            out, err = proc.communicate(timeout=RUN_TIMEOUT)
            if checked(proc, out, err) != expected:
                raise Failure(f"round {round_}, program {i}: got {out!r}, expected {expected!r}")
    # Shared access leaves the card as it was: nobody reset it under the others.
    if 2 in card.controls:
        raise Failure(f"the card was reset: controls {card.controls}")


def case_handles_released(h):
    h.start()
    h.expect_eventually(frame(NO_CARD), "empty reader", meanwhile={frame(NO_READER)})
    h.expect_repeated("8 0000000000", "no card")
    card = h.insert(FOUR_BYTES[0])
    h.expect_eventually(card_frame(FOUR_BYTES[1]), "card present", meanwhile={frame(NO_CARD)})
    h.expect_repeated("0 0412345678", "card")
    h.remove(card)
    h.expect_eventually(frame(NO_CARD), "card removed", meanwhile={card_frame(FOUR_BYTES[1])})
    card = h.insert("", status_word=bytes.fromhex("6A81"))
    h.expect_once_asked(card, frame(NO_CARD), "refusing card")
    h.expect_repeated("8 0000000000", "refusing card")


# A 7-byte UID's number under each byte_order and uid_bytes.
SEVEN_BYTE_NUMBERS = [("as_read", "last4", 860116326), ("reversed", "last4", 1716864051),
                      ("as_read", "first4", 68231731), ("reversed", "first4", 857870596)]


def number_rows(in_force):
    """vellicor-check's rows for the 7-byte UID, `in_force` (byte_order,
    uid_bytes) marked; and the same as JSON."""
    rows = "\n".join((f"                {order:<12}{which:<11}{number:<12}"
                      + ("<- in force" if (order, which) == in_force else "")).rstrip()
                     for order, which, number in SEVEN_BYTE_NUMBERS)
    return rows, [{"byte_order": order, "uid_bytes": which, "cardno": str(number),
                   "in_force": (order, which) == in_force}
                  for order, which, number in SEVEN_BYTE_NUMBERS]


def case_settings_numbers(h):
    h.start()
    h.insert(SEVEN_BYTES[0])
    h.expect_eventually(card_frame(SEVEN_BYTES[1]), "7-byte UID, no settings",
                        meanwhile={frame(NO_CARD), frame(NO_READER)})
    for order, which, number in SEVEN_BYTE_NUMBERS:
        h.settings(f"# site settings\r\nbyte_order = {order}\r\nUID_Bytes={which}  ; old reader\r\n"
                   "deadline_ms = 2000\r\n".encode())
        h.expect(card_frame(number), f"byte_order {order}, uid_bytes {which}")
    # None beside the library: the machine's /etc/vellicor/OUR_IDR.ini, seen
    # through an overlay that only this case's mount namespace has.
    h.settings(None)
    layers = os.path.join(h.root, "etc-overlay")
    os.mkdir(layers)
    subprocess.run(["mount", "-t", "tmpfs", "vellicor-etc", layers], check=True)
    for name in ("upper", "work"):
        os.mkdir(os.path.join(layers, name))
    subprocess.run(["mount", "-t", "overlay", "vellicor-etc", "-o",
                    f"lowerdir=/etc,upperdir={layers}/upper,workdir={layers}/work", "/etc"],
                   check=True)
    os.makedirs("/etc/vellicor", exist_ok=True)
    with open("/etc/vellicor/OUR_IDR.ini", "w") as f:
        f.write("uid_bytes = first4\n")
    h.expect(card_frame(68231731), "settings in /etc/vellicor only")
    h.settings(b"byte_order = reversed\n")
    h.expect(card_frame(1716864051), "settings beside the library before /etc/vellicor's")


def case_settings_readers(h):
    h.start()
    first = h.insert(FOUR_BYTES[0], reader=0)
    h.insert(SEVEN_BYTES[0], reader=1)
    h.expect_eventually(card_frame(FOUR_BYTES[1]), "cards in both readers",
                        meanwhile={frame(NO_CARD), frame(NO_READER)})
    h.settings(b"readers = PCD 00 01, PCD 00 00\n")
    h.expect(card_frame(SEVEN_BYTES[1]), "the second reader named first")
    # A reader that matches no part is never asked.
    asked = first.commands.count(GET_UID)
    h.settings(b"readers = 00 01\n")
    h.expect(card_frame(SEVEN_BYTES[1]), "only the second reader named", runs=2)
    if first.commands.count(GET_UID) != asked:
        raise Failure("the card in a reader matching no part of readers was asked")
    # None of the named readers is connected.
    h.settings(b"readers = Counter, Back office\n")
    h.expect(frame(NO_READER), "no reader matching readers")
    h.settings(None)
    h.expect(card_frame(FOUR_BYTES[1]), "settings removed")


def make_fifo(path):
    os.mkfifo(path)


# A file that cannot be taken as settings: its bytes (or how to make it), and
# the line vellicor-check names (0: the whole file).
BAD_SETTINGS = {
    "unknown key": (b"byte_order = as_read\nbyte_ordr = reversed\n", 2),
    "bad value": (b"uid_bytes = last4\ndeadline_ms = 20000\n", 2),
    "duplicate key": (b"uid_bytes = last4\n# again\nuid_bytes = first4\n", 3),
    "line over 1 KiB": (b"readers = " + b"x" * 1100 + b"\n", 1),
    "file over 64 KiB": (b"# padding\n" * 7000, 0),
    "binary junk": (b"\x7fELF\x02\x01\x01\x00" + bytes(range(256)), 1),
    "UTF-16": ("uid_bytes = first4\n".encode("utf-16"), 1),
    "a folder": (os.mkdir, 0),
    "a FIFO, never opened for writing": (make_fifo, 0),
}


def case_bad_settings(h):
    h.start()
    h.insert(FOUR_BYTES[0])
    h.expect_eventually(card_frame(FOUR_BYTES[1]), "card present",
                        meanwhile={frame(NO_CARD), frame(NO_READER)})
    for what, (content, line) in BAD_SETTINGS.items():
        h.settings(None)
        if callable(content):
            content(h.ini)
        else:
            h.settings(content)
        h.expect(frame(b""), f"settings file: {what}")
        status, out = h.check("--json")
        fault = json.loads(out)["settings"]["fault"]
        if status != 1 or not fault or fault["line"] != line:
            raise Failure(f"settings file: {what}: vellicor-check exited {status}, fault {fault}")
    h.settings(None)
    h.expect(card_frame(FOUR_BYTES[1]), "settings file removed")


def case_check_report(h):
    h.start()
    h.insert(SEVEN_BYTES[0], reader=1)
    h.expect_eventually(card_frame(SEVEN_BYTES[1]), "card in the second reader",
                        meanwhile={frame(NO_CARD), frame(NO_READER)})
    h.settings(b"byte_order = reversed\nreaders = 00 01, Virtual\n")
    folder = h.folder
    rows, numbers = number_rows(("reversed", "last4"))
    expected = f"""\
Reader library  {folder}/OUR_IDR.dll
                Vellicor's PC/SC reader library
Settings        {folder}/OUR_IDR.ini
                byte_order = reversed, uid_bytes = last4
                readers = 00 01, Virtual
                deadline_ms = 3000
PC/SC service   answers, 2 readers
Reader 1        Virtual PCD 00 00
  state         empty
  asked         2nd
Reader 2        Virtual PCD 00 01
  state         card present
  asked         1st
  ATR           3B 80 80 01 01
  UID           04 11 22 33 44 55 66
  card numbers  byte_order  uid_bytes  number
{rows}
Program answers {{"cardno":"1716864051"}}
"""
    status, out = h.check()
    if (status, out) != (0, expected):
        raise Failure(f"vellicor-check exited {status}, wrote:\n{out}\nexpected:\n{expected}")
    expected_json = {
        "library": {"path": f"{folder}/OUR_IDR.dll", "kind": "ours"},
        "settings": {"looked_at": [f"{folder}/OUR_IDR.ini", "/etc/vellicor/OUR_IDR.ini"],
                     "path": f"{folder}/OUR_IDR.ini", "source": "beside_library", "applies": True,
                     "fault": None,
                     "byte_order": "reversed", "uid_bytes": "last4",
                     "readers": ["00 01", "Virtual"], "deadline_ms": 3000},
        "service": {"state": "answers", "problem": None},
        "readers": [
            {"name": "Virtual PCD 00 00", "state": "empty", "asked": 2, "atr": None, "uid": None,
             "no_uid": None, "numbers": []},
            {"name": "Virtual PCD 00 01", "state": "card present", "asked": 1,
             "atr": "3B 80 80 01 01", "uid": "04 11 22 33 44 55 66", "no_uid": None,
             "numbers": numbers}],
        "answer": {"kind": "card_number", "cardno": "1716864051", "status": 0},
    }
    status, out = h.check("--json")
    if (status, json.loads(out)) != (0, expected_json):
        raise Failure(f"vellicor-check --json exited {status}, wrote:\n{out}")
    # No card anywhere: the program would answer no card, so the status is 1.
    h.remove(h.cards[0])
    h.expect_eventually(frame(NO_CARD), "card removed", meanwhile={card_frame(1716864051)})
    status, out = h.check("--json")
    if status != 1 or json.loads(out)["answer"]["cardno"] != NO_CARD.decode("gbk"):
        raise Failure(f"vellicor-check without a card exited {status}, wrote:\n{out}")


def case_check_beside_vendor(h):
    # A vendor's library (the simulated reader) with our settings beside it,
    # in a folder whose name is not UTF-8, like the `readers` part: nothing
    # marked in force or asked, no read claimed to fail; the vendor's answer.
    h.start()
    h.insert(SEVEN_BYTES[0], reader=1)
    h.expect_eventually(card_frame(SEVEN_BYTES[1]), "card in the second reader",
                        meanwhile={frame(NO_CARD), frame(NO_READER)})
    folder = os.path.join(os.fsencode(h.root), b"caf\xe9")
    os.mkdir(folder)
    tool = os.path.join(folder, b"vellicor-check")
    shutil.copy2(h.args.check, tool)
    shutil.copy2(h.args.vendor, os.path.join(folder, LIBRARY.encode()))
    shown = f"{h.root}/caf\\xE9"
    rows, numbers = number_rows(None)
    for settings, lines in [
            (b"byte_order = reversed\nuid_bytes = first4\nreaders = Lecteur \xe9tage 2, 00 01\n",
             "                byte_order = reversed, uid_bytes = first4\n"
             "                readers = Lecteur \\xE9tage 2, 00 01\n"
             "                deadline_ms = 3000\n"),
            (b"uid_bytes = first5\n", "  fault         line 1: bad value\n")]:
        with open(os.path.join(folder, b"OUR_IDR.ini"), "wb") as f:
            f.write(settings)
        expected = f"""\
Reader library  {shown}/OUR_IDR.dll
                not Vellicor's (the reader vendor's?): the settings do not apply to it
Settings        {shown}/OUR_IDR.ini
{lines}                not in force: only Vellicor's PC/SC reader library reads them
PC/SC service   answers, 2 readers
Reader 1        Virtual PCD 00 00
  state         empty
Reader 2        Virtual PCD 00 01
  state         card present
  ATR           3B 80 80 01 01
  UID           04 11 22 33 44 55 66
  card numbers  byte_order  uid_bytes  number
{rows}
Program answers {{"cardno":"12345"}}
"""
        status, out = h.check(tool=tool)
        if (status, out) != (0, expected):
            raise Failure(f"vellicor-check exited {status}, wrote:\n{out}\nexpected:\n{expected}")
    status, out = h.check("--json", tool=tool)
    found = json.loads(out)
    expected_json = {
        "library": {"path": f"{shown}/OUR_IDR.dll", "kind": "other"},
        "settings": {"looked_at": [f"{shown}/OUR_IDR.ini", "/etc/vellicor/OUR_IDR.ini"],
                     "path": f"{shown}/OUR_IDR.ini", "source": "beside_library",
                     "applies": False, "fault": {"line": 1, "problem": "bad value"}},
        "service": {"state": "answers", "problem": None},
        "readers": [
            {"name": "Virtual PCD 00 00", "state": "empty", "asked": None, "atr": None,
             "uid": None, "no_uid": None, "numbers": []},
            {"name": "Virtual PCD 00 01", "state": "card present", "asked": None,
             "atr": "3B 80 80 01 01", "uid": "04 11 22 33 44 55 66", "no_uid": None,
             "numbers": numbers}],
        "answer": {"kind": "card_number", "cardno": "12345", "status": 0},
    }
    if (status, found) != (0, expected_json):
        raise Failure(f"vellicor-check --json exited {status}, wrote:\n{out}")
    # Its survey given up, the tool still ends with its own status.
    h.hang_service()
    status, out = h.check("--json", tool=tool)
    found = json.loads(out)
    expected_json.update(service={"state": "timed_out",
                                  "problem": "while setting up or listing the readers"},
                         readers=[])
    if (status, found) != (0, expected_json):
        raise Failure(f"vellicor-check --json, service hung, exited {status}, wrote:\n{out}")


def case_thread_limits(h):
    # However the process is limited, a read of a service that never answers
    # ends: with a thread of its own and its deadline, or without any read.
    h.hang_service()
    with open("/proc/self/uid_map") as f:
        real_root = f.read().split()[:3] == ["0", "0", "4294967295"]
    if real_root:
        # A user allowed no more processes gets no thread: no PC/SC call is
        # made, so nothing connects to the service, and the read fails.
        for folder in (h.root, os.path.dirname(h.exe)):
            os.chmod(folder, 0o755)
        as_nobody = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                     "prlimit", "--nproc=1:1", "--"]
        # A sanitizer's leak check would need a thread too.
        out = h.read(prefix=as_nobody, env={"ASAN_OPTIONS": "detect_leaks=0"})
        if out != frame(b""):
            raise Failure(f"no thread: expected stdout {frame(b'')!r}, got {out!r}")
        h.hung.setblocking(False)
        try:
            h.hung.accept()
            raise Failure("no thread: the service was asked all the same")
        except BlockingIOError:
            pass
    else:
        print("skipped: no thread: running as another user needs real root")
    # A stack limit that no default thread stack fits in.
    out = h.read(prefix=["prlimit", "--stack=200000000000", "--"])
    if out != frame(NO_READER):
        raise Failure(f"huge stack limit: expected stdout {frame(NO_READER)!r}, got {out!r}")


def case_abandoned_read_exit(h):
    # The read is given up inside pcsc-lite. At exit, pcsc-lite's destructor
    # would free what that read still uses: the process must end before it
    # runs, with its output and exit status intact.
    h.hang_service()
    log = os.path.join(h.root, "ld")
    out = h.read(env={"LD_DEBUG": "files", "LD_DEBUG_OUTPUT": log})
    if out != frame(NO_READER):
        raise Failure(f"expected stdout {frame(NO_READER)!r}, got {out!r}")
    finalised = []
    for name in os.listdir(h.root):
        if name.startswith("ld."):
            with open(os.path.join(h.root, name), errors="replace") as f:
                finalised += [os.path.basename(line.split("calling fini:")[1].split()[0])
                              for line in f if "calling fini:" in line]
    if LIBRARY not in finalised or any(n.startswith("libpcsclite") for n in finalised):
        raise Failure(f"destructors run at exit: {finalised}; expected ours, not pcsc-lite's")
    # A host whose last line is still in its stdio buffer when it exits.
    proc = subprocess.run([h.args.repeat, h.args.reader, "1"], env=h.env(), capture_output=True,
                          stdin=subprocess.DEVNULL, timeout=RUN_TIMEOUT, check=False)
    lines = checked(proc, proc.stdout, proc.stderr).decode().splitlines()
    if lines[:1] != ["23 0000000000"] or not lines[-1].startswith("open descriptors:"):
        raise Failure(f"host's output: {lines}")


def case_watch_cards(h):
    # The watch host beside our library waits in PC/SC rather than reading at
    # every turn: each card is asked for its UID once per presentation.
    host = h.start_watch()
    host.expect([event("no_reader")], "no service yet")
    h.start()
    host.expect([event("no_card")], "service and readers up")
    card = h.insert("DEADBEEF")
    host.expect([event("card", -559038737)], "card presented")
    time.sleep(2)
    host.expect_quiet(0.1, "card held")
    if card.commands.count(GET_UID) != 1:
        raise Failure(f"the card held was asked {card.commands.count(GET_UID)} times, not once")
    # A read of the browser's own runs beside the wait, not after it, and
    # our connecting to the card wakes nothing.
    host.send({"read": 1})
    host.expect([event("card", -559038737, read=1)], "read asked for meanwhile", within=1.5)
    host.expect_quiet(2.5, "card held, after the read asked for")
    h.remove(card)
    host.expect([event("no_card")], "card taken away")
    card = h.insert("DEADBEEF")
    host.expect([event("card", -559038737)], "the same card shown again")
    # Another card in its place: heard, whether or not the daemon saw the
    # reader empty in between.
    h.remove(card)
    h.insert(SEVEN_BYTES[0])
    _, got = host.next("another card")
    if got == event("no_card"):
        _, got = host.next("another card")
    if got != event("card", SEVEN_BYTES[1]):
        raise Failure(f"another card: got {got!r}")
    # A card on the second reader while the first holds one: the read still
    # gives the first, so nothing is news.
    second = h.insert(FOUR_BYTES[0], reader=1)
    time.sleep(1.5)
    host.expect_quiet(0.1, "a card on the second reader too")
    if not second.powered.is_set():
        raise Failure("the card on the second reader never reached the daemon")
    host.close("input closed while waiting")


def case_watch_service_hung(h):
    # A service that stops answering: the host hears no reader, as the
    # program would, keeps one thread at most inside pcsc-lite for its waits
    # however long it lasts, and hears the card again once it goes on.
    h.start()
    h.insert(FOUR_BYTES[0])
    host = h.start_watch()
    _, got = host.next("card present")
    if got == event("no_card"):
        _, got = host.next("card present")
    if got != event("card", FOUR_BYTES[1]):
        raise Failure(f"card present: got {got!r}")
    daemon = h.service.process
    daemon.send_signal(signal.SIGSTOP)
    try:
        host.expect([event("no_reader")], "service stopped", within=10)
        threads = []
        for _ in range(6):
            with open(f"/proc/{host.proc.pid}/status") as f:
                threads += [int(line.split()[1]) for line in f if line.startswith("Threads:")]
            time.sleep(1)
        # Its own four, a wait and a read given up.
        if max(threads) > 6:
            raise Failure(f"threads while the service is stopped: {threads}")
    finally:
        daemon.send_signal(signal.SIGCONT)
    host.expect([event("card", FOUR_BYTES[1])], "service going on")
    daemon.send_signal(signal.SIGSTOP)
    try:
        host.expect([event("no_reader")], "service stopped again", within=10)
        host.close("input closed while the service is stopped")
    finally:
        daemon.send_signal(signal.SIGCONT)


def no_system_virtual_reader():
    """The machine's own pcscd must have no vpcd reader: one listens on the
    network, where anyone can insert a card of their choosing. The tests use
    vpcd's driver only in their private service."""
    folder = "/etc/reader.conf.d"
    names = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
    for name in names:
        with open(os.path.join(folder, name), "rb") as f:
            if b"vpcd" in f.read():
                raise Failure(f"{folder}/{name} configures a vpcd virtual reader for the machine's "
                              "pcscd; if it was not installed on purpose: "
                              "apt-get purge vsmartcard-vpcd")


def main():
    cases = {name[len("case_"):]: f for name, f in globals().items() if name.startswith("case_")}
    parser = argparse.ArgumentParser()
    for option in ("--exe", "--reader", "--repeat", "--check", "--vendor", "--watch", "--pcscd",
                   "--driver"):
        parser.add_argument(option, required=True)
    parser.add_argument("--usb-drivers")
    parser.add_argument("case", choices=sorted(cases) + ["no_system_virtual_reader"])
    args = parser.parse_args()
    if args.case == "no_system_virtual_reader":
        try:
            no_system_virtual_reader()
        except (Failure, OSError) as failure:
            print(f"FAIL {args.case}: {failure}")
            return 1
        print(f"PASS {args.case}")
        return 0
    for what, path in (("pcscd", args.pcscd), ("vpcd's driver", args.driver)):
        if not os.path.exists(path):
            print(f"skipped: {what} not found at {path}: run scripts/setup-debian.sh")
            return SKIPPED
    try:
        enter_namespaces()
    except SetupError as error:
        print(f"FAIL {args.case}: {error}")
        return 1
    harness = Harness(args)
    try:
        harness.service.isolate()
        cases[args.case](harness)
    except (Failure, SetupError, OSError, subprocess.TimeoutExpired) as failure:
        print(f"FAIL {args.case}: {failure}")
        log = harness.service.log()
        if log:
            print(f"pcscd's log:\n{log}")
        return 1
    finally:
        harness.cleanup()
    print(f"PASS {args.case}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
