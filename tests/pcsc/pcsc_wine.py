#!/usr/bin/env python3
"""Checks of the 32-bit Windows PC/SC reader library, for a build made with
MinGW-w64 and run under Wine (or on Windows itself, with no runner).

    pcsc_wine.py --exe vellicor.exe --reader OUR_IDR.dll [--objdump PATH]
                 [--standin winscard.dll] [--repeat repeat_read.exe]
                 [--check vellicor-check.exe] [--vendor OUR_IDR.dll]
                 [--watch vellicor-watch.exe] [--runner ARG]... CASE

dll_layout: the DLL is for 32-bit x86, exports exactly `idr_read` and the
    watch host's `vellicor_wait_change`, undecorated, and imports nothing but
    system DLLs, so it runs beside the program alone.
no_service: the program, staged with this DLL beside it, reports "no reader"
    (status 23): Wine's winscard is a stub whose SCardEstablishContext fails,
    which is what a Windows machine without the smart card service reports too.
    This shows that the DLL loads, that its call returns, and that it does not
    take a failed service for a card.
standin.*: a read through our scripted winscard stand-in (see
    winscard_standin/), placed beside the program with a native override so
    that Wine loads it instead of its own. Each case checks the whole output,
    that the stand-in's log shows no violation of what winscard expects of its
    caller, and that the program exits within the deadline plus 1 second of
    the stand-in being loaded, whether or not the service or card answers.
    Where the case gives a list of calls, the host is --repeat instead, which
    calls the library that often in one process, pausing after each call.
    standin.settings reads with an OUR_IDR.ini beside the library;
    standin.check* run --check instead of the program, beside our library,
    a vendor's (--vendor) or none, and compare its whole report and status.
watch: the watch host (--watch) beside the library and the stand-in, its
    card put on and taken off through a file: one message per change, the
    card asked for its UID once while it lies there (the host waits in
    PC/SC rather than reading at every turn), and the host ending at once
    when its input is closed in the middle of a wait.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

from e2e import LIBRARY, NO_CARD, NO_READER, Failure, WatchHost, event, frame  # noqa: E402

RUN_TIMEOUT = 120  # a fresh Wine prefix takes a while to create
DEADLINE = 3.0  # the longest a read may take, whatever the service does
PAUSE = 2.0  # --repeat's pause after each call
# Each stand-in case: its script (see winscard_standin.cpp), the card number
# the program must report (or --repeat's line for each call), and whether a
# call is left never returning.
STANDIN_CASES = {
    "uid_4_bytes": ("Contactless=uid:12345678", b"305419896", False),
    "uid_7_bytes": ("Contactless=uid:04112233445566/t0", b"860116326", False),
    "no_service": ("no-service", NO_READER, False),
    "no_readers": ("no-readers", NO_READER, False),
    "empty_reader": ("Contactless=empty", NO_CARD, False),
    # Every kind of reader that has no UID to give, ahead of the one that has.
    "token_before_card": ("Token=sw:6D00;Keyboard reader=sw:6A81/t0;Busy=refuse;"
                          "Flaky=transmit-error;Empty=empty;Contactless=uid:DEADBEEF",
                          b"-559038737", False),
    "mute_card": ("Contactless=mute", NO_CARD, True),
    "hung_service": ("hung-service", NO_READER, True),
    # Both reads given up: the first's thread still holds the service's lock
    # when the second is given up, then ends normally at 9 s; the second's
    # then takes the lock for good, and the process must exit all the same.
    "two_abandoned_reads": ("slow-service:9000", ["23 0000000000"] * 2, True),
    # With SETTINGS beside the library: the token is never asked, and the
    # number is made of the first four bytes, the first the least significant.
    "settings": ("Token=sw:6D00;Contactless=uid:04112233445566", b"857870596", False),
    # vellicor-check, with the rest of each case in CHECK_CASES.
    "check": ("门禁=empty;前台读卡器 2=uid:04112233445566", "", False),
    "check.vendor_hung_service": ("hung-service", "", True),
    "check.none_mute_card": ("Contactless=mute", "", True),
}
SETTINGS = b"\xef\xbb\xbf; as Notepad saves it\r\nByte_Order = reversed\r\nuid_bytes = first4\r\n" \
    b"readers = contactless\r\n"
# vellicor-check's cases: the library beside the tool (ours, the vendor's or
# none), the OUR_IDR.ini beside it, and the tool's whole report and exit
# status. {folder} is the staged folder's Windows path.
CHECK_CASES = {
    # Reader names and `readers` in the ANSI code page (GBK here), shown in
    # UTF-8; the library matches them byte for byte.
    "check": ("ours", "readers = 读卡器\r\n".encode("gbk"), """\
