#!/usr/bin/env python3
"""Cases for the release packages that scripts/package.sh wrote into DIST.

    packages.py --dist DIST --version VERSION --source TREE --runner WINE_RUNNER
                [--pcscd PATH --driver PATH --usb-drivers PATH] CASE

The installer runs silently under Wine, into a fresh folder or beside a
vendor's library; `reproducible` runs package.sh again on a copy of the tree.
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

UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Vellicor"
# CPack calls ldconfig for any shared object below /usr/lib, even in a folder
# of the program's own: needless, but harmless.
KEPT_LINTIAN_WARNINGS = {"maintscript-calls-ldconfig"}


class Failure(Exception):
    pass


class Skip(Exception):
    pass


def run(*command, timeout=120, **kwargs):
    return subprocess.run(command, check=False, timeout=timeout, stdin=subprocess.DEVNULL,
                          capture_output=True, **kwargs)


def check(what, got, expected):
    if got != expected:
        raise Failure(f"{what}:\n  expected {expected!r}\n  got      {got!r}")


def contents(folder):
    """{name: bytes} of a folder's files, or None when there is no folder."""
    if not os.path.isdir(folder):
        return None
    return {name: open(os.path.join(folder, name), "rb").read() for name in os.listdir(folder)}


class Packages:
    def __init__(self, args):
        self.args = args
        self.root = os.path.realpath(tempfile.mkdtemp(prefix="vellicor-packages-"))
        self.deb = os.path.join(args.dist, f"vellicor_{args.version}_amd64.deb")
        self.zip = os.path.join(args.dist, f"vellicor-{args.version}-win32.zip")
        self.setup = os.path.join(args.dist, f"vellicor-{args.version}-win32-setup.exe")

    def zipped(self, name):
        with zipfile.ZipFile(self.zip) as z:
            return z.read(f"vellicor-{self.args.version}-win32/{name}")

    def unpacked_deb(self):
        root = os.path.join(self.root, "deb")
        check("dpkg-deb -x", run("dpkg-deb", "-x", self.deb, root).returncode, 0)
        return root

    def wine(self, *command):
        return run(self.args.runner, *command)

    def install(self, *options):
        check("installer's exit status", self.wine(self.setup, "/S", *options).returncode, 0)

    def registered(self):
        proc = self.wine("reg", "query", UNINSTALL_KEY)
        text = proc.stdout.decode("gbk", "replace")
        values = re.findall(r"^\s+(\w+)\s+REG_\w+\s+(.*?)\s*$", text, re.MULTILINE)
        return dict(values) if proc.returncode == 0 else None


