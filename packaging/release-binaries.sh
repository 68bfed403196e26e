#!/usr/bin/env bash
# Builds the shipped binaries in a Release build tree and writes them to OUT,
# stripped, each with its debug information in NAME.debug beside it, found by
# debuggers through the debug link (which also carries the file's checksum).
# Prints the paths written, the module first.
#   release-binaries.sh SOURCE_DIR RELEASE_BUILD_DIR OUT_DIR DEPS_PREFIX
# Used by scripts/package.sh and scripts/check-reproducible.sh.
set -euo pipefail
src=$1 release=$2 out=$3 deps_prefix=$4
objcopy=x86_64-w64-mingw32-objcopy
strip=x86_64-w64-mingw32-strip

# binutils writes this time into the PE header of each file it strips or
# changes: 0, as the link leaves it (--no-insert-timestamp).
export SOURCE_DATE_EPOCH=0

cmake -S "$src" -B "$release" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DVYN_DEPS_PREFIX="$deps_prefix" >/dev/null
cmake --build "$release" --target vyn_shipped -j "$(nproc)" >&2

mkdir -p "$out"
while IFS= read -r file; do
  [ -n "$file" ] || continue
  name=$(basename "$file")
  "$objcopy" --only-keep-debug "$file" "$out/$name.debug"
  "$strip" --strip-all -o "$out/$name" "$file"
  (cd "$out" && "$objcopy" --add-gnu-debuglink="$name.debug" "$name")
  printf '%s\n' "$out/$name"
done < "$release/shipped-files.txt"
