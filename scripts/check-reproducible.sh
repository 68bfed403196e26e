#!/usr/bin/env bash
# Checks that the release binaries are reproducible: builds the committed
# sources (HEAD) twice, from two copies at different paths into two build
# trees at different paths, with the target libraries reached by two paths, and compares the stripped binaries and their
# debug files byte for byte. Also reports the module's size against its goal.
#   scripts/check-reproducible.sh
# Environment: VYN_DEPS_DIR as for scripts/setup.sh. Takes a few minutes.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
deps=${VYN_DEPS_DIR:-$repo/.deps}
ls "$deps"/mingw/.libbson-*.stamp >/dev/null 2>&1 || "$repo/scripts/setup.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
log() { printf '[reproducible] %s\n' "$*"; }

commit=$(git -C "$repo" rev-parse HEAD)
[ -z "$(git -C "$repo" status --porcelain --untracked-files=no)" ] \
  || log "note: the checkout has uncommitted changes; this checks the commit $commit"
# The second build also reaches the target libraries by another path (a link),
# so a library path left in a binary shows as a difference too.
ln -s "$(cd "$deps" && pwd)" "$work/deps-elsewhere"
for run in first second-run-elsewhere; do
  mkdir -p "$work/$run/src"
  git -C "$repo" archive --format=tar "$commit" | tar -x -C "$work/$run/src"
  prefix=$deps/mingw
  [ "$run" = first ] || prefix=$work/deps-elsewhere/mingw
  log "building $commit in $work/$run (target libraries in $prefix)"
  "$repo/packaging/release-binaries.sh" "$work/$run/src" "$work/$run/build-$run" "$work/$run/out" "$prefix" \
    > "$work/$run.files" 2> "$work/$run.log" || { cat "$work/$run.log" >&2; exit 1; }
done

status=0
for file in "$work"/first/out/*; do
  name=$(basename "$file")
  if cmp -s "$file" "$work/second-run-elsewhere/out/$name"; then
    log "same bytes:  $name ($(stat -c %s "$file") bytes, sha256 $(sha256sum < "$file" | cut -c1-16)...)"
  else
    log "DIFFERENT:   $name"
    status=1
  fi
done
size=$(stat -c %s "$work/first/out/VynGina.dll")
goal=$((900 * 1024))
if [ "$size" -le "$goal" ]; then log "VynGina.dll: $size bytes, within the goal of $goal bytes (900 KB)"
else log "VynGina.dll: $size bytes, OVER the goal of $goal bytes (900 KB)"; fi
[ "$status" -eq 0 ] && log "reproducible: both builds gave the same bytes" || log "NOT reproducible"
exit "$status"
