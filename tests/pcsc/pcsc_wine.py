#!/usr/bin/env python3
"""Checks of the 32-bit Windows PC/SC reader library, for a build made with
MinGW-w64 and run under Wine (or on Windows itself, with no runner).

    pcsc_wine.py --exe vellicor.exe --reader OUR_IDR.dll [--runner ARG]... CASE

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
import shutil
import struct
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
MACHINE_I386 = 0x14C


class Failure(Exception):
    pass


class PeImage:
    """Just enough of a PE file to read its machine, exports and imports."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        if self.data[:2] != b"MZ":
            raise Failure(f"{path}: no MZ header")
        pe = self.u32(0x3C)
        if self.data[pe:pe + 4] != b"PE\0\0":
            raise Failure(f"{path}: no PE signature")
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", self.data,
                                                                              pe + 4)
        optional = pe + 24
        if self.u16(optional) != 0x10B:
            raise Failure(f"{path}: not a 32-bit image")
        directories = optional + 96
        self.export_rva = self.u32(directories)
        self.import_rva = self.u32(directories + 8)
        table = optional + optional_size
        self.sections = [struct.unpack_from("<IIII", self.data, table + 40 * i + 8)
                         for i in range(sections)]

    def u16(self, offset):
        return struct.unpack_from("<H", self.data, offset)[0]

    def u32(self, offset):
        return struct.unpack_from("<I", self.data, offset)[0]

    def offset(self, rva):
        for virtual_size, address, raw_size, raw_offset in self.sections:
            if address <= rva < address + max(virtual_size, raw_size):
                return raw_offset + rva - address
        raise Failure(f"RVA {rva:#x} lies in no section")

    def text(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def exports(self):
        if self.export_rva == 0:
            return []
        directory = self.offset(self.export_rva)
        count, names = self.u32(directory + 24), self.u32(directory + 32)
        return [self.text(self.u32(self.offset(names) + 4 * i)) for i in range(count)]

    def imports(self):
        dlls = []
        at = self.offset(self.import_rva) if self.import_rva else None
        while at is not None and self.u32(at + 12) != 0:
            dlls.append(self.text(self.u32(at + 12)))
            at += 20
        return dlls


def case_dll_layout(args):
    image = PeImage(args.reader)
    if image.machine != MACHINE_I386:
        raise Failure(f"machine {image.machine:#x}, expected i386 ({MACHINE_I386:#x})")
    if image.exports() != ["idr_read"]:
        raise Failure(f"exports {image.exports()}, expected exactly ['idr_read']")
    foreign = [dll for dll in image.imports() if dll.lower() not in SYSTEM_DLLS]
    if foreign or "winscard.dll" not in [dll.lower() for dll in image.imports()]:
        raise Failure(f"imports {image.imports()}: expected system DLLs only, WinSCard among them")


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
    parser.add_argument("--runner", action="append", default=[],
                        help="the command that runs a Windows program, one word per option")
    parser.add_argument("case", choices=sorted(cases))
    args = parser.parse_args()
    try:
        cases[args.case](args)
    except (Failure, OSError, subprocess.TimeoutExpired) as failure:
        print(f"FAIL {args.case}: {failure}")
        return 1
    print(f"PASS {args.case}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
