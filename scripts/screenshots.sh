#!/usr/bin/env bash
# Renders the module's two dialogs under Xvfb into the documentation:
#   docs/passcode-dialog.png  the passcode dialog with "push" typed in
#   docs/status-dialog.png    the status dialog showing a progress text
# A logon runs through the logon host against the reference service, whose
# scenario holds the second status poll so that the status dialog stays up
# while it is captured.
#   scripts/screenshots.sh [output dir]     (default: <repo>/docs)
# Environment: VYN_BUILD_DIR (default: <repo>/build).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${VYN_BUILD_DIR:-$repo/build}" && pwd)
out=${1:-$repo/docs}
mkdir -p "$out"
out=$(cd "$out" && pwd)
. "$repo/scripts/lab.sh"
log() { printf '[screenshots] %s\n' "$*" >&2; }

lab_init "$build" screenshots
# ImageMagick's own tools (a convert found earlier on PATH may be a stand-in).
import=/usr/bin/import
for t in "$import" /usr/bin/Xvfb /usr/bin/xwininfo; do
  [ -x "$t" ] || { log "$t is missing (Debian packages imagemagick, xvfb, x11-utils)"; exit 1; }
done

ikey=DISCREENSHOTS0000000
skey=screenshots-secret-key-00000000000000
port=$(lab_free_port)
control=$(lab_free_port)
display_number=$(for n in $(seq 90 140); do [ -e "/tmp/.X$n-lock" ] || { echo "$n"; break; }; done)

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  lab_stop_wine
  rm -rf "$work"
}
trap cleanup EXIT

/usr/bin/Xvfb ":$display_number" -screen 0 1024x768x24 -nolisten tcp </dev/null >"$work/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY=":$display_number" VYN_WINE_DISPLAY=1
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$display_number" ] && break; sleep 0.1; done

cat >"$work/scenario.json" <<JSON
{"ikey": "$ikey", "skey": "$skey",
 "users": {"alice": {"result": "auth", "status": "Account active"}},
 "answers": {"push": {"statuses": [
   {"result": "", "status": "Pushed a login request to your device..."},
   {"hold": true, "hold_ms": 30000, "result": "allow", "status": "Success. Logging you in..."}]}}}
JSON
lab_start_service "$port" "$work/scenario.json" "$work/service.log" --control-port "$control"
pids+=("$lab_service_pid")

log "preparing the Wine prefix of the display runs (the first time takes about half a minute)"
lab_configure_module "$port" "$ikey" "$skey" "$work"

# The scripted user types push and looks at it for a while before pressing OK.
"$run" "$host" --msgina-dir "$(winpath "$stub_dir")" --answer push --think 4000 \
  "$(winpath "$module")" --logon user=alice </dev/null >"$work/host.out" 2>&1 &
host_pid=$!
pids+=("$host_pid")

wait_for() {  # text in the host's output, seconds
  for _ in $(seq $(($2 * 10))); do
    grep -qF -- "$1" "$work/host.out" 2>/dev/null && return 0
    kill -0 "$host_pid" 2>/dev/null || break
    sleep 0.1
  done
  log "the host never printed: $1"
  tr -d '\r' <"$work/host.out" >&2
  return 1
}

capture() {  # window title, file
  local id
  id=$(xwininfo -root -tree | awk -v t="\"$1\": (" 'index($0, t) { print $1; exit }')
  [ -n "$id" ] || { log "no window \"$1\" on the display"; xwininfo -root -tree >&2; return 1; }
  "$import" -window "$id" "$2"
  log "wrote $2 ($(identify -format '%wx%h' "$2" 2>/dev/null || echo '?'))"
}

wait_for 'passcode dialog: typed "push"' 120
sleep 1
capture "Vyn Security" "$out/passcode-dialog.png"

wait_for 'status text "Pushed a login request to your device..."' 60
sleep 1
capture "Authenticating..." "$out/status-dialog.png"

# Lets the held poll answer, and the logon finish.
exec 3<>"/dev/tcp/127.0.0.1/$control"
printf 'POST /control/release?ikey=%s HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n' "$ikey" >&3
cat <&3 >/dev/null
exec 3>&-
wait "$host_pid" || true
grep -qF 'host: WlxLoggedOutSAS -> 1 WLX_SAS_ACTION_LOGON' "$work/host.out" \
  || { log "the logon did not complete"; tr -d '\r' <"$work/host.out" >&2; exit 1; }
log "done"