Reader library  {folder}\\OUR_IDR.dll
                Vellicor's PC/SC reader library
Settings        {folder}\\OUR_IDR.ini
                byte_order = as_read, uid_bytes = last4
                readers = 读卡器
                deadline_ms = 3000
PC/SC service   answers, 2 readers
Reader 1        门禁
  state         empty
  asked         no: its name matches no part of readers
Reader 2        前台读卡器 2
  state         card present
  asked         1st
  ATR           3B 80 80 01 01
  UID           04 11 22 33 44 55 66
  card numbers  byte_order  uid_bytes  number
                as_read     last4      860116326   <- in force
                reversed    last4      1716864051
                as_read     first4     68231731
                reversed    first4     857870596
Program answers {{"cardno":"860116326"}}
""", 0),
    # Given up, the survey's thread holds the service's lock for good: the
    # tool must still exit, with its own status. The vendor's library (the
    # simulated reader) ignores our settings, faulty as they are.
    "check.vendor_hung_service": ("vendor", b"uid_bytes = first5\r\n", """\
Reader library  {folder}\\OUR_IDR.dll
                not Vellicor's (the reader vendor's?): the settings do not apply to it
Settings        {folder}\\OUR_IDR.ini
  fault         line 1: bad value
                not in force: only Vellicor's PC/SC reader library reads them
PC/SC service   no answer within 3000 ms (while setting up or listing the readers)
                readers and the service: docs\\pcsc.md in the Vellicor zip
Program answers {{"cardno":"12345"}}
""", 0),
    "check.none_mute_card": (None, None, """\
Reader library  {folder}\\OUR_IDR.dll
                none there: the program reports it missing
                how to install it: docs\\install.md in the Vellicor zip
Settings        none, so the defaults (looked for {folder}\\OUR_IDR.ini)
                byte_order = as_read, uid_bytes = last4
                readers = (every reader)
                deadline_ms = 3000
                not in force: only Vellicor's PC/SC reader library reads them
PC/SC service   no answer within 3000 ms (the readers were listed, then a reader or card hung)
                readers and the service: docs\\pcsc.md in the Vellicor zip
