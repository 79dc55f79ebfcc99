#!/usr/bin/env python3
"""Cases for the release packages that scripts/package.sh wrote into DIST.

    packages.py --dist DIST --version VERSION --source TREE --runner WINE_RUNNER
                [--pcscd PATH --driver PATH --usb-drivers PATH] CASE

`build`, the fixture, runs package.sh into DIST with a throwaway extension
key (beside DIST, made once), for which the extension's ID and every host
manifest follow. The installer and the MSI package run silently under Wine,
into a fresh folder or beside a vendor's library, and the MSI package with a
vendor's library copied over ours once installed, and with the browsers'
policies; `reproducible` runs package.sh again on a copy of the tree,
`signed` too, with a throwaway certificate and without the extension key.
The `deb_*` browser cases install the unpacked Debian package in a mount
namespace (tests/web/web_e2e.py) against a private pcscd.
"""

import argparse
import base64
import gzip
import hashlib
import io
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
# The native messaging hosts: each one's program and description.
HOSTS = {"org.vellicor.reader": ("vellicor",
                                 "Vellicor: reads the serial number of a contactless card"),
         "org.vellicor.watch": ("vellicor-watch", "Vellicor: tells a page of each card put on "
                                "or taken off the reader")}
PROGRAMS = ("vellicor", "vellicor-check", "vellicor-watch")
# Each host's manifests as the Windows packages name them beside the programs.
HOST_MANIFESTS = [f"{host}{kind}.json" for host in HOSTS for kind in ("", ".firefox")]
# What the setup's and the MSI package's install leaves in the folder.
SETUP_FILES = {"OUR_IDR.dll", "vellicor-LICENSE.txt", "vellicor-uninstall.exe",
               *[f"{program}.exe" for program in PROGRAMS], *HOST_MANIFESTS}
MSI_FILES = SETUP_FILES - {"vellicor-uninstall.exe"}
# CPack calls ldconfig for any shared object below /usr/lib, even in a folder
# of the program's own: needless, but harmless.
KEPT_LINTIAN_WARNINGS = {"maintscript-calls-ldconfig"}


HOST = "org.vellicor.reader"
# Each browser's key for each host, and the manifest it names.
HOST_KEYS = {rf"HKLM\Software\{browser}\NativeMessagingHosts\{host}": f"{host}{kind}.json"
             for host in HOSTS
             for browser, kind in ((r"Google\Chrome", ""), (r"Microsoft\Edge", ""),
                                   ("Mozilla", ".firefox"))}
HOST_FOLDERS = ["etc/chromium/", "etc/opt/chrome/", "etc/opt/edge/"]
FIREFOX_ID = "reader@vellicor.org"
PROJECT_ID = "dabaoedhkaingdckmlljfkdbmpeannmd"
CHROME_POLICIES = r"HKLM\Software\Policies\Google\Chrome"
EDGE_POLICIES = r"HKLM\Software\Policies\Microsoft\Edge"
FIREFOX_POLICIES = r"HKLM\Software\Policies\Mozilla\Firefox"
PACK = os.path.join(HERE, "..", "..", "packaging", "extension", "pack.py")


def host_manifest(folder, newline, extension_id=None, host=HOST):
    """The host's manifest for Chromium browsers, allowing `extension_id`,
    or with None for Firefox, allowing our add-on; its program in `folder`
    (with .exe where the folder is relative)."""
    program, description = HOSTS[host]
    path = f"{folder}/{program}" if folder else f"{program}.exe"
    allowed = (f'  "allowed_origins": ["chrome-extension://{extension_id}/"]' if extension_id
               else f'  "allowed_extensions": ["{FIREFOX_ID}"]')
    return newline.join([
        "{",
        f'  "name": "{host}",',
        f'  "description": "{description}",',
        f'  "path": "{path}",',
        '  "type": "stdio",',
        allowed,
        "}", ""]).encode()


def web_kit(source, key):
    """{path: bytes} of what every package ships for web pages: the tree's,
    the extension's manifest with `key` in place of its own."""
    kit = {"web/vellicor.js": open(os.path.join(source, "web", "vellicor.js"), "rb").read()}
    top = os.path.join(source, "web", "extension")
    for folder, _, names in os.walk(top):
        for name in names:
            path = os.path.join(folder, name)
            kit["extension/" + os.path.relpath(path, top)] = open(path, "rb").read()
    manifest = kit["extension/manifest.json"]
    kit["extension/manifest.json"] = manifest.replace(
        json.loads(manifest)["key"].encode(), key.encode())
    return kit


def guides(source):
    """{file name: bytes} of the guides (docs/), which the Debian package and
    the zip carry."""
    top = os.path.join(source, "docs")
    return {name: open(os.path.join(top, name), "rb").read()
            for name in sorted(os.listdir(top)) if name.endswith(".md")}


def extension_id(manifest):
    """The ID a Chromium browser gives an extension with this manifest's key."""
    digest = hashlib.sha256(base64.b64decode(json.loads(manifest)["key"])).hexdigest()
    return "".join(chr(ord("a") + int(c, 16)) for c in digest[:32])


