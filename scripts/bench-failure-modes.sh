#!/usr/bin/env bash
# Benchmark (not a test): time to Winlogon's answer per failure mode of the
# service, with fail-open on and off. Each run is the module's
# pre-authentication (its 10 s bound, three attempts) in a fresh Wine process,
# timed in-process around the call, as the gate makes it on Winlogon's thread.
#   scripts/bench-failure-modes.sh [N]     N runs per mode and setting (default 1)
# Modes: refused (closed port), silent (listener that never accepts), notls
# (TCP accepted, no TLS handshake), held (the service holds its answer),
# trickle (the body one byte every 9 s), trickle-headers (the headers and
# body one byte every 200 ms: Wine cannot end that wait, see docs/developing.md),
# slowdns (a stand-in resolver that takes a minute).
# Each with the "Tls" setting 0 (automatic: the system's TLS first) and 2 (the
# module's own TLS client only); slowdns stands in for WinHTTP's resolver, so it
# runs with 0 alone.
# Environment:
#   VYN_BUILD_DIR    build tree (default: <repo>/build); built first if needed
#   VYN_BENCH_PORT   HTTPS port of the benchmark's own service (default 47453)
#   VYN_BENCH_TLS    the Tls values to run (default "0 2")
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${VYN_BUILD_DIR:-$repo/build}
count=${1:-1}
port=${VYN_BENCH_PORT:-47453}
closed=$((port + 1))
control=$((port + 2))
ikey=DIBENCHFAILURE000000
skey=bench-failure-secret-0123456789

. "$repo/scripts/lab.sh"
lab_bench_init "$build" bench
lab_make_work

cat >"$work/scenario.json" <<JSON
{"ikey": "$ikey", "skey": "$skey",
 "operations": {"preauth": [{"hold": true, "hold_ms": 45000, "repeat": -1}]}}
JSON
lab_start_service "$port" "$work/scenario.json" "$work/service.log" --control-port "$control"

# load_tenant IKEY SCENARIO-JSON: another tenant of the same service.
load_tenant() {
  exec 3<>"/dev/tcp/127.0.0.1/$control"
  printf 'POST /control/tenants?ikey=%s&skey=%s HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Length: %d\r\n\r\n%s' \
    "$1" "$skey" "${#2}" "$2" >&3
  grep -q '"ok":true' <&3 || { echo "could not load tenant $1" >&2; exit 1; }
  exec 3<&-
}
load_tenant DIBENCHTRICKLE000000 '{"operations": {"preauth": [{"trickle_ms": 9000, "repeat": -1}]}}'
load_tenant DIBENCHTRICKLEHEAD00 '{"operations": {"preauth": [{"trickle_ms": 200, "trickle_headers": true, "repeat": -1}]}}'

echo "mode             failopen  outcome          ms        tls"
for tls in ${VYN_BENCH_TLS:-0 2}; do
  for mode in refused silent notls held trickle trickle-headers slowdns; do
    case $mode in
      trickle) mode_ikey=DIBENCHTRICKLE000000 ;;
      trickle-headers) mode_ikey=DIBENCHTRICKLEHEAD00 ;;
      *) mode_ikey=$ikey ;;
    esac
    [ "$mode" = slowdns ] && [ "$tls" != 0 ] && continue
    for failopen in 1 0; do
      for _ in $(seq "$count"); do
        "$build/wine-run.sh" "$build/tests/transport/failure_bench.exe" "$mode" "$failopen" "$port" "$closed" \
          "$mode_ikey" "$skey" "$tls" | tr -d '\r' | awk '{ printf "%-16s %-9s %-14s %8.1f  %s\n", $1, $2, $3, $4, $5 }'
      done
    done
  done
done
