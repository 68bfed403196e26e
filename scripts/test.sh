#!/usr/bin/env bash
# Sets up the machine (idempotently), builds everything and runs every test.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${VYN_BUILD_DIR:-$repo/build}
"$repo/scripts/setup.sh"
cd "$build"
exec ctest --output-on-failure -j "$(nproc)" "$@"
