#!/usr/bin/env bash
# A complete logon through VynGina.dll on this machine, step by step: the
# reference authentication service on loopback with the lab scenario
# (tools/refservice/demo-scenario.json), the module's settings in a Wine
# prefix of the demo's own, and the logon host playing Winlogon with the msgina
# test double standing in for the system's msgina.dll. alice logs on, the
# service asks for a second factor, she answers "push" in the passcode dialog
# and the service approves after two progress texts.
# With --outage the service is down instead: no service answers at the
# module's address, FailOpen is 0, an administrator makes recovery codes with
# vyn-recovery, and alice logs on with one of them in the recovery dialog.
#   scripts/run-demo.sh <build dir> [--outage]
# Environment:
#   VYN_DEMO_INTERACTIVE=1  with DISPLAY set: the dialogs appear on that display
#                           and a person answers them (try push, 123456, phone)
#   VYN_DEMO_PORT           HTTPS port of the demo's service (default: a free one)
# Exit status: 0 when Winlogon was told WLX_SAS_ACTION_LOGON, 1 otherwise.
set -euo pipefail
build=$(cd "${1:?usage: run-demo.sh <build dir> [--outage]}" && pwd)
outage=0
case ${2:-} in
  --outage) outage=1 ;;
  "") ;;
  *) echo "usage: run-demo.sh <build dir> [--outage]" >&2; exit 2 ;;
esac
repo=$(cd "$(dirname "$0")/.." && pwd)
. "$repo/scripts/lab.sh"
say() { printf '\n== %s\n' "$*"; }

interactive=0
if [ "${VYN_DEMO_INTERACTIVE:-0}" = 1 ] && [ -n "${DISPLAY:-}" ]; then
  interactive=1
  export VYN_WINE_DISPLAY=1
  prefix=${VYN_WINEPREFIX:-$build/wineprefix-x11}
else
  prefix=${VYN_WINEPREFIX:-$build/wineprefix-demo}
fi
# The test suite's own prefix stays untouched by the demo's settings.
export VYN_WINEPREFIX=$prefix

lab_init "$build" run-demo
scenario="$repo/tools/refservice/demo-scenario.json"
ikey=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["ikey"])' "$scenario")
skey=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["skey"])' "$scenario")
port=${VYN_DEMO_PORT:-$(lab_free_port)}
log="$prefix/drive_c/ProgramData/Vyn Security/vyn.log"

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

say "1. The authentication service"
if [ "$outage" = 1 ]; then
  echo "Down: nothing listens on https://localhost:$port, so every request fails to connect (12029)."
else
  lab_start_service "$port" "$scenario" "$work/service.log" --log
  service_pid=$lab_service_pid
  echo "The reference service (pid $service_pid) answers on https://localhost:$port with the scenario"
  echo "$scenario:"
  echo "alice must present a second factor; \"push\" is approved after two progress texts."
fi

say "2. The module's settings, in the Wine prefix $prefix"
lab_configure_module "$port" "$ikey" "$skey" "$work"
echo "HKLM\\Software\\Vyn Security\\VynCredProv: Host=localhost:$port IKey=$ikey SKey=(secret)"
echo "FailOpen=0 (refuse when the service cannot be reached), AutoPush=0 (ask in the dialog)"

recovery="$build/tools/recovery/vyn-recovery.exe"
code=
if [ "$outage" = 1 ]; then
  say "2b. Recovery codes, made by an administrator with vyn-recovery new 3"
  "$run" "$recovery" new 3 </dev/null 2>&1 | tr -d '\r' | tee "$work/codes.txt"
  code=$(sed -n 's/^ *1\. \([0-9-]*\)$/\1/p' "$work/codes.txt")
  [ -n "$code" ] || { echo "run-demo: vyn-recovery made no codes" >&2; exit 1; }
  echo "The administrator reads $code out to alice over the phone."
fi

say "3. The logon"
echo "module:   $module"
echo "msgina:   $stub_dir/msgina.dll (test double: accepts alice's password)"
echo "Winlogon: $host (the logon host)"
if [ "$outage" = 1 ] && [ "$interactive" = 1 ]; then
  echo "The recovery dialog appears on $DISPLAY: type $code and press OK."
  user_args=()
elif [ "$outage" = 1 ]; then
  echo "The scripted user types $code into the recovery dialog and presses OK."
  user_args=(--recovery-code "$code")
elif [ "$interactive" = 1 ]; then
  echo "The passcode dialog appears on $DISPLAY: type push (or 123456, or phone to see a refusal) and press OK."
  user_args=()
