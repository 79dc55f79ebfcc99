#!/usr/bin/env python3
"""End-to-end cases: the built program run from a fresh folder, beside a real
reader library (or beside none), its whole standard output compared byte for
byte, its standard error expected empty and its exit status 0.

    e2e.py --exe PATH --reader PATH --no-entry PATH --scripted PATH [--wine RUNNER]
           [--helper-reader PATH --helper PATH] [--watch PATH [--check PATH]] CASE

--scripted is the scripted test reader (tests/fixtures/scripted_reader.cpp),
which misbehaves as its environment variables ask.

The watch.* cases run the watch host (--watch, watch/protocol.hpp) instead,
beside the scripted reader reading its answer from a file that the case
rewrites, and talk to it in frames as a browser does: every frame it writes
is compared as bytes, its standard error must stay empty, and once its input
is closed it must end at once with exit status 0. --check is vellicor-check,
for the lock that keeps its read and the watch's apart.

With --wine the program is the Windows one, run through RUNNER (the build's
Wine runner). Wine shows the file system as drive Z:, so the not-found report
holds Z:\... in GBK; the runner makes the ANSI code page 936 unless
VELLICOR_WINE_LOCALE says otherwise. The few checks that cannot apply there
say so and are left out.
"""

import argparse
import json
import os
import queue
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time

LIBRARY = "OUR_IDR.dll"
CANNOT_FIND = "无法找到".encode("gbk")
NO_CARD = "请将卡放在感应区".encode("gbk")
NO_READER = "机器没连上，或驱动程序未安装!".encode("gbk")
TIMEOUT = 20


def frame(cardno: bytes) -> bytes:
    message = b'{"cardno":"' + cardno + b'"}'
    return struct.pack("<I", len(message)) + message


class Failure(Exception):
    pass


class Harness:
    def __init__(self, args):
        self.exe = args.exe
        self.reader = args.reader
        self.no_entry = args.no_entry
        self.scripted = args.scripted
        self.helper_reader = args.helper_reader
        self.helper = args.helper
        self.watch = args.watch
        self.check_tool = args.check
        # Absolute: the program runs from a folder of its own.
        self.wine = os.path.abspath(args.wine) if args.wine else None
        self.root = os.path.realpath(tempfile.mkdtemp(prefix="vellicor-e2e-"))

    def cleanup(self):
        WatchHost.kill_all()
        shutil.rmtree(self.root, ignore_errors=True)

    def folder(self, *parts) -> str:
        """A new folder below the case's own temporary root."""
        path = os.path.join(self.root, *parts)
        os.makedirs(path)
        return path

    def stage(self, folder, library=None) -> str:
        """Copies the program into folder, with `library` beside it: a path
        to copy, bytes to write, "dir" for a directory, or None for nothing."""
        exe = os.path.join(folder, os.path.basename(self.exe))
        shutil.copy2(self.exe, exe)
        target = os.path.join(folder, LIBRARY)
        if isinstance(library, bytes):
            with open(target, "wb") as f:
                f.write(library)
        elif library == "dir":
            os.mkdir(target)
        elif library is not None:
            shutil.copy2(library, target)
        return exe

    def run(self, exe, env=None, args=(), cwd=None, **popen):
        """Runs exe with clean test reader settings; returns (status, out, err)."""
        full_env = {k: v for k, v in os.environ.items()
                    if not k.startswith(("VELLICOR_SIM_", "VELLICOR_SCRIPTED_"))}
        full_env.update(env or {})
        popen.setdefault("stdin", subprocess.DEVNULL)
        popen.setdefault("stdout", subprocess.PIPE)
        popen.setdefault("stderr", subprocess.PIPE)
        command = [self.wine, exe] if self.wine else [exe]
        proc = subprocess.run([*command, *args], env=full_env, cwd=cwd or self.folder("cwd-" + os.urandom(4).hex()),
                              timeout=TIMEOUT, **popen)
        return proc.returncode, proc.stdout, proc.stderr

    def expect(self, exe, expected: bytes, what: str, **run):
        status, out, err = self.run(exe, **run)
        if out != expected or err or status != 0:
            raise Failure(f"{what}:\n  expected stdout {expected!r}\n  got      stdout {out!r}\n"
                          f"  stderr {err!r}, exit status {status}")

    def expect_quiet_exit(self, exe, what, **run):
        """For runs whose stdout cannot be read back: exit 0, nothing on stderr."""
        status, _, err = self.run(exe, **run)
        if err or status != 0:
            raise Failure(f"{what}: stderr {err!r}, exit status {status}")

    def card_exe(self, name="card") -> str:
        return self.stage(self.folder(name), self.reader)

    def not_found(self, folder: str) -> bytes:
        """The report for a program in `folder` with no library beside it."""
        if not self.wine:
            return CANNOT_FIND + os.fsencode(folder) + b"/" + LIBRARY.encode()
        # GBK, as WideCharToMultiByte(936, WC_NO_BEST_FIT_CHARS) writes it
        # whatever the code page: "?" for what GBK lacks.
        path = "Z:" + folder.replace("/", "\\") + "\\" + LIBRARY
        return CANNOT_FIND + path.encode("gbk", errors="replace")

    def skip(self, what: str, reason: str):
        print(f"skipped: {what}: {reason}")

    def start_watch(self, exe, env=None) -> "WatchHost":
        return WatchHost(exe, env, root=self.root, runner=[self.wine] if self.wine else [])

    def watch_exe(self, library, name="watch") -> str:
        """The watch host staged in a folder of its own with `library` (as
        stage() takes it) beside it."""
        folder = self.folder(name)
        exe = os.path.join(folder, os.path.basename(self.watch))
        shutil.copy2(self.watch, exe)
        self.stage_library(folder, library)
        return exe

    def stage_library(self, folder, library):
        target = os.path.join(folder, LIBRARY)
        if isinstance(library, bytes):
            with open(target, "wb") as f:
                f.write(library)
        elif library is not None:
            shutil.copy2(library, target)