def windows_host_manifests(p):
    """{name: bytes} of the Windows packages' host manifests."""
    return {f"{host}{kind}.json": host_manifest(None, "\r\n", extension, host)
            for host in HOSTS for kind, extension in (("", p.extension_id), (".firefox", None))}


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
        # The fixture's throwaway extension key, and the ID it gives.
        self.key_file = os.path.join(os.path.dirname(os.path.abspath(args.dist)), "extension-key.pem")
        self.key = self.extension_id = None
        if os.path.exists(self.key_file):
            self.key = run(sys.executable, PACK, "public-key", "--key-file",
                           self.key_file).stdout.decode().strip()
            self.extension_id = extension_id(json.dumps({"key": self.key}))
        self.release = os.path.join(args.dist, f"vellicor-extension-{args.version}")
        self.root = os.path.realpath(tempfile.mkdtemp(prefix="vellicor-packages-"))
        self.deb = os.path.join(args.dist, f"vellicor_{args.version}_amd64.deb")
        self.zip = os.path.join(args.dist, f"vellicor-{args.version}-win32.zip")
        self.setup = os.path.join(args.dist, f"vellicor-{args.version}-win32-setup.exe")
        self.msi = os.path.join(args.dist, f"vellicor-{args.version}-win32.msi")
        self.drive_c = os.path.join(os.path.dirname(os.path.realpath(args.runner)), "prefix",
                                    "drive_c")

    def extension_env(self):
        """package.sh's settings for the throwaway extension key."""
        return {"VELLICOR_EXTENSION_KEY_FILE": self.key_file,
                "VELLICOR_EXTENSION_PUBLIC_KEY": self.key}

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

    def policy_keys(self):
        """Every key of the browsers' policies that a package may write."""
        return [rf"{CHROME_POLICIES}\ExtensionInstallForcelist",
                rf"{EDGE_POLICIES}\ExtensionInstallForcelist",
                rf"{FIREFOX_POLICIES}\ExtensionSettings\{FIREFOX_ID}",
                rf"{CHROME_POLICIES}\3rdparty\extensions\{self.extension_id}\policy",
                rf"{EDGE_POLICIES}\3rdparty\extensions\{self.extension_id}\policy",
                rf"{FIREFOX_POLICIES}\3rdparty\Extensions"]

    def msiexec(self, *command):
        """msiexec's exit status (its low byte: 1603, failed, is 67)."""
        return self.wine("msiexec", *command, "/qn").returncode

    def registry(self, *more, typed=False):
        """{key: {value name: data}} of those of our keys and `more` that
        exist, read by one Wine process; `typed`, data as (type, data)."""
        keys = [UNINSTALL_KEY, STATE_KEY, *HOST_KEYS, *self.policy_keys(), *more]
        proc = self.wine("cmd", "/c", " & ".join(f"reg query {key}" for key in keys))
        found, values = {}, None
        for line in proc.stdout.decode("gbk", "replace").splitlines():
            if line.startswith("HKEY_"):
                values = found.setdefault(line.strip().upper().replace(
                    "HKEY_LOCAL_MACHINE", "HKLM"), {})
            elif values is not None and (
                    value := re.match(r"^\s+(\S.*?)\s+(REG_\w+)\s+(.*?)\s*$", line)):
                values[value[1]] = (value[2], value[3]) if typed else value[3]
        return {key: found[key.upper()] for key in keys if key.upper() in found}


def case_build(p):
    """The fixture: the packages, with a throwaway extension key made once."""
    if not os.path.exists(p.key_file):
        made = run("openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
                   "-out", p.key_file)
        check(f"a throwaway extension key ({made.stderr.decode()})", made.returncode, 0)
        p.__init__(p.args)
    proc = subprocess.run([os.path.join(p.args.source, "scripts", "package.sh"), p.args.dist],
                          stdin=subprocess.DEVNULL, check=False, timeout=1800,
                          env={**os.environ, **p.extension_env()})
    check("package.sh's exit status", proc.returncode, 0)


