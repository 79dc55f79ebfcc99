#!/usr/bin/python3
"""Builds the Windows Installer package from the Windows build's staged files.

    msi.py --stage DIR --actions DLL --version X.Y.Z --vendor NAME --output FILE.msi
           --extension-id ID --firefox-id ID [--program NAME.exe]...
           [--host-key 'KEY|MANIFEST']... [--epoch SECONDS]

DIR holds the Windows build's staged files (the zip's), --program names each
program in it, --host-key each browser's registry key (below HKLM, "/" or
"\\" between its parts) for a native messaging host and the manifest in DIR
that it names; DLL is the
package's custom actions (msi_actions.cpp), kept in the package, never
installed. The IDs are the extension's, in Chromium browsers and in Firefox.

The browsers' policies for the extension, each off unless its public
property is given (for Group Policy transforms and Intune command lines):
EXTENSION_UPDATE_URL, the URL of the update manifest from which Chrome and
Edge force-install it; FIREFOX_INSTALL_URL, the add-on's URL from which
Firefox force-installs it; ALLOWED_ORIGINS, the administrator's origins for
all three. Each is a conditional component of registry values, so that the
uninstall removes exactly what the install wrote; the values given are
recorded in HKLM\\Software\\Vellicor and taken again by an upgrade or repair
that does not give them. Values that other policies may also set are added
beside them, never in their place: a numbered value of our own in
ExtensionInstallForcelist, our add-on's own subkey of Firefox's
ExtensionSettings, and the extension's own 3rdparty entries.

wixl writes the database from the WiX source made here; what wixl 0.101
cannot express (custom action types, fixed sequence numbers) and what it
makes differ between runs (package code, times) is written afterwards
through libmsi. Run by Debian's python3, whose gi bindings reach libmsi
(gir1.2-libmsi-1.0).

How it keeps a reader vendor's OUR_IDR.dll: Windows Installer knows a file
by its component's registration, not by what the file is, and would remove
or overwrite a vendor's library put in place of ours as ours. So the
installer is kept from seeing one: in every install, repair, upgrade and
uninstall, a custom action sets an OUR_IDR.dll in the folder that is not
ours (its version resource does not name Vellicor, as the setup tells them
apart) aside under another name before the installer removes or installs
any file, and another puts it back after; each one is the other's rollback.
The decision is the file's, taken at that moment. Ours is installed,
replaced and removed as any other file. In a major upgrade the old version
is removed before anything of the new one is installed, by its own cached
package, which keeps a vendor's library the same way.

The target folder: INSTALLDIR from the command line; else the folder of the
installed version (upgrade, repair, uninstall), read back from the registry;
else Program Files\\Vellicor. The default is set before AppSearch, so that
the search sees it.
"""

import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import uuid
from xml.sax.saxutils import quoteattr

import gi

gi.require_version("Libmsi", "1.0")
from gi.repository import Libmsi  # noqa: E402

# Never changes: it ties every version of the package together for upgrades.
UPGRADE_CODE = "7C2B5E0A-3F4D-4B8E-9A61-2D5C8E1F0B37"
# Names every other GUID: product and components by name, the package by content.
NAMESPACE = uuid.UUID("5b0f3c1e-8d2a-4e6f-b7a9-0c4d1e2f3a5b")
LIBRARY = "OUR_IDR.dll"
STATE_KEY = r"Software\Vellicor"
DOWNGRADE = ("A newer version of Vellicor is already installed. "
             "To install this one, uninstall that first.")
# The setup program's entry in Apps and Features (NSIS.template.in).
SETUP_KEY = r"Software\Microsoft\Windows\CurrentVersion\Uninstall\Vellicor"
# Custom action types: a function of a DLL in the Binary table (0x001), run
# in the installer's script (0x400) as LocalSystem (0x800, no impersonation),
# as the folder may be writable by administrators only; or only when that
# script is rolled back (0x100).
DEFERRED_DLL = 0x001 | 0x400 | 0x800
ROLLBACK_DLL = DEFERRED_DLL | 0x100
# The actions that keep a vendor's library from the installer's file actions
# (msi_actions.cpp): (action, DLL function, type, sequence). Each rollback
# comes before the action it undoes.
LIBRARY_ACTIONS = [
    # Before RemoveFiles (3500).
    ("UndoLibraryAside", "PutVendorLibraryBack", ROLLBACK_DLL, 3490),
    ("SetLibraryAside", "SetVendorLibraryAside", DEFERRED_DLL, 3491),
    # After InstallFiles (4000).
    ("UndoLibraryBack", "SetVendorLibraryAside", ROLLBACK_DLL, 4001),
    ("PutLibraryBack", "PutVendorLibraryBack", DEFERRED_DLL, 4002),
]


