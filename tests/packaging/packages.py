#!/usr/bin/env python3
"""Cases for the release packages that scripts/package.sh wrote into DIST.

    packages.py --dist DIST --version VERSION --source TREE --runner WINE_RUNNER
                [--pcscd PATH --driver PATH --usb-drivers PATH] CASE

The installer and the MSI package run silently under Wine, into a fresh
folder or beside a vendor's library, and the MSI package with a vendor's
library copied over ours once installed; `reproducible` runs package.sh
again on a copy of the tree, `signed` too, with a throwaway certificate.
"""

import argparse
import base64
import gzip
import hashlib
import json
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
# Where the MSI package records its folder and library.
STATE_KEY = r"HKLM\Software\Vellicor"
# What the setup's and the MSI package's install leaves in the folder.
SETUP_FILES = {"OUR_IDR.dll", "vellicor.exe", "vellicor-check.exe", "vellicor-LICENSE.txt",
               "org.vellicor.reader.json", "vellicor-uninstall.exe"}
MSI_FILES = SETUP_FILES - {"vellicor-uninstall.exe"}
# CPack calls ldconfig for any shared object below /usr/lib, even in a folder
# of the program's own: needless, but harmless.
KEPT_LINTIAN_WARNINGS = {"maintscript-calls-ldconfig"}


HOST = "org.vellicor.reader"
HOST_KEYS = [rf"HKLM\Software\{browser}\NativeMessagingHosts\{HOST}"
             for browser in (r"Google\Chrome", r"Microsoft\Edge")]
HOST_FOLDERS = ["etc/chromium/", "etc/opt/chrome/", "etc/opt/edge/"]


def host_manifest(path, newline):
    return newline.join([
        "{",
        f'  "name": "{HOST}",',
        '  "description": "Vellicor: reads the serial number of a contactless card",',
        f'  "path": "{path}",',
        '  "type": "stdio",',
        '  "allowed_origins": ["chrome-extension://dabaoedhkaingdckmlljfkdbmpeannmd/"]',
        "}", ""]).encode()


def web_kit(source):
    """{path: bytes} of what every package ships for web pages, from the tree."""
    kit = {"web/vellicor.js": open(os.path.join(source, "web", "vellicor.js"), "rb").read()}
    top = os.path.join(source, "web", "extension")
    for folder, _, names in os.walk(top):
        for name in names:
            path = os.path.join(folder, name)
            kit["extension/" + os.path.relpath(path, top)] = open(path, "rb").read()
    return kit


def extension_id(manifest):
    """The ID a Chromium browser gives an extension with this manifest's key."""
    digest = hashlib.sha256(base64.b64decode(json.loads(manifest)["key"])).hexdigest()
    return "".join(chr(ord("a") + int(c, 16)) for c in digest[:32])


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
        self.msi = os.path.join(args.dist, f"vellicor-{args.version}-win32.msi")
        self.drive_c = os.path.join(os.path.dirname(os.path.realpath(args.runner)), "prefix",
                                    "drive_c")

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

    def windows(self, path):
        """The path under Wine: C: is the prefix's drive_c, Z: the root."""
        drive_c = os.path.join(self.drive_c, "")
        if path.startswith(drive_c):
            return "C:\\" + path[len(drive_c):].replace("/", "\\")
        return "Z:" + path.replace("/", "\\")

    def unix(self, path):
        drive, rest = path[:2].upper(), path[2:].replace("\\", "/")
        return {"C:": self.drive_c + rest, "Z:": rest}[drive]

    def msiexec(self, *command):
        """msiexec's exit status (its low byte: 1603, failed, is 67)."""
        return self.wine("msiexec", *command, "/qn").returncode

    def registry(self, *more):
        """{key: {value name: data}} of those of our keys and `more` that
        exist, read by one Wine process."""
        keys = [UNINSTALL_KEY, STATE_KEY, *HOST_KEYS, *more]
        proc = self.wine("cmd", "/c", " & ".join(f"reg query {key}" for key in keys))
        found, values = {}, None
        for line in proc.stdout.decode("gbk", "replace").splitlines():
            if line.startswith("HKEY_"):
                values = found.setdefault(line.strip().upper().replace(
                    "HKEY_LOCAL_MACHINE", "HKLM"), {})
            elif values is not None and (
                    value := re.match(r"^\s+(\S.*?)\s+REG_\w+\s+(.*?)\s*$", line)):
                values[value[1]] = value[2]
        return {key: found[key.upper()] for key in keys if key.upper() in found}


