#!/usr/bin/env bash
# Builds VynGina.msi from packaging/VynGina.wxs and the given binaries.
#   make-msi.sh --out FILE.msi --version X.Y.Z.W --guide TEXT --module VynGina.dll
#               --actions VynSetupActions.dll [--tool FILE.exe]...
# The tools are vyn-check.exe, vyn-logon-host.exe, vyn-recovery.exe and
# vyn-fleet.exe, all required; vyn-collect.cmd comes from beside this script. The actions DLL is carried in the package for its uninstall, not
# installed.
# Used by scripts/package.sh (release) and by the test build (tests/msi).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out= version= guide= module= actions= tools=()
while [ $# -gt 0 ]; do
  case $1 in
    --out) out=$2; shift 2 ;;
    --version) version=$2; shift 2 ;;
    --guide) guide=$2; shift 2 ;;
    --module) module=$2; shift 2 ;;
    --actions) actions=$2; shift 2 ;;
    --tool) tools+=("$2"); shift 2 ;;
    *) echo "make-msi: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -n "$out" ] && [ -n "$version" ] && [ -n "$guide" ] && [ -n "$module" ] && [ -n "$actions" ] \
  || { echo "usage: make-msi.sh --out FILE --version V --guide TEXT --module DLL --actions DLL [--tool EXE]..." >&2; exit 2; }

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$module" "$stage/VynGina.dll"
cp "$actions" "$stage/VynSetupActions.dll"
cp "$guide" "$stage/VynGina-Guide.txt"
# wixl takes a file's Source relative to the .wxs (absolute paths fail).
cp "$here/VynGina.wxs" "$stage/VynGina.wxs"
defines=(-D "Version=$version" -D "BinDir=.")
for tool in "${tools[@]}"; do
  name=$(basename "$tool")
  case $name in
    vyn-logon-host.exe | vyn-check.exe | vyn-recovery.exe | vyn-fleet.exe) ;;
    *) echo "make-msi: the package has no place for $name" >&2; exit 2 ;;
  esac
  cp "$tool" "$stage/$name"
done
cp "$here/vyn-collect.cmd" "$stage/vyn-collect.cmd"
for name in vyn-check.exe vyn-logon-host.exe vyn-recovery.exe vyn-fleet.exe; do
  [ -f "$stage/$name" ] || { echo "make-msi: $name is missing" >&2; exit 2; }
done

mkdir -p "$(dirname "$out")"
out=$(cd "$(dirname "$out")" && pwd)/$(basename "$out")
rm -f "$out"
(cd "$stage" && wixl -a x64 "${defines[@]}" -o "$out" VynGina.wxs)

# What wixl 0.101 cannot express. Each setting's component is installed only
# when the package has a value for it (see the .wxs); the settings key gets its
# own access list; an older version is removed inside this installation's
# transaction, after its settings have been read; SKEY and what is derived from it
# stay out of installer logs; and the properties reach the elevated part of a
# managed install.
queries=()
for name in Host IKey SKey FailOpen AutoPush RdpOnly LogonOnly Tls; do
  queries+=("UPDATE \`Component\` SET \`Condition\` = '${name}Value OR (REMOVE AND Owned${name})' WHERE \`Component\` = 'Setting${name}'")
