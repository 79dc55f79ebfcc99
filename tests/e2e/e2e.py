#!/usr/bin/env python3
"""End-to-end cases: the built program run from a fresh folder, beside a real
reader library (or beside none), its whole standard output compared byte for
byte, its standard error expected empty and its exit status 0.

    e2e.py --exe PATH --reader PATH --no-entry PATH --scripted PATH [--wine RUNNER]
           [--helper-reader PATH --helper PATH] CASE

--scripted is the scripted test reader (tests/fixtures/scripted_reader.cpp),
which misbehaves as its environment variables ask.

With --wine the program is the Windows one, run through RUNNER (the build's
Wine runner). Wine shows the file system as drive Z:, so the not-found report
holds Z:\... in GBK; the runner makes the ANSI code page 936 unless
VELLICOR_WINE_LOCALE says otherwise. The few checks that cannot apply there
say so and are left out.
"""

import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile
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
        # Absolute: the program runs from a folder of its own.
        self.wine = os.path.abspath(args.wine) if args.wine else None
        self.root = os.path.realpath(tempfile.mkdtemp(prefix="vellicor-e2e-"))

    def cleanup(self):
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


def main():
    cases = {name[len("case_"):]: f for name, f in globals().items() if name.startswith("case_")}
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--reader", required=True)
    parser.add_argument("--no-entry", required=True)
    parser.add_argument("--scripted", required=True)
    parser.add_argument("--wine", metavar="RUNNER", help="run the Windows program through RUNNER")
    parser.add_argument("--helper-reader", help="a reader library that imports --helper")
    parser.add_argument("--helper", help="the helper DLL that --helper-reader imports")
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