Program answers the not-found report (no OUR_IDR.dll beside it)
""", 1),
}
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "winscard.dll", "ntdll.dll", "advapi32.dll",
               "user32.dll"}


def dll_layout(objdump, path):
    """The DLL's architecture, exported names and imported DLLs, as objdump
    reads its headers."""
    text = subprocess.run([objdump, "-p", path], capture_output=True, text=True, check=True).stdout
    architecture = re.search(r"file format (\S+)", text)
    imports = re.findall(r"^\s*DLL Name: (\S+)$", text, re.MULTILINE)
    table = re.search(r"^\[Ordinal/Name Pointer\] Table\n((?:\s+\[\s*\d+\] \S+\n)*)", text,
                      re.MULTILINE)
    exports = re.findall(r"\] (\S+)", table.group(1)) if table else []
    return architecture.group(1) if architecture else None, exports, imports


def case_dll_layout(args):
    architecture, exports, imports = dll_layout(args.objdump, args.reader)
    if architecture != "pei-i386":
        raise Failure(f"file format {architecture}, expected pei-i386")
    if exports != ["idr_read", "vellicor_wait_change"]:
        raise Failure(f"exports {exports}, expected exactly ['idr_read', 'vellicor_wait_change']")
    if any(dll.lower() not in SYSTEM_DLLS for dll in imports) or "WinSCard.dll" not in imports:
        raise Failure(f"imports {imports}: expected system DLLs only, WinSCard among them")


def run_staged(args, root, expected, env=None, give_up_at=lambda: None, library="ours", status=0):
    """Runs the program staged in root (with the PC/SC DLL, the vendor's or
    none beside it, as `library` says), or --repeat when `expected` lists its
    lines, or --check when it is the report's text, checks its output and
    status, and returns the time it exited. It is killed after RUN_TIMEOUT
    seconds, or at the time give_up_at() returns once that is not None."""
    host = {bytes: args.exe, str: args.check, list: args.repeat}[type(expected)]
    exe = os.path.join(root, os.path.basename(host))
    shutil.copy2(host, exe)
    if library:
        shutil.copy2({"ours": args.reader, "vendor": args.vendor}[library],
                     os.path.join(root, LIBRARY))
    host_args = [] if host != args.repeat else [LIBRARY, str(len(expected)), str(int(PAUSE * 1000))]
    full_env = dict(os.environ)
    full_env.setdefault("WINEDEBUG", "-all")
    full_env.update(env or {})
    with subprocess.Popen([*args.runner, exe, *host_args], env=full_env, cwd=root, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
        limit = time.time() + RUN_TIMEOUT
        while True:
            limit = min(limit, give_up_at() or limit)
            try:
                out, err = proc.communicate(timeout=max(0.01, min(0.5, limit - time.time())))
                break
            except subprocess.TimeoutExpired:
                if time.time() < limit:
                    continue
                proc.kill()
                out, err = proc.communicate()
                raise Failure(f"killed, still running; stdout {out!r}") from None
        exited = time.time()
    # Wine may have its own say on stderr (a prefix being created); only the
    # program's output and status are ours.
    if host == args.exe:
        matches = out == frame(expected)
    elif host == args.check:
        matches = out.decode(errors="replace") == expected
    else:
        *calls, handles = out.decode(errors="replace").splitlines() or [""]
        matches = calls == expected and handles.startswith("open descriptors:")
    if not matches or proc.returncode != status:
        raise Failure(f"expected stdout {frame(expected) if host == args.exe else expected!r}\n"
                      f"  got stdout {out!r}, exit status {proc.returncode}, stderr {err!r}")
    return exited


def case_no_service(args):
    root = tempfile.mkdtemp(prefix="vellicor-pcsc-wine-")
    try:
        run_staged(args, root, NO_READER)
    finally:
        shutil.rmtree(root, ignore_errors=True)


def standin_case(args, name):
    script, expected, hangs = STANDIN_CASES[name]
    root = tempfile.mkdtemp(prefix="vellicor-pcsc-standin-")
    log = os.path.join(root, "winscard.log")
    # When the process should have ended, after the stand-in was loaded, and
    # how much later it may: a host that pauses between calls meets more of
    # the machine's load.
    if isinstance(expected, list):
        ends, slack = len(expected) * (DEADLINE + PAUSE), 4
    else:
        ends, slack = DEADLINE, 1
    library, settings, status = "ours", SETTINGS if name == "settings" else None, 0
    if name in CHECK_CASES:
        library, settings, report, status = CHECK_CASES[name]
        # Wine's drive Z: is the Unix root.
        expected = report.format(folder="Z:" + root.replace("/", "\\"))
    if settings is not None:
        with open(os.path.join(root, "OUR_IDR.ini"), "wb") as f:
            f.write(settings)

    def give_up_at():
        # Well after the program should have ended: the stand-in's first line
        # tells when it was loaded.
        try:
            with open(log, encoding="utf-8", errors="replace") as f:
                return float(f.readline().split(" ", 1)[0]) + ends + slack + 4
        except (OSError, ValueError):
            return None

    try:
        shutil.copy2(args.standin, os.path.join(root, "winscard.dll"))
        try:
            exited = run_staged(args, root, expected,
                                {"VELLICOR_WINSCARD": script, "WINEDLLOVERRIDES": "winscard=n"},
                                give_up_at, library, status)
        finally:
            # Each line: Unix time in seconds, then what happened.
            lines = []
            if os.path.exists(log):
                with open(log, encoding="utf-8", errors="replace") as f:
                    lines = [line.rstrip("\n").split(" ", 1) for line in f]
            print("winscard.log:\n  " + "\n  ".join(" ".join(line) for line in lines))
        if not lines:
            raise Failure("winscard was never loaded")
        events = [text for _, text in lines]
        faults = [e for e in events if e.startswith(("violation:", "script error:"))]
        if faults:
            raise Failure("the stand-in saw: " + "; ".join(faults))
        took = exited - float(lines[0][0])
        print(f"exited {took:.2f} s after winscard was loaded")
        if took > ends + slack:
            raise Failure(f"exited {took:.2f} s after winscard was loaded")
        if hangs and not any(e.endswith("never answering") for e in events):
            raise Failure("no call was left unanswered: the case tests nothing")
        if hangs and took < DEADLINE:
            raise Failure(f"ended {took:.2f} s after winscard was loaded: before the deadline")
        # vellicor-check imports winscard itself: it goes at process exit,
        # where the stand-in checks what it handed out just the same.
        unloaded = {"unloaded", "unloaded at process exit"} if name in CHECK_CASES else {"unloaded"}
        if not hangs and events[-1] not in unloaded:
            raise Failure("winscard was not unloaded, so what it handed out was never checked")
    finally:
        shutil.rmtree(root, ignore_errors=True)


def case_watch(args):
    root = os.path.realpath(tempfile.mkdtemp(prefix="vellicor-pcsc-watch-"))
    try:
        exe = os.path.join(root, os.path.basename(args.watch))
        shutil.copy2(args.watch, exe)
        shutil.copy2(args.reader, os.path.join(root, LIBRARY))
        shutil.copy2(args.standin, os.path.join(root, "winscard.dll"))
        card = os.path.join(root, "card")
        with open(card, "w") as f:
            f.write("empty")
        windows_path = "Z:" + card.replace("/", "\\")
        host = WatchHost(exe, {"VELLICOR_WINSCARD": f"Contactless=file:{windows_path}",
                               "WINEDLLOVERRIDES": "winscard=n", "WINEDEBUG": "-all"},
                         root=root, runner=args.runner)
        try:
            host.expect([event("no_card")], "empty reader")

            def put(text):
                with open(card + ".new", "w") as f:
                    f.write(text)
                os.replace(card + ".new", card)

            put("uid:DEADBEEF")
            host.expect([event("card", -559038737)], "card put on")
            time.sleep(3)
            host.expect_quiet(0.1, "card held")
            put("empty")
            host.expect([event("no_card")], "card taken off")
            put("uid:DEADBEEF")
            host.expect([event("card", -559038737)], "card put on again")
            host.close("input closed while waiting")
        finally:
            lines = []
            log = os.path.join(root, "winscard.log")
            if os.path.exists(log):
                with open(log, encoding="utf-8", errors="replace") as f:
                    lines = [line.rstrip("\n").split(" ", 1)[1] for line in f]
        faults = [line for line in lines if line.startswith(("violation:", "script error:"))]
        if faults:
            raise Failure("the stand-in saw: " + "; ".join(faults))
        transmits = sum(line.startswith("SCardTransmit") for line in lines)
        waits = [line for line in lines if line.startswith("SCardGetStatusChangeA") and
                 "timeout 0," not in line]
        if transmits != 2 or not waits:
            raise Failure(f"{transmits} reads of the card for two presentations, {len(waits)} waits")
    finally:
        shutil.rmtree(root, ignore_errors=True)


def main():
    cases = {name[len("case_"):]: f for name, f in globals().items() if name.startswith("case_")}
    for name in STANDIN_CASES:
        cases["standin." + name] = lambda args, name=name: standin_case(args, name)
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--reader", required=True)
    parser.add_argument("--objdump", default="objdump", help="an objdump that reads PE files")
    parser.add_argument("--standin", help="the winscard.dll stand-in, for the standin.* cases")
    parser.add_argument("--repeat", help="repeat_read.exe, the host of the standin.* cases that "
                        "call the library more than once")
    parser.add_argument("--check", help="vellicor-check.exe, for the standin.check* cases")
    parser.add_argument("--vendor", help="a vendor's OUR_IDR.dll (the simulated reader), for the "
                        "standin.check* cases")
    parser.add_argument("--watch", help="vellicor-watch.exe, for the watch case")
    parser.add_argument("--runner", action="append", default=[],
                        help="the command that runs a Windows program, one word per option")
    parser.add_argument("case", choices=sorted(cases))
    args = parser.parse_args()
    try:
        cases[args.case](args)
    except (Failure, OSError, subprocess.SubprocessError) as failure:
        print(f"FAIL {args.case}: {failure}")
        return 1
    print(f"PASS {args.case}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
