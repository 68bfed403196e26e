#!/usr/bin/env python3
"""VynGina.msi under Wine's msiexec, headless, in a Wine prefix of its own.

First the built package's own tables: the settings key's access list
(LockPermissions) and the place of the older version's removal. Then one
scenario, in order, each step checked against the real registry of the
prefix and the files on its drive C:
  0. GinaDLL naming another login module: the install stops and names it;
     with REPLACEGINA=1 it is replaced and recorded with its registry type;
     at uninstall, one case a row of GIVE_BACK: given back when it still
     loads (its headers, and every DLL it imports found as Winlogon would
     find it) and its record's key is private, else GinaDLL deleted; a
     GinaDLL changed since left as it is; a record key Power Users made
     before the install is made anew; each decision a line of the installer
     log;
  1. settings typed by hand, then an install without properties: the module,
     tools and guide in place with the bytes of the package's payload,
     GinaDLL and the event source written, the settings untouched;
  2. uninstall: module, GinaDLL, event source, tools and recovery codes
     gone; the hand-typed settings (which the package never wrote) and the
     log folder stay;
  3. an install with every property: each value exact, with its type; then a
     repair without properties leaves a value changed since as it is, and its
     verbose log shows the stored values as the source of every value;
     a repair after GinaDLL was set to another module stops and names it,
     as a first install does; with REPLACEGINA=1 it records that module;
  4. removing the feature by name (REMOVE=Complete) uninstalls as /x does:
     the module recorded at the repair is given back, the values the package
     wrote and the recovery codes are gone;
  5. a package of a lower version with properties, replacing another login
     module, with recovery codes, then this one without: one product left, of
     this version, this version's files, settings, recovery codes and the
     record of the replaced module kept;
  6. uninstall (REMOVE=Complete): nothing of the package is left, and the
     replaced module is back in GinaDLL;
  6b. the same upgrade over a record key an earlier version left with the
     access list of HKLM\Software: the record is not carried over, and the
     uninstall leaves msgina;
  6c. an installation that fails after the record's key was made private,
     over a key that took the list of HKLM\\Software: the rollback deletes it;
  7. an uninstall that fails after the recovery codes' store was removed:
     the store was removed and handed, whole, to the rollback action.
"""
import argparse
import os
import shutil
import struct
import subprocess
import sys
import time

SETTINGS_KEY = r"HKLM\Software\Vyn Security\VynCredProv"
WINLOGON_KEY = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\Winlogon"
MARKS_KEY = r"HKLM\Software\Vyn Security\Installer"
RECOVERY_KEY = r"HKLM\Software\Vyn Security\Recovery"
RECOVERY_TOOL = r"C:\Program Files\Vyn Security\vyn-recovery.exe"
EVENT_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Vyn Security"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
MODULE = r"C:\windows\system32\VynGina.dll"
OTHER_GINA = r"C:\Program Files\Other Vendor\OtherGina.dll"
# A sound login module that a Power User would have Winlogon load as SYSTEM.
PLANTED_GINA = r"C:\Program Files\Planted\PlantedGina.dll"
MARKS_KEY_PATH = r"Software\Vyn Security\Installer"
# The record key's access list as the package makes it, and as an earlier
# version left it (taken from HKLM\Software, where Power Users may write).
PRIVATE_LINE = ("The key HKLM\\Software\\Vyn Security\\Installer is private: the Administrators own it, SYSTEM and "
                "they may change it, Users may read it.")
INHERITED_LIST = "O:BAD:(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KA;;;PU)"
INHERITED_REASON = r"HKLM\Software\Vyn Security\Installer (owner S-1-5-32-544) takes entries from its parent's access list"
THIRD_GINA = r"%ProgramFiles%\Third Vendor\ThirdGina.dll"
# The replaced module's support DLL: beside it (where Winlogon does not look)
# or in a folder of the machine's Path (where it does).
HELPER_BESIDE = r"C:\Program Files\Other Vendor\VynTestHelper.dll"
HELPER_ON_PATH = r"C:\Program Files\Helper Vendor\VynTestHelper.dll"
ENVIRONMENT_KEY = r"HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment"
MACHINE_PATH = "%SystemRoot%\\system32;%SystemRoot%;C:\\Program Files\\Helper Vendor\\"
SEARCHED = r"C:\windows\system32; C:\windows\system; C:\windows; C:\Program Files\Helper Vendor"
SETTINGS_KEY_PATH = r"Software\Vyn Security\VynCredProv"
GENERIC_ALL = "268435456"

# Property on the command line -> (value name, type, data as `reg query` shows it).
PROPERTIES = {
    "HOST": ("Host", "REG_SZ", "api-test.vyn.invalid:8443"),
    "IKEY": ("IKey", "REG_SZ", "DIPACKAGETEST0000001"),
    "SKEY": ("SKey", "REG_SZ", "#secret with spaces and a leading hash"),
    "FAILOPEN": ("FailOpen", "REG_DWORD", "0x0"),
    "AUTOPUSH": ("AutoPush", "REG_DWORD", "0x1"),
    "RDPONLY": ("RdpOnly", "REG_DWORD", "0x1"),
    "LOGONONLY": ("LogonOnly", "REG_DWORD", "0x0"),
    "TLS": ("Tls", "REG_DWORD", "0x2"),
}
COMMAND_LINE_VALUE = {"REG_SZ": lambda d: d, "REG_DWORD": lambda d: str(int(d, 16))}


