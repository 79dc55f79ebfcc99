#!/usr/bin/env python3
"""Cases for the release packages that scripts/package.sh wrote into DIST.

    packages.py --dist DIST --version VERSION --source TREE --runner WINE_RUNNER
                [--pcscd PATH --driver PATH --usb-drivers PATH] CASE

deb: the .deb's file list and control fields, and lintian's verdict.
deb_runs: the .deb unpacked into a temporary root; <root>/usr/bin/vellicor
    reports "no reader" without a pcscd, and reads a virtual card through
    the private pcscd of the PC/SC tests.
zip: the zip's file list; its program and library are stripped.
installer: a silent install into a new folder, under Wine, and a run of the
    installed program; a reinstall replaces our own library; the uninstaller
    removes the folder and the Add/Remove Programs entry.
installer_vendor_library: the same beside a vendor's OUR_IDR.dll and a file
    of the user's, which stay byte for byte through install, upgrade and
    uninstall; only what the installer added goes.
reproducible: package.sh run again on a copy of the tree elsewhere gives the
    same three files, byte for byte.
"""

import argparse
import gzip
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zipfile

sys.dont_write_bytecode = True  # keep the source tree clean
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))

from e2e import NO_READER, frame  # noqa: E402

SKIPPED = 77
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Vellicor"
# CPack adds ldconfig calls for any shared object below /usr/lib, even in a
# folder of the program's own; they are needless but harmless.
KEPT_LINTIAN_WARNINGS = {"maintscript-calls-ldconfig"}
WINE_BOUND = 120  # an installer run under qemu, a fresh Wine session included


class Failure(Exception):
    pass


class Skip(Exception):
    pass


def run(*command, **kwargs):
    kwargs.setdefault("capture_output", True)
    return subprocess.run(command, check=False, timeout=kwargs.pop("timeout", WINE_BOUND),
                          stdin=subprocess.DEVNULL, **kwargs)


def check(what, got, expected):
    if got != expected:
        raise Failure(f"{what}:\n  expected {expected!r}\n  got      {got!r}")


def wait_for(what, predicate, bound=60.0):
    """Polls predicate until it holds: the uninstaller finishes in a copy of
    itself after its own process has ended."""
    deadline = time.monotonic() + bound
    while not predicate():
        if time.monotonic() > deadline:
            raise Failure(f"{what}: not after {bound} s")
        time.sleep(0.5)


def contents(folder):
    """{name: bytes} of a folder's files, or None when it does not exist."""
    if not os.path.isdir(folder):
        return None
    return {name: open(os.path.join(folder, name), "rb").read() for name in os.listdir(folder)}


class Packages:
    def __init__(self, args):
        self.args = args
        self.root = os.path.realpath(tempfile.mkdtemp(prefix="vellicor-packages-"))
        version = args.version
        self.deb = os.path.join(args.dist, f"vellicor_{version}_amd64.deb")
        self.zip = os.path.join(args.dist, f"vellicor-{version}-win32.zip")
        self.setup = os.path.join(args.dist, f"vellicor-{version}-win32-setup.exe")

    def zipped(self, name):
        with zipfile.ZipFile(self.zip) as z:
            return z.read(f"vellicor-{self.args.version}-win32/{name}")

    # Wine
    def wine(self, *command):
        return run(self.args.runner, *command)

    def install(self, folder=None):
        target = [f"/D=Z:{folder.replace('/', chr(92))}"] if folder else []
        proc = self.wine(self.setup, "/S", *target)
        check("installer exit status", proc.returncode, 0)

    def registered(self):
        proc = self.wine("reg", "query", UNINSTALL_KEY)
        found = re.findall(r"^\s+(\w+)\s+REG_\w+\s+(.*?)\s*$", proc.stdout.decode("gbk", "replace"),
                           re.MULTILINE)
        return dict(found) if proc.returncode == 0 else None

    def expect_program(self, folder):
        proc = self.wine(os.path.join(folder, "vellicor.exe"))
        check("installed program's output", proc.stdout, frame(NO_READER))

    def uninstall(self, folder, left):
        check("uninstaller exit status", self.wine(f"{folder}/vellicor-uninstall.exe", "/S").returncode, 0)
        wait_for("the folder as it was before", lambda: contents(folder) == left)
        wait_for("the Add/Remove Programs entry removed", lambda: self.registered() is None)