def case_deb(p):
    entries = sorted(" ".join(line.split()[:2] + line.split()[5:])
                     for line in run("dpkg-deb", "-c", p.deb).stdout.decode().splitlines())
    kit = {"usr/share/vellicor/" + name: data
           for name, data in web_kit(p.args.source, p.key).items()}
    # Each host's manifest for Chromium browsers and Firefox's, with its link.
    hosts = {f"{folder}native-messaging-hosts/{host}.json": (host, p.extension_id)
             for host in HOSTS for folder in HOST_FOLDERS}
    firefox_hosts = {f"etc/vellicor/firefox/{host}.json": (host, None) for host in HOSTS}
    firefox_links = {f"usr/lib/mozilla/native-messaging-hosts/{host}.json":
                     f"/etc/vellicor/firefox/{host}.json" for host in HOSTS}
    external = [f"usr/share/{browser}/extensions/{p.extension_id}.json"
                for browser in ("chromium", "google-chrome", "microsoft-edge")]
    docs = {f"usr/share/doc/vellicor/{name}": data for name, data in guides(p.args.source).items()}
    files = ["usr/lib/vellicor/OUR_IDR.dll", "usr/share/doc/vellicor/changelog.gz",
             "usr/share/doc/vellicor/copyright", "usr/share/man/man1/vellicor.1.gz",
             "usr/share/man/man1/vellicor-check.1.gz", "usr/share/man/man1/vellicor-watch.1.gz",
             "usr/share/man/man8/vellicor-firefox-policy.8.gz",
             "usr/share/lintian/overrides/vellicor", "etc/vellicor/OUR_IDR.ini", *hosts,
             *firefox_hosts, "usr/share/vellicor/vellicor-extension.crx",
             "usr/share/vellicor/vellicor-extension.xpi", *external, *kit, *docs]
    folders = set()
    for name in files + ["usr/bin/vellicor", "usr/sbin/vellicor-firefox-policy", *firefox_links]:
        parts = name.split("/")[:-1]
        folders.update("".join(f"{part}/" for part in parts[:i]) for i in range(1, len(parts) + 1))
    check("file list", entries, sorted(
        [f"drwxr-xr-x root/root ./{f}" for f in folders]
        + [f"-rw-r--r-- root/root ./{f}" for f in files]
        + [f"-rwxr-xr-x root/root ./usr/lib/vellicor/{f}" for f in PROGRAMS]
        + ["-rwxr-xr-x root/root ./usr/sbin/vellicor-firefox-policy"]
        + [f"lrwxrwxrwx root/root ./usr/bin/{f} -> ../lib/vellicor/{f}" for f in PROGRAMS]
        + [f"lrwxrwxrwx root/root ./{link} -> {to}" for link, to in firefox_links.items()]))
    conffiles = run("dpkg-deb", "-I", p.deb, "conffiles").stdout.decode().split()
    check("conffiles", sorted(conffiles),
          sorted(["/etc/vellicor/OUR_IDR.ini"] + ["/" + h for h in [*hosts, *firefox_hosts]]))
    root = p.unpacked_deb()
    version = json.loads(kit["usr/share/vellicor/extension/manifest.json"])["version"]
    shipped = {name: open(os.path.join(root, name), "rb").read()
               for name in [*hosts, *firefox_hosts, *external, *kit, *docs]}
    check("host manifests, external-extension files, web kit and guides", shipped, {
        **{name: host_manifest("/usr/lib/vellicor", "\n", extension, host)
           for name, (host, extension) in {**hosts, **firefox_hosts}.items()},
        **{name: b'{\n  "external_crx": "/usr/share/vellicor/vellicor-extension.crx",\n'
                 b'  "external_version": "%s"\n}\n' % version.encode() for name in external},
        **kit, **docs})
    check("the extension's ID, from its key", extension_id(kit[
        "usr/share/vellicor/extension/manifest.json"]), p.extension_id)
    check("the packaged .crx and .xpi the released ones",
          [open(os.path.join(root, "usr/share/vellicor", f"vellicor-extension.{kind}"), "rb").read()
           == open(f"{p.release}.{kind}", "rb").read() for kind in ("crx", "xpi")], [True, True])
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
         "Depends": ["libc6", "libpcsclite1", "python3"], "Recommends": "pcscd, libccid",
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
    kit = web_kit(p.args.source, p.key)
    # The guides with Windows line ends, as every text beside the program.
    docs = {f"docs/{name}": data.replace(b"\n", b"\r\n")
            for name, data in guides(p.args.source).items()}
    programs = [f"{program}.exe" for program in PROGRAMS]
    with zipfile.ZipFile(p.zip) as z:
        names = ("LICENSE.txt", "OUR_IDR.dll", "README.txt", *programs, *HOST_MANIFESTS, *kit,
                 *docs)
        check("file list", sorted(n for n in z.namelist() if not n.endswith("/")),
              sorted(f"vellicor-{p.args.version}-win32/{name}" for name in names))
    check("host manifests, web kit and guides",
          {name: p.zipped(name) for name in [*HOST_MANIFESTS, *kit, *docs]},
          {**windows_host_manifests(p), **kit, **docs})
    for name in (*programs, "OUR_IDR.dll"):
        data = p.zipped(name)
        # The COFF header's count of symbols: none once stripped.
        header = struct.unpack_from("<I", data, 0x3C)[0]
        check(f"{name}'s symbols", struct.unpack_from("<I", data, header + 16)[0], 0)


def proto_fields(data):
    """{field number: [bytes]} of a protobuf message's length-delimited fields."""
    def varint(at):
        value = shift = 0
        while True:
            byte = data[at]
            value |= (byte & 0x7F) << shift
            at, shift = at + 1, shift + 7
            if byte < 0x80:
                return value, at
    fields, at = {}, 0
    while at < len(data):
        tag, at = varint(at)
        if tag & 7 != 2:
            raise Failure(f"protobuf field {tag >> 3} of wire type {tag & 7}")
        length, at = varint(at)
        fields.setdefault(tag >> 3, []).append(data[at:at + length])
        at += length
    return fields


