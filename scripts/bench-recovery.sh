#!/usr/bin/env bash
# Benchmark (not a test): the cost of checking one typed recovery code as the
# module does it at logon (one PBKDF2-HMAC-SHA256 derivation with the count new
# sets get, then a comparison with every stored hash), in a Wine process on
# this machine, for a set of the default size and for the largest set. The
# processor time is the figure the iteration count is chosen by (about 100 ms);
# the wall time adds whatever else the machine is doing.
#   scripts/bench-recovery.sh [N]        N checks each (default 20)
# Environment:
#   VYN_BUILD_DIR    build tree (default: <repo>/build); built first if needed
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${VYN_BUILD_DIR:-$repo/build}
count=${1:-20}

cmake --build "$build" --target recovery_bench >/dev/null
"$build/wine-run.sh" "$build/tests/auth/recovery_bench.exe" "$count" | tr -d '\r'