done
queries+=("UPDATE \`Component\` SET \`Condition\` = 'PreviousGinaValue' WHERE \`Component\` = 'PreviousGina'")
# Transitive (0x40, beside wixl's 0x100 64-bit and 0x4 registry key path): a
# repair or a redeploy evaluates the condition again, so that one that
# replaces another login module since (REPLACEGINA=1) writes the new record.
queries+=("UPDATE \`Component\` SET \`Attributes\` = $((0x100 + 0x4 + 0x40)) WHERE \`Component\` = 'PreviousGina'")
# The event source key and the key of the package's marks go with the module
# ("-": removed whole at uninstall).
queries+=("INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Component_\`) VALUES ('EventSourceKey', 2, 'SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Vyn Security', '-', 'Module')")
queries+=("INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Component_\`) VALUES ('InstallerMarksKey', 2, 'Software\\Vyn Security\\Installer', '-', 'Module')")
# HKLM\Software lets Users read on XP and 2003, and the key would inherit that:
# each row written under the settings key sets the key's access list to
# Administrators, full control (GENERIC_ALL), and nothing else but LocalSystem,
# which Windows Installer gives full control in every access list it builds
# from this table. "Administrators" is one of the two names it takes in English
# on every language of Windows ("Everyone" is the other); any other name, such
# as "SYSTEM", is looked up in the system's language and fails with error 1609
# where that differs (German, French).
queries+=("CREATE TABLE \`LockPermissions\` (\`LockObject\` CHAR(72) NOT NULL, \`Table\` CHAR(32) NOT NULL, \`Domain\` CHAR(255), \`User\` CHAR(255) NOT NULL, \`Permission\` LONG PRIMARY KEY \`LockObject\`, \`Table\`, \`Domain\`, \`User\`)")
for name in Host IKey SKey FailOpen AutoPush RdpOnly LogonOnly Tls; do
  queries+=("INSERT INTO \`LockPermissions\` (\`LockObject\`, \`Table\`, \`User\`, \`Permission\`) VALUES ('${name}Setting', 'Registry', 'Administrators', 268435456)")
done
# Right after InstallInitialize: the older version's removal becomes part of
# this installation's script, so a failure anywhere rolls both back and the
# machine keeps the old module, GinaDLL and SKey. Removing first (rather than
# after InstallExecute) suits the marks: the old version's uninstall deletes
# the values it marked, and this one then writes them again from what
# AppSearch read before the removal; removed afterwards, the old version's
# uninstall could delete the values and marks this one has just written.
queries+=("UPDATE \`InstallExecuteSequence\` SET \`Sequence\` = 1501 WHERE \`Action\` = 'RemoveExistingProducts'")
queries+=("INSERT INTO \`Property\` (\`Property\`, \`Value\`) VALUES ('MsiHiddenProperties', 'SKEY;SKeyValue;OldSKey;RestoreRecoveryCodes')")
# The actions that copy SKEY also hide their data from the log: the type wixl
# gives them (51 with 0x800) plus HideTarget (0x2000).
for action in SetSKeyFromProperty SetSKeyFromHashProperty KeepSKey; do
  queries+=("UPDATE \`CustomAction\` SET \`Type\` = $((51 + 0x800 + 0x2000)) WHERE \`Action\` = '$action'")
done
queries+=("UPDATE \`Property\` SET \`Value\` = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;HOST;IKEY;SKEY;FAILOPEN;AUTOPUSH;RDPONLY;LOGONONLY;REPLACEGINA;CURRENTGINA;PREVIOUSGINA;TLS' WHERE \`Property\` = 'SecureCustomProperties'")
# The rollback action that writes the recovery codes' store back carries the
# store (its hashes) as its data: hidden from the log (HideTarget, 0x2000, on
# wixl's type: 1 + 0x100 rollback + 0x400 in script + 0x800 no impersonation).
queries+=("UPDATE \`CustomAction\` SET \`Type\` = $((1 + 0x100 + 0x400 + 0x800 + 0x2000)) WHERE \`Action\` = 'RestoreRecoveryCodes'")
# The rollback action of SecureInstallerKey: wixl types it 1 + 0x800, an
# action that would run while the script is written; it runs from the script
# (0x400) at a rollback (0x100) as LocalSystem (0x800). Its data, "keep" or
# "forget", is no secret.
queries+=("UPDATE \`CustomAction\` SET \`Type\` = $((1 + 0x100 + 0x400 + 0x800)) WHERE \`Action\` = 'UndoSecureInstallerKey'")
msibuild "$out" -q "${queries[@]}"
