#!/usr/bin/env bash
# Builds the release of VynGina in a build tree of its own and fills dist/:
# the stripped binaries with their debug information beside them, the
# installer package, the Group Policy templates, an example .reg file, the
# administrator's guide and SHA256SUMS. The test build is left as it is (it
# is brought up to date first: its PE test checks the release binaries).
#   scripts/package.sh
# Environment:
#   VYN_RELEASE_DIR  release build tree (default: <repo>/build-release)
#   VYN_DIST_DIR     output folder (default: <repo>/dist)
#   VYN_BUILD_DIR, VYN_DEPS_DIR  as for scripts/setup.sh
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
release=${VYN_RELEASE_DIR:-$repo/build-release}
dist=${VYN_DIST_DIR:-$repo/dist}
build=${VYN_BUILD_DIR:-$repo/build}
deps=${VYN_DEPS_DIR:-$repo/.deps}
version=$(sed -n 's/^project(VynGina VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")
size_goal=$((900 * 1024))
log() { printf '[package] %s\n' "$*"; }

"$repo/scripts/setup.sh"
# The PE test below runs under Wine: stop the test prefix's Wine processes
# when this script ends, however it ends.
trap '"$build/wine-run.sh" --shutdown' EXIT

log "building the release in $release"
rm -rf "$dist"
files=$("$repo/packaging/release-binaries.sh" "$repo" "$release" "$dist" "$deps/mingw")
mapfile -t shipped <<< "$files"
[ "$(basename "${shipped[0]}")" = VynGina.dll ] || { echo "package: VynGina.dll is not the first shipped file" >&2; exit 1; }

# The rules every binary for NT 5.2 must pass, by the test build's PE test.
image_test="$build/tests/gina/gina_image_tests.exe"
for binary in "${shipped[@]}"; do
  case $binary in
    */VynSetupActions.dll) filter='ModuleImage.IsA64BitDll:ModuleImage.SubsystemAndOsVersionAtMost52:ModuleImage.ImportsOnlyXpEraFunctionsOfSystemDlls' ;;
    *.dll) filter='ModuleImage.*' ;;
    *) filter='ModuleImage.SubsystemAndOsVersionAtMost52:ModuleImage.ImportsOnlyXpEraFunctionsOfSystemDlls' ;;
  esac
  windows="Z:$(printf '%s' "$binary" | sed 's#/#\\#g')"
  if ! VYN_PE_IMAGE="$windows" "$build/wine-run.sh" "$image_test" --gtest_filter="$filter" >"$dist/.pe-check.log" 2>&1; then
    cat "$dist/.pe-check.log" >&2
    echo "package: $(basename "$binary") breaks the rules for Windows XP x64 / Server 2003 x64" >&2
    exit 1
  fi
  log "$(basename "$binary"): PE headers and imports fit Windows XP x64 / Server 2003 x64"
done
rm -f "$dist/.pe-check.log"

"$repo/packaging/make-guide.sh" --release "$repo/docs/admin-guide.md" "$dist/VynGina-Guide.txt"
cp "$repo/packaging/VynGina-example.reg" "$dist/"
cp "$repo/packaging/vyn-collect.cmd" "$dist/"
mkdir -p "$dist/en-US"
cp "$repo/packaging/gpo/VynSecurity.adm" "$repo/packaging/gpo/VynSecurity.admx" "$dist/"
cp "$repo/packaging/gpo/en-US/VynSecurity.adml" "$dist/en-US/"
tool_args=()
for binary in "${shipped[@]:1}"; do
  case $binary in
    */VynSetupActions.dll) tool_args+=(--actions "$binary") ;;
    *) tool_args+=(--tool "$binary") ;;
  esac
done
"$repo/packaging/make-msi.sh" --out "$dist/VynGina.msi" --version "$version" --guide "$dist/VynGina-Guide.txt" \
  --module "$dist/VynGina.dll" "${tool_args[@]}"

(cd "$dist" && find . -type f ! -name SHA256SUMS | sed 's#^\./##' | LC_ALL=C sort | xargs -d '\n' sha256sum > SHA256SUMS)

size=$(stat -c %s "$dist/VynGina.dll")
log "dist: $dist"
(cd "$dist" && find . -type f | sed 's#^\./##' | LC_ALL=C sort | while read -r f; do printf '[package]   %-28s %9d bytes\n' "$f" "$(stat -c %s "$f")"; done)
if [ "$size" -le "$size_goal" ]; then
  log "VynGina.dll $version: $size bytes, within the goal of $size_goal bytes (900 KB)"
else
  log "VynGina.dll $version: $size bytes, OVER the goal of $size_goal bytes (900 KB)"
fi
