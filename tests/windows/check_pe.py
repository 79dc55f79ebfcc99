#!/usr/bin/python3
"""Checks of the built Windows files themselves, read back from the PE files.

    check_pe.py imports OBJDUMP FILE...
        each file imports system DLLs only: nothing of the compiler's runtime
        (libstdc++, libgcc, winpthread) is left for a user to ship
    check_pe.py resources EXE
        the manifest is the only RT_MANIFEST resource, ID 1, and asks for
        asInvoker without UI access and DPI awareness; the string table holds
        just entry 103, "Vellicor", in Chinese (PRC), language 2052
    check_pe.py entry OBJDUMP DLL NAME CONVENTION
        the library exports exactly NAME, undecorated, and its code returns as
        CONVENTION (stdcall or cdecl) does

Runs with Debian's python3, which has python3-pefile.
"""

import re
import subprocess
import sys
import xml.etree.ElementTree as ET

import pefile

# Present on every Windows the program runs on. Anything else would have to be
# shipped beside vellicor.exe.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "shlwapi.dll", "msvcrt.dll",
               "ntdll.dll", "shell32.dll", "ole32.dll", "ws2_32.dll"}

LANG_CHINESE_PRC = 2052
STRING_ID = 103


class Failure(Exception):
    pass


def check_imports(objdump, files):
    for path in files:
        listing = subprocess.run([objdump, "-p", path], check=True, capture_output=True,
                                 text=True).stdout
        imported = re.findall(r"^\s*DLL Name: (\S+)", listing, re.MULTILINE)
        if not imported:
            raise Failure(f"{path}: no imports found in objdump's listing")
        foreign = [name for name in imported if name.lower() not in SYSTEM_DLLS]
        if foreign:
            raise Failure(f"{path} imports DLLs that Windows does not have: {foreign}")
        print(f"{path}: imports {', '.join(imported)}")


def resources(pe, type_id):
    """{(name id, language): bytes} of one resource type."""
    found = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.id != type_id:
            continue
        for name in kind.directory.entries:
            for language in name.directory.entries:
                entry = language.data.struct
                found[(name.id, language.id)] = pe.get_data(entry.OffsetToData, entry.Size)
    return found


def string_table(block_id, data):
    """{string id: text} of one RT_STRING block: 16 counted UTF-16 strings."""
    strings, offset = {}, 0
    for index in range(16):
        length = int.from_bytes(data[offset:offset + 2], "little")
        offset += 2
        if length:
            strings[(block_id - 1) * 16 + index] = data[offset:offset + 2 * length].decode("utf-16-le")
        offset += 2 * length
    return strings


def check_resources(exe):
    pe = pefile.PE(exe)
    manifests = resources(pe, pefile.RESOURCE_TYPE["RT_MANIFEST"])
    if [name for name, _ in manifests] != [1]:
        raise Failure(f"expected one manifest with ID 1, found {sorted(manifests)}")
    manifest = ET.fromstring(next(iter(manifests.values())))
    asm_v3 = "{urn:schemas-microsoft-com:asm.v3}"
    level = manifest.find(f".//{asm_v3}requestedExecutionLevel")
    if level is None or level.get("level") != "asInvoker" or level.get("uiAccess") != "false":
        raise Failure(f"execution level: {None if level is None else level.attrib}")
    dpi = manifest.find(".//{http://schemas.microsoft.com/SMI/2005/WindowsSettings}dpiAware")
    if dpi is None or dpi.text.strip().lower() != "true":
        raise Failure("the manifest does not declare the program DPI-aware")

    tables = resources(pe, pefile.RESOURCE_TYPE["RT_STRING"])
    strings = {}
    for (block_id, language), data in tables.items():
        if language != LANG_CHINESE_PRC:
            raise Failure(f"string table block {block_id} has language {language}")
        strings.update(string_table(block_id, data))
    if strings != {STRING_ID: "Vellicor"}:
        raise Failure(f"string table: {strings}")
    print(f"{exe}: manifest ID 1 (asInvoker, DPI-aware); strings {strings} in language 2052")


def check_entry(objdump, dll, name, convention):
    pe = pefile.PE(dll)
    exports = [(symbol.name.decode() if symbol.name else None, symbol.address)
               for symbol in pe.DIRECTORY_ENTRY_EXPORT.symbols]
    if [export_name for export_name, _ in exports] != [name]:
        raise Failure(f"{dll} exports {exports}, expected exactly {name!r}")
    start = pe.OPTIONAL_HEADER.ImageBase + exports[0][1]

    # The returns of the exported function: from its address to the next label.
    listing = subprocess.run([objdump, "-d", "--no-show-raw-insn", dll], check=True,
                             capture_output=True, text=True).stdout
    returns, inside = [], False
    for line in listing.splitlines():
        label = re.match(r"^([0-9a-f]+) <", line)
        if label:
            if inside:
                break
            inside = int(label.group(1), 16) == start
        elif inside and re.search(r"\tret", line):
            returns.append(line.split("\t", 1)[1].strip())
    if not returns:
        raise Failure(f"{dll}: no return found in {name} at {start:#x}")
    # __stdcall pops its 4-byte argument, __cdecl leaves it to the caller.
    expected = "ret $0x4" if convention == "stdcall" else "ret"
    wrong = [r for r in returns if re.sub(r"\s+", " ", r) != expected]
    if wrong:
        raise Failure(f"{dll}: {name} is not {convention}: returns with {wrong}")
    print(f"{dll}: exports {name} only, returns as {convention} ({len(returns)}x {expected!r})")


def main():
    command, args = sys.argv[1], sys.argv[2:]
    try:
        if command == "imports":
            check_imports(args[0], args[1:])
        elif command == "resources":
            check_resources(args[0])
        elif command == "entry":
            check_entry(*args)
        else:
            raise Failure(f"unknown check {command!r}")
    except Failure as failure:
        print(f"FAIL: {failure}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
