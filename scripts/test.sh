#!/usr/bin/env bash
# Sets up the machine (idempotently), builds everything and runs every test.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${VYN_BUILD_DIR:-$repo/build}
"$repo/scripts/setup.sh"
cd "$build"
# Create the Wine prefix before ctest discovers the tests, so that discovery
# never waits on the one-time prefix set-up.
"$build/wine-run.sh" cmd.exe /c exit >/dev/null 2>&1 || true
# A test that fails is run once more before it counts: under load a Wine
# process can, rarely, die while starting up, before the test program runs
# (no output at all). A real failure fails both times.
exec ctest --output-on-failure --repeat until-pass:2 -j "$(nproc)" "$@"