# Our own name among an administrator's numbered ExtensionInstallForcelist
# values: Chrome and Edge take every numbered value as one entry of the list.
FORCELIST_VALUE = "4242"
CHROMIUM_POLICIES = [r"Software\Policies\Google\Chrome", r"Software\Policies\Microsoft\Edge"]
FIREFOX_POLICIES = r"Software\Policies\Mozilla\Firefox"
# (component, the property that turns it on, the name it is recorded under).
POLICY_OPTIONS = [("ForceInstall", "EXTENSION_UPDATE_URL", "ExtensionUpdateUrl"),
                  ("FirefoxInstall", "FIREFOX_INSTALL_URL", "FirefoxInstallUrl"),
                  ("AllowedOrigins", "ALLOWED_ORIGINS", "AllowedOrigins")]
# What ReadPolicyOptions (msi_actions.cpp) makes of ALLOWED_ORIGINS: a JSON
# list, and Firefox's entry for the extension holding it.
ORIGINS_JSON = "VELLICOR_ORIGINS_JSON"
FIREFOX_ORIGINS = "VELLICOR_FIREFOX_ORIGINS"


def policy_values(args):
    """{component: [(key, name, value)]}: the registry values (below HKLM)
    of each policy option, the recorded option among them."""
    values = {
        "ForceInstall": [(rf"{browser}\ExtensionInstallForcelist", FORCELIST_VALUE,
                          f"{args.extension_id};[EXTENSION_UPDATE_URL]")
                         for browser in CHROMIUM_POLICIES],
        "FirefoxInstall": [
            (rf"{FIREFOX_POLICIES}\ExtensionSettings\{args.firefox_id}", "installation_mode",
             "force_installed"),
            (rf"{FIREFOX_POLICIES}\ExtensionSettings\{args.firefox_id}", "install_url",
             "[FIREFOX_INSTALL_URL]")],
        # A JSON value in place of a list: Chrome and Edge read either, and a
        # subkey of the administrator's own would take precedence. Firefox's
        # is a REG_MULTI_SZ ([~]...[~]), which Firefox reads as JSON.
        "AllowedOrigins": [(rf"{browser}\3rdparty\extensions\{args.extension_id}\policy",
                            "allowedOrigins", f"[{ORIGINS_JSON}]")
                           for browser in CHROMIUM_POLICIES]
        + [(rf"{FIREFOX_POLICIES}\3rdparty\Extensions", args.firefox_id,
            f"[~][{FIREFOX_ORIGINS}][~]")]}
    for component, prop, recorded in POLICY_OPTIONS:
        values[component].append((STATE_KEY, recorded, f"[{prop}]"))
    return values


def guid(name):
    return str(uuid.uuid5(NAMESPACE, name)).upper()


def component(name, file_id, source, file_name, extra=""):
    return f"""
          <Component Id="{name}" Guid="{guid('component ' + name)}">
            <File Id="{file_id}" Name={quoteattr(file_name)} Source={quoteattr(source)}
                  KeyPath="yes"/>{extra}
          </Component>"""


def host_file_id(manifest):
    return "host_" + re.sub(r"\W", "_", manifest)


def registry_value(key, name, value, key_path=False):
    name_attr = f" Name={quoteattr(name)}" if name else ""
    key_path_attr = ' KeyPath="yes"' if key_path else ""
    return f"""
            <RegistryValue Root="HKLM" Key={quoteattr(key)}{name_attr} Type="string"
                           Value={quoteattr(value)}{key_path_attr}/>"""


