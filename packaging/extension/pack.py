#!/usr/bin/env python3
"""Packs the browser extension for release: the extension staged with the
build's key, a CRX3 file signed with the release key and its update
manifest for Chromium, Google Chrome and Microsoft Edge, and an XPI for
Firefox. Python's standard library and the openssl command, nothing else.

    pack.py id --manifest MANIFEST [--key BASE64]
    pack.py public-key --key-file KEY.pem
    pack.py check-key --key-file KEY.pem (--manifest MANIFEST | --key BASE64)
    pack.py check-xpi --xpi FILE --manifest MANIFEST
    pack.py build --source DIR --output DIR --name NAME [--key BASE64]
                  [--key-file KEY.pem] [--url URL]

The extension's ID in Chromium browsers follows from the public key in its
manifest (`key`, base64 of the DER SubjectPublicKeyInfo): web/extension/
manifest.json carries the project's, and the build may be given another
(--key), which the staged manifest then carries. A .crx must be signed with
the private half of that key; any other key would give the extension another
ID, which the host manifests do not allow, so it is refused.

Every archive is made the same way from the same files: members sorted by
name, each with one time (SOURCE_DATE_EPOCH, else 1980-01-01), one mode and
deflated at level 9; RSA PKCS#1 v1.5 signatures are deterministic, so the
same inputs give the same bytes.
"""

import argparse
import base64
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
from xml.sax.saxutils import quoteattr

# The DER of the rsaEncryption algorithm identifier, which an RSA key's
# SubjectPublicKeyInfo begins with (after its outer SEQUENCE headers).
RSA_ALGORITHM = bytes.fromhex("06092a864886f70d0101010500")
# What a CRX3 signature covers before the header data and the archive.
CRX3_CONTEXT = b"CRX3 SignedData\x00"
# Where an administrator's own server goes; the install guide says to replace it.
PLACEHOLDER_URL = "https://replace-with-your-server.invalid/vellicor/"


class Refused(Exception):
    pass


def chromium_id(public_key):
    """The ID a Chromium browser gives an extension with this public key (DER)."""
    return "".join(chr(ord("a") + int(c, 16)) for c in hashlib.sha256(public_key).hexdigest()[:32])


def manifest_key(manifest_path):
    with open(manifest_path, encoding="utf-8") as f:
        return json.load(f)["key"]


def decoded_key(text):
    try:
        key = base64.b64decode(text, validate=True)
    except ValueError:
        raise Refused(f"the extension's key {text[:16]!r}… is not base64") from None
    if RSA_ALGORITHM not in key[:24]:
        raise Refused("the extension's key is not an RSA public key (DER SubjectPublicKeyInfo)")
    return key


def openssl(*arguments, data=None):
    proc = subprocess.run(["openssl", *arguments], input=data, capture_output=True, check=False)
    if proc.returncode != 0:
        raise Refused(proc.stderr.decode(errors="replace").strip().splitlines()[0]
                      if proc.stderr.strip() else f"openssl {arguments[0]} failed")
    return proc.stdout


def key_file_public_key(key_file):
    """The public half (DER) of an unencrypted RSA private key in PEM."""
    if not os.path.isfile(key_file) or not os.access(key_file, os.R_OK):
        raise Refused(f"the extension's release key {key_file} is not a readable file")
    try:
        # An empty password: an encrypted key fails here instead of asking for one.
        public = openssl("pkey", "-in", key_file, "-passin", "pass:", "-pubout", "-outform", "DER")
    except Refused as why:
        raise Refused(f"{key_file} is not an unencrypted private key in PEM ({why})") from None
    if RSA_ALGORITHM not in public[:24]:
        raise Refused(f"{key_file} is not an RSA key: Chromium browsers' extensions are signed "
                      "with RSA")
    return public


def check_key(key_file, expected):
    """Refuses a release key whose public half is not `expected` (base64)."""
    public = key_file_public_key(key_file)
    wanted = decoded_key(expected)
    if public != wanted:
        raise Refused(
            f"the release key {key_file} is not the extension's: it would give the extension "
            f"the ID {chromium_id(public)}, but the manifest's key gives {chromium_id(wanted)}, "
            "the ID the host manifests allow. Sign with the private key behind the manifest's "
            "key, or build for an ID of your own with VELLICOR_EXTENSION_PUBLIC_KEY set to "
            "this key's public half (pack.py public-key).")
    return public


