#!/usr/bin/env bash
# Builds VynGina.msi from packaging/VynGina.wxs and the given binaries.
#   make-msi.sh --out FILE.msi --version X.Y.Z.W --guide TEXT --module VynGina.dll [--tool FILE.exe]...
# The tools are vyn-check.exe and vyn-logon-host.exe, both required.
# Used by scripts/package.sh (release) and by the test build (tests/msi).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out= version= guide= module= tools=()
while [ $# -gt 0 ]; do
  case $1 in
    --out) out=$2; shift 2 ;;
    --version) version=$2; shift 2 ;;
    --guide) guide=$2; shift 2 ;;
    --module) module=$2; shift 2 ;;
    --tool) tools+=("$2"); shift 2 ;;
    *) echo "make-msi: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -n "$out" ] && [ -n "$version" ] && [ -n "$guide" ] && [ -n "$module" ] \
  || { echo "usage: make-msi.sh --out FILE --version V --guide TEXT --module DLL [--tool EXE]..." >&2; exit 2; }

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$module" "$stage/VynGina.dll"
cp "$guide" "$stage/VynGina-Guide.txt"
# wixl takes a file's Source relative to the .wxs (absolute paths fail).
cp "$here/VynGina.wxs" "$stage/VynGina.wxs"
defines=(-D "Version=$version" -D "BinDir=.")
for tool in "${tools[@]}"; do
  name=$(basename "$tool")
  case $name in
    vyn-logon-host.exe | vyn-check.exe) ;;
    *) echo "make-msi: the package has no place for $name" >&2; exit 2 ;;
  esac
  cp "$tool" "$stage/$name"
done
for name in vyn-check.exe vyn-logon-host.exe; do
  [ -f "$stage/$name" ] || { echo "make-msi: $name is missing" >&2; exit 2; }
done

mkdir -p "$(dirname "$out")"
out=$(cd "$(dirname "$out")" && pwd)/$(basename "$out")
rm -f "$out"
(cd "$stage" && wixl -a x64 "${defines[@]}" -o "$out" VynGina.wxs)

# What wixl 0.101 cannot express. Each setting's component is installed only
# when the package has a value for it (see the .wxs); an older version is
# removed before anything of this one is installed, after its settings have
# been read; SKEY and what is derived from it stay out of installer logs; and
# the properties reach the elevated part of a managed install.
queries=()
for name in Host IKey SKey FailOpen AutoPush RdpOnly LogonOnly Tls; do
  queries+=("UPDATE \`Component\` SET \`Condition\` = '${name}Value OR (REMOVE~=\"ALL\" AND Owned${name})' WHERE \`Component\` = 'Setting${name}'")
done
# The event source key and the key of the package's marks go with the module
# ("-": removed whole at uninstall).
queries+=("INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Component_\`) VALUES ('EventSourceKey', 2, 'SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Vyn Security', '-', 'Module')")
queries+=("INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Component_\`) VALUES ('InstallerMarksKey', 2, 'Software\\Vyn Security\\Installer', '-', 'Module')")
queries+=("UPDATE \`InstallExecuteSequence\` SET \`Sequence\` = 1401 WHERE \`Action\` = 'RemoveExistingProducts'")
queries+=("INSERT INTO \`Property\` (\`Property\`, \`Value\`) VALUES ('MsiHiddenProperties', 'SKEY;SKeyValue;OldSKey')")
# The actions that copy SKEY also hide their data from the log: the type wixl
# gives them (51 with 0x800) plus HideTarget (0x2000).
for action in SetSKeyFromProperty SetSKeyFromHashProperty KeepSKey; do
  queries+=("UPDATE \`CustomAction\` SET \`Type\` = $((51 + 0x800 + 0x2000)) WHERE \`Action\` = '$action'")
done
queries+=("UPDATE \`Property\` SET \`Value\` = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;HOST;IKEY;SKEY;FAILOPEN;AUTOPUSH;RDPONLY;LOGONONLY;TLS' WHERE \`Property\` = 'SecureCustomProperties'")
msibuild "$out" -q "${queries[@]}"
