#!/usr/bin/env bash
# Shows a logon and an unlock through VynGina.dll, with the logon host playing
# Winlogon and the msgina test double standing in for the system's msgina.dll,
# under Wine. Usage: scripts/run-demo.sh <build dir>
set -euo pipefail
build=$(cd "${1:?usage: run-demo.sh <build dir>}" && pwd)
run="$build/wine-run.sh"
export WINEPREFIX="${VYN_WINEPREFIX:-$build/wineprefix}"
winpath() { printf 'Z:%s' "$(printf '%s' "$1" | sed 's#/#\\#g')"; }

host="$build/tools/logon_host/vyn-logon-host.exe"
module="$build/gina/VynGina.dll"
stub_dir="$build/tools/stub_msgina"
log="$WINEPREFIX/drive_c/ProgramData/Vyn Security/vyn.log"
for f in "$host" "$module" "$stub_dir/msgina.dll"; do
  [ -f "$f" ] || { echo "run-demo: $f is missing; build first (scripts/setup.sh)" >&2; exit 1; }
done

say() { printf '\n== %s\n' "$*"; }

say "The pieces"
echo "module:      $module"
echo "msgina:      $stub_dir/msgina.dll (test double: accepts every logon, records every call)"
echo "Winlogon:    $host (the logon host)"
echo "Wine prefix: $WINEPREFIX"

before=0
[ -f "$log" ] && before=$(stat -c %s "$log")

say "A logon as alice@CORP, then an unlock of the locked workstation"
echo "The host loads the module, which loads msgina; then WlxNegotiate and WlxInitialize,"
echo "then Ctrl+Alt+Del at the logon screen and at the locked workstation. Lines with"
echo "'log|' are the module's own log, 'msgina received' what reached msgina, 'host:'"
echo "what Winlogon was told."
echo
"$run" "$host" --msgina-dir "$(winpath "$stub_dir")" --message-box-answer 1 --show-log \
  "$(winpath "$module")" --logon user=alice domain=CORP --unlock --status "Applying your personal settings..."

say "The log file the module wrote"
echo "$log (C:\\ProgramData\\Vyn Security\\vyn.log inside Wine); lines of this run:"
echo
if [ -f "$log" ]; then
  tail -c +"$((before + 1))" "$log" | tr -d '\r'
else
  echo "(no log file: the module could not create it)"
fi