def wix_source(args, files):
    """The WiX source, files being {file id: (source path, installed name)}."""
    # Each program's component is named, and so keeps its GUID, by its file.
    components = [component(file_id.title().replace("_", ""), file_id, *files[file_id])
                  for file_id in files if file_id.startswith("program_")]
    components.append(component("License", "license", *files["license"]))
    # Each host manifest with the browsers' keys that name it.
    for file_id in (f for f in files if f.startswith("host_")):
        keys = [key for key, manifest in args.host_keys if host_file_id(manifest) == file_id]
        components.append(component(file_id.title().replace("_", ""), file_id, *files[file_id],
                                    "".join(registry_value(key, None, f"[#{file_id}]")
                                            for key in keys)))
    components.append(component("Library", "library", *files["library"]))
    # Where this version went, for upgrades, repairs and the uninstall.
    components.append(f"""
          <Component Id="State" Guid="{guid('component State')}">{registry_value(
              STATE_KEY, "InstallDir", "[INSTALLDIR]", key_path=True)}
          </Component>""")
    for name, values in policy_values(args).items():
        rows = "".join(registry_value(key, value_name, value, key_path=key == STATE_KEY)
                       for key, value_name, value in values)
        components.append(f"""
          <Component Id="{name}" Guid="{guid('component ' + name)}">{rows}
          </Component>""")
    refs = "".join(f'\n      <ComponentRef Id="{c.split(chr(34))[1]}"/>' for c in components)

    def search(prop, key, name):
        return f"""
    <Property Id="{prop}">
      <RegistrySearch Id="{prop.title().replace('_', '')}" Root="HKLM" Key={quoteattr(key)}
                      Name="{name}" Type="raw"/>
    </Property>"""

    # Properties set in both sequences, placed roughly here, in the order
    # post_process() fixes: (action, property, value, condition, before).
    # The policy options an upgrade or repair does not give are the ones
    # given before.
    remembered = [(f"Remembered{recorded}", prop, f"[REMEMBERED_{prop}]",
                   f"NOT {prop} AND REMEMBERED_{prop}", "LaunchConditions")
                  for _, prop, recorded in POLICY_OPTIONS]
    actions = [("UseRemembered", "USE_REMEMBERED", "1", "NOT INSTALLDIR", "AppSearch"),
               ("DefaultDir", "INSTALLDIR", "[ProgramFilesFolder]Vellicor\\", "NOT INSTALLDIR",
                "AppSearch"),
               ("RememberedDir", "INSTALLDIR", "[REMEMBERED_DIR]",
                "USE_REMEMBERED AND REMEMBERED_DIR", "LaunchConditions"),
               # Apps and Features shows the folder, once it is resolved.
               ("InstallLocation", "ARPINSTALLLOCATION", "[INSTALLDIR]", None, "InstallValidate"),
               *remembered]
    # Only in the install itself: each library action's CustomActionData, the
    # folder, as resolved.
    execute_only = [(f"{action}Data", action, "[INSTALLDIR]", None, "InstallValidate")
                    for action, _, _, _ in LIBRARY_ACTIONS]
    custom_actions = "".join(f'\n    <CustomAction Id="{a}" Property="{p}" Value={quoteattr(v)}/>'
                             for a, p, v, _, _ in actions + execute_only)
    # Their types, which wixl does not write, are set in post_process().
    custom_actions += "".join(
        f'\n    <CustomAction Id="{action}" BinaryKey="Actions" DllEntry="{entry}"'
        f' Execute="deferred" Impersonate="no"/>' for action, entry, _, _ in LIBRARY_ACTIONS)
    custom_actions += ('\n    <CustomAction Id="ReadPolicyOptions" BinaryKey="Actions"'
                       ' DllEntry="ReadPolicyOptions"/>')

    def scheduled(rows):
        return "".join(f'\n      <Custom Action="{a}" Before="{before}">{c or ""}</Custom>'
                       for a, _, _, c, before in rows)
    library_actions = "".join(f'\n      <Custom Action="{action}" After="InstallFiles"/>'
                              for action, _, _, _ in LIBRARY_ACTIONS)
    # Checks the policy options and writes ALLOWED_ORIGINS as JSON, before
    # the components' conditions are evaluated; not in the uninstall.
    policy_action = ('\n      <Custom Action="ReadPolicyOptions" Before="LaunchConditions">'
                     'NOT REMOVE~="ALL"</Custom>')
    searches = "".join(search(f"REMEMBERED_{prop}", STATE_KEY, recorded)
                       for _, prop, recorded in POLICY_OPTIONS)
    return f"""<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="{guid('product ' + args.version)}" Name="Vellicor" Language="1033"
           Version="{args.version}" Manufacturer={quoteattr(args.vendor)}
           UpgradeCode="{UPGRADE_CODE}">
    <Package InstallerVersion="500" Compressed="yes" InstallScope="perMachine"
             Description="Vellicor {args.version}" Manufacturer={quoteattr(args.vendor)}/>
    <MajorUpgrade DowngradeErrorMessage={quoteattr(DOWNGRADE)}/>
    <Media Id="1" Cabinet="vellicor.cab" EmbedCab="yes"/>
    <Binary Id="Actions" SourceFile={quoteattr(files["actions"][0])}/>
    <Property Id="ARPNOMODIFY" Value="1"/>{search("REMEMBERED_DIR", STATE_KEY, "InstallDir")}{
        search("SETUP_INSTALLED", SETUP_KEY, "InstallLocation")}{searches}{custom_actions}
    <InstallUISequence>{scheduled(actions)}{policy_action}
    </InstallUISequence>
    <InstallExecuteSequence>{scheduled(actions + execute_only)}{policy_action}{library_actions}
    </InstallExecuteSequence>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="ProgramFilesFolder">
        <Directory Id="INSTALLDIR" Name="Vellicor">{"".join(components)}
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Vellicor" Level="1">{refs}
    </Feature>
  </Product>
</Wix>
"""