class Prefix:
    def __init__(self, wine_run, path):
        self.wine_run, self.path = wine_run, path
        self.env = dict(os.environ, VYN_WINEPREFIX=path)

    def run(self, *args):
        return subprocess.run([self.wine_run, *args], env=self.env, stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, errors="replace")

    def msiexec(self, *args, expect_code=0):
        result = self.run("msiexec", *args, "/qn")
        # None: any failure (Wine reports a failed action as 1603 or 1627).
        if (result.returncode == 0) if expect_code is None else (result.returncode != expect_code):
            fail(f"msiexec {' '.join(args)} exited {result.returncode}: {result.stderr.strip()}")

    def msiexec_logged(self, name, *args, expect_code=0):
        """msiexec with a verbose log; the log's text."""
        log = os.path.join(self.path, name)
        if os.path.exists(log):
            os.remove(log)
        self.msiexec(*args, "/l*v", windows_path(log), expect_code=expect_code)
        with open(log, "rb") as f:
            data = f.read()
        return data.decode("utf-16" if data[:2] == b"\xff\xfe" else "utf-8", errors="replace")

    def set_gina(self, value, kind="REG_SZ"):
        if self.run("reg", "add", WINLOGON_KEY, "/v", "GinaDLL", "/t", kind, "/d", value, "/f").returncode != 0:
            fail("cannot set GinaDLL")

    def plant_record(self, key_acl, sddl, value):
        """PreviousGinaDLL = value under the record's key, the key given sddl (as Power Users could)."""
        if (self.run("reg", "add", MARKS_KEY, "/v", "PreviousGinaDLL", "/t", "REG_SZ", "/d", value, "/f").returncode
                != 0 or self.run(key_acl, MARKS_KEY_PATH, sddl).returncode != 0):
            fail("cannot plant a record")

    def gina(self):
        return (self.values(WINLOGON_KEY) or {}).get("GinaDLL")

    def values(self, key):
        """name -> (type, data) of the values directly under key; None when the key is missing."""
        # A query that fails is asked again: under load Wine, rarely, fails a
        # process at its start, which would read as a missing key. A key that
        # is missing stays missing on every try.
        for _ in range(3):
            result = self.run("reg", "query", key)
            if result.returncode == 0:
                break
            time.sleep(0.2)
        else:
            return None
        values = {}
        for line in result.stdout.replace("\r", "").splitlines():
            if not line.startswith("    "):
                continue
            parts = line[4:].split("    ", 2)
            values[parts[0]] = (parts[1], parts[2] if len(parts) > 2 else "")
        return values

    def subkeys(self, key):
        result = self.run("reg", "query", key)
        prefix = key.replace("HKLM", "HKEY_LOCAL_MACHINE", 1) + "\\"
        return [l.strip()[len(prefix):] for l in result.stdout.replace("\r", "").splitlines()
                if l.strip().lower().startswith(prefix.lower())]

    def unix(self, windows_path):
        drive, rest = windows_path.split(":", 1)
        return os.path.join(self.path, "dosdevices", drive.lower() + ":", *rest.strip("\\").split("\\"))


failures = 0


def fail(message):
    print("FAIL:", message)
    sys.exit(1)


def expect(condition, message):
    global failures
    if not condition:
        failures += 1
        print("FAIL:", message)


def place(path, source):
    """A copy of source at path (a Unix path in the prefix); an empty source removes the file."""
    if os.path.exists(path):
        os.remove(path)
    if source is not None:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if isinstance(source, bytes):
            with open(path, "wb") as f:
                f.write(source)
        else:
            shutil.copyfile(source, path)