class WatchHost:
    """A running watch host, spoken to as a browser does: frames in, frames
    out, each frame out collected with the time it arrived. `root` is the
    case's folder, where the host's private XDG_RUNTIME_DIR (a lock of the
    case's own, reader/reader_lock.hpp) and any sanitizer's report go;
    `runner` the command that runs a Windows program, if it is one."""

    running = []  # every host started, killed when its case ends

    def __init__(self, exe, env=None, root=None, runner=(), bound=None):
        self.root = root
        self.wine = bool(runner)
        self.bound = bound or (20.0 if runner else 5.0)
        runtime = os.path.join(root, "runtime")
        if not os.path.isdir(runtime):
            os.mkdir(runtime, 0o700)
        full_env = {k: v for k, v in os.environ.items()
                    if not k.startswith(("VELLICOR_SIM_", "VELLICOR_SCRIPTED_"))}
        # A PC/SC socket where nothing listens unless the case says otherwise;
        # the host's standard error leads nowhere, so a sanitizer's report is
        # kept in the case's folder.
        full_env.update(XDG_RUNTIME_DIR=runtime,
                        PCSCLITE_CSOCK_NAME=os.path.join(root, "no-pcscd.comm"))
        self.sanitizer_log = os.path.join(root, "sanitizer")
        for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
            full_env[name] = ":".join(filter(None, [os.environ.get(name),
                                                    f"log_path={self.sanitizer_log}"]))
        full_env.update(env or {})
        command = [*runner, exe]
        WatchHost.running.append(self)
        self.proc = subprocess.Popen(command, env=full_env, cwd=root, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0)
        self.frames = queue.Queue()
        self.stdout = b""
        self.partial = b""
        self.ended = threading.Event()
        self.err = b""
        threading.Thread(target=self._collect, daemon=True).start()
        threading.Thread(target=self._collect_err, daemon=True).start()

    def _collect(self):
        pending = b""
        while True:
            data = self.proc.stdout.read(65536)
            if not data:
                break
            self.stdout += data
            pending += data
            while len(pending) >= 4:
                (length,) = struct.unpack("<I", pending[:4])
                if len(pending) < 4 + length:
                    break
                self.frames.put((time.monotonic(), pending[4:4 + length]))
                pending = pending[4 + length:]
        self.partial = pending
        self.ended.set()

    def _collect_err(self):
        self.err = self.proc.stderr.read()

    def send(self, message):
        """A request: bytes as they are, anything else as JSON."""
        body = message if isinstance(message, bytes) else json.dumps(message).encode()
        self.send_raw(struct.pack("<I", len(body)) + body)

    def send_raw(self, data):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def next(self, what, within=None):
        """The next frame's JSON text, as bytes, within the bound."""
        try:
            return self.frames.get(timeout=within or self.bound)
        except queue.Empty:
            raise Failure(f"{what}: no message within {within or self.bound} s; "
                          f"stdout so far {self.stdout!r}") from None

    def expect(self, expected, what, within=None):
        """The next frames are exactly `expected` (JSON texts, bytes); returns
        the time the last one arrived."""
        at = None
        for i, message in enumerate(expected):
            at, got = self.next(f"{what} (message {i + 1})", within)
            if got != message:
                raise Failure(f"{what}: expected {message!r}, got {got!r}")
        return at

    def expect_quiet(self, seconds, what):
        try:
            _, got = self.frames.get(timeout=seconds)
        except queue.Empty:
            return
        raise Failure(f"{what}: nothing expected, got {got!r}")

    def close(self, what, bound=None):
        """Closes the host's input, as a browser letting go of it: it must end
        at once with status 0, having written nothing but whole frames."""
        bound = bound or (4.0 if self.wine else 1.0)
        started = time.monotonic()
        self.proc.stdin.close()
        try:
            status = self.proc.wait(timeout=bound)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise Failure(f"{what}: still running {bound} s after its input was closed") from None
        self.check_end(what, status)
        return time.monotonic() - started

    def check_end(self, what, status, expect_status=0):
        self.ended.wait(10)
        self.proc.wait()
        if self.partial:
            raise Failure(f"{what}: ended in the middle of a frame: {self.partial!r}")
        leftover = []
        while not self.frames.empty():
            leftover.append(self.frames.get()[1])
        if leftover:
            raise Failure(f"{what}: messages nobody expected: {leftover!r}")
        reports = [n for n in os.listdir(self.root) if n.startswith("sanitizer")]
        for name in reports:
            with open(os.path.join(self.root, name), errors="replace") as f:
                print(f.read())
        if reports:
            raise Failure(f"{what}: the sanitizers reported {reports}")
        if self.err and not self.wine:
            raise Failure(f"{what}: stderr {self.err!r}")
        if expect_status is not None and status != expect_status:
            raise Failure(f"{what}: exit status {status}")

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    @classmethod
    def kill_all(cls):
        for host in cls.running:
            host.kill()


