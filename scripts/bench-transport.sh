#!/usr/bin/env bash
# Benchmark (not a test): one signed "preauth" exchange through the module's
# request executor (WinHTTP under Wine), against its floor (the same request
# bytes sent by a bare WinHTTP client in the same Wine process, no signing, no
# envelope), through the executor with the module's own TLS client ("Tls" = 2)
# on its kept connection and on a new connection each time, and against the same request sent by a native client (curl) to the same
# reference service on this machine.
#   scripts/bench-transport.sh [N]        N exchanges each (default 20)
# Environment:
#   VYN_BUILD_DIR    build tree (default: <repo>/build); built first if needed
#   VYN_BENCH_PORT   HTTPS port of the benchmark's own service (default 47443)
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${VYN_BUILD_DIR:-$repo/build}
count=${1:-20}
port=${VYN_BENCH_PORT:-47443}
ikey=DIBENCHMARK000000000
skey=bench-secret-key-0123456789
user='corp\alice'

log() { printf '[bench] %s\n' "$*" >&2; }

. "$repo/scripts/lab.sh"
lab_bench_init "$build" bench
lab_make_work

cat >"$work/scenario.json" <<JSON
{"ikey": "$ikey", "skey": "$skey",
 "users": {"corp\\\\alice": {"result": "auth", "status": "Account active", "factors": {"default": "push"}}}}
JSON
lab_start_service "$port" "$work/scenario.json" "$work/service.log"

# The module's side: timings measured in-process around MakeRequest.
"$build/wine-run.sh" "$build/tests/transport/transport_bench.exe" "$port" "$ikey" "$skey" "$user" "$count" \
  | tr -d '\r' >"$work/module.txt"
ua=$(sed -n 's/^user-agent //p' "$work/module.txt")
auth=$(sed -n 's/^authorization //p' "$work/module.txt")
body=$(sed -n 's/^body //p' "$work/module.txt")
sed -n 's/^ms //p' "$work/module.txt" >"$work/module.ms"
sed -n 's/^floor //p' "$work/module.txt" >"$work/floor.ms"
sed -n 's/^builtin //p' "$work/module.txt" >"$work/builtin.ms"
sed -n 's/^fresh //p' "$work/module.txt" >"$work/fresh.ms"
[ "$(wc -l <"$work/module.ms")" -eq "$count" ] && [ "$(wc -l <"$work/floor.ms")" -eq "$count" ] \
  && [ "$(wc -l <"$work/builtin.ms")" -eq "$count" ] && [ "$(wc -l <"$work/fresh.ms")" -eq "$count" ] \
  || { log "module run failed"; cat "$work/module.txt" >&2; exit 1; }

# The native side: the same method, target, headers and body, each in a new
# process with a new TLS connection (curl's own transfer time, start-up excluded).
url="https://localhost:$port/rest/v1/preauth.bson"
: >"$work/curl.ms"
for _ in $(seq "$count"); do
  out=$(curl -sS -o /dev/null --cacert "$pki/ca.pem" -A "$ua" -H "$auth" \
          -H 'Content-Type: application/x-www-form-urlencoded' --data-binary "$body" \
          -w '%{http_code} %{time_total}' "$url")
  [ "${out%% *}" = 200 ] || { log "curl got: $out"; exit 1; }
  awk -v t="${out#* }" 'BEGIN { printf "%.3f\n", t * 1000 }' >>"$work/curl.ms"
done

median() { sort -n "$1" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "request   module_ms   floor_ms   builtin_ms   builtin_new_ms   curl_ms"
paste "$work/module.ms" "$work/floor.ms" "$work/builtin.ms" "$work/fresh.ms" "$work/curl.ms" \
  | awk '{ printf "%7d %11.3f %10.3f %12.3f %16.3f %9.3f\n", NR, $1, $2, $3, $4, $5 }'
m=$(median "$work/module.ms")
f=$(median "$work/floor.ms")
b=$(median "$work/builtin.ms")
n=$(median "$work/fresh.ms")
c=$(median "$work/curl.ms")
echo "median    $m   $f   $b   $n   $c"
awk -v m="$m" -v f="$f" -v b="$b" -v n="$n" -v c="$c" 'BEGIN {
  printf "ratio module / floor (medians): %.2f\n", m / f
  printf "ratio floor / curl (medians):   %.2f\n", f / c
  printf "ratio module / curl (medians):  %.2f\n", m / c
  printf "ratio built-in / curl (medians): %.2f\n", b / c
  printf "ratio built-in on a new connection / curl (medians): %.2f\n", n / c }'