def case_extension_files(p):
    """The release files: a CRX3 file whose one proof is the throwaway key's
    and verifies over the archive, which holds the staged extension, as the
    XPI does; the update manifest names the ID, version and placeholder;
    SHA256SUMS lists every file."""
    crx = open(f"{p.release}.crx", "rb").read()
    check("CRX magic and version", crx[:8], b"Cr24\x03\x00\x00\x00")
    header_length = struct.unpack_from("<I", crx, 8)[0]
    header = proto_fields(crx[12:12 + header_length])
    archive = crx[12 + header_length:]
    check("CRX header's fields", sorted(header), [2, 10000])
    [proof] = header[2]
    proof = proto_fields(proof)
    key, signature = proof[1][0], proof[2][0]
    check("the proof's key", base64.b64encode(key).decode(), p.key)
    signed_data = header[10000][0]
    check("signed header data: the crx_id", proto_fields(signed_data),
          {1: [hashlib.sha256(key).digest()[:16]]})
    keys = os.path.join(p.root, "keys")
    os.makedirs(keys)
    for name, data in (("key.der", key), ("signature", signature), ("signed", (
            b"CRX3 SignedData\x00" + struct.pack("<I", len(signed_data)) + signed_data
            + archive))):
        with open(os.path.join(keys, name), "wb") as f:
            f.write(data)
    verified = run("openssl", "dgst", "-sha256", "-keyform", "DER", "-verify",
                   os.path.join(keys, "key.der"), "-signature", os.path.join(keys, "signature"),
                   os.path.join(keys, "signed"))
    check("the CRX signature verifies", verified.stdout.decode().strip(), "Verified OK")
    kit = {name[len("extension/"):]: data for name, data in web_kit(p.args.source, p.key).items()
           if name.startswith("extension/")}
    xpi = open(f"{p.release}.xpi", "rb").read()
    for what, data in (("CRX archive", archive), ("XPI", xpi)):
        with zipfile.ZipFile(io.BytesIO(data)) as z:
            check(f"{what}'s files", {i.filename: z.read(i) for i in z.infolist()}, kit)
            check(f"{what}'s order, times and modes",
                  [(i.filename, i.date_time, i.external_attr >> 16) for i in z.infolist()],
                  [(name, z.infolist()[0].date_time, 0o100644) for name in sorted(kit)])
    version = json.loads(kit["manifest.json"])["version"]
    check("update manifest", open(f"{p.release}.xml", "rb").read(), (
        "<?xml version='1.0' encoding='UTF-8'?>\n"
        "<gupdate xmlns='http://www.google.com/update2/response' protocol='2.0'>\n"
        f"  <app appid='{p.extension_id}'>\n"
        '    <updatecheck codebase="https://replace-with-your-server.invalid/vellicor/'
        f'vellicor-extension-{p.args.version}.crx" version="{version}"/>\n'
        "  </app>\n</gupdate>\n").encode())
    sums = open(os.path.join(p.args.dist, "SHA256SUMS")).read().split("\n")
    listed = {line.split()[1]: line.split()[0] for line in sums if line}
    names = [os.path.basename(f) for f in (p.deb, p.zip, p.setup, p.msi)] + [
        f"vellicor-extension-{p.args.version}.{kind}" for kind in ("xpi", "crx", "xml")]
    check("SHA256SUMS", listed, {name: hashlib.sha256(open(os.path.join(
        p.args.dist, name), "rb").read()).hexdigest() for name in names})


def case_extension_key_refused(p):
    """A release key that is not the extension's is refused, naming the ID
    it would give, before anything is built; so is a bad URL."""
    other = os.path.join(p.root, "other.pem")
    check("another key", run("openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt",
                             "rsa_keygen_bits:2048", "-out", other).returncode, 0)
    other_id = run(sys.executable, PACK, "check-key", "--key-file", other, "--key",
                   run(sys.executable, PACK, "public-key", "--key-file",
                       other).stdout.decode().strip()).stdout.decode().strip()
    encrypted = os.path.join(p.root, "encrypted.pem")
    run("openssl", "pkey", "-in", p.key_file, "-aes256", "-passout", "pass:secret", "-out",
        encrypted)
    dist = os.path.join(p.root, "dist")
    for env, expected in (
            ({"VELLICOR_EXTENSION_KEY_FILE": other},
             f"it would give the extension the ID {other_id}, but the manifest's key gives "
             f"{PROJECT_ID}"),
            ({**p.extension_env(), "VELLICOR_EXTENSION_KEY_FILE": other},
             f"it would give the extension the ID {other_id}, but the manifest's key gives "
             f"{p.extension_id}"),
            ({**p.extension_env(), "VELLICOR_EXTENSION_KEY_FILE": encrypted},
             "is not an unencrypted private key in PEM"),
            ({**p.extension_env(), "VELLICOR_EXTENSION_KEY_FILE": os.path.join(p.root, "none")},
             "is not a readable file"),
            ({"VELLICOR_EXTENSION_URL": "https://example.com/a folder/"},
             "is not an http or https URL of a folder")):
        proc = run(os.path.join(p.args.source, "scripts", "package.sh"), dist, timeout=60,
                   env={**os.environ, **env})
        check(f"package.sh with {env}: exit status", proc.returncode, 1)
        check(f"package.sh with {env}: says why", expected in proc.stderr.decode(), True)
        check(f"package.sh with {env}: built nothing", os.path.exists(dist), False)


