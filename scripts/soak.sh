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
. "$repo/scripts/lab.sh"
# A prefix of its own, so the test suite's prefix keeps no settings from here.
export VYN_WINEPREFIX=${VYN_WINEPREFIX:-$build/wineprefix-demo}

lab_init "$build" soak
ikey=DISOAKBENCHMARK00000
skey=soak-benchmark-secret-key-000000000000
port=$(lab_free_port)

lab_make_work

cat >"$work/scenario.json" <<JSON
{"ikey": "$ikey", "skey": "$skey",
 "users": {"alice": {"result": "auth", "status": "Account active"}},
 "answers": {"123456": {"statuses": [{"result": "allow", "status": "Success"}]}}}
JSON
lab_start_service "$port" "$work/scenario.json" "$work/service.log"
lab_configure_module "$port" "$ikey" "$skey" "$work"

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