def case_deb(p):
    entries = sorted(" ".join(line.split()[:2] + line.split()[5:])
                     for line in run("dpkg-deb", "-c", p.deb).stdout.decode().splitlines())
    folders = ["", "bin/", "lib/", "lib/vellicor/", "share/", "share/doc/", "share/doc/vellicor/",
               "share/man/", "share/man/man1/"]
    files = ["lib/vellicor/OUR_IDR.dll", "share/doc/vellicor/changelog.gz",
             "share/doc/vellicor/copyright", "share/man/man1/vellicor.1.gz",
             "share/man/man1/vellicor-check.1.gz"]
    check("file list", entries, sorted(
        [f"drwxr-xr-x root/root ./usr/{f}" for f in folders]
        + [f"-rw-r--r-- root/root ./usr/{f}" for f in files]
        + [f"-rwxr-xr-x root/root ./usr/lib/vellicor/{f}" for f in ("vellicor", "vellicor-check")]
        + [f"lrwxrwxrwx root/root ./usr/bin/{f} -> ../lib/vellicor/{f}"
           for f in ("vellicor", "vellicor-check")]
        + ["drwxr-xr-x root/root ./etc/", "drwxr-xr-x root/root ./etc/vellicor/",
           "-rw-r--r-- root/root ./etc/vellicor/OUR_IDR.ini"]))
    check("conffiles", run("dpkg-deb", "-I", p.deb, "conffiles").stdout,
          b"/etc/vellicor/OUR_IDR.ini\n")
    # As installed, the settings change nothing: every line is a comment.
    with open(os.path.join(p.unpacked_deb(), "etc/vellicor/OUR_IDR.ini")) as f:
        check("settings lines not commented out",
              [line for line in f if line.strip() and not line.startswith("#")], [])

    fields = dict(re.findall(r"^(\S+): (.*)$", run("dpkg-deb", "-f", p.deb).stdout.decode(), re.M))
    depends = fields["Depends"].split(",")
    fields["Depends"] = sorted(re.sub(r"\(.*\)", "", d).strip() for d in depends)
    check("control fields", {k: fields.get(k) for k in (
        "Package", "Version", "Architecture", "Depends", "Recommends", "Section", "Priority")},
        {"Package": "vellicor", "Version": p.args.version, "Architecture": "amd64",
         "Depends": ["libc6", "libpcsclite1"], "Recommends": "pcscd, libccid",
         "Section": "utils", "Priority": "optional"})
    changelog = os.path.join(p.unpacked_deb(), "usr/share/doc/vellicor/changelog.gz")
    with gzip.open(changelog, "rt") as f:
        top = f.readline().split()[:2]
    check("changelog's top entry", top, ["vellicor", f"({p.args.version})"])

    report = run("lintian", p.deb, timeout=600).stdout.decode()
    print(report, end="")
    tags = re.findall(r"^([EW]): \S+: (\S+)", report, re.MULTILINE)
    check("lintian's errors and new warnings",
          [t for t in tags if t[0] == "E" or t[1] not in KEPT_LINTIAN_WARNINGS], [])


def case_deb_runs(p):
    program = os.path.join(p.unpacked_deb(), "usr/bin/vellicor")
    no_service = {**os.environ, "PCSCLITE_CSOCK_NAME": os.path.join(p.root, "no-pcscd.comm")}
    check("output without pcscd", run(program, env=no_service).stdout, frame(NO_READER))
    a = p.args
    if not all(path and os.path.exists(path) for path in (a.pcscd, a.driver)):
        raise Skip("reading a card needs pcscd and vpcd's driver: run scripts/setup-debian.sh")
    proc = run(sys.executable, os.path.join(HERE, "..", "pcsc", "pcsc_daemon.py"),
               "--pcscd", a.pcscd, "--driver", a.driver, "--usb-drivers", a.usb_drivers or "",
               "--uid", "12345678", "--", program)
    check(f"output with a card (stderr {proc.stderr!r})", proc.stdout, frame(b"305419896"))


def case_zip(p):
    with zipfile.ZipFile(p.zip) as z:
        names = ("LICENSE.txt", "OUR_IDR.dll", "README.txt", "vellicor-check.exe", "vellicor.exe")
        check("file list", sorted(z.namelist()),
              [f"vellicor-{p.args.version}-win32/{name}" for name in names])
    for name in ("vellicor.exe", "vellicor-check.exe", "OUR_IDR.dll"):
        data = p.zipped(name)
        # The COFF header's count of symbols: none once stripped.
        header = struct.unpack_from("<I", data, 0x3C)[0]
        check(f"{name}'s symbols", struct.unpack_from("<I", data, header + 16)[0], 0)