def case_firefox_policy(p):
    """The administrator's step for Firefox: adds our entry to an absent or
    a parseable policies file, keeping the rest; takes it out again; leaves
    a file it cannot take as it is, byte for byte."""
    root = p.unpacked_deb()
    command = os.path.join(root, "usr/sbin/vellicor-firefox-policy")
    folder = os.path.join(p.root, "policies")
    xpi = f"file://{root}/usr/share/vellicor/vellicor-extension.xpi"

    def ours(url):
        return {"installation_mode": "force_installed", "install_url": url}
    # Our add-on is unsigned: the preference that lets Firefox ESR take it.
    unsigned = {"Preferences": {"xpinstall.signatures.required": {"Value": False,
                                                                  "Status": "locked"}}}
    origins = {"allowedOrigins": ["https://desk.example.com", "http://localhost:8080"]}
    theirs = {"DisableTelemetry": True, "ExtensionSettings": {"*": {"installation_mode": "blocked"}},
              "3rdparty": {"Extensions": {"other@example.org": {"a": 1}}}}
    allow = ["--allow", "https://desk.example.com", "--allow", "http://localhost:8080/"]
    elsewhere = "https://intranet.example.com/v.xpi"
    for name, before, options, after in (
            ("absent", None, [*allow, "--install-url", xpi],
             {"policies": {"ExtensionSettings": {FIREFOX_ID: ours(xpi)},
                           "3rdparty": {"Extensions": {FIREFOX_ID: origins}}, **unsigned}}),
            ("theirs", {"policies": theirs}, [*allow, "--install-url", elsewhere],
             {"policies": {**theirs, "ExtensionSettings": {"*": {"installation_mode": "blocked"},
                                                           FIREFOX_ID: ours(elsewhere)},
                           "3rdparty": {"Extensions": {"other@example.org": {"a": 1},
                                                       FIREFOX_ID: origins}}}}),
            ("removed", {"policies": {**theirs, **unsigned, "ExtensionSettings": {
                "*": {"installation_mode": "blocked"}, FIREFOX_ID: ours(xpi)}}}, ["--remove"],
             {"policies": {**theirs, **unsigned}}),
            ("unsigned elsewhere", {"policies": {}},
             ["--allow-unsigned", "--install-url", elsewhere],
             {"policies": {"ExtensionSettings": {FIREFOX_ID: ours(elsewhere)}, **unsigned}})):
        path = os.path.join(folder, name, "policies.json")
        if before is not None:
            os.makedirs(os.path.dirname(path))
            with open(path, "w", encoding="utf-8") as f:
                json.dump(before, f)
            os.chmod(path, 0o640)
        proc = run(command, "--file", path, *options)
        check(f"{name}: exit status ({proc.stderr.decode()})", proc.returncode, 0)
        check(f"{name}: the file", json.load(open(path, encoding="utf-8")), after)
        check(f"{name}: its mode", os.stat(path).st_mode & 0o777, 0o644 if before is None else 0o640)
    for name, data, why in (
            ("not JSON", b'{"policies": {"DisableTelemetry": true,}}', "is not JSON"),
            ("a key twice", b'{"policies": {"ExtensionSettings": {}, "ExtensionSettings": {}}}',
             "appears twice"),
            ("not policies", b'{"policies": ["DisableTelemetry"]}', 'an object "policies"'),
            ("ExtensionSettings a list", b'{"policies": {"ExtensionSettings": []}}',
             '"ExtensionSettings" is not an object'),
            ("not UTF-8", b'{"policies": {"Homepage": "\xff"}}', "not UTF-8")):
        path = os.path.join(folder, "kept.json")
        with open(path, "wb") as f:
            f.write(data)
        proc = run(command, "--file", path, *allow)
        check(f"{name}: exit status", proc.returncode, 1)
        check(f"{name}: says why ({proc.stderr.decode()})", why in proc.stderr.decode(), True)
        check(f"{name}: the file byte for byte", open(path, "rb").read(), data)
        check(f"{name}: no file beside it", os.listdir(folder).count("kept.json"), 1)
    proc = run(command, "--file", path, "--allow", "http://desk.example.com")
    check("an origin the extension cannot allow refused", proc.returncode, 2)


def installed_in_browser(p, browser, case):
    """web_e2e.py's installed case in `browser`, on the unpacked package,
    against a private pcscd whose card the package's program reads."""
    a = p.args
    if not all(path and os.path.exists(path) for path in (a.pcscd, a.driver)):
        raise Skip("reading a card needs pcscd and vpcd's driver: run scripts/setup-debian.sh")
    executable = {"chromium": "/usr/bin/chromium", "firefox": "/usr/bin/firefox-esr"}[browser]
    if not os.path.exists(executable):
        raise Skip(f"no {executable}: run scripts/setup-debian.sh")
    root = p.unpacked_deb()
    program = os.path.join(root, "usr/lib/vellicor/vellicor")
    proc = run(sys.executable, os.path.join(HERE, "..", "pcsc", "pcsc_daemon.py"),
               "--pcscd", a.pcscd, "--driver", a.driver, "--usb-drivers", a.usb_drivers or "",
               "--uid", "12345678", "--", sys.executable,
               os.path.join(HERE, "..", "web", "web_e2e.py"), "--exe", program,
               "--reader", os.path.join(root, "usr/lib/vellicor/OUR_IDR.dll"),
               "--browser", browser, "--installed", root, "--release", a.dist,
               "--version", a.version, "--card", "305419896", case, timeout=300)
    print(proc.stdout.decode(), end="")
    check(f"{case} in {browser} ({proc.stderr.decode()[-2000:]})", proc.returncode, 0)