def event(name, cardno=None, read=None):
    """A watch message's JSON text, as the host writes it."""
    text = b'{"read":%d,' % read if read is not None else b"{"
    text += b'"event":"' + name.encode() + b'"'
    if cardno is not None:
        text += b',"cardno":"' + str(cardno).encode() + b'"'
    return text + b"}"


BAD_REQUEST = b'{"error":"bad_request"}'


class ScriptedAnswer:
    """The scripted reader's answer file (VELLICOR_SCRIPTED_ANSWER), replaced
    whole at each change, so that no read sees half of it."""

    def __init__(self, h, text="8"):
        self.path = os.path.join(h.folder("answer-" + os.urandom(4).hex()), "answer")
        self.log = self.path + ".log"
        self.set(text)

    def set(self, text):
        with open(self.path + ".new", "w") as f:
            f.write(text)
        os.replace(self.path + ".new", self.path)

    def env(self):
        return {"VELLICOR_SCRIPTED_ANSWER": self.path, "VELLICOR_SCRIPTED_LOG": self.log}

    def lines(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log) as f:
            return [line.split() for line in f]

    def calls(self):
        """The reads' log: "enter" and "leave" in the order they happened."""
        return [line[0] for line in self.lines() if line[0] in ("enter", "leave")]


def case_card_read(h):
    h.expect(h.card_exe(), frame(b"12345"), "default simulated card")


def case_statuses(h):
    exe = h.card_exe()
    serial = {"VELLICOR_SIM_SERIAL": "0012345678"}
    cases = [("0", frame(b"305419896")), ("8", frame(NO_CARD)), ("23", frame(NO_READER)),
             ("256", frame(b"305419896")), ("264", frame(NO_CARD)), ("279", frame(NO_READER))]
    cases += [(str(s), frame(b"")) for s in (1, 7, 9, 22, 24, 255, -1, 2147483647)]
    for status, expected in cases:
        h.expect(exe, expected, f"status {status}", env={"VELLICOR_SIM_STATUS": status, **serial})
    if len(frame(NO_CARD)) != 4 + 29 or len(frame(NO_READER)) != 4 + 42:
        raise Failure("GBK status texts have the wrong length")


def case_serials(h):
    exe = h.card_exe()
    for serial, expected in [("0000003039", b"12345"), ("0012345678", b"305419896"),
                             ("0000000000", b"0"), ("00FFFFFFFF", b"-1"),
                             ("0080000000", b"-2147483648"), ("007FFFFFFF", b"2147483647"),
                             ("FF00003039", b"12345"), ("0700003039", b"12345"),
                             ("00deadbeef", b"-559038737")]:
        h.expect(exe, frame(expected), f"serial {serial}", env={"VELLICOR_SIM_SERIAL": serial})


def case_simulator_settings(h):
    exe = h.card_exe()
    # A library that reports success without writing the buffer reads as 0.
    h.expect(exe, frame(b"0"), "unwritten buffer", env={"VELLICOR_SIM_SERIAL": "none"})
    h.expect(exe, frame(NO_CARD), "unwritten buffer, no card",
             env={"VELLICOR_SIM_SERIAL": "none", "VELLICOR_SIM_STATUS": "8"})
    # Malformed settings read as an unknown status: never a card.
    for env in ({"VELLICOR_SIM_STATUS": ""}, {"VELLICOR_SIM_STATUS": "abc"},
                {"VELLICOR_SIM_STATUS": "8x"}, {"VELLICOR_SIM_STATUS": "99999999999"},
                {"VELLICOR_SIM_STATUS": " 8 "}, {"VELLICOR_SIM_SERIAL": ""},
                {"VELLICOR_SIM_SERIAL": "12345"}, {"VELLICOR_SIM_SERIAL": "00000030390"},
                {"VELLICOR_SIM_SERIAL": "00000030zz"}, {"VELLICOR_SIM_SERIAL": "0x00003039"}):
        h.expect(exe, frame(b""), f"malformed setting {env}", env=env)