def case_deb(p):
    listing = run("dpkg-deb", "-c", p.deb).stdout.decode()
    entries = [f"{line.split()[0]} {line.split()[1]} {' '.join(line.split()[5:])}"
               for line in listing.splitlines()]
    folders = ["usr/", "usr/bin/", "usr/lib/", "usr/lib/vellicor/", "usr/share/", "usr/share/doc/",
               "usr/share/doc/vellicor/", "usr/share/man/", "usr/share/man/man1/"]
    files = ["usr/lib/vellicor/OUR_IDR.dll", "usr/share/doc/vellicor/changelog.gz",
             "usr/share/doc/vellicor/copyright", "usr/share/man/man1/vellicor.1.gz"]
    expected = [f"drwxr-xr-x root/root ./{f}" for f in folders]
    expected += [f"-rw-r--r-- root/root ./{f}" for f in files]
    expected += ["-rwxr-xr-x root/root ./usr/lib/vellicor/vellicor",
                 "lrwxrwxrwx root/root ./usr/bin/vellicor -> ../lib/vellicor/vellicor"]
    check("file list", sorted(entries), sorted(expected))

    fields = dict(re.findall(r"^(\S+): (.*)$", run("dpkg-deb", "-f", p.deb).stdout.decode(), re.M))
    depends = sorted(re.sub(r"\s*\(.*\)", "", d).strip() for d in fields.get("Depends", "").split(","))
    check("Depends", depends, ["libc6", "libpcsclite1"])
    check("control fields", {k: fields.get(k) for k in ("Package", "Version", "Architecture",
                                                        "Recommends", "Section", "Priority")},
          {"Package": "vellicor", "Version": p.args.version, "Architecture": "amd64",
           "Recommends": "pcscd, libccid", "Section": "utils", "Priority": "optional"})
    root = os.path.join(p.root, "root")
    run("dpkg-deb", "-x", p.deb, root)
    with gzip.open(os.path.join(root, "usr/share/doc/vellicor/changelog.gz"), "rt") as changelog:
        check("changelog's latest entry", changelog.readline().split()[:2],
              ["vellicor", f"({p.args.version})"])

    report = run("lintian", p.deb, timeout=300).stdout.decode()
    print(report, end="")
    tags = re.findall(r"^([EW]): \S+: (\S+)", report, re.MULTILINE)
    unexpected = [f"{kind}: {tag}" for kind, tag in tags
                  if kind == "E" or tag not in KEPT_LINTIAN_WARNINGS]
    check("lintian errors and new warnings", unexpected, [])


def case_deb_runs(p):
    root = os.path.join(p.root, "root")
    run("dpkg-deb", "-x", p.deb, root)
    program = os.path.join(root, "usr/bin/vellicor")
    no_service = {**os.environ, "PCSCLITE_CSOCK_NAME": os.path.join(p.root, "no-pcscd.comm")}
    check("output without pcscd", run(program, env=no_service).stdout, frame(NO_READER))

    a = p.args
    if not (a.pcscd and os.path.exists(a.pcscd) and a.driver and os.path.exists(a.driver)):
        raise Skip("reading a card needs pcscd and vpcd's driver: run scripts/setup-debian.sh")
    daemon = [sys.executable, os.path.join(HERE, "..", "pcsc", "pcsc_daemon.py"), "--pcscd", a.pcscd,
              "--driver", a.driver, "--usb-drivers", a.usb_drivers or "", "--uid", "12345678", "--"]
    proc = run(*daemon, program)
    check(f"output with a card (stderr {proc.stderr!r})", proc.stdout, frame(b"305419896"))


def case_zip(p):
    with zipfile.ZipFile(p.zip) as z:
        names = sorted(z.namelist())
    top = f"vellicor-{p.args.version}-win32/"
    check("file list", names, sorted(top + n for n in ("LICENSE.txt", "OUR_IDR.dll", "README.txt",
                                                       "vellicor.exe")))
    for name in ("vellicor.exe", "OUR_IDR.dll"):
        data = p.zipped(name)
        # The COFF header's count of symbols: none once stripped.
        header = struct.unpack_from("<I", data, 0x3C)[0]
        check(f"{name}'s symbols", struct.unpack_from("<I", data, header + 16)[0], 0)


