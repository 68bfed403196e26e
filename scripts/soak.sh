#!/usr/bin/env bash
# Soak benchmark (not a test): N consecutive logons with a second factor
# through one logon host process, VynGina.dll and the msgina test double,
# against the reference service on loopback. Each logon is a pre-authentication
# and an authentication with the passcode 123456 (three HTTPS requests, the
# passcode and status dialogs). Prints the time per logon and the process's
# handle count and private bytes at the start, after the first logon and at
# the end: after the first logon (which loads WinHTTP, Winsock and the dialog
# classes) the numbers must stay flat.
#   scripts/soak.sh [N]            N logons (default 1000)
# Environment:
#   VYN_BUILD_DIR   build tree (default: <repo>/build)
#   VYN_SOAK_LIMIT  seconds before the run is stopped (default 1800)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${VYN_BUILD_DIR:-$repo/build}" && pwd)
count=${1:-1000}
limit=${VYN_SOAK_LIMIT:-1800}
run="$build/wine-run.sh"
winpath() { printf 'Z:%s' "$(printf '%s' "$1" | sed 's#/#\\#g')"; }
# A prefix of its own, so the test suite's prefix keeps no settings from here.
export VYN_WINEPREFIX=${VYN_WINEPREFIX:-$build/wineprefix-demo}

host="$build/tools/logon_host/vyn-logon-host.exe"
module="$build/gina/VynGina.dll"
stub_dir="$build/tools/stub_msgina"
service="$build/refservice/native/vyn-refservice"
trust="$build/tools/refservice/vyn-trust-ca.exe"
pki="$build/refservice/pki"
for f in "$host" "$module" "$stub_dir/msgina.dll" "$service" "$trust"; do
  [ -f "$f" ] || { echo "soak: $f is missing; build first (scripts/setup.sh)" >&2; exit 1; }
done
ikey=DISOAKBENCHMARK00000
skey=soak-benchmark-secret-key-000000000000
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

work=$(mktemp -d)
service_pid=
cleanup() {
  if [ -n "$service_pid" ]; then kill "$service_pid" 2>/dev/null || true; wait "$service_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

cat >"$work/scenario.json" <<JSON
{"ikey": "$ikey", "skey": "$skey",
 "users": {"alice": {"result": "auth", "status": "Account active"}},
 "answers": {"123456": {"statuses": [{"result": "allow", "status": "Success"}]}}}
JSON
"$service" --port "$port" --cert "$pki/localhost.pem" --key "$pki/localhost.key" --scenario "$work/scenario.json" \
  </dev/null >"$work/service.log" 2>&1 &
service_pid=$!
for _ in $(seq 50); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done

cat >"$work/settings.reg" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\Software\\Vyn Security\\VynCredProv]
"Host"="localhost:$port"
"IKey"="$ikey"
"SKey"="$skey"
"FailOpen"=dword:00000000
"AutoPush"=dword:00000000
REG
"$run" "$trust" "$(winpath "$pki/ca.der")" </dev/null >/dev/null 2>&1
"$run" reg import "$(winpath "$work/settings.reg")" </dev/null >/dev/null 2>&1

echo "soak: $count logons through one host process (service on port $port, stopped after $limit s)"
status=0
timeout "$limit" "$run" "$host" --msgina-dir "$(winpath "$stub_dir")" --answer 123456 --repeat "$count" \
  "$(winpath "$module")" --logon user=alice </dev/null 2>&1 | tr -d '\r' >"$work/host.out" || status=$?
grep -E '^host: (resources|rounds)' "$work/host.out" || { tail -20 "$work/host.out"; exit 1; }
[ "$status" -eq 0 ] || { echo "soak: the host ended with status $status"; exit 1; }
awk -v n="$count" '
  /^host: resources after round 1:/ { h1 = $7 + 0; p1 = $10 + 0 }
  /^host: resources after round [0-9]+:/ && $5 != "1:" { hn = $7 + 0; pn = $10 + 0 }
  END {
    printf "growth after round 1: handles %+d, private bytes %+d (%+.1f bytes per logon)\n",
           hn - h1, pn - p1, (pn - p1) / (n - 1)
  }' "$work/host.out"