def case_deb(p):
    entries = sorted(" ".join(line.split()[:2] + line.split()[5:])
                     for line in run("dpkg-deb", "-c", p.deb).stdout.decode().splitlines())
    kit = {"usr/share/vellicor/" + name: data for name, data in web_kit(p.args.source).items()}
    hosts = [f"{folder}native-messaging-hosts/{HOST}.json" for folder in HOST_FOLDERS]
    programs = ("vellicor", "vellicor-check")
    files = ["usr/lib/vellicor/OUR_IDR.dll", "usr/share/doc/vellicor/changelog.gz",
             "usr/share/doc/vellicor/copyright", "usr/share/man/man1/vellicor.1.gz",
             "usr/share/man/man1/vellicor-check.1.gz", "usr/share/lintian/overrides/vellicor",
             "etc/vellicor/OUR_IDR.ini", *hosts, *kit]
    folders = set()
    for name in files + ["usr/bin/vellicor"]:
        parts = name.split("/")[:-1]
        folders.update("".join(f"{part}/" for part in parts[:i]) for i in range(1, len(parts) + 1))
    check("file list", entries, sorted(
        [f"drwxr-xr-x root/root ./{f}" for f in folders]
        + [f"-rw-r--r-- root/root ./{f}" for f in files]
        + [f"-rwxr-xr-x root/root ./usr/lib/vellicor/{f}" for f in programs]
        + [f"lrwxrwxrwx root/root ./usr/bin/{f} -> ../lib/vellicor/{f}" for f in programs]))
    conffiles = run("dpkg-deb", "-I", p.deb, "conffiles").stdout.decode().split()
    check("conffiles", sorted(conffiles),
          sorted(["/etc/vellicor/OUR_IDR.ini"] + ["/" + host for host in hosts]))
    root = p.unpacked_deb()
    shipped = {name: open(os.path.join(root, name), "rb").read() for name in hosts + list(kit)}
    check("host manifests and web kit", shipped,
          {**{host: host_manifest("/usr/lib/vellicor/vellicor", "\n") for host in hosts}, **kit})
    check("the extension's ID, from its key", extension_id(kit[
        "usr/share/vellicor/extension/manifest.json"]), "dabaoedhkaingdckmlljfkdbmpeannmd")
    # As installed, the settings change nothing: every line is a comment.
    with open(os.path.join(root, "etc/vellicor/OUR_IDR.ini")) as f:
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
    changelog = os.path.join(root, "usr/share/doc/vellicor/changelog.gz")
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
    kit = web_kit(p.args.source)
    with zipfile.ZipFile(p.zip) as z:
        names = ("LICENSE.txt", "OUR_IDR.dll", "README.txt", "vellicor.exe", "vellicor-check.exe",
                 f"{HOST}.json", *kit)
        check("file list", sorted(n for n in z.namelist() if not n.endswith("/")),
              sorted(f"vellicor-{p.args.version}-win32/{name}" for name in names))
    check("host manifest and web kit", {name: p.zipped(name) for name in [f"{HOST}.json", *kit]},
          {f"{HOST}.json": host_manifest("vellicor.exe", "\r\n"), **kit})
    for name in ("vellicor.exe", "vellicor-check.exe", "OUR_IDR.dll"):
        data = p.zipped(name)
        # The COFF header's count of symbols: none once stripped.
        header = struct.unpack_from("<I", data, 0x3C)[0]
        check(f"{name}'s symbols", struct.unpack_from("<I", data, header + 16)[0], 0)


def check_installed(p, folder, before, files, registry, entry):
    """The installed folder holds `before` as it was and `files`, the zip's
    where the zip has them; the program runs; the uninstall entry `entry`
    names this version, and both browsers' keys name the manifest, whose path
    names the program. Returns the folder's contents."""
    installed = contents(folder)
    check("installed files", sorted(installed), sorted({*before, *files}))
    zipped_as = {"vellicor-LICENSE.txt": "LICENSE.txt"}
    shipped = {name: p.zipped(zipped_as.get(name, name)) for name in files
               if name != "vellicor-uninstall.exe" and name not in before}
    check("files that must be the zip's or stay as they were",
          {name: installed[name] == data for name, data in {**shipped, **before}.items()},
          {name: True for name in {**shipped, **before}})
    check("host manifest", installed[f"{HOST}.json"], host_manifest("vellicor.exe", "\r\n"))
    check("installed program's output", p.wine(f"{folder}/vellicor.exe").stdout, frame(NO_READER))
    values = registry.get(entry, {})
    check("Add/Remove Programs entry's version and folder",
          [values.get("DisplayVersion"), values.get("InstallLocation", "").rstrip("\\")],
          [p.args.version, p.windows(folder)])
    manifests = [list(registry.get(key, {}).values()) for key in HOST_KEYS]
    check("host keys' values", manifests, [[rf"{p.windows(folder)}\{HOST}.json"]] * 2)
    manifest = p.unix(manifests[0][0])
    program = os.path.join(os.path.dirname(manifest), json.load(open(manifest))["path"])
    check("the program the host manifest names", open(program, "rb").read(),
          installed["vellicor.exe"])
    return installed