def case_arguments(h):
    exe = h.card_exe()
    for args in (["--help"], ["-v", "x", "y"], [""], ["OUR_IDR.dll"]):
        h.expect(exe, frame(b"12345"), f"arguments {args}", args=args)


def case_no_library(h):
    folder = h.folder("alone")
    exe = h.stage(folder)
    h.expect(exe, h.not_found(folder), "no library")
    # The current directory is never consulted, even when it holds a library.
    decoy = h.folder("decoy")
    shutil.copy2(h.reader, os.path.join(decoy, LIBRARY))
    h.expect(exe, h.not_found(folder), "library only in the current directory", cwd=decoy)
    if h.wine:
        h.skip("symlinked program", "Wine reports a Unix link's own path as the module's path")
        return
    # Nor is a library found beside a link to the program: the program's own
    # folder is the one that counts.
    linked = h.folder("linked")
    shutil.copy2(h.reader, os.path.join(linked, LIBRARY))
    os.symlink(exe, os.path.join(linked, "vellicor-link"))
    h.expect(os.path.join(linked, "vellicor-link"), h.not_found(folder), "symlinked program")


def case_library_is_directory(h):
    h.expect(h.stage(h.folder("dir"), "dir"), frame(b""), "directory named like the library")


def case_library_without_entry(h):
    h.expect(h.stage(h.folder("no-entry"), h.no_entry), frame(b""), "library without idr_read")


def case_corrupt_library(h):
    for i, content in enumerate((b"", b"MZ not really a library", os.urandom(4096),
                                 b"\x7fELF" + b"\0" * 60)):
        exe = h.stage(h.folder(f"corrupt-{i}"), content)
        h.expect(exe, frame(b""), f"corrupt library #{i}")


def case_foreign_library(h):
    # A well-formed ELF header for another machine (32-bit ARM) and a 32-bit
    # Windows DLL's headers: both exist, neither can be loaded here.
    elf32_arm = (b"\x7fELF\x01\x01\x01\x00" + b"\0" * 8 +
                 struct.pack("<HHIIIIIHHHHHH", 3, 40, 1, 0, 52, 0, 0x5000000, 52, 32, 0, 40, 0, 0))
    pe = bytearray(512)
    pe[0:2] = b"MZ"
    pe[0x3C:0x40] = struct.pack("<I", 0x80)
    pe[0x80:0x86] = b"PE\0\0\x4c\x01"
    for i, content in enumerate((elf32_arm, bytes(pe))):
        exe = h.stage(h.folder(f"foreign-{i}"), content)
        h.expect(exe, frame(b""), f"foreign library #{i}")


def case_unusual_path(h):
    # Spaces and Chinese. On Linux also a byte that is no valid UTF-8 at all:
    # the report carries the path's bytes as the file system holds them. On
    # Windows such a name cannot exist; there Korean stands for characters
    # that the ANSI code page lacks, written as "?".
    names = ["with spaces", "读卡 目录"]
    names.append("한글 폴더" if h.wine else os.fsdecode(b"raw\xff\xfebytes"))
    for name in names:
        folder = h.folder("p", name)
        h.expect(h.stage(folder, h.reader), frame(b"12345"), f"card read in {name!r}")
        bare = h.folder("q", name)
        h.expect(h.stage(bare), h.not_found(bare), f"no library in {name!r}")


def case_long_path(h):
    parts = ["d" * 60 + str(i) for i in range(6)]
    folder = h.folder(*parts)
    if len(folder) <= 300:
        raise Failure(f"path too short to test: {len(folder)}")
    h.expect(h.stage(folder, h.reader), frame(b"12345"), "card read in a long path")
    bare = h.folder(*parts, "bare")
    h.expect(h.stage(bare), h.not_found(bare), "no library in a long path")