def windows_path(unix_path):
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def same_bytes(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        return fa.read() == fb.read()


def installed_files(payload, guide):
    """Where each file of the package goes, with the file whose bytes it must have."""
    files = {MODULE: payload[0], r"C:\Program Files\Vyn Security\VynGina-Guide.txt": guide}
    for tool in payload[1:]:
        files[r"C:\Program Files\Vyn Security" + "\\" + os.path.basename(tool)] = tool
    return files


def expect_installed(prefix, payload, guide, step):
    for where, source in installed_files(payload, guide).items():
        path = prefix.unix(where)
        expect(os.path.isfile(path) and same_bytes(path, source), f"{step}: {where} missing or not the bytes of {source}")
    gina = (prefix.values(WINLOGON_KEY) or {}).get("GinaDLL")
    expect(gina == ("REG_SZ", MODULE), f"{step}: GinaDLL is {gina}")
    event = prefix.values(EVENT_KEY)
    expect(event == {"EventMessageFile": ("REG_SZ", MODULE), "TypesSupported": ("REG_DWORD", "0x7")},
           f"{step}: event source is {event}")


def expect_removed(prefix, payload, guide, step):
    for where in installed_files(payload, guide):
        expect(not os.path.exists(prefix.unix(where)), f"{step}: {where} is still there")
    expect("GinaDLL" not in (prefix.values(WINLOGON_KEY) or {}), f"{step}: GinaDLL is still set")
    expect(prefix.values(EVENT_KEY) is None, f"{step}: the event source key is still there")
    expect(prefix.values(MARKS_KEY) is None, f"{step}: the package's marks are still there")
    expect(prefix.values(RECOVERY_KEY) is None, f"{step}: the recovery codes' store is still there")


def products(prefix):
    """The versions of the package installed."""
    found = []
    for sub in prefix.subkeys(UNINSTALL_KEY):
        values = prefix.values(UNINSTALL_KEY + "\\" + sub) or {}
        if values.get("DisplayName", ("", ""))[1] == "Vyn Security Two-Factor Logon":
            found.append(values["DisplayVersion"][1])
    return found


def resolved(log, name):
    """A property's value in a verbose log's closing property list; None when it has none."""
    found = None
    for line in log.replace("\r", "").splitlines():
        if line.startswith(f"Property(S): {name} = "):
            found = line[len(f"Property(S): {name} = "):]
    return found


def table(msi, name):
    """The rows of one table of the package, as msiinfo exports them (after the three header lines)."""
    out = subprocess.run(["msiinfo", "export", msi, name], capture_output=True, text=True, check=True).stdout
    return [line.split("\t") for line in out.replace("\r", "").splitlines()[3:]]


def check_tables(msi):
    # Every row the package writes under the settings key gives the key the
    # access list Administrators, full control (LocalSystem the installer adds
    # itself), and nothing else: "Administrators" is a name the installer takes
    # in English on every language of Windows, "SYSTEM" is not.
    settings_rows = {r[0] for r in table(msi, "Registry") if r[2] == SETTINGS_KEY_PATH}
    expect(len(settings_rows) == 8, f"tables: registry rows under the settings key {sorted(settings_rows)}")
    locks = sorted(tuple(r) for r in table(msi, "LockPermissions"))
    expected = sorted((row, "Registry", "", "Administrators", GENERIC_ALL) for row in settings_rows)
    expect(locks == expected, f"tables: LockPermissions {locks}")
    # The older version's removal is the first action of the script, so it
    # is rolled back with the rest when the upgrade fails.
    sequence = sorted((int(r[2]), r[0]) for r in table(msi, "InstallExecuteSequence"))
    names = [name for _, name in sequence]
    expect(names.index("RemoveExistingProducts") == names.index("InstallInitialize") + 1,
           f"tables: RemoveExistingProducts is not right after InstallInitialize: {names}")
    # The record of a replaced module is made from the registry by the
    # package's own DLL; GinaDLL at an uninstall is read before anything
    # is removed and set as LocalSystem from the script (1 + 0x400 deferred +
    # 0x800 no impersonation) right after the package's own rows are gone.
    # The recovery codes' store is read while the script is written, removed
    # from it as LocalSystem with its result checked (no 0x40), and written
    # back by a rollback action (0x100) whose data, the hashes, stay out of
    # the log (0x2000, and a hidden property).
    actions = {r[0]: (r[1], r[2], r[3]) for r in table(msi, "CustomAction")}
    for action, entry, kind in (("RecordPreviousGina", "RecordReplacedGina", 1),
                                ("KeepPreviousGina", "KeepReplacedGina", 1),
                                ("PrepareGinaGiveBack", "PrepareGinaGiveBack", 1),
                                ("GiveBackGina", "GiveBackGina", 1 + 0x400 + 0x800),
                                ("PrepareRecoveryRemoval", "PrepareRecoveryRemoval", 1),
                                ("RestoreRecoveryCodes", "RestoreRecoveryCodes", 1 + 0x100 + 0x400 + 0x800 + 0x2000),
                                ("RemoveRecoveryCodes", "RemoveRecoveryCodes", 1 + 0x400 + 0x800),
                                # Its failure is logged and ignored (0x40).
                                ("SecureInstallerKey", "SecureInstallerKey", 1 + 0x400 + 0x800 + 0x40),
                                # Its rollback action (0x100), and what decides it while the script is written.
                                ("PrepareSecureInstallerKey", "PrepareSecureInstallerKey", 1),
                                ("UndoSecureInstallerKey", "UndoSecureInstallerKey", 1 + 0x100 + 0x400 + 0x800)):
        expect(actions.get(action) == (str(kind), "SetupActions", entry), f"tables: {action} is {actions.get(action)}")
    hidden = {r[0]: r[1] for r in table(msi, "Property")}.get("MsiHiddenProperties", "").split(";")
    expect("RestoreRecoveryCodes" in hidden, f"tables: MsiHiddenProperties {hidden}")
    # Whenever the module's (or the recovery tool's) component goes, REMOVE=ALL
    # or the feature by name, but not when an upgrade removes this version:
    # the codes handed out must keep working, and the next version carries
    # the record of the replaced module over.
    steps = {r[0]: (r[1], int(r[2])) for r in table(msi, "InstallExecuteSequence")}
    when = "$Module=2 AND NOT UPGRADINGPRODUCTCODE"
    removed = steps["RemoveRegistryValues"][1]
    expect(steps.get("PrepareGinaGiveBack") == (when, removed + 1) and steps.get("GiveBackGina") == (when, removed + 2)
           and "RestorePreviousGina" not in steps,
           f"tables: GinaDLL steps {steps.get('PrepareGinaGiveBack')} {steps.get('GiveBackGina')}")
    # The record's key is made private whenever the package writes its rows,
    # after an older version's removal (which deletes the key) and right
    # before the package writes in it.
    # Its rollback action comes before it in the script (and so runs after
    # WriteRegistryValues' rollback, before the older version's).
    written = steps["WriteRegistryValues"][1]
    expect(steps.get("SecureInstallerKey") == ("$Module=3", written - 1)
           and steps.get("UndoSecureInstallerKey") == ("$Module=3", written - 2)
           and steps.get("PrepareSecureInstallerKey") == ("$Module=3", written - 3)
           and steps["RemoveExistingProducts"][1] < steps["WriteRegistryValues"][1],
           f"tables: SecureInstallerKey {steps.get('SecureInstallerKey')} {steps.get('UndoSecureInstallerKey')} "
           f"{steps.get('PrepareSecureInstallerKey')}")
    recovery = [steps.get(a) for a in ("PrepareRecoveryRemoval", "RestoreRecoveryCodes", "RemoveRecoveryCodes")]
    when = "$Recovery=2 AND NOT UPGRADINGPRODUCTCODE"
    expect(all(r and r[0] == when for r in recovery) and recovery[0][1] + 1 == recovery[1][1] == recovery[2][1] - 1
           and steps["InstallInitialize"][1] < recovery[0][1] and recovery[2][1] < steps["InstallFinalize"][1],
           f"tables: recovery steps {recovery}")
    # The install stops, naming the other module, unless told to replace it;
    # so does a repair or a redeploy (REINSTALL), which rewrites GinaDLL.
    conditions = {r[1]: r[0] for r in table(msi, "LaunchCondition")}
    message = ("GinaDLL names another login module, [CURRENTGINA]. Installing would replace it and end its logon. "
               "To replace it anyway, install with REPLACEGINA=1: it is then given back when this package is "
               "uninstalled.")
    others = ('CURRENTGINA~="msgina.dll" OR CURRENTGINA~>>"\\msgina.dll" OR CURRENTGINA~="VynGina.dll" '
              'OR CURRENTGINA~>>"\\VynGina.dll"')
    expect(conditions.get(message) == '(Installed AND NOT REINSTALL) OR REPLACEGINA="1" OR NOT CURRENTGINA OR ' + others,
           f"tables: launch condition {conditions.get(message)!r}")
    expect(steps.get("RecordPreviousGina", ("",))[0] ==
           'REPLACEGINA="1" AND (NOT Installed OR REINSTALL) AND CURRENTGINA AND NOT (' + others + ")",
           f"tables: RecordPreviousGina {steps.get('RecordPreviousGina')}")
    # The record's component is evaluated again at a repair (transitive, 0x40).
    components = {r[0]: r for r in table(msi, "Component")}
    expect(int(components["PreviousGina"][3]) & 0x40, f"tables: PreviousGina component {components['PreviousGina']}")


# Uninstall after REPLACEGINA=1. Each row: GinaDLL before the install (type,
# data), the files on the machine (Windows path -> "module": the msgina double,
# a real x64 login module; "needs helper": a login module that imports
# VynTestHelper.dll; "helper": that DLL; "hostile": the msgina double whose
# export table claims 4 billion names; bytes: those bytes), what happens to
# the machine between install and uninstall, GinaDLL after the uninstall
# (None: deleted), and the line the installer log must hold.
NOT_GIVEN_BACK = "not given back, GinaDLL deleted, Winlogon loads msgina.dll."
GIVE_BACK = [
    ("given back", ("REG_SZ", OTHER_GINA), {OTHER_GINA: "module"}, None, ("REG_SZ", OTHER_GINA),
     f"GinaDLL named this module: the login module it replaced, {OTHER_GINA}, is given back."),
    ("the replaced module deleted since", ("REG_SZ", OTHER_GINA), {OTHER_GINA: "module"}, ("file", None), None,
     f"GinaDLL named this module; the login module it replaced, {OTHER_GINA}, is not readable (error 2): "
     + NOT_GIVEN_BACK),
    ("the replaced module no longer a DLL", ("REG_SZ", OTHER_GINA), {OTHER_GINA: "module"},
     ("file", b"not a module\r\n"), None,
     f"GinaDLL named this module; the login module it replaced, {OTHER_GINA}, is not a Windows image "
     "(no valid PE header): " + NOT_GIVEN_BACK),
    # Left as it was, its type too, although its file does not exist.
    ("GinaDLL changed to a third module since", ("REG_SZ", OTHER_GINA), {OTHER_GINA: "module"},
     ("gina", ("REG_EXPAND_SZ", THIRD_GINA)),
     ("REG_EXPAND_SZ", THIRD_GINA), f"GinaDLL names {THIRD_GINA}, not this module: left as it is."),
    ("a REG_EXPAND_SZ replaced module", ("REG_EXPAND_SZ", r"%ProgramFiles%\Other Vendor\OtherGina.dll"),
     {OTHER_GINA: "module"}, None, ("REG_EXPAND_SZ", r"%ProgramFiles%\Other Vendor\OtherGina.dll"),
     r"GinaDLL named this module: the login module it replaced, %ProgramFiles%\Other Vendor\OtherGina.dll, "
     "is given back (REG_EXPAND_SZ)."),
    # Sound headers, but a DLL it imports is gone (another vendor's
    # uninstaller took it): Winlogon would not start.
    ("the replaced module's support DLL gone", ("REG_SZ", OTHER_GINA), {OTHER_GINA: "needs helper"}, None, None,
     f"GinaDLL named this module; the login module it replaced, {OTHER_GINA}, is a login module that imports "
     f"VynTestHelper.dll, which is neither a KnownDLL nor found on the search path Winlogon uses ({SEARCHED}): "
     + NOT_GIVEN_BACK),
    # Winlogon's loader does not look in the module's own folder.
    ("the support DLL only beside the replaced module", ("REG_SZ", OTHER_GINA),
     {OTHER_GINA: "needs helper", HELPER_BESIDE: "helper"}, None, None,
     f"GinaDLL named this module; the login module it replaced, {OTHER_GINA}, is a login module that imports "
     f"VynTestHelper.dll, which is neither a KnownDLL nor found on the search path Winlogon uses ({SEARCHED}): "
     + NOT_GIVEN_BACK),
    ("the support DLL in a folder of the machine's Path", ("REG_SZ", OTHER_GINA),
     {OTHER_GINA: "needs helper", HELPER_ON_PATH: "helper"}, None, ("REG_SZ", OTHER_GINA),
     f"GinaDLL named this module: the login module it replaced, {OTHER_GINA}, is given back."),
    # A Power User made the record's key before the install, with a record of
    # their own: the install makes the key anew and records the module it
    # replaced.
    ("a record key Power Users made before", ("REG_SZ", OTHER_GINA), {OTHER_GINA: "module", PLANTED_GINA: "module"},
     ("key before", "O:PUD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KA;;;PU)", PLANTED_GINA,
      "The key of the installer's record was not the package's: HKLM\\Software\\Vyn Security\\Installer is owned "
      "by S-1-5-32-547, not SYSTEM or Administrators: deleted and made anew."),
     ("REG_SZ", OTHER_GINA), f"GinaDLL named this module: the login module it replaced, {OTHER_GINA}, is given back."),
    # A record written later into a key that takes HKLM\Software's list.
    ("a record written into an inherited list", ("REG_SZ", OTHER_GINA), {OTHER_GINA: "module", PLANTED_GINA: "module"},
     ("key after", INHERITED_LIST, PLANTED_GINA), None,
     "GinaDLL named this module; the record of the login module it replaced is not trusted: " + INHERITED_REASON
     + ": " + NOT_GIVEN_BACK),
    # Its verdict comes from the reader's bounds, not from walking the table.
    ("a hostile export table", ("REG_SZ", OTHER_GINA), {OTHER_GINA: "hostile"}, None, None,
     f"GinaDLL named this module; the login module it replaced, {OTHER_GINA}, is a damaged image (more sections, "
     "export names or imported DLLs than any DLL has): " + NOT_GIVEN_BACK),
]


def hostile_export_table(module):
    """The module's bytes with its export directory's name count set to 0xFFFFFFFF."""
    data = bytearray(open(module, "rb").read())
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections, optional_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
    export_rva = struct.unpack_from("<I", data, pe + 24 + 112)[0]  # DataDirectory[0] of a PE32+ optional header
    for i in range(sections):
        at = pe + 24 + optional_size + 40 * i
        virtual_address, raw_size, raw_pointer = struct.unpack_from("<III", data, at + 12)
        if virtual_address <= export_rva < virtual_address + raw_size:
            struct.pack_into("<I", data, export_rva - virtual_address + raw_pointer + 24, 0xFFFFFFFF)
            return bytes(data)
    fail("the module has no export directory")


def check_give_back(prefix, args, payload, msi):
    sources = {"module": args.login_module, "needs helper": args.needs_helper_module, "helper": args.helper,
               "hostile": hostile_export_table(args.login_module)}
    # The machine's Path, which Winlogon's loader searches; Wine's own names folders that do not exist.
    if prefix.run("reg", "add", ENVIRONMENT_KEY, "/v", "Path", "/t", "REG_EXPAND_SZ", "/d", MACHINE_PATH,
                  "/f").returncode != 0:
        fail("cannot set the machine's Path")
    for name, before, files, change, after, line in GIVE_BACK:
        for where, what in files.items():
            place(prefix.unix(where), sources.get(what, what))
        prefix.set_gina(before[1], before[0])
        if change and change[0] == "key before":
            prefix.plant_record(args.key_acl, change[1], change[2])
        log = prefix.msiexec_logged("replace.log", "/i", msi, "REPLACEGINA=1")
        expect_installed(prefix, payload, args.guide, f"{name}: REPLACEGINA=1")
        expect((prefix.values(MARKS_KEY) or {}).get("PreviousGinaDLL") == before,
               f"{name}: REPLACEGINA=1: marks {prefix.values(MARKS_KEY)}")
        for said in ([change[3]] if change and change[0] == "key before" else []) + [PRIVATE_LINE]:
            expect("Vyn Security: " + said in log, f"{name}: the install's log lacks {said!r}")
        if change and change[0] == "file":
            place(prefix.unix(OTHER_GINA), change[1])
        elif change and change[0] == "key after":
            prefix.plant_record(args.key_acl, change[1], change[2])
        elif change and change[0] == "gina":
            prefix.set_gina(change[1][1], change[1][0])
        log = prefix.msiexec_logged("give-back.log", "/x", msi)
        expect(prefix.gina() == after, f"{name}: after uninstall GinaDLL is {prefix.gina()}")
        expect(("Vyn Security: " + line) in log, f"{name}: the installer log lacks {line!r}")
        expect(prefix.values(MARKS_KEY) is None, f"{name}: after uninstall marks {prefix.values(MARKS_KEY)}")
        expect(products(prefix) == [], f"{name}: after uninstall products {products(prefix)}")
        prefix.run("reg", "delete", WINLOGON_KEY, "/v", "GinaDLL", "/f")
        for where in files:
            place(prefix.unix(where), None)
    place(prefix.unix(OTHER_GINA), args.login_module)


def failing_copy(msi, out):
    """The package with one more deferred action, after the recovery codes'
    store is removed, that fails when VYNTESTFAIL is set: an uninstall that
    fails late, as one can on a real machine, and is rolled back."""
    shutil.copyfile(msi, out)
    command = '"[System64Folder]cmd.exe" /c exit 3'
    subprocess.run(["msibuild", out, "-q",
                    "INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES "
                    f"('VynTestFailLate', {34 + 0x400 + 0x800}, 'System64Folder', '{command}')",
                    "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES "
                    "('VynTestFailLate', 'VYNTESTFAIL', 5021)"], check=True)


def captured_store(text):
    """name -> (type, data hex) of the recovery store as the rollback action's data holds it."""
    values = {}
    for field in text.split(";")[1:]:
        name, kind, data = field.split(",")
        values[bytes.fromhex(name).decode("utf-16-le")] = (int(kind), data)
    return values


def check_recovery_rollback(prefix, args, payload):
    """An uninstall that fails after the recovery codes' store was removed
    must write the store back: the module stays, and must not fail closed
    without its codes. Wine's msiexec schedules the rollback action but does
    not run the rollback script of a failed uninstall, so this shows the
    removal, the failure and the data the rollback action is given; that the
    action writes the store back is left to Windows (and to review)."""
    failing = os.path.join(prefix.path, "VynGina-fails-late.msi")
    failing_copy(args.msi, failing)
    prefix.msiexec("/i", windows_path(failing))
    expect(prefix.run(RECOVERY_TOOL, "new", "4").returncode == 0, "rollback: vyn-recovery new failed")
    codes = prefix.values(RECOVERY_KEY) or {}
    log = prefix.msiexec_logged("rollback.log", "/x", windows_path(failing), "VYNTESTFAIL=1", expect_code=None)
    expect("Vyn Security: The recovery codes' store HKLM\\Software\\Vyn Security\\Recovery is removed." in log,
           "rollback: the store was not removed before the failure")
    # Wine's log shows hidden properties; Windows leaves this one out.
    kept = captured_store(resolved(log, "RestoreRecoveryCodes") or "")
    expect(set(kept) == set(codes) == {"Created", "Hashes", "Iterations", "Salt"}
           and kept["Hashes"] == (3, codes["Hashes"][1]) and kept["Salt"] == (3, codes["Salt"][1]),
           f"rollback: the rollback action keeps {kept}, the store was {codes}")
    prefix.run("msiexec", "/x", windows_path(failing), "/qn")
    os.remove(failing)


def check_key_rollback(prefix, args):
    """An installation that fails after SecureInstallerKey, over a record key
    that takes HKLM\\Software's list with a record in it: Wine's msiexec runs
    the rollback actions of a failed installation, and UndoSecureInstallerKey
    deletes the key it made private. (Windows then writes back what it had
    removed, into a key it makes with the parent's list: the record stays
    untrusted; packaging_give_back_tests plays that part.)"""
    failing = os.path.join(prefix.path, "VynGina-fails-late.msi")
    failing_copy(args.msi, failing)
    prefix.plant_record(args.key_acl, INHERITED_LIST, PLANTED_GINA)
    log = prefix.msiexec_logged("key-rollback.log", "/i", windows_path(failing), "VYNTESTFAIL=1", expect_code=None)
    for said in ("The key of the installer's record was not the package's: " + INHERITED_REASON
                 + ": deleted and made anew.",
                 "The installation is rolled back: the key HKLM\\Software\\Vyn Security\\Installer, not the "
                 "package's before it, is deleted."):
        expect("Vyn Security: " + said in log, f"key rollback: the log lacks {said!r}")
    expect(prefix.values(MARKS_KEY) is None, f"key rollback: marks {prefix.values(MARKS_KEY)}")
    expect(products(prefix) == [], f"key rollback: products {products(prefix)}")
    os.remove(failing)


def main():
    parser = argparse.ArgumentParser()
    for option in ("--wine-run", "--prefix", "--msi", "--lower-msi", "--version", "--payload", "--guide",
                   "--login-module", "--needs-helper-module", "--helper", "--key-acl"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    payload = args.payload.split(",")
    msi, lower = windows_path(args.msi), windows_path(args.lower_msi)

    # A fresh prefix each run: nothing left from an earlier run can make a step pass.
    check_tables(args.msi)
    prefix = Prefix(args.wine_run, args.prefix)
    prefix.run("--shutdown")
    shutil.rmtree(args.prefix, ignore_errors=True)
    try:
        return scenario(prefix, args, payload, msi, lower)
    finally:
        # Nothing of this test keeps running: the prefix's wineserver and services end here.
        prefix.run("--shutdown")


def scenario(prefix, args, payload, msi, lower):
    full = [f"{p}={COMMAND_LINE_VALUE[t](d)}" for p, (_, t, d) in PROPERTIES.items()]
    expected_settings = {name: (t, d) for name, t, d in PROPERTIES.values()}

    # 0. Another login module: left alone unless REPLACEGINA=1, then given back.
    place(prefix.unix(OTHER_GINA), args.login_module)
    prefix.set_gina(OTHER_GINA)
    # 1603, the installer's "fatal error", as a Unix exit status (its low byte).
    log = prefix.msiexec_logged("refused.log", "/i", msi, expect_code=1603 & 0xFF)
    expect(resolved(log, "CURRENTGINA") == OTHER_GINA, f"another login module: CURRENTGINA {resolved(log, 'CURRENTGINA')!r}")
    expect(prefix.gina() == ("REG_SZ", OTHER_GINA), f"another login module: GinaDLL is now {prefix.gina()}")
    expect(products(prefix) == [], f"another login module: products {products(prefix)}")
    check_give_back(prefix, args, payload, msi)
    # The system's own module, in any case, is no other module.
    prefix.set_gina("MSGINA.DLL")

    # 1. Install without properties over settings typed by hand.
    by_hand = {"Host": ("REG_SZ", "typed.vyn.invalid"), "FailOpen": ("REG_DWORD", "0x2"),
               "Debug": ("REG_DWORD", "0x1")}
    for name, (kind, data) in by_hand.items():
        shown = str(int(data, 16)) if kind == "REG_DWORD" else data
        if prefix.run("reg", "add", SETTINGS_KEY, "/v", name, "/t", kind, "/d", shown, "/f").returncode != 0:
            fail(f"cannot set {name} by hand")
    log_dir = prefix.unix(r"C:\ProgramData\Vyn Security")
    os.makedirs(log_dir, exist_ok=True)
    with open(os.path.join(log_dir, "vyn.log"), "wb") as log:
        log.write(b"a line the module wrote earlier\r\n")
    prefix.msiexec("/i", msi)
    expect_installed(prefix, payload, args.guide, "install without properties")
    expect(prefix.values(SETTINGS_KEY) == by_hand, f"install without properties: settings now {prefix.values(SETTINGS_KEY)}")
    expect(products(prefix) == [args.version], f"install: products {products(prefix)}")

    # 2. Uninstall, with recovery codes made by the installed tool.
    expect(prefix.run(RECOVERY_TOOL, "new", "1").returncode == 0, "install: vyn-recovery new failed")
    prefix.msiexec("/x", msi)
    expect_removed(prefix, payload, args.guide, "uninstall")
    expect(prefix.values(SETTINGS_KEY) == by_hand, f"uninstall: hand-typed settings now {prefix.values(SETTINGS_KEY)}")
    expect(os.path.isfile(os.path.join(log_dir, "vyn.log")), "uninstall: the log folder is gone")
    expect(products(prefix) == [], f"uninstall: products {products(prefix)}")

    # 3. Install with every property.
    prefix.run("reg", "delete", SETTINGS_KEY, "/f")
    prefix.msiexec("/i", msi, *full)
    expect_installed(prefix, payload, args.guide, "install with properties")
    expect(prefix.values(SETTINGS_KEY) == expected_settings, f"install with properties: settings {prefix.values(SETTINGS_KEY)}")
    # A repair without properties, over values changed since: left as they are.
    prefix.run("reg", "add", SETTINGS_KEY, "/v", "Host", "/t", "REG_SZ", "/d", "changed.vyn.invalid", "/f")
    # The repair /f would start (Wine's msiexec lacks /f with a product code).
    log = prefix.msiexec_logged("repair.log", "/i", msi, "REINSTALL=ALL", "REINSTALLMODE=omus")
    expect(prefix.values(SETTINGS_KEY) == dict(expected_settings, Host=("REG_SZ", "changed.vyn.invalid")),
           f"repair: settings {prefix.values(SETTINGS_KEY)}")
    # Windows rewrites an installed component's rows at a repair: each value
    # must then come from what is stored, never from an absent property.
    expect("Vyn Security: " + PRIVATE_LINE in log, "repair: the record's key was not made private")
    # The key was the package's: a rollback of the repair would leave it.
    expect(resolved(log, "UndoSecureInstallerKey") == "keep",
           f"repair: UndoSecureInstallerKey is {resolved(log, 'UndoSecureInstallerKey')!r}")
    for name, stored in (("Host", "changed.vyn.invalid"), ("IKey", PROPERTIES["IKEY"][2]),
                         ("FailOpen", "#0"), ("AutoPush", "#1"), ("RdpOnly", "#1"), ("LogonOnly", "#0")):
        expect(resolved(log, name + "Value") == stored, f"repair log: {name}Value is {resolved(log, name + 'Value')!r}")
    # A repair (or a Group Policy redeploy) after an administrator set another
    # login module rewrites GinaDLL: it stops as a first install does, and
    # with REPLACEGINA=1 records the module it replaces.
    prefix.set_gina(OTHER_GINA)
    prefix.msiexec("/i", msi, "REINSTALL=ALL", "REINSTALLMODE=omus", expect_code=1603 & 0xFF)
    expect(prefix.gina() == ("REG_SZ", OTHER_GINA), f"repair over another module: GinaDLL is {prefix.gina()}")
    expect(products(prefix) == [args.version], f"repair over another module: products {products(prefix)}")
    prefix.msiexec("/i", msi, "REINSTALL=ALL", "REINSTALLMODE=omus", "REPLACEGINA=1")
    expect(prefix.gina() == ("REG_SZ", MODULE), f"repair with REPLACEGINA=1: GinaDLL is {prefix.gina()}")
    expect((prefix.values(MARKS_KEY) or {}).get("PreviousGinaDLL") == ("REG_SZ", OTHER_GINA),
           f"repair with REPLACEGINA=1: marks {prefix.values(MARKS_KEY)}")

    # 4. Removing the only feature by name is an uninstall: the module
    # recorded at the repair is given back, and what the package wrote and
    # the recovery codes are gone.
    expect(prefix.run(RECOVERY_TOOL, "new", "2").returncode == 0, "before REMOVE=Complete: vyn-recovery new failed")
    prefix.msiexec("/i", msi, "REMOVE=Complete")
    expect(prefix.gina() == ("REG_SZ", OTHER_GINA), f"REMOVE=Complete: GinaDLL is {prefix.gina()}")
    prefix.run("reg", "delete", WINLOGON_KEY, "/v", "GinaDLL", "/f")
    expect_removed(prefix, payload, args.guide, "REMOVE=Complete after install with properties")
    expect(not prefix.values(SETTINGS_KEY), f"REMOVE=Complete: settings left {prefix.values(SETTINGS_KEY)}")
    expect(products(prefix) == [], f"REMOVE=Complete: products {products(prefix)}")

    # 5. Upgrade from a lower version, without properties.
    prefix.set_gina(OTHER_GINA)
    prefix.msiexec("/i", lower, *full, "REPLACEGINA=1")
    expect(len(products(prefix)) == 1 and products(prefix) != [args.version], f"lower version: products {products(prefix)}")
    # Codes handed out before the upgrade must keep working after it: the
    # older version's removal inside the upgrade leaves their store alone
    # because Windows runs it with UPGRADINGPRODUCTCODE set, which the
    # removal's condition tests (check_tables). Wine's msiexec runs that
    # removal as a plain REMOVE=ALL without the property, and so removes the
    # codes here: this step makes them, but only Windows can show them kept.
    expect(prefix.run(RECOVERY_TOOL, "new", "3").returncode == 0, "lower version: vyn-recovery new failed")
    expect(prefix.values(RECOVERY_KEY), f"lower version: no recovery codes {prefix.values(RECOVERY_KEY)}")
    prefix.msiexec("/i", msi)
    expect(products(prefix) == [args.version], f"upgrade: products {products(prefix)}")
    expect_installed(prefix, payload, args.guide, "upgrade")
    expect(prefix.values(SETTINGS_KEY) == expected_settings, f"upgrade: settings {prefix.values(SETTINGS_KEY)}")
    expect((prefix.values(MARKS_KEY) or {}).get("PreviousGinaDLL") == ("REG_SZ", OTHER_GINA),
           f"upgrade: marks {prefix.values(MARKS_KEY)}")

    # 6. Uninstall after the upgrade, by the feature's name, over a Recovery
    # key that someone else made with a subkey (a Power User may create keys
    # under HKLM\Software): Windows refuses to delete it, and it must not
    # block the uninstall.
    if prefix.run("reg", "add", RECOVERY_KEY + r"\Planted", "/f").returncode != 0:
        fail("cannot plant a subkey under the recovery codes' store")
    log = prefix.msiexec_logged("planted.log", "/i", msi, "REMOVE=Complete")
    expect("Vyn Security: The key HKLM\\Software\\Vyn Security\\Recovery is left in place: Windows refuses to delete "
           "it (it has subkeys, or its access list keeps the installer out), so vyn-recovery did not make it." in log,
           "uninstall after upgrade: no line for the planted recovery key")
    expect(prefix.subkeys(RECOVERY_KEY) == ["Planted"], f"uninstall after upgrade: {prefix.subkeys(RECOVERY_KEY)}")
    prefix.run("reg", "delete", RECOVERY_KEY, "/f")
    expect(prefix.gina() == ("REG_SZ", OTHER_GINA), f"uninstall after upgrade: GinaDLL is {prefix.gina()}")
    prefix.run("reg", "delete", WINLOGON_KEY, "/v", "GinaDLL", "/f")
    expect_removed(prefix, payload, args.guide, "uninstall after upgrade")
    expect(not prefix.values(SETTINGS_KEY), f"uninstall after upgrade: settings left {prefix.values(SETTINGS_KEY)}")
    expect(products(prefix) == [], f"uninstall after upgrade: products {products(prefix)}")

    # 6b. An upgrade over a record key an earlier version left with the list
    # of HKLM\Software (Power Users could have written the record): the
    # record is not carried over, and the uninstall leaves msgina.
    prefix.set_gina(OTHER_GINA)
    prefix.msiexec("/i", lower, "REPLACEGINA=1")
    if prefix.run(args.key_acl, MARKS_KEY_PATH, INHERITED_LIST).returncode != 0:
        fail("cannot give the record's key an inherited list")
    log = prefix.msiexec_logged("upgrade-inherited.log", "/i", msi)
    dropped = ("The record of the login module replaced at install is not trusted: " + INHERITED_REASON
               + ": not kept.")
    expect("Vyn Security: " + dropped in log, f"upgrade over an inherited list: the log lacks {dropped!r}")
    # Had the upgrade rolled back, the key made private would go before the
    # older version's values are written back: they stay untrusted.
    expect(resolved(log, "UndoSecureInstallerKey") == "forget",
           f"upgrade over an inherited list: UndoSecureInstallerKey is {resolved(log, 'UndoSecureInstallerKey')!r}")
    expect("PreviousGinaDLL" not in (prefix.values(MARKS_KEY) or {}),
           f"upgrade over an inherited list: marks {prefix.values(MARKS_KEY)}")
    prefix.msiexec("/x", msi)
    expect(prefix.gina() is None, f"uninstall after an upgrade over an inherited list: GinaDLL is {prefix.gina()}")
    expect(products(prefix) == [], f"uninstall after an upgrade over an inherited list: products {products(prefix)}")

    # 6c. An installation that fails late over that kind of key: the key it
    # made private is deleted at the rollback.
    check_key_rollback(prefix, args)

    # 7. Last, as Wine leaves a failed uninstall half done: one that fails late.
    check_recovery_rollback(prefix, args, payload)

    print("msi: %d failure(s)" % failures)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
