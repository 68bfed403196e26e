#!/usr/bin/env bash
# The administrator's guide as the package's text file: docs/admin-guide.md
# whole, with Windows line ends for Notepad. Called by scripts/package.sh
# (with --release) and by the installer tests' build. The guide travels to
# machines that hold no source tree, so a guide that names a path of the
# sources (tests/, scripts/, a .cpp file) is refused rather than shipped; a
# release also refuses a guide that still holds a "[[PENDING: ...]]" note.
#   make-guide.sh [--release] docs/admin-guide.md OUT.txt
set -euo pipefail
release=0
if [ "${1:-}" = --release ]; then release=1; shift; fi
guide=${1:?usage: make-guide.sh [--release] docs/admin-guide.md OUT.txt}
out=${2:?usage: make-guide.sh [--release] docs/admin-guide.md OUT.txt}
[ -s "$guide" ] || { echo "make-guide: $guide is missing or empty" >&2; exit 1; }
if grep -n -E 'tests/|scripts/|\.cpp\b' "$guide" >&2; then
  echo "make-guide: $guide names a source path (the lines above); the package's guide must not" >&2
  exit 1
fi
if [ "$release" = 1 ] && grep -n -F '[[PENDING:' "$guide" >&2; then
  echo "make-guide: $guide still holds notes to fill in (the lines above); a release ships none" >&2
  exit 1
fi
sed 's/$/\r/' "$guide" > "$out.tmp"
mv "$out.tmp" "$out"
