#!/usr/bin/env bash
# Sets up the machine (idempotently), builds everything and runs every test.
# Environment:
#   VYN_TEST_JOBS   tests run at once (default: twice the processors; most
#                   tests wait on the service, a bound or a pause)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${VYN_BUILD_DIR:-$repo/build}
"$repo/scripts/setup.sh"
cd "$build"
# The Wine prefixes of the suite (the shared one, one per test that changes
# machine state at a time, and the installer tests' own) keep a wineserver and
# services running between tests; none outlives this command, whether it
# passes, fails or is interrupted.
trap '"$build/wine-run.sh" --shutdown-all' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
# Every prefix is made, and its wineserver, services and desktop started,
# before ctest discovers the tests: discovery never waits on a prefix's
# set-up, and no test is the first to open a window in its Wine session.
"$build/wine-run.sh" --prepare-all
# ctest allots the prefixes itself (the resource file named in
# DartConfiguration.tcl); a test that fails counts as failed: no retry.
ctest --output-on-failure -j "${VYN_TEST_JOBS:-$(( $(nproc) * 2 ))}" "$@"
