#!/usr/bin/env bash
# The administrator's guide as text: the README's sections from "What the
# module does" up to "Building and testing from source", with Windows line
# ends for Notepad.
#   make-guide.sh README.md OUT.txt
set -euo pipefail
readme=${1:?usage: make-guide.sh README.md OUT.txt}
out=${2:?usage: make-guide.sh README.md OUT.txt}
awk '/^## What the module does/ {on = 1} /^## Building and testing from source/ {on = 0} on' "$readme" \
  | sed 's/$/\r/' > "$out.tmp"
[ -s "$out.tmp" ] || { echo "make-guide: no guide sections in $readme" >&2; rm -f "$out.tmp"; exit 1; }
mv "$out.tmp" "$out"
