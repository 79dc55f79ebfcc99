#!/usr/bin/env python3
"""Checks of the 32-bit Windows PC/SC reader library, for a build made with
MinGW-w64 and run under Wine (or on Windows itself, with no runner).

    pcsc_wine.py --exe vellicor.exe --reader OUR_IDR.dll [--objdump PATH] [--runner ARG]... CASE

dll_layout: the DLL is for 32-bit x86, exports exactly `idr_read`, undecorated,
    and imports nothing but system DLLs, so it runs beside the program alone.
no_service: the program, staged with this DLL beside it, reports "no reader"
    (status 23): Wine's winscard is a stub whose SCardEstablishContext fails,
    which is what a Windows machine without the smart card service reports too.
    This shows that the DLL loads, that its call returns, and that it does not
    take a failed service for a card.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

from e2e import NO_READER, frame  # noqa: E402

LIBRARY = "OUR_IDR.dll"
RUN_TIMEOUT = 120  # a fresh Wine prefix takes a while to create
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "winscard.dll", "ntdll.dll", "advapi32.dll",
               "user32.dll"}


class Failure(Exception):
    pass


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
    if exports != ["idr_read"]:
        raise Failure(f"exports {exports}, expected exactly ['idr_read']")
    if any(dll.lower() not in SYSTEM_DLLS for dll in imports) or "WinSCard.dll" not in imports:
        raise Failure(f"imports {imports}: expected system DLLs only, WinSCard among them")


def case_no_service(args):
    root = tempfile.mkdtemp(prefix="vellicor-pcsc-wine-")
    try:
        exe = os.path.join(root, os.path.basename(args.exe))
        shutil.copy2(args.exe, exe)
        shutil.copy2(args.reader, os.path.join(root, LIBRARY))
        env = dict(os.environ)
        env.setdefault("WINEDEBUG", "-all")
        proc = subprocess.run([*args.runner, exe], env=env, cwd=root, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=RUN_TIMEOUT, check=False)
        expected = frame(NO_READER)
        # Wine may have its own say on stderr (a prefix being created); only
        # the program's output and status are ours.
        if proc.stdout != expected or proc.returncode != 0:
            raise Failure(f"expected stdout {expected!r}\n  got stdout {proc.stdout!r}, "
                          f"exit status {proc.returncode}, stderr {proc.stderr!r}")
    finally:
        shutil.rmtree(root, ignore_errors=True)


def main():
    cases = {name[len("case_"):]: f for name, f in globals().items() if name.startswith("case_")}
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--reader", required=True)
    parser.add_argument("--objdump", default="objdump", help="an objdump that reads PE files")
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
