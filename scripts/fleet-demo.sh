#!/usr/bin/env bash
# The whole loop of a rollout's report, on this machine: three computers run
# the Group Policy startup script vyn-collect.cmd, which leaves each one's
# vyn-check result on a share, and vyn-fleet report turns the share into one
# page. The computers take turns in one Wine prefix of the demo's own, each
# under its own computer name and settings, against the reference service on
# loopback:
#   WEB01  ready: configured, registered, the service reached, recovery codes made
#   DC02   locked out: the service unreachable, FailOpen 0 and no recovery codes
#   APP03  exposed: its settings key readable by Users
#   scripts/fleet-demo.sh <build dir> [<report.html>]
# Exit status: vyn-fleet's (2: a machine must not be restarted, as here).
set -euo pipefail
build=$(cd "${1:?usage: fleet-demo.sh <build dir> [<report.html>]}" && pwd)
repo=$(cd "$(dirname "$0")/.." && pwd)
. "$repo/scripts/lab.sh"
say() { printf '\n== %s\n' "$*"; }

export VYN_WINEPREFIX=${VYN_WINEPREFIX:-$build/wineprefix-fleet-demo}
lab_init "$build" fleet-demo
check="$build/tools/check/vyn-check.exe"
recovery="$build/tools/recovery/vyn-recovery.exe"
fleet="$build/tools/fleet/vyn-fleet.exe"
key_acl="$build/tools/refservice/vyn-key-acl.exe"
for f in "$check" "$recovery" "$fleet" "$key_acl"; do
  [ -f "$f" ] || { echo "fleet-demo: $f is missing; build first (scripts/setup.sh)" >&2; exit 1; }
done
scenario="$repo/tools/refservice/demo-scenario.json"
ikey=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["ikey"])' "$scenario")
skey=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["skey"])' "$scenario")
port=$(lab_free_port)
closed=$(lab_free_port)
report=${2:-$build/fleet-demo/report.html}
mkdir -p "$(dirname "$report")"

work=$(mktemp -d)
service_pid=
cleanup() {
  if [ -n "$service_pid" ]; then kill "$service_pid" 2>/dev/null || true; wait "$service_pid" 2>/dev/null || true; fi
  lab_stop_wine
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

say "1. The authentication service and the share"
lab_start_service "$port" "$scenario" "$work/service.log"
service_pid=$lab_service_pid
share="$work/share"
mkdir -p "$share" "$work/tools"
# As the package installs them: the script beside vyn-check.exe.
cp "$check" "$repo/packaging/vyn-collect.cmd" "$work/tools/"
echo "service: https://localhost:$port (pid $service_pid); share: $(winpath "$share")"

say "2. The module's settings and registration in the Wine prefix $VYN_WINEPREFIX"
lab_configure_module "$port" "$ikey" "$skey" "$work"
settings='HKLM\Software\Vyn Security\VynCredProv'
"$run" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\Winlogon' /v GinaDLL /t REG_SZ \
  /d "$(winpath "$module")" /f </dev/null >/dev/null 2>&1

# One computer's turn: its name, then its startup script.
collect() {
  local name=$1 k
  for k in ComputerName ActiveComputerName; do
    "$run" reg add "HKLM\\System\\CurrentControlSet\\Control\\ComputerName\\$k" /v ComputerName /d "$name" /f \
      </dev/null >/dev/null 2>&1
  done
  local status=0
  "$run" cmd /c "$(winpath "$work/tools/vyn-collect.cmd")" "$(winpath "$share")" </dev/null >/dev/null 2>&1 || status=$?
  echo "$name: vyn-collect.cmd exit $status; $name.json: $(python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print(d["verdict"] + ": " + d["sentence"])' "$share/$name.json")"
}

say "3. Three computers run their startup script"
"$run" "$recovery" new 3 </dev/null >/dev/null 2>&1
collect WEB01
"$run" "$recovery" clear </dev/null >/dev/null 2>&1
"$run" reg add "$settings" /v Host /d "localhost:$closed" /f </dev/null >/dev/null 2>&1
collect DC02
"$run" reg add "$settings" /v Host /d "localhost:$port" /f </dev/null >/dev/null 2>&1
"$run" "$key_acl" 'Software\Vyn Security\VynCredProv' 'D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)' </dev/null
collect APP03
echo "The share now holds: $(cd "$share" && ls | paste -sd ' ' -)"

say "4. The report"
status=0
"$run" "$fleet" report "$(winpath "$share")" --out "$(winpath "$report")" </dev/null | tr -d '\r' || status=$?
echo "vyn-fleet exit code: $status (2: a machine would lock users out or break the logon)"
echo "page: $report"
exit "$status"