def wait_uninstalled(p, folder, before, *keys):
    # The setup's uninstaller finishes in a copy of itself, after its own
    # process has ended.
    deadline = time.monotonic() + 60
    while contents(folder) != (before or None) or p.registry(*keys):
        if time.monotonic() > deadline:
            raise Failure(f"after uninstalling: {sorted(contents(folder) or [])}, "
                          f"keys {p.registry(*keys)}, expected {sorted(before)} and no keys")
        time.sleep(0.5)


def prepared(p, before):
    folder = os.path.join(p.root, "Vellicor")
    os.makedirs(folder)
    for name, data in before.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    return folder


def installer(p, before):
    """Install, upgrade and uninstall in a folder holding `before` ({name:
    bytes}): all of it must stay as it is, and nothing of ours may remain."""
    folder = prepared(p, before)
    p.install(f"/D={p.windows(folder)}")
    registry = p.registry()
    installed = check_installed(p, folder, before, SETUP_FILES, registry, UNINSTALL_KEY)
    # The MSI package does not install over the setup's files.
    check("MSI package over the setup refused", p.msiexec("/i", p.msi) != 0, True)

    if "OUR_IDR.dll" not in before:
        # An earlier build of our library, known by its version resource.
        with open(os.path.join(folder, "OUR_IDR.dll"), "ab") as library:
            library.write(b"an earlier build")
    p.install()  # an upgrade goes to the folder of the last install
    check("folder after the upgrade", contents(folder) == installed, True)

    uninstalled = p.wine(f"{folder}/vellicor-uninstall.exe", "/S")
    check("uninstaller's exit status", uninstalled.returncode, 0)
    wait_uninstalled(p, folder, before)


def product_code(msi):
    properties = run("msiinfo", "export", msi, "Property").stdout.decode()
    return re.search(r"^ProductCode\t(\S+)", properties, re.MULTILINE)[1]


def custom_actions(msi, path):
    """Writes the MSI package's custom actions' DLL to path, and returns it."""
    extracted = run("msiinfo", "extract", msi, "Binary.Actions")
    check(f"custom actions from {msi} ({extracted.stderr.decode()})", extracted.returncode, 0)
    with open(path, "wb") as f:
        f.write(extracted.stdout)
    return path


def msi_package(p, before, copied=None):
    """The MSI package: install (beside `before` in a folder of our choice, or
    else into the default one), copy `copied` into the folder as an
    administrator may, upgrade to a later version, repair, refuse the
    downgrade, uninstall: after each step `before` and `copied` are there as
    they were, byte for byte, and at the end nothing of ours remains. Our own
    library, while it is ours, is replaced by the upgrade."""
    copied = copied or {}
    if before:
        folder = prepared(p, before)
        options = [f"INSTALLDIR={p.windows(folder)}"]
    else:
        folder = os.path.join(p.drive_c, "Program Files", "Vellicor")
        check("default folder free before the test", os.path.exists(folder), False)
        options = []
    # The next version, from the same files and the same custom actions.
    stage = os.path.join(p.root, "stage")
    with zipfile.ZipFile(p.zip) as z:
        z.extractall(stage)
    stage = os.path.join(stage, f"vellicor-{p.args.version}-win32")
    actions = custom_actions(p.msi, os.path.join(p.root, "actions.dll"))
    later = os.path.join(p.root, "later.msi")
    made = run("/usr/bin/python3", os.path.join(p.args.source, "packaging", "windows", "msi.py"),
               "--stage", stage, "--actions", actions, "--version", "99.0.0",
               "--vendor", "The Vellicor developers", "--output", later,
               *[f"--program={name}" for name in os.listdir(stage) if name.endswith(".exe")])
    check(f"building a later MSI package ({made.stderr.decode()})", made.returncode, 0)
    entries = [rf"{UNINSTALL_KEY[:-len('Vellicor')]}{product_code(msi)}" for msi in (p.msi, later)]

    try:
        msi_steps(p, folder, before, copied, options, later, entries)
    except BaseException:
        # Nothing of a failed case may stay installed for the next.
        for msi in (later, p.msi):
            p.msiexec("/x", msi)
        raise