def query(db, sql):
    Libmsi.Query.new(db, sql).execute(None)


def post_process(path):
    db = Libmsi.Database.new(path, Libmsi.DbFlags.TRANSACT, None)
    for action, _, kind, _ in LIBRARY_ACTIONS:
        query(db, f"UPDATE `CustomAction` SET `Type` = {kind} WHERE `Action` = '{action}'")
    # A function of the DLL, run at once where it is scheduled.
    query(db, "UPDATE `CustomAction` SET `Type` = 1 WHERE `Action` = 'ReadPolicyOptions'")
    for name, prop, _ in POLICY_OPTIONS:
        query(db, f"UPDATE `Component` SET `Condition` = '{prop}' WHERE `Component` = '{name}'")
    # The setup program and this package would claim the same files under two
    # entries in Apps and Features: refuse while the setup's is there.
    query(db, "INSERT INTO `LaunchCondition` (`Condition`, `Description`) VALUES "
              "('Installed OR NOT SETUP_INSTALLED', 'Vellicor is installed by its setup program. "
              "Uninstall it first (Apps and Features), then install this package.')")
    # The order that the folder and the library rely on, which wixl does not
    # keep: the default folder before AppSearch (50), the choice after it;
    # the library actions' folder once CostFinalize (1000) has resolved it,
    # the actions themselves around the file actions. The old version goes
    # before anything of the new one is written (wixl would put it after
    # InstallFinalize).
    order = {name: number for number, name in [
        (40, "UseRemembered"), (41, "DefaultDir"), (51, "RememberedDir"),
        (1001, "InstallLocation"), (1450, "RemoveExistingProducts"),
        *[(52 + i, f"Remembered{recorded}") for i, (_, _, recorded) in enumerate(POLICY_OPTIONS)],
        (55, "ReadPolicyOptions")]}
    for number, (action, _, _, sequence) in enumerate(LIBRARY_ACTIONS, 1002):
        order[f"{action}Data"] = number
        order[action] = sequence
    for table in ("InstallUISequence", "InstallExecuteSequence"):
        for action, number in order.items():
            query(db, f"UPDATE `{table}` SET `Sequence` = {number} WHERE `Action` = '{action}'")
    # The properties the user interface works out reach the install itself.
    secure = ["INSTALLDIR", "USE_REMEMBERED", "REMEMBERED_DIR", "SETUP_INSTALLED", ORIGINS_JSON,
              FIREFOX_ORIGINS]
    for _, prop, _ in POLICY_OPTIONS:
        secure += [prop, f"REMEMBERED_{prop}"]
    query(db, f"UPDATE `Property` SET `Value` = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;"
              f"{';'.join(secure)}' WHERE `Property` = 'SecureCustomProperties'")

    db.commit()


