# Shared by the lab scripts (run-demo.sh, screenshots.sh, soak.sh), which run
# logons through the logon host against the reference service on loopback.
# Source it; every function stops the script with a message on failure.

winpath() { printf 'Z:%s' "$(printf '%s' "$1" | sed 's#/#\\#g')"; }

# lab_init BUILD NAME: the built pieces of BUILD (NAME prefixes messages).
lab_init() {
  lab_name=$2
  run="$1/wine-run.sh"
  host="$1/tools/logon_host/vyn-logon-host.exe"
  module="$1/gina/VynGina.dll"
  stub_dir="$1/tools/stub_msgina"
  service="$1/refservice/native/vyn-refservice"
  trust="$1/tools/refservice/vyn-trust-ca.exe"
  pki="$1/refservice/pki"
  local f
  for f in "$host" "$module" "$stub_dir/msgina.dll" "$service" "$trust" "$pki/localhost.pem"; do
    [ -f "$f" ] || { echo "$lab_name: $f is missing; build first (scripts/setup.sh)" >&2; exit 1; }
  done
}

# lab_stop_wine: ends every Wine process of the current prefix (VYN_WINEPREFIX),
# its persistent wineserver and services included. The lab scripts call it from
# their exit trap, so nothing they started outlives them.
lab_stop_wine() { "$run" --shutdown; }

lab_free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# lab_start_service PORT SCENARIO LOGFILE [more service options...]: starts the
# reference service in the background (its pid in lab_service_pid) and waits
# until it answers.
lab_start_service() {
  local port=$1 scenario=$2 logfile=$3
  shift 3
  "$service" --port "$port" --cert "$pki/localhost.pem" --key "$pki/localhost.key" --scenario "$scenario" "$@" \
    </dev/null >"$logfile" 2>&1 &
  lab_service_pid=$!
  local _
  for _ in $(seq 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
    kill -0 "$lab_service_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill "$lab_service_pid" 2>/dev/null || true
  cat "$logfile" >&2
  echo "$lab_name: the reference service did not start on port $port" >&2
  exit 1
}

# lab_configure_module PORT IKEY SKEY WORKDIR: in the current Wine prefix
# (VYN_WINEPREFIX), trusts the service's test CA and writes the module's
# settings for the service on PORT, failing closed and without automatic push.
# The first use of a prefix creates it (about half a minute).
lab_configure_module() {
  cat >"$4/settings.reg" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\Software\\Vyn Security\\VynCredProv]
"Host"="localhost:$1"
"IKey"="$2"
"SKey"="$3"
"FailOpen"=dword:00000000
"AutoPush"=dword:00000000
REG
  "$run" "$trust" "$(winpath "$pki/ca.der")" </dev/null >/dev/null 2>&1 \
    || { echo "$lab_name: could not trust the service's test CA in ${VYN_WINEPREFIX:-the prefix}" >&2; exit 1; }
  "$run" reg import "$(winpath "$4/settings.reg")" </dev/null >/dev/null 2>&1 \
    || { echo "$lab_name: could not write the module's settings" >&2; exit 1; }
}

# lab_bench_init BUILD NAME: for the benchmarks, which run programs of the
# test build: builds what is missing, trusts the service's test CA in the
# tree's prefix (creating the prefix if needed), then lab_init.
lab_bench_init() {
  [ -f "$1/build.ninja" ] || VYN_BUILD_DIR=$1 "$(dirname "${BASH_SOURCE[0]}")/setup.sh" >&2
  cmake --build "$1" >/dev/null
  (cd "$1" && ctest -R '^refservice\.trust_ca$' >/dev/null) \
    || { echo "$2: could not trust the service's test CA" >&2; exit 1; }
  lab_init "$1" "$2"
}

# lab_make_work: a temporary folder in $work; at exit the service started by
# lab_start_service is stopped, every Wine process of the prefix is ended and
# the folder removed, however the script ends.
lab_make_work() {
  work=$(mktemp -d)
  trap lab_cleanup EXIT
}
lab_cleanup() {
  if [ -n "${lab_service_pid:-}" ]; then
    kill "$lab_service_pid" 2>/dev/null || true
    wait "$lab_service_pid" 2>/dev/null || true
  fi
  lab_stop_wine
  rm -rf "$work"
}