def installer(p, before):
    """Install, upgrade and uninstall in a folder holding `before` ({name:
    bytes}): all of it must stay as it is, and nothing of ours may remain."""
    folder = os.path.join(p.root, "Vellicor")
    os.makedirs(folder)
    for name, data in before.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    p.install(f"/D=Z:{folder.replace('/', chr(92))}")
    installed = contents(folder)
    check("installed files", sorted(installed), sorted(
        {*before, "OUR_IDR.dll", "vellicor.exe", "vellicor-check.exe", "vellicor-LICENSE.txt",
         "vellicor-uninstall.exe"}))
    shipped = {name: p.zipped(name) for name in ("OUR_IDR.dll", "vellicor.exe",
                                                 "vellicor-check.exe")}
    check("files that must be the zip's or stay as they were",
          {name: installed[name] == data for name, data in {**shipped, **before}.items()},
          {name: True for name in {**shipped, **before}})
    check("installed program's output", p.wine(f"{folder}/vellicor.exe").stdout, frame(NO_READER))
    entry = p.registered() or {}
    check("Add/Remove Programs entry", [entry.get("DisplayVersion"), entry.get("InstallLocation")],
          [p.args.version, "Z:" + folder.replace("/", "\\")])

    if "OUR_IDR.dll" not in before:
        # An earlier build of our library, known by its version resource.
        with open(os.path.join(folder, "OUR_IDR.dll"), "ab") as library:
            library.write(b"an earlier build")
    p.install()  # an upgrade goes to the folder of the last install
    check("folder after the upgrade", contents(folder) == installed, True)

    uninstalled = p.wine(f"{folder}/vellicor-uninstall.exe", "/S")
    check("uninstaller's exit status", uninstalled.returncode, 0)
    # It finishes in a copy of itself, after its own process has ended.
    deadline = time.monotonic() + 60
    while contents(folder) != (before or None) or p.registered() is not None:
        if time.monotonic() > deadline:
            raise Failure(f"after uninstalling: {sorted(contents(folder) or [])}, "
                          f"entry {p.registered()}, expected {sorted(before)} and no entry")
        time.sleep(0.5)


def case_installer(p):
    installer(p, {})
    # A site's settings are never overwritten or removed.
    installer(p, {"OUR_IDR.ini": b"uid_bytes = first4\r\n"})


def case_installer_vendor_library(p):
    # The vendor's library has a version resource too, naming its own product.
    vendor = p.zipped("OUR_IDR.dll").replace("Vellicor".encode("utf-16-le"),
                                             "Acme-IDR".encode("utf-16-le"))
    installer(p, {"OUR_IDR.dll": vendor, "notes.txt": b"the user's own file\r\n"})


def case_reproducible(p):
    tree, second = os.path.join(p.root, "tree"), os.path.join(p.root, "dist")
    listed = run("git", "-C", p.args.source, "ls-files", "-z", "--cached", "--others",
                 "--exclude-standard").stdout.decode().split("\0")
    for name in filter(lambda n: n and os.path.lexists(os.path.join(p.args.source, n)), listed):
        os.makedirs(os.path.dirname(os.path.join(tree, name)), exist_ok=True)
        shutil.copy2(os.path.join(p.args.source, name), os.path.join(tree, name),
                     follow_symlinks=False)
    epoch = os.environ.get("SOURCE_DATE_EPOCH") or run(
        "git", "-C", p.args.source, "log", "-1", "--format=%ct").stdout.decode().strip()
    started = time.monotonic()
    proc = run(os.path.join(tree, "scripts", "package.sh"), second, timeout=1800,
               env={**os.environ, "SOURCE_DATE_EPOCH": epoch})
    check(f"second package.sh's exit status ({proc.stderr.decode()})", proc.returncode, 0)
    print(f"second build in {time.monotonic() - started:.0f} s")
    same = {os.path.basename(f): open(f, "rb").read() == open(os.path.join(
        second, os.path.basename(f)), "rb").read() for f in (p.deb, p.zip, p.setup)}
    check("packages of a second build elsewhere the same", same, {name: True for name in same})


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
        return 77
    except (Failure, OSError, subprocess.SubprocessError) as failure:
        print(f"FAIL {args.case}: {failure}")
        return 1
    finally:
        shutil.rmtree(packages.root, ignore_errors=True)
    print(f"PASS {args.case}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