def canonical(built, output, work, args, package_code):
    """Writes the database anew with every table's rows sorted: wixl's own
    row order changes from run to run."""
    tables = os.path.join(work, "tables")
    os.makedirs(tables)
    # Not the summary, written below, nor the code page, which is neutral.
    names = sorted(n for n in run("msiinfo", "tables", built).split() if not n.startswith("_"))
    for name in names:
        # Run there, msiinfo writes a table's streams (the Binary table's) into
        # a folder named after the table, where msibuild, run there too, reads
        # them back.
        lines = run("msiinfo", "export", built, name, cwd=tables).split("\n")
        with open(os.path.join(tables, f"{name}.idt"), "w", encoding="utf-8", newline="") as f:
            f.write("\r\n".join(lines[:3] + sorted(line for line in lines[3:] if line)) + "\r\n")
    cabinet = os.path.join(work, "vellicor.cab")
    with open(cabinet, "wb") as f:
        f.write(subprocess.run(["msiinfo", "extract", built, "vellicor.cab"], check=True,
                               capture_output=True).stdout)
    command = ["msibuild", output]
    for name in names:
        command += ["-i", os.path.join(tables, f"{name}.idt")]
    run(*command, "-a", "vellicor.cab", cabinet, cwd=tables)

    old = Libmsi.SummaryInfo.new(Libmsi.Database.new(built, Libmsi.DbFlags.READONLY, None), 0)
    db = Libmsi.Database.new(output, Libmsi.DbFlags.TRANSACT, None)
    info = Libmsi.SummaryInfo.new(db, 20)
    for prop in (Libmsi.Property.TITLE, Libmsi.Property.SUBJECT, Libmsi.Property.AUTHOR,
                 Libmsi.Property.KEYWORDS, Libmsi.Property.COMMENTS, Libmsi.Property.TEMPLATE,
                 Libmsi.Property.APPNAME):
        info.set_string(prop, old.get_string(prop))
    for prop in (Libmsi.Property.CODEPAGE, Libmsi.Property.VERSION, Libmsi.Property.SOURCE,
                 Libmsi.Property.SECURITY):
        info.set_int(prop, old.get_int(prop))
    info.set_string(Libmsi.Property.UUID, "{" + package_code + "}")
    # FILETIME: 100 ns steps since 1601.
    filetime = (args.epoch + 11644473600) * 10_000_000
    info.set_filetime(Libmsi.Property.CREATED_TM, filetime)
    info.set_filetime(Libmsi.Property.LASTSAVED_TM, filetime)
    info.persist()
    db.commit()


def run(*command, cwd=None):
    proc = subprocess.run(command, capture_output=True, text=True, check=False, cwd=cwd)
    if proc.returncode != 0:
        sys.exit(f"msi.py: {' '.join(command)} failed:\n{proc.stderr}")
    return proc.stdout


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--stage", required=True)
    parser.add_argument("--actions", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--vendor", required=True)
    parser.add_argument("--output", required=True)
    parser.add_argument("--program", action="append", default=[])
    parser.add_argument("--host-key", action="append", default=[], dest="host_keys",
                        type=lambda text: tuple(text.replace("/", "\\").split("|", 1)))
    parser.add_argument("--extension-id", required=True)
    parser.add_argument("--firefox-id", required=True)
    # The payload's times and the package's, as every package has them.
    parser.add_argument("--epoch", type=int,
                        default=int(os.environ.get("SOURCE_DATE_EPOCH") or time.time()))
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="vellicor-msi-")
    try:
        # Copies with one time, the cabinet keeps it.
        staged = {"program_" + re.sub(r"\W", "_", name): (name, name) for name in args.program}
        staged.update(license=("LICENSE.txt", "vellicor-LICENSE.txt"), library=(LIBRARY, LIBRARY))
        staged.update({host_file_id(manifest): (manifest, manifest)
                       for _, manifest in args.host_keys})
        sources = {file_id: (os.path.join(args.stage, source), name)
                   for file_id, (source, name) in staged.items()}
        sources["actions"] = (args.actions, None)
        files = {}
        digest = hashlib.sha256()
        for file_id, (source, name) in sources.items():
            copy = os.path.join(work, "files", file_id)
            os.makedirs(os.path.dirname(copy), exist_ok=True)
            shutil.copyfile(source, copy)
            os.utime(copy, (args.epoch, args.epoch))
            # wixl takes only sources relative to where it runs.
            files[file_id] = (os.path.relpath(copy, work), name)
            digest.update(open(copy, "rb").read())
        source = wix_source(args, files)
        with open(os.path.join(work, "vellicor.wxs"), "w", encoding="utf-8") as f:
            f.write(source)
        built = os.path.join(work, "vellicor.msi")
        proc = subprocess.run(["wixl", "-a", "x86", "-o", built, "vellicor.wxs"], cwd=work,
                              capture_output=True, text=True, check=False)
        if proc.returncode != 0:
            sys.exit(f"msi.py: wixl failed:\n{proc.stderr}")
        # The package code changes with the content and nothing else.
        digest.update(source.encode())
        post_process(built)
        final = os.path.join(work, "final.msi")
        canonical(built, final, work, args, str(uuid.UUID(digest.hexdigest()[:32])).upper())
        shutil.move(final, args.output)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