def case_deeper_than_path_max(h):
    # Deeper than Linux can name in one path: the program cannot learn its
    # folder, so it cannot read, though the library lies beside it. Built and
    # entered one step at a time, as no single path reaches it.
    steps = 50
    fd = os.open(h.folder("deep"), os.O_RDONLY | os.O_DIRECTORY)
    try:
        for _ in range(steps):
            os.mkdir("d" * 100, dir_fd=fd)
            inner = os.open("d" * 100, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = inner
        for source, name in ((h.exe, "vellicor"), (h.reader, LIBRARY)):
            with open(source, "rb") as f, \
                    open(os.open(name, os.O_WRONLY | os.O_CREAT, 0o755, dir_fd=fd), "wb") as t:
                t.write(f.read())
    finally:
        os.close(fd)
    h.expect("/bin/sh", frame(b""), "card read in a folder deeper than PATH_MAX",
             cwd=os.path.join(h.root, "deep"),
             args=["-c", 'for i in $(seq %d); do cd -P %s || exit 9; done; exec ./vellicor'
                   % (steps, "d" * 100)])


def case_stdout_closed(h):
    exe = h.card_exe()
    h.expect_quiet_exit(exe, "stdout closed", stdout=None, preexec_fn=lambda: os.close(1))
    bare = h.stage(h.folder("bare"))
    h.expect_quiet_exit(bare, "stdout closed, no library", stdout=None,
                        preexec_fn=lambda: os.close(1))


def case_broken_pipe(h):
    for exe in (h.card_exe(), h.stage(h.folder("bare"))):
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            h.expect_quiet_exit(exe, "broken pipe", stdout=write_end)
        finally:
            os.close(write_end)


def case_full_device(h):
    for exe in (h.card_exe(), h.stage(h.folder("bare"))):
        with open("/dev/full", "wb") as full:
            h.expect_quiet_exit(exe, "stdout on a full device", stdout=full)


def case_stdin_unread(h):
    # A pipe whose writer stays open and never writes: reading it would hang.
    read_end, write_end = os.pipe()
    try:
        h.expect(h.card_exe(), frame(b"12345"), "stdin never delivering", stdin=read_end)
    finally:
        os.close(read_end)
        os.close(write_end)


def case_long_serial_buffer(h):
    # Libraries made for longer UIDs write past the serial's 5 bytes; the card
    # number is still bytes 1 to 4.
    exe = h.stage(h.folder("scripted"), h.scripted)
    for count in (5, 8, 16, 64, 255):
        h.expect(exe, frame(b"305419896"), f"library writing {count} bytes",
                 env={"VELLICOR_SCRIPTED_BYTES": str(count)})


def case_reader_output(h):
    # What the library prints while loaded, called or unloaded, buffered or
    # not, reaches neither stdout nor stderr.
    exe = h.stage(h.folder("scripted"), h.scripted)
    channels = ["printf", "raw-stdout", "stderr", "raw-stderr"]
    for printing in channels + [",".join(channels)]:
        h.expect(exe, frame(b"305419896"), f"library printing to {printing}",
                 env={"VELLICOR_SCRIPTED_PRINT": printing})
    # With stdout closed, stderr still gets nothing and the run ends as usual.
    h.expect_quiet_exit(exe, "stdout closed, library printing everywhere", stdout=None,
                        preexec_fn=lambda: os.close(1),
                        env={"VELLICOR_SCRIPTED_PRINT": ",".join(channels)})


def case_library_not_a_file(h):
    # Only a regular file is loaded, links followed; anything else reads as a
    # library that cannot be loaded, at once. Loading would block on a FIFO
    # with no writer, and on a terminal nobody types into.
    if h.wine:
        h.skip("FIFO and terminal", "a Windows folder holds neither")
        return
    fifo = h.folder("fifo")
    os.mkfifo(os.path.join(fifo, LIBRARY))
    master, terminal = os.openpty()
    try:
        device = h.folder("device")
        os.symlink(os.ttyname(terminal), os.path.join(device, LIBRARY))
        for folder, what in ((fifo, "FIFO"), (device, "link to a terminal")):
            start = time.monotonic()
            h.expect(h.stage(folder), frame(b""), f"{what} named like the library")
            if time.monotonic() - start > 1:
                raise Failure(f"{what}: took {time.monotonic() - start:.1f} s")
    finally:
        os.close(master)
        os.close(terminal)


def case_no_proc(h):
    # Without /proc the program finds its folder from the path it was started
    # by: relative, through a link, or in full.
    if h.wine:
        h.skip("no /proc", "Linux only")
        return
    unshare = shutil.which("unshare") or "/usr/bin/unshare"
    options = ["--mount"] + ([] if os.geteuid() == 0 else ["--map-root-user"])
    hide = 'mount -t tmpfs none /proc && ! test -e /proc/self/exe && exec "$0"'
    trial = subprocess.run([unshare, *options, "sh", "-c", hide, "true"], capture_output=True)
    if trial.returncode != 0:
        h.skip("no /proc", f"cannot hide /proc in a mount namespace (root or unprivileged "
               f"user namespaces needed): {trial.stderr.decode(errors='replace').strip()}")
        return
    card = h.folder("card")
    h.stage(card, h.reader)
    h.expect(unshare, frame(b"12345"), "started as ./vellicor without /proc", cwd=card,
             args=[*options, "sh", "-c", hide, "./" + os.path.basename(h.exe)])
    bare = h.folder("bare")
    exe = h.stage(bare)
    h.expect(unshare, h.not_found(bare), "no library, without /proc",
             args=[*options, "sh", "-c", hide, exe])
    linked = h.folder("linked")
    shutil.copy2(h.reader, os.path.join(linked, LIBRARY))
    os.symlink(exe, os.path.join(linked, "vellicor-link"))
    h.expect(unshare, h.not_found(bare), "symlinked program, without /proc",
             args=[*options, "sh", "-c", hide, os.path.join(linked, "vellicor-link")])


def case_reader_environment(h):
    # What a Windows reader library meets. The DLLs it imports are looked for
    # beside it and on PATH, never in the current directory; the helper DLL
    # leaves "helper-ran" in its own folder when loaded. Its read runs with
    # dialogs off (card number: the error mode, failed critical errors, no
    # fault and no open-file boxes).
    mode = b"%d" % (0x0001 | 0x0002 | 0x8000)
    exe = h.stage(h.folder("beside"), h.helper_reader)
    shutil.copy2(h.helper, os.path.dirname(exe))
    h.expect(exe, frame(mode), "helper beside the library")
    on_path = h.folder("on-path")
    shutil.copy2(h.helper, on_path)
    exe = h.stage(h.folder("alone"), h.helper_reader)
    h.expect(exe, frame(mode), "helper on PATH",
             env={"WINEPATH": "Z:" + on_path.replace("/", "\\")})
    planted = h.folder("planted")
    shutil.copy2(h.helper, planted)
    h.expect(exe, frame(b""), "helper only in the current directory", cwd=planted)
    ran = [p for p in ("beside", "on-path", "planted")
           if os.path.exists(os.path.join(h.root, p, "helper-ran"))]
    if ran != ["beside", "on-path"]:
        raise Failure(f"the helper ran in {ran}, expected in beside and on-path only")


def case_report_encoding(h):
    # The not-found report is GBK whatever the Windows code page (the Wine
    # runner's VELLICOR_WINE_LOCALE sets it): Chinese as GBK, and "?" for what
    # GBK lacks, À included, which a best fit would turn into à.
    if not h.wine:
        h.skip("report encoding", "Windows only: Linux reports the path's bytes")
        return
    folder = h.folder("读卡 À 한글")
    root = "Z:" + h.root.replace("/", "\\") + "\\"
    expected = (CANNOT_FIND + root.encode("gbk", errors="replace") + b"\xb6\xc1\xbf\xa8 ? ??\\" +
                LIBRARY.encode())
    h.expect(h.stage(folder), expected, "report in GBK")


# What a library prints, buffered or not, at every moment: none of it may
# reach the frames.
CHANNELS = "printf,raw-stdout,stderr,raw-stderr"


def await_calls(answer, what, count=1, bound=10.0):
    """Waits until the scripted reader has been called `count` more times,
    each call entered and left."""
    before = answer.calls().count("leave")
    deadline = time.monotonic() + bound
    while answer.calls().count("leave") < before + count:
        if time.monotonic() > deadline:
            raise Failure(f"{what}: the reader was not called within {bound} s: {answer.calls()}")
        time.sleep(0.02)


def await_hang(answer, ms, what, bound=10.0):
    """Waits until a call has taken an answer that takes `ms` milliseconds,
    and is in it."""
    deadline = time.monotonic() + bound
    while answer.lines()[-1:] != [["answer", str(ms)]]:
        if time.monotonic() > deadline:
            raise Failure(f"{what}: no call took {ms} ms within {bound} s: {answer.lines()}")
        time.sleep(0.02)


def expect_one_at_a_time(calls, what):
    if calls != ["enter", "leave"] * (len(calls) // 2) + ["enter"] * (len(calls) % 2):
        raise Failure(f"{what}: two reads overlapped: {calls}")


def watch_presentations(h):
    # One event per presentation, with a card held, the same card shown
    # twice, another card at once, no reader and recovery, unknown statuses.
    answer = ScriptedAnswer(h, "8")
    host = h.start_watch(h.watch_exe(h.scripted),
                         {**answer.env(), "VELLICOR_SCRIPTED_PRINT": CHANNELS})
    host.expect([event("no_card")], "no card at start")
    for text, expected, what, held in [
            ("0 DEADBEEF", event("card", -559038737), "card presented", True),
            ("8", event("no_card"), "card taken away", False),
            ("0 DEADBEEF", event("card", -559038737), "the same card shown again", False),
            ("0 12345678", event("card", 305419896), "another card at once", True),
            ("23", event("no_reader"), "reader unplugged", True),
            ("0 12345678", event("card", 305419896), "reader back, card on it", False),
            ("7", event("failed"), "a status nobody knows", True),
            ("264", event("no_card"), "status 8 in the low byte", False),
            ("256 00000000", event("card", 0), "status 0 in the low byte", False)]:
        answer.set(text)
        host.expect([expected], what)
        if held:
            # Read again and again meanwhile, and nothing said.
            await_calls(answer, what, count=4)
            host.expect_quiet(0.1, f"{what}, held")
    expect_one_at_a_time(answer.calls(), "one host")
    host.close("input closed")


def watch_hung_library(h):
    # A read that does not return within the bound is reported; no other
    # read starts meanwhile, the host's own requests are answered at once,
    # and once it returns the host reads afresh. Input closed while a read
    # hangs ends the host at once all the same.
    answer = ScriptedAnswer(h, "8")
    host = h.start_watch(h.watch_exe(h.scripted), answer.env())
    host.expect([event("no_card")], "no card at start")
    answer.set("0 12345678 8000")
    await_hang(answer, 8000, "hanging read")
    entered = time.monotonic()
    timed_out = host.expect([event("timeout")], "hanging read", within=10)
    if timed_out - entered < 4.5:
        raise Failure(f"timeout after {timed_out - entered:.2f} s, before the 5 s bound")
    answer.set("0 12345678")
    host.send({"read": 1})
    host.expect([event("timeout", read=1)], "a read asked for while one hangs", within=2)
    host.expect([event("card", 305419896)], "the library answering again", within=10)
    calls = answer.calls()
    expect_one_at_a_time(calls, "hung read")
    answer.set("0 12345678 60000")
    await_hang(answer, 60000, "read hanging for good")
    host.expect([event("timeout")], "read hanging for good", within=10)
    host.close("input closed while a read hangs")


def watch_not_found(h):
    # No library beside the host, then one, then none again, then files that
    # are no reader library.
    exe = h.watch_exe(None)
    folder = os.path.dirname(exe)
    answer = ScriptedAnswer(h, "0 12345678")
    host = h.start_watch(exe, answer.env())
    host.expect([event("not_found")], "no library")
    host.send({"read": 1})
    host.expect([event("not_found", read=1)], "read asked for, no library")

    def put(library):
        temporary = os.path.join(h.root, "library.new")
        h.stage_library(h.root, library)
        os.replace(os.path.join(h.root, LIBRARY), temporary)
        os.replace(temporary, os.path.join(folder, LIBRARY))

    put(h.scripted)
    host.expect([event("card", 305419896)], "library put in place")
    os.remove(os.path.join(folder, LIBRARY))
    host.expect([event("not_found")], "library taken away")
    put(b"MZ not really a library")
    host.expect([event("failed")], "a file that cannot be loaded")
    put(h.no_entry)
    host.expect_quiet(1.0, "a library without idr_read: still failed")
    put(h.scripted)
    host.expect([event("card", 305419896)], "the reader's library again")
    host.close("input closed")


# Frames that are no request, each answered with bad_request; the host goes
# on after each.
BAD_FRAMES = [
    b"", b"junk", b"[]", b'"read"', b"{}", b'{"read":-1}', b'{"read":1.0}', b'{"read":1e3}',
    b'{"read":01}', b'{"read":"1"}', b'{"read":null}', b'{"read":1,"x":2}', b'{"read":1,"read":2}',
    b'{"read":9007199254740992}', b'{"read":1}x', b'{"\xff":1}', b'{"read\\u0000":1}',
    b'{"read":1', b"{\x00}", b'{"read":1}' + b" " * 5000, b"x" * (1 << 20),
]


def watch_requests(h):
    answer = ScriptedAnswer(h, "8")
    host = h.start_watch(h.watch_exe(h.scripted), answer.env())
    host.expect([event("no_card")], "no card at start")
    for frame_ in BAD_FRAMES:
        host.send(frame_)
        host.expect([BAD_REQUEST], f"frame {frame_[:40]!r}")
    host.send(b'{ "read" :\t9007199254740991 }')
    host.expect([event("no_card", read=9007199254740991)], "the largest read number")
    # Requests that come while a read takes its time share the next read, up
    # to 256 of them; the rest are told the host is busy.
    answer.set("8 12345678 2000")
    await_hang(answer, 2000, "a slow read")
    calls = len(answer.calls())
    count = 300
    host.send_raw(b"".join(struct.pack("<I", len(body)) + body for body in
                           (b'{"read":%d}' % i for i in range(count))))
    answers = {}
    for _ in range(count):
        _, got = host.next("answers to many requests", within=10)
        message = json.loads(got)
        if message.get("read") in answers:
            raise Failure(f"read {message.get('read')} answered twice")
        answers[message.get("read")] = got
    busy = sorted(i for i, got in answers.items() if got == b'{"read":%d,"error":"busy"}' % i)
    read = sorted(i for i, got in answers.items() if got == event("no_card", read=i))
    if busy != list(range(256, count)) or read != list(range(256)):
        raise Failure(f"answers to many requests: busy {busy}, read {read}")
    # The one in progress, and one for all the requests.
    if answer.calls()[calls:calls + 3] != ["leave", "enter", "leave"]:
        raise Failure(f"reads for many requests: {answer.calls()[calls:]}")
    # Input ending in the middle of a frame.
    host.send_raw(struct.pack("<I", 100) + b'{"read":')
    host.close("input ending inside a frame")


def watch_crash(h):
    # A library that crashes takes the host with it; what the browser got
    # until then is whole frames.
    answer = ScriptedAnswer(h, "8")
    host = h.start_watch(h.watch_exe(h.scripted), answer.env())
    host.expect([event("no_card")], "no card at start")
    answer.set("crash")
    if not host.ended.wait(host.bound):
        raise Failure("the host outlived the library's crash")
    for name in os.listdir(h.root):
        # The sanitizers' report of the crash, which is the point here.
        if name.startswith("sanitizer"):
            os.remove(os.path.join(h.root, name))
    host.check_end("crashed library", host.proc.wait(), expect_status=None)
    if host.proc.returncode == 0:
        raise Failure("exit status 0 after a crash")


def watch_lock(h):
    # Reads of the watch and of vellicor-check never overlap: the tool waits
    # for the watch's read, and reports the reader busy when that read hangs.
    if not h.check_tool:
        h.skip("watch.lock", "no vellicor-check in this build")
        return
    answer = ScriptedAnswer(h, "8 12345678 300")
    exe = h.watch_exe(h.scripted)
    tool = os.path.join(os.path.dirname(exe), os.path.basename(h.check_tool))
    shutil.copy2(h.check_tool, tool)
    host = h.start_watch(exe, answer.env())
    host.expect([event("no_card")], "no card at start")
    # The tool with the watch's lock, and no PC/SC service to survey.
    env = {**answer.env(), "XDG_RUNTIME_DIR": os.path.join(h.root, "runtime"),
           "PCSCLITE_CSOCK_NAME": os.path.join(h.root, "no-pcscd.comm")}
    for i in range(3):
        status, out, _ = h.run(tool, env=env, args=["--json"])
        found = json.loads(out)["answer"]
        if status != 1 or found["kind"] != "status_text" or found["status"] != 8:
            raise Failure(f"check {i + 1} beside the watch: exit status {status}, answer {found}")
    expect_one_at_a_time(answer.calls(), "the watch and vellicor-check")
    if not h.wine:
        lock = os.path.join(h.root, "runtime", "vellicor-reader.lock")
        info = os.lstat(lock)
        if not stat.S_ISREG(info.st_mode) or stat.S_IMODE(info.st_mode) != 0o600:
            raise Failure(f"{lock}: mode {oct(info.st_mode)}")
    answer.set("0 12345678 8000")
    await_hang(answer, 8000, "the watch's read hanging")
    entered = len(answer.calls())
    status, out, _ = h.run(tool, env=env, args=["--json"])
    found = json.loads(out)["answer"]
    if status != 1 or found != {"kind": "busy", "cardno": None, "status": None}:
        raise Failure(f"check while the watch's read hangs: exit status {status}, answer {found}")
    if len(answer.calls()) != entered:
        raise Failure(f"vellicor-check read while the watch's read hung: {answer.calls()}")
    host.expect([event("timeout")], "the watch's read hanging", within=10)
    host.close("input closed")
    if h.wine:
        return
    # A link planted where the lock goes is never followed: the read goes on
    # without the lock.
    planted = os.path.join(h.root, "planted")
    os.mkdir(planted, 0o700)
    target = os.path.join(h.root, "target")
    os.symlink(target, os.path.join(planted, "vellicor-reader.lock"))
    answer.set("8")
    host = h.start_watch(exe, {**answer.env(), "XDG_RUNTIME_DIR": planted})
    host.expect([event("no_card")], "lock's name planted as a link")
    host.close("input closed")
    if os.path.lexists(target):
        raise Failure("the planted link was followed")


def main():
    cases = {name[len("case_"):]: f for name, f in globals().items() if name.startswith("case_")}
    cases.update({"watch." + name[len("watch_"):]: f for name, f in globals().items()
                  if name.startswith("watch_")})
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--reader", required=True)
    parser.add_argument("--no-entry", required=True)
    parser.add_argument("--scripted", required=True)
    parser.add_argument("--wine", metavar="RUNNER", help="run the Windows program through RUNNER")
    parser.add_argument("--helper-reader", help="a reader library that imports --helper")
    parser.add_argument("--helper", help="the helper DLL that --helper-reader imports")
    parser.add_argument("--watch", help="the watch host, for the watch.* cases")
    parser.add_argument("--check", help="vellicor-check, for watch.lock")
    parser.add_argument("case", choices=sorted(cases))
    args = parser.parse_args()
    harness = Harness(args)
    try:
        cases[args.case](harness)
    except (Failure, subprocess.TimeoutExpired) as failure:
        print(f"FAIL {args.case}: {failure}")
        return 1
    finally:
        harness.cleanup()
    print(f"PASS {args.case}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