else
  echo "The scripted user types push into the passcode dialog and presses OK."
  user_args=(--answer push --think 1000)
fi
echo "Lines with 'log|' are the module's own log; 'host:' is what Winlogon saw and was told."
echo
before=0
[ -f "$log" ] && before=$(stat -c %s "$log")
status=0
"$run" "$host" --msgina-dir "$(winpath "$stub_dir")" --show-log "${user_args[@]}" \
  "$(winpath "$module")" --logon user=alice </dev/null 2>&1 | tr -d '\r' | tee "$work/host.out" || status=$?

say "4. What happened"
# This run's lines of the module's log.
run_log=
[ -f "$log" ] && run_log=$(tail -c +"$((before + 1))" "$log" | tr -d '\r')
pick() { grep -F -- "$1" "$work/host.out" | sed 's/^ *log| [^ ]* [^ ]* ([0-9]*) //' || true; }
preauth=$(pick 'log|' | grep -E '^(Result|Status): ' | head -2 | paste -sd ' ' - || true)
dialog=$(grep -F 'host: passcode dialog: ' "$work/host.out" | sed 's/^host: passcode dialog: //' | paste -sd ';' - | sed 's/;/; /g' || true)
decided=$(pick 'log|' | grep -E '^Result: ' | tail -1 || true)
result=$(grep -F 'host: WlxLoggedOutSAS -> ' "$work/host.out" | sed 's/^host: WlxLoggedOutSAS -> //' || true)
echo "Pre-authentication:    ${preauth:-(no answer from the service)}"
echo "Passcode dialog:       ${dialog:-(not shown)}"
grep -F 'host: status text ' "$work/host.out" | sed 's/^host: status text /Status dialog showed:  /' || true
echo "The service decided:   ${decided:-(nothing: no answer of the service reached the module)}"
if [ "$outage" = 1 ]; then
  recovered=$(grep -F 'host: recovery dialog: ' "$work/host.out" | sed 's/^host: recovery dialog: //' | paste -sd ';' - | sed 's/;/; /g' || true)
  echo "Recovery dialog:       ${recovered:-(not shown)}"
fi
echo "Winlogon received:     ${result:-(nothing: the host did not finish)}"
echo
if [ "$outage" = 1 ]; then
  echo "What vyn-recovery status says now (the code used is gone):"
  "$run" "$recovery" status </dev/null 2>&1 | tr -d '\r' | sed 's/^/  /' || true
  # The demo's prefix keeps no codes for the next run.
  "$run" "$recovery" clear </dev/null >/dev/null 2>&1 || true
else
  echo "Requests the service received:"
  grep -E 'preauth|auth|status' "$work/service.log" | sed 's/^/  /' || echo "  (none)"
fi

# Why a logon failed, in words: the first WinHTTP error of the run, if any.
failure_reason() {
  local code
  code=$(printf '%s\n' "$run_log" | grep -oE "(\[|WinHttp[A-Za-z]*' \()1[02][0-9]{3}[])]" | head -1 | grep -oE '[0-9]+' || true)
  case $code in
    12007) echo "the name of the service's host did not resolve (WinHTTP error 12007): \"localhost\" must resolve to a loopback address on this machine (see /etc/hosts)" ;;
    12029) echo "the module could not connect to the service: nothing answered at its address (WinHTTP error 12029)" ;;
    12002|10060) echo "the service did not answer in time (WinHTTP error $code)" ;;
    12037|12038|12044|12045|12157|12175) echo "the service's certificate was not accepted (WinHTTP error $code)" ;;
    ?*) echo "a WinHTTP call failed with error $code (see the module's log below)" ;;
    *)
      if [ -z "$result" ]; then echo "the logon host did not finish (exit status $status)"
      elif [ -n "$decided" ]; then echo "the service did not allow it ($decided)"
      else echo "Winlogon was told $result (see the module's log below)"
      fi ;;
  esac
}

say "5. The module's log file"
echo "$log"
echo "(C:\\ProgramData\\Vyn Security\\vyn.log inside Wine); the lines of this run:"
echo
if [ -f "$log" ]; then
  printf '%s\n' "$run_log"
else
  echo "(no log file: the module could not create it)"
fi

if [ "$status" -eq 0 ] && grep -qF 'host: WlxLoggedOutSAS -> 1 WLX_SAS_ACTION_LOGON' "$work/host.out"; then
  if [ "$outage" = 1 ]; then
    say "The logon succeeded with a recovery code while the service was down."
  else
    say "The logon succeeded with a second factor."
  fi
  exit 0
fi
say "The logon did NOT succeed: $(failure_reason)."
exit 1