def check_folder(what, folder, expected):
    """The folder holds exactly `expected` ({name: bytes}), byte for byte."""
    found = contents(folder) or {}
    check(f"{what}: files missing, added or changed",
          sorted(name for name in {*found, *expected} if found.get(name) != expected.get(name)),
          [])


def msi_steps(p, folder, before, copied, options, later, entries):
    check("msiexec's exit status", p.msiexec("/i", p.msi, *options), 0)
    registry = p.registry(*entries)
    installed = check_installed(p, folder, before, MSI_FILES, registry, entries[0])
    check("recorded folder", registry.get(STATE_KEY, {}).get("InstallDir"),
          p.windows(folder) + "\\")
    # Nor does the setup install over the MSI package's files.
    check("setup over the MSI package refused", p.wine(p.setup, "/S").returncode, 2)

    for name, data in copied.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    kept = {**before, **copied}
    if "OUR_IDR.dll" not in kept:
        # An earlier build of our library, known by its version resource.
        with open(os.path.join(folder, "OUR_IDR.dll"), "ab") as library:
            library.write(b"an earlier build")
    installed.update(copied)
    check("upgrade's exit status", p.msiexec("/i", later), 0)
    check_folder("folder after the upgrade", folder, installed)
    # A repair that rewrites every file: what msiexec /famus does (Wine's
    # msiexec has no /f).
    check("repair's exit status", p.msiexec("/i", later, "REINSTALL=ALL", "REINSTALLMODE=amus"), 0)
    check_folder("folder after the repair", folder, installed)
    check("downgrade refused", p.msiexec("/i", p.msi) != 0, True)
    check_folder("folder after the refused downgrade", folder, installed)
    registry = p.registry(*entries)
    check("entries after upgrade and downgrade",
          [registry.get(e, {}).get("DisplayVersion") for e in entries], [None, "99.0.0"])

    check("uninstall's exit status", p.msiexec("/x", later), 0)
    wait_uninstalled(p, folder, kept, *entries)


# The vendor's library has a version resource too, naming its own product.
def vendor_library(p):
    return p.zipped("OUR_IDR.dll").replace("Vellicor".encode("utf-16-le"),
                                           "Acme-IDR".encode("utf-16-le"))


def case_installer(p):
    installer(p, {})
    # A site's settings are never overwritten or removed.
    installer(p, {"OUR_IDR.ini": b"uid_bytes = first4\r\n"})


def case_installer_vendor_library(p):
    installer(p, {"OUR_IDR.dll": vendor_library(p), "notes.txt": b"the user's own file\r\n"})


def case_msi(p):
    msi_package(p, {})


def case_msi_vendor_library(p):
    msi_package(p, {"OUR_IDR.dll": vendor_library(p), "OUR_IDR.ini": b"uid_bytes = first4\r\n",
                    "notes.txt": b"the user's own file\r\n"})


def case_msi_vendor_library_copied(p):
    # A desk that tries the vendor's reader again, once ours is installed.
    msi_package(p, {"OUR_IDR.ini": b"uid_bytes = first4\r\n"},
                {"OUR_IDR.dll": vendor_library(p)})


def second_build(p, name, **env):
    """Runs package.sh on a copy of the tree, as of the last commit's time,
    and returns the folder it wrote the packages into."""
    tree, second = os.path.join(p.root, f"tree-{name}"), os.path.join(p.root, f"dist-{name}")
    listed = run("git", "-C", p.args.source, "ls-files", "-z", "--cached", "--others",
                 "--exclude-standard").stdout.decode().split("\0")
    for path in filter(lambda n: n and os.path.lexists(os.path.join(p.args.source, n)), listed):
        os.makedirs(os.path.dirname(os.path.join(tree, path)), exist_ok=True)
        shutil.copy2(os.path.join(p.args.source, path), os.path.join(tree, path),
                     follow_symlinks=False)
    epoch = os.environ.get("SOURCE_DATE_EPOCH") or run(
        "git", "-C", p.args.source, "log", "-1", "--format=%ct").stdout.decode().strip()
    started = time.monotonic()
    proc = run(os.path.join(tree, "scripts", "package.sh"), second, timeout=1800,
               env={**os.environ, "SOURCE_DATE_EPOCH": epoch, **env})
    check(f"{name} package.sh's exit status ({proc.stderr.decode()})", proc.returncode, 0)
    print(proc.stdout.decode(), end="")
    print(f"{name} build in {time.monotonic() - started:.0f} s")
    return second