def case_deb_chromium(p):
    installed_in_browser(p, "chromium", "installed")


def case_deb_chromium_forcelist(p):
    installed_in_browser(p, "chromium", "installed_forcelist")


def case_deb_firefox(p):
    installed_in_browser(p, "firefox", "installed")


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
    check("host manifests", {name: installed[name] for name in HOST_MANIFESTS},
          windows_host_manifests(p))
    check("installed program's output", p.wine(f"{folder}/vellicor.exe").stdout, frame(NO_READER))
    values = registry.get(entry, {})
    check("Add/Remove Programs entry's version and folder",
          [values.get("DisplayVersion"), values.get("InstallLocation", "").rstrip("\\")],
          [p.args.version, p.windows(folder)])
    manifests = [list(registry.get(key, {}).values()) for key in HOST_KEYS]
    check("host keys' values", manifests,
          [[rf"{p.windows(folder)}\{manifest}"] for manifest in HOST_KEYS.values()])
    for key, [manifest] in zip(HOST_KEYS, manifests):
        manifest = p.unix(manifest)
        program = os.path.join(os.path.dirname(manifest), json.load(open(manifest))["path"])
        check(f"the program {manifest} names", open(program, "rb").read(),
              installed[HOSTS[key.split("\\")[-1]][0] + ".exe"])
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


def later_msi(p):
    """The next version of the MSI package, from the same files and the same
    custom actions."""
    stage = os.path.join(p.root, "stage")
    with zipfile.ZipFile(p.zip) as z:
        z.extractall(stage)
    stage = os.path.join(stage, f"vellicor-{p.args.version}-win32")
    actions = custom_actions(p.msi, os.path.join(p.root, "actions.dll"))
    later = os.path.join(p.root, "later.msi")
    host_keys = [f"--host-key={key[len('HKLM') + 1:]}|{manifest}"
                 for key, manifest in HOST_KEYS.items()]
    made = run("/usr/bin/python3", os.path.join(p.args.source, "packaging", "windows", "msi.py"),
               "--stage", stage, "--actions", actions, "--version", "99.0.0",
               "--vendor", "The Vellicor developers", "--output", later,
               "--extension-id", p.extension_id, "--firefox-id", FIREFOX_ID, *host_keys,
               *[f"--program={name}" for name in os.listdir(stage) if name.endswith(".exe")])
    check(f"building a later MSI package ({made.stderr.decode()})", made.returncode, 0)
    return later


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
    later = later_msi(p)
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


# The browsers' policies as an administrator gives them, and those of the
# administrator's own that were there before, which must stay.
UPDATE_URL = "https://intranet.example.com/vellicor/updates.xml"
XPI_URL = "https://intranet.example.com/vellicor/vellicor-extension.xpi"
ORIGINS = ["https://desk.example.com", "http://localhost:8080"]


def admin_policies(p):
    return {rf"{CHROME_POLICIES}\ExtensionInstallForcelist": {
                "1": ("REG_SZ", "abc;https://example.com/u")},
            rf"{FIREFOX_POLICIES}\3rdparty\Extensions": {"other@example.org": ("REG_SZ", "{}")}}


def written_policies(p):
    """{key: {name: (type, data)}} the policies write, as reg query shows
    them: Firefox's entry for the add-on a REG_MULTI_SZ of that one string,
    every other a REG_SZ."""
    origins = json.dumps(ORIGINS, separators=(",", ":"))
    firefox = json.dumps({"allowedOrigins": ORIGINS}, separators=(",", ":"))
    values = {
        **{rf"{browser}\ExtensionInstallForcelist": {"4242": f"{p.extension_id};{UPDATE_URL}"}
           for browser in (CHROME_POLICIES, EDGE_POLICIES)},
        rf"{FIREFOX_POLICIES}\ExtensionSettings\{FIREFOX_ID}": {
            "installation_mode": "force_installed", "install_url": XPI_URL},
        **{rf"{browser}\3rdparty\extensions\{p.extension_id}\policy": {"allowedOrigins": origins}
           for browser in (CHROME_POLICIES, EDGE_POLICIES)}}
    typed = {key: {name: ("REG_SZ", data) for name, data in found.items()}
             for key, found in values.items()}
    typed[rf"{FIREFOX_POLICIES}\3rdparty\Extensions"] = {FIREFOX_ID: ("REG_MULTI_SZ", firefox)}
    return with_admin(p, typed)


def with_admin(p, values):
    """`values` beside the administrator's own, in the same keys."""
    merged = {key: dict(found) for key, found in admin_policies(p).items()}
    for key, found in values.items():
        merged.setdefault(key, {}).update(found)
    return merged