def source_files(source):
    """{archive name: path} of a folder's files, every one of them."""
    files = {}
    for folder, dirs, names in os.walk(source):
        dirs.sort()
        for name in names:
            path = os.path.join(folder, name)
            files[os.path.relpath(path, source).replace(os.sep, "/")] = path
    return files


def zip_time():
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH") or 0)
    # Zip times are local times from 1980 on, without a zone: the UTC one.
    return time.gmtime(epoch)[:6] if epoch >= 315532800 else (1980, 1, 1, 0, 0, 0)


def archive(files):
    """A zip of {name: bytes}, the same bytes for the same files."""
    buffer = io.BytesIO()
    stamp = zip_time()
    with zipfile.ZipFile(buffer, "w") as z:
        for name in sorted(files):
            info = zipfile.ZipInfo(name, stamp)
            info.create_system = 3  # Unix, so that the mode below counts
            info.external_attr = 0o100644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, files[name], compresslevel=9)
    return buffer.getvalue()


def proto_field(number, payload):
    """One length-delimited protobuf field."""
    def varint(n):
        out = bytearray()
        while True:
            out.append((n & 0x7F) | (0x80 if n > 0x7F else 0))
            n >>= 7
            if not n:
                return bytes(out)
    return varint(number << 3 | 2) + varint(len(payload)) + payload


def crx3(zipped, public_key, key_file):
    """A CRX3 file: "Cr24", version 3, the header's length and the header
    (CrxFileHeader: the key and its RSA SHA-256 signature as
    sha256_with_rsa, field 2; SignedData with the 16-byte crx_id as
    signed_header_data, field 10000), then the archive."""
    signed_data = proto_field(1, hashlib.sha256(public_key).digest()[:16])
    signed = CRX3_CONTEXT + struct.pack("<I", len(signed_data)) + signed_data + zipped
    signature = openssl("dgst", "-sha256", "-sign", key_file, "-passin", "pass:", data=signed)
    proof = proto_field(1, public_key) + proto_field(2, signature)
    header = proto_field(2, proof) + proto_field(10000, signed_data)
    return b"Cr24" + struct.pack("<II", 3, len(header)) + header + zipped


def update_manifest(extension_id, version, codebase):
    """The update manifest that a force-install's update URL names."""
    return (f"<?xml version='1.0' encoding='UTF-8'?>\n"
            f"<gupdate xmlns='http://www.google.com/update2/response' protocol='2.0'>\n"
            f"  <app appid='{extension_id}'>\n"
            f"    <updatecheck codebase={quoteattr(codebase)} version={quoteattr(version)}/>\n"
            f"  </app>\n"
            f"</gupdate>\n").encode()


def check_url(url):
    """The folder URL the .crx is served from, ending in one slash."""
    if not re.fullmatch(r"https?://[^\s/?#'\"<>&]+(/[^\s?#'\"<>&]*)?", url):
        raise Refused(f"VELLICOR_EXTENSION_URL {url!r} is not an http or https URL of a folder "
                      "(no spaces, quotes, query or fragment)")
    return url.rstrip("/") + "/"


def staged_manifest(text, key):
    """The manifest's text with its key replaced, byte for byte otherwise."""
    old = json.loads(text)["key"]
    pattern = re.compile(r'("key"\s*:\s*")' + re.escape(old) + '"')
    if len(pattern.findall(text)) != 1:
        raise Refused("the manifest's key is not a plain one-line string")
    return pattern.sub(lambda m: m[1] + key + '"', text)