def case_reproducible(p):
    second = second_build(p, "second")
    same = {os.path.basename(f): open(f, "rb").read() == open(os.path.join(
        second, os.path.basename(f)), "rb").read() for f in (p.deb, p.zip, p.setup, p.msi)}
    check("packages of a second build elsewhere the same", same, {name: True for name in same})


def case_signed(p):
    """A build given a throwaway certificate signs every Windows file, the MSI
    package's custom actions too; each verifies against it, none with a byte
    changed; the signed packages install."""
    keys = os.path.join(p.root, "keys")
    os.makedirs(keys)
    cert, password = os.path.join(keys, "cert.pem"), os.path.join(keys, "password")
    # Only the first line is the password, whatever its line end.
    with open(password, "wb") as f:
        f.write(b"throwaway\r\nnot the password\n")
    for command in (
            ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
             "-subj", "/CN=Vellicor test signing", "-addext", "extendedKeyUsage=codeSigning",
             "-keyout", os.path.join(keys, "key.pem"), "-out", cert],
            ["openssl", "pkcs12", "-export", "-inkey", os.path.join(keys, "key.pem"), "-in", cert,
             "-out", os.path.join(keys, "cert.p12"), "-passout", "pass:throwaway"]):
        made = run(*command)
        check(f"{command[:2]} ({made.stderr.decode()})", made.returncode, 0)
    dist = second_build(p, "signed", VELLICOR_SIGN_PKCS12=os.path.join(keys, "cert.p12"),
                        VELLICOR_SIGN_PASSWORD_FILE=password)
    files = os.path.join(p.root, "signed")
    with zipfile.ZipFile(os.path.join(dist, os.path.basename(p.zip))) as z:
        z.extractall(files)
    top = os.path.join(files, f"vellicor-{p.args.version}-win32")
    signed = [os.path.join(top, name) for name in os.listdir(top)
              if name.endswith((".exe", ".dll"))]
    setup, msi = (os.path.join(dist, os.path.basename(f)) for f in (p.setup, p.msi))
    # The MSI package's custom actions, kept in the package.
    signed += [setup, msi, custom_actions(msi, os.path.join(files, "vellicor-msi-actions.dll"))]

    folder = os.path.join(p.root, "Vellicor")
    try:
        install_signed(p, folder, setup, msi, files, top)
    except BaseException:
        p.msiexec("/x", msi)
        if os.path.exists(os.path.join(folder, "vellicor-uninstall.exe")):
            p.wine(f"{folder}/vellicor-uninstall.exe", "/S")
        raise
    signed.append(os.path.join(files, "vellicor-uninstall.exe"))

    def verify(path):
        return run("osslsigncode", "verify", "-CAfile", cert, "-in", path).returncode == 0

    tampered = os.path.join(files, "tampered")
    results = {}
    for path in signed:
        data = bytearray(open(path, "rb").read())
        data[len(data) // 2] ^= 0x01
        with open(tampered, "wb") as f:
            f.write(data)
        results[os.path.basename(path)] = (verify(path), verify(tampered))
    check("signatures verified, of the files and with one byte changed", results,
          {name: (True, False) for name in results})


def install_signed(p, folder, setup, msi, files, top):
    # The uninstaller exists only once the setup has run.
    check("signed setup's exit status",
          p.wine(setup, "/S", f"/D={p.windows(folder)}").returncode, 0)
    shutil.copy(os.path.join(folder, "vellicor-uninstall.exe"), files)
    check("uninstaller's exit status", p.wine(f"{folder}/vellicor-uninstall.exe", "/S").returncode,
          0)
    wait_uninstalled(p, folder, {})
    check("signed MSI package's exit status",
          p.msiexec("/i", msi, f"INSTALLDIR={p.windows(folder)}"), 0)
    installed = contents(folder)
    check("signed MSI package's files the zip's", [installed[name] == open(
        os.path.join(top, name), "rb").read() for name in ("vellicor.exe", "OUR_IDR.dll")],
        [True, True])
    check("signed MSI package's uninstall", p.msiexec("/x", msi), 0)


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