def set_admin_policies(p, present):
    """Writes the administrator's policies, or deletes their keys whole."""
    for key, values in admin_policies(p).items():
        if not present:
            p.wine("reg", "delete", key, "/f")
        for name, (kind, data) in values.items() if present else ():
            command = ["reg", "add", key, "/v", name, "/t", kind, "/d", data, "/f"]
            check(f"{command[:2]} {key}", p.wine(*command).returncode, 0)


def check_firefox_entry(p):
    """Firefox's entry for the add-on, byte for byte as reg export shows it:
    the one string and the list's closing NUL, in UTF-16."""
    exported = os.path.join(p.drive_c, "vellicor-export.reg")
    proc = p.wine("reg", "export", rf"{FIREFOX_POLICIES}\3rdparty\Extensions",
                  p.windows(exported), "/y")
    check("reg export's exit status", proc.returncode, 0)
    with open(exported, encoding="utf-16") as f:
        text = f.read()
    os.remove(exported)
    found = re.search(rf'^"{re.escape(FIREFOX_ID)}"=hex\(7\):([0-9a-f,\\\s]*)', text, re.M)
    entry = json.dumps({"allowedOrigins": ORIGINS}, separators=(",", ":"))
    check("Firefox's entry's bytes", found and bytes.fromhex(re.sub(r"[^0-9a-f]", "", found[1])),
          (entry + "\0\0").encode("utf-16-le"))


def policy_registry(p, *more):
    return {key: values for key, values in p.registry(*more, typed=True).items()
            if key in p.policy_keys()}


def case_msi_policies(p):
    """The MSI package's policy properties: each refused when the browsers
    would not take it, with nothing installed; written beside the
    administrator's own policies; kept by an upgrade that does not give them
    again; removed by the uninstall, exactly: the administrator's stay."""
    set_admin_policies(p, True)
    later = later_msi(p)
    try:
        for bad in ("EXTENSION_UPDATE_URL=ftp://intranet.example.com/u.xml",
                    "FIREFOX_INSTALL_URL=https://intranet.example.com/a b.xpi",
                    "ALLOWED_ORIGINS=https://desk.example.com http://desk.example.com",
                    "ALLOWED_ORIGINS=https://desk.example.com/app"):
            check(f"msiexec with {bad}: refused", p.msiexec("/i", p.msi, bad) != 0, True)
            check(f"policies after {bad}", policy_registry(p), admin_policies(p))
            check(f"nothing installed after {bad}", p.registry().get(STATE_KEY), None)
        check("msiexec's exit status", p.msiexec(
            "/i", p.msi, f"EXTENSION_UPDATE_URL={UPDATE_URL}", f"FIREFOX_INSTALL_URL={XPI_URL}",
            f"ALLOWED_ORIGINS={ORIGINS[0]};{ORIGINS[1].upper()}/"), 0)
        written = written_policies(p)
        check("policies written", policy_registry(p), written)
        check_firefox_entry(p)
        check("upgrade's exit status", p.msiexec("/i", later), 0)
        check("policies after the upgrade", policy_registry(p), written)
        check("uninstall's exit status", p.msiexec("/x", later), 0)
        check("policies after the uninstall", policy_registry(p), admin_policies(p))
    finally:
        for msi in (later, p.msi):
            p.msiexec("/x", msi)
        set_admin_policies(p, False)
    check("no policies left", policy_registry(p), {})


def case_installer_policies(p):
    """The setup's policy options, as the MSI package's properties: refused
    when the browsers would not take them; written beside the
    administrator's own; removed by the uninstaller, exactly."""
    set_admin_policies(p, True)
    folder = prepared(p, {})
    try:
        for bad in ("/EXTENSION_UPDATE_URL=ftp://intranet.example.com/u.xml",
                    "/ALLOWED_ORIGINS=https://desk.example.com,http://desk.example.com"):
            check(f"setup with {bad}: exit status",
                  p.wine(p.setup, "/S", bad, f"/D={p.windows(folder)}").returncode, 2)
            check(f"policies after {bad}", policy_registry(p), admin_policies(p))
        p.install(f"/EXTENSION_UPDATE_URL={UPDATE_URL}", f"/FIREFOX_INSTALL_URL={XPI_URL}",
                  f"/ALLOWED_ORIGINS={','.join(ORIGINS)}/", f"/D={p.windows(folder)}")
        check("policies written", policy_registry(p), written_policies(p))
        check_firefox_entry(p)
        uninstalled = p.wine(f"{folder}/vellicor-uninstall.exe", "/S")
        check("uninstaller's exit status", uninstalled.returncode, 0)
        # The uninstaller finishes in a copy of itself.
        deadline = time.monotonic() + 60
        while contents(folder) is not None or UNINSTALL_KEY in p.registry():
            if time.monotonic() > deadline:
                raise Failure(f"after uninstalling: {sorted(contents(folder) or [])}, "
                              f"{p.registry().get(UNINSTALL_KEY)}")
            time.sleep(0.5)
        check("policies after the uninstall", policy_registry(p), admin_policies(p))
    finally:
        if os.path.exists(os.path.join(folder, "vellicor-uninstall.exe")):
            p.wine(f"{folder}/vellicor-uninstall.exe", "/S")
        set_admin_policies(p, False)


