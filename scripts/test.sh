#!/usr/bin/env bash
# Sets up the machine (idempotently), builds everything and runs every test.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${VYN_BUILD_DIR:-$repo/build}
"$repo/scripts/setup.sh"
cd "$build"
# The Wine prefixes of the suite (the shared one and the installer tests' own)
# keep a wineserver and services running between tests; none outlives this
# command, whether it passes, fails or is interrupted.
shutdown() {
  local prefix
  for prefix in "$build/wineprefix" "$build/wineprefix-msi"; do
    VYN_WINEPREFIX=$prefix "$build/wine-run.sh" --shutdown
  done
}
trap shutdown EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
# Create the Wine prefix before ctest discovers the tests, so that discovery
# never waits on the one-time prefix set-up.
"$build/wine-run.sh" cmd.exe /c exit >/dev/null 2>&1 || true
# A test that fails is run once more before it counts: under load a Wine
# process can, rarely, die while starting up, before the test program runs
# (no output at all). A real failure fails both times.
ctest --output-on-failure --repeat until-pass:2 -j "$(nproc)" "$@"