def check_xpi(xpi, manifest_path):
    """A Firefox add-on given in place of ours must be ours: the same
    add-on ID and version."""
    with open(manifest_path, encoding="utf-8") as f:
        ours = json.load(f)
    try:
        with zipfile.ZipFile(xpi) as z:
            theirs = json.loads(z.read("manifest.json"))
            signed = any(n.startswith("META-INF/") for n in z.namelist())
    except (OSError, zipfile.BadZipFile, KeyError, ValueError) as why:
        raise Refused(f"VELLICOR_EXTENSION_XPI {xpi} is not an add-on with a manifest ({why})") \
            from None

    def gecko_id(manifest):
        return manifest.get("browser_specific_settings", {}).get("gecko", {}).get("id")
    got = (gecko_id(theirs), theirs.get("version"))
    wanted = (gecko_id(ours), ours["version"])
    if got != wanted:
        raise Refused(f"VELLICOR_EXTENSION_XPI {xpi} is the add-on {got[0]} version {got[1]}, "
                      f"not {wanted[0]} version {wanted[1]}")
    return signed


def build(args):
    source_manifest = os.path.join(args.source, "manifest.json")
    with open(source_manifest, encoding="utf-8") as f:
        text = f.read()
    key = args.key or json.loads(text)["key"]
    public_key = decoded_key(key)
    files = {}
    for name, path in source_files(args.source).items():
        with open(path, "rb") as f:
            files[name] = f.read()
    files["manifest.json"] = staged_manifest(text, key).encode("utf-8")
    version = json.loads(files["manifest.json"])["version"]

    staged = os.path.join(args.output, "extension")
    shutil.rmtree(staged, ignore_errors=True)
    for name, data in files.items():
        os.makedirs(os.path.dirname(os.path.join(staged, name)), exist_ok=True)
        with open(os.path.join(staged, name), "wb") as f:
            f.write(data)
    zipped = archive(files)
    outputs = {f"{args.name}.xpi": zipped}
    if args.key_file:
        check_key(args.key_file, key)
        crx_name = f"{args.name}.crx"
        outputs[crx_name] = crx3(zipped, public_key, args.key_file)
        outputs[f"{args.name}.xml"] = update_manifest(
            chromium_id(public_key), version, check_url(args.url or PLACEHOLDER_URL) + crx_name)
    for name, data in outputs.items():
        # Written whole, then renamed: a failed build leaves no half file.
        with tempfile.NamedTemporaryFile(dir=args.output, delete=False) as f:
            f.write(data)
        os.chmod(f.name, 0o644)
        os.replace(f.name, os.path.join(args.output, name))
    # A .crx of an earlier build with a key, when this one has none.
    if not args.key_file:
        for suffix in (".crx", ".xml"):
            path = os.path.join(args.output, args.name + suffix)
            if os.path.exists(path):
                os.remove(path)


def main():
    parser = argparse.ArgumentParser()
    commands = parser.add_subparsers(dest="command", required=True)
    command = commands.add_parser("id")
    command.add_argument("--manifest", required=True)
    command.add_argument("--key")
    command = commands.add_parser("public-key")
    command.add_argument("--key-file", required=True)
    command = commands.add_parser("check-key")
    command.add_argument("--key-file", required=True)
    command.add_argument("--manifest")
    command.add_argument("--key")
    command = commands.add_parser("check-url")
    command.add_argument("--url", required=True)
    command = commands.add_parser("check-xpi")
    command.add_argument("--xpi", required=True)
    command.add_argument("--manifest", required=True)
    command = commands.add_parser("build")
    for option in ("--source", "--output", "--name"):
        command.add_argument(option, required=True)
    for option in ("--key", "--key-file", "--url"):
        command.add_argument(option)
    args = parser.parse_args()
    try:
        if args.command == "id":
            print(chromium_id(decoded_key(args.key or manifest_key(args.manifest))))
        elif args.command == "public-key":
            print(base64.b64encode(key_file_public_key(args.key_file)).decode())
        elif args.command == "check-key":
            print(chromium_id(check_key(args.key_file, args.key or manifest_key(args.manifest))))
        elif args.command == "check-url":
            print(check_url(args.url))
        elif args.command == "check-xpi":
            print("signed" if check_xpi(args.xpi, args.manifest) else "unsigned")
        else:
            build(args)
    except (Refused, OSError, ValueError, KeyError) as why:
        print(f"pack.py: {why}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