def copy_tree(p, tree):
    """Copies the tree's files as git sees them (no build folders) to `tree`."""
    listed = run("git", "-C", p.args.source, "ls-files", "-z", "--cached", "--others",
                 "--exclude-standard").stdout.decode().split("\0")
    for path in filter(lambda n: n and os.path.lexists(os.path.join(p.args.source, n)), listed):
        os.makedirs(os.path.dirname(os.path.join(tree, path)), exist_ok=True)
        shutil.copy2(os.path.join(p.args.source, path), os.path.join(tree, path),
                     follow_symlinks=False)


def second_build(p, name, **env):
    """Runs package.sh on a copy of the tree, as of the last commit's time,
    and returns the folder it wrote the packages into."""
    tree, second = os.path.join(p.root, f"tree-{name}"), os.path.join(p.root, f"dist-{name}")
    copy_tree(p, tree)
    epoch = os.environ.get("SOURCE_DATE_EPOCH") or run(
        "git", "-C", p.args.source, "log", "-1", "--format=%ct").stdout.decode().strip()
    started = time.monotonic()
    proc = run(os.path.join(tree, "scripts", "package.sh"), second, timeout=1800,
               env={**os.environ, "SOURCE_DATE_EPOCH": epoch, **env})
    check(f"{name} package.sh's exit status ({proc.stderr.decode()})", proc.returncode, 0)
    print(proc.stdout.decode(), end="")
    print(f"{name} build in {time.monotonic() - started:.0f} s")
    return second, proc.stdout.decode()


def case_reproducible(p):
    second, _ = second_build(p, "second", **p.extension_env())
    release = [f"{p.release}.{kind}" for kind in ("xpi", "crx", "xml")]
    same = {os.path.basename(f): open(f, "rb").read() == open(os.path.join(
        second, os.path.basename(f)), "rb").read()
        for f in (p.deb, p.zip, p.setup, p.msi, *release, os.path.join(p.args.dist, "SHA256SUMS"))}
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
    # Without the extension's key: no .crx, and the manifest's own ID.
    dist, said = second_build(p, "signed", VELLICOR_SIGN_PKCS12=os.path.join(keys, "cert.p12"),
                              VELLICOR_SIGN_PASSWORD_FILE=password)
    check("the line saying there is no .crx",
          "package.sh: no VELLICOR_EXTENSION_KEY_FILE, so no .crx is made" in said.splitlines(), True)
    check("extension files without the key", sorted(
        name for name in os.listdir(dist) if name.startswith("vellicor-extension")),
        [f"vellicor-extension-{p.args.version}.xpi"])
    with zipfile.ZipFile(os.path.join(dist, os.path.basename(p.zip))) as z:
        check("the host manifest without the key's ID", z.read(
            f"vellicor-{p.args.version}-win32/{HOST}.json"),
            host_manifest(None, "\r\n", PROJECT_ID))
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


def readme_demo(source):
    """The README's first command (its first code block's first command line)
    and the output it shows for it (its second code block)."""
    with open(os.path.join(source, "README.md"), encoding="utf-8") as f:
        blocks = re.findall(r"^```[a-z]*\n(.*?)^```", f.read(), re.M | re.S)
    command = next(line for line in blocks[0].splitlines() if line and not line.startswith("#"))
    return command, blocks[1]


def debian_mirror():
    """The machine's own Debian mirror, which a fresh root is made from."""
    try:
        with open("/etc/apt/sources.list.d/debian.sources") as f:
            return re.search(r"^URIs:\s*(\S+)", f.read(), re.M).group(1)
    except (OSError, AttributeError):
        return "http://deb.debian.org/debian"


def case_demo_fresh_root(p):
    """The README's first command in a fresh Debian 12 minimal root, as a
    newcomer runs it: it installs what it needs itself, builds and prints
    exactly what the README shows."""
    if os.geteuid() != 0 or not shutil.which("debootstrap"):
        raise Skip("a fresh root needs root and debootstrap: run scripts/setup-debian.sh")
    root = os.path.join(p.root, "fresh")
    made = run("debootstrap", "--variant=minbase", "bookworm", root, debian_mirror(), timeout=900)
    check(f"debootstrap's exit status ({made.stderr.decode()[-2000:]})", made.returncode, 0)
    copy_tree(p, os.path.join(root, "root", "vellicor"))
    shutil.copy("/etc/resolv.conf", os.path.join(root, "etc", "resolv.conf"))
    command, shown = readme_demo(p.args.source)
    started = time.monotonic()
    # /proc for the build, in a mount namespace that goes away with it.
    demo = run("unshare", "--mount", "sh", "-c",
               'mount -t proc proc "$1/proc" && exec chroot "$1" sh -c "cd /root/vellicor && $2"',
               "sh", root, command, timeout=900)
    print(f"set-up, build and demo in {time.monotonic() - started:.0f} s")
    check(f"the README's first command ({demo.stderr.decode()[-2000:]})",
          (demo.returncode, demo.stdout.decode()), (0, shown))


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
