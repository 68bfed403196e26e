#!/usr/bin/env bash
# Sets up the machine (idempotently), builds everything and runs the main job:
# a logon through VynGina.dll in the logon host.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${VYN_BUILD_DIR:-$repo/build}
"$repo/scripts/setup.sh"
exec "$repo/scripts/run-demo.sh" "$build"