def case_installer(p):
    folder = os.path.join(p.root, "Vellicor")
    p.install(folder)
    installed = contents(folder)
    check("installed files", sorted(installed),
          ["OUR_IDR.dll", "vellicor-LICENSE.txt", "vellicor-uninstall.exe", "vellicor.exe"])
    for name in ("vellicor.exe", "OUR_IDR.dll"):
        check(f"installed {name} is the zip's", installed[name] == p.zipped(name), True)
    p.expect_program(folder)
    entry = p.registered() or {}
    check("Add/Remove Programs entry",
          {k: entry.get(k) for k in ("DisplayName", "DisplayVersion", "InstallLocation")},
          {"DisplayName": "Vellicor", "DisplayVersion": p.args.version,
           "InstallLocation": "Z:" + folder.replace("/", "\\")})

    # An earlier build of our library, told apart by its version resource.
    with open(os.path.join(folder, "OUR_IDR.dll"), "ab") as library:
        library.write(b"an earlier build")
    p.install(folder)
    check("our library replaced on upgrade", contents(folder) == installed, True)
    p.uninstall(folder, left=None)


def case_installer_vendor_library(p):
    folder = os.path.join(p.root, "Reader")
    os.makedirs(folder)
    # A vendor's library with a version resource of its own: ours with
    # another product name.
    name = "Vellicor".encode("utf-16-le")
    before = {"OUR_IDR.dll": p.zipped("OUR_IDR.dll").replace(name, "Acme-IDR".encode("utf-16-le")),
              "notes.txt": b"the user's own file\r\n"}
    for file, data in before.items():
        with open(os.path.join(folder, file), "wb") as f:
            f.write(data)
    p.install(folder)
    installed = contents(folder)
    check("installed beside the vendor's library", sorted(installed),
          sorted([*before, "vellicor-LICENSE.txt", "vellicor-uninstall.exe", "vellicor.exe"]))
    check("vendor's library and user's file after install",
          {f: installed[f] == data for f, data in before.items()}, {f: True for f in before})
    p.expect_program(folder)
    # An upgrade without /D= goes to the folder of the last install.
    p.install()
    check("folder after upgrade", contents(folder) == installed, True)
    p.uninstall(folder, left=before)


def case_reproducible(p):
    tree = os.path.join(p.root, "tree")
    listed = run("git", "-C", p.args.source, "ls-files", "-z", "--cached", "--others",
                 "--exclude-standard").stdout.decode().split("\0")
    for name in filter(None, listed):
        source, target = os.path.join(p.args.source, name), os.path.join(tree, name)
        if os.path.lexists(source):
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copy2(source, target, follow_symlinks=False)
    epoch = os.environ.get("SOURCE_DATE_EPOCH") or run(
        "git", "-C", p.args.source, "log", "-1", "--format=%ct").stdout.decode().strip()
    second = os.path.join(p.root, "dist")
    started = time.monotonic()
    proc = run(os.path.join(tree, "scripts", "package.sh"), second, timeout=1800,
               env={**os.environ, "SOURCE_DATE_EPOCH": epoch})
    if proc.returncode != 0:
        raise Failure(f"second package.sh failed:\n{proc.stdout.decode()}{proc.stderr.decode()}")
    print(f"second build in {time.monotonic() - started:.0f} s")
    for package in (p.deb, p.zip, p.setup):
        name = os.path.basename(package)
        same = open(package, "rb").read() == open(os.path.join(second, name), "rb").read()
        check(f"{name} of a second build elsewhere is the same", same, True)


def main():
    cases = {name[len("case_"):]: f for name, f in globals().items() if name.startswith("case_")}
    parser = argparse.ArgumentParser()
    for option in ("--dist", "--version", "--source", "--runner"):
        parser.add_argument(option, required=True)
    for option in ("--pcscd", "--driver", "--usb-drivers"):
        parser.add_argument(option)
    parser.add_argument("case", choices=sorted(cases))
    args = parser.parse_args()
    packages = Packages(args)
    try:
        cases[args.case](packages)
    except Skip as reason:
        print(f"skipped {args.case}: {reason}")
        return SKIPPED
    except (Failure, OSError, subprocess.SubprocessError) as failure:
        print(f"FAIL {args.case}: {failure}")
        return 1
    finally:
        shutil.rmtree(packages.root, ignore_errors=True)
    print(f"PASS {args.case}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
