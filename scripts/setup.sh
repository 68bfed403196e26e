#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine to build and test VynGina, then builds it.
# Idempotent: every step checks whether its work is already done.
#   scripts/setup.sh            install what is missing, build deps and the project
# Environment:
#   VYN_BUILD_DIR   build tree (default: <repo>/build)
#   VYN_DEPS_DIR    target dependencies (default: <repo>/.deps)
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${VYN_BUILD_DIR:-$repo/build}
deps=${VYN_DEPS_DIR:-$repo/.deps}
prefix=$deps/mingw
toolchain=$repo/cmake/mingw-w64-x86_64.cmake
jobs=$(nproc)

log() { printf '[setup] %s\n' "$*"; }
stop() { printf '[setup] %s\n' "$*" >&2; exit 1; }

# 0. What the tests need from the machine itself, checked first so that a
# missing piece is named here rather than as hundreds of failing tests. The
# reference service and the module meet on "localhost" (the test certificate
# names it), and Wine, the build and the tests write temporary files.
if ! getent ahosts localhost 2>/dev/null | awk '{print $1}' | grep -Eq '^(127\.|::1$)'; then
  stop "\"localhost\" does not resolve to a loopback address on this machine: add the line \"127.0.0.1 localhost\" to /etc/hosts (create the file if it is missing), then run this again."
fi
tmp_dir=${TMPDIR:-/tmp}
if ! probe=$(mktemp -d "$tmp_dir/vyn-setup.XXXXXX" 2>/dev/null) || ! rmdir "$probe"; then
  stop "The temporary folder $tmp_dir is missing or not writable: create it with \"mkdir -p $tmp_dir && chmod 1777 $tmp_dir\" or point TMPDIR at a writable folder, then run this again."
fi

# 1. Debian packages.
packages=(cmake ninja-build pkg-config dpkg-dev patch xz-utils
          g++-mingw-w64-x86-64-win32 gcc-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64
          wine64 wine googletest
          g++ libssl-dev openssl libbson-dev libcpp-httplib-dev nlohmann-json3-dev libgtest-dev
          python3 imagemagick xvfb x11-apps curl wixl msitools chromium)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  log "installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# 2. libbson for the target, built from Debian's own source package.
bson_version=1.23.1
bson_stamp=$prefix/.libbson-$bson_version.stamp
if [ ! -f "$bson_stamp" ]; then
  log "building libbson $bson_version for x86_64-w64-mingw32"
  apt_dir=$deps/apt
  mkdir -p "$apt_dir/lists/partial" "$deps/src"
  # The deb-src twins of the machine's own package sources (its mirror or
  # proxy), in a private list: the machine's apt configuration stays as it is.
  python3 "$repo/scripts/apt-source-lines.py" --keys-dir "$apt_dir/keys" > "$apt_dir/sources.list"
  [ -s "$apt_dir/sources.list" ] \
    || stop "apt has no Debian package source on this machine (/etc/apt/sources.list, /etc/apt/sources.list.d): add the Debian mirror this machine should use there, then run this again."
  aptopts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/nonexistent
           -o "Dir::State::Lists=$apt_dir/lists" -o APT::Sandbox::User=root)
  apt-get "${aptopts[@]}" update -q >/dev/null
  src=$(ls -d "$deps"/src/mongo-c-driver-$bson_version 2>/dev/null || true)
  if [ -z "$src" ]; then
    (cd "$deps/src" && apt-get "${aptopts[@]}" source -q mongo-c-driver=$bson_version\* >/dev/null 2>&1 \
       || apt-get "${aptopts[@]}" source -q mongo-c-driver >/dev/null)
    src=$(ls -d "$deps"/src/mongo-c-driver-$bson_version)
  fi
  # libbson's C11 mode calls aligned_alloc, which msvcrt lacks; C99 avoids it.
  # Its assertions name their source file: the path is mapped to .deps so that
  # the module carries no path of this machine.
  cmake -S "$src" -B "$deps/build-libbson" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_VERSION=$bson_version -DCMAKE_C_STANDARD=99 \
    -DCMAKE_C_FLAGS="-ffile-prefix-map=$deps=.deps" \
    -DENABLE_MONGOC=OFF -DENABLE_STATIC=ON -DENABLE_TESTS=OFF -DENABLE_EXAMPLES=OFF \
    -DENABLE_MAN_PAGES=OFF -DENABLE_HTML_DOCS=OFF -DENABLE_UNINSTALL=OFF >/dev/null
  cmake --build "$deps/build-libbson" -j "$jobs" >/dev/null
  cmake --install "$deps/build-libbson" >/dev/null
  touch "$bson_stamp"
fi

# 2b. Mbed TLS for the target (the module's own TLS client), from Debian's
# source package of the next release (the 3.6 line; this release has only
# 2.28, which is out of upstream support). It is built with the module's own
# configuration header and with the upstream fixes that this package version
# still lacks (net/tls/patches/mbedtls-<version>/): the stamp names the
# checksum of both, so a changed configuration or patch rebuilds the library.
mbedtls_version=3.6
mbedtls_config=$repo/net/tls/mbedtls_config.h
mbedtls_sum=$(cat "$mbedtls_config" "$repo"/net/tls/threading_alt.h "$repo"/net/tls/mbedtls_build_prelude.h \
                  "$repo"/net/tls/patches/mbedtls-*/*.patch | sha256sum | cut -c1-16)
mbedtls_stamp=$prefix/.mbedtls-$mbedtls_version-$mbedtls_sum.stamp
if [ ! -f "$mbedtls_stamp" ]; then
  log "building Mbed TLS $mbedtls_version for x86_64-w64-mingw32"
  apt_dir=$deps/apt-trixie
  mkdir -p "$apt_dir/lists/partial" "$deps/src"
  python3 "$repo/scripts/apt-source-lines.py" --keys-dir "$apt_dir/keys" --suite trixie > "$apt_dir/sources.list"
  [ -s "$apt_dir/sources.list" ] \
    || stop "apt has no Debian package source for this release's suite on this machine (/etc/apt/sources.list, /etc/apt/sources.list.d): add the Debian mirror this machine should use there, then run this again."
  aptopts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/nonexistent
           -o "Dir::State::Lists=$apt_dir/lists" -o APT::Sandbox::User=root)
  src=$(ls -d "$deps"/src/mbedtls-$mbedtls_version.* 2>/dev/null | sort -V | tail -n 1 || true)
  if [ -z "$src" ]; then
    apt-get "${aptopts[@]}" update -q >/dev/null
    (cd "$deps/src" && apt-get "${aptopts[@]}" source -q mbedtls >/dev/null)
    src=$(ls -d "$deps"/src/mbedtls-$mbedtls_version.* | sort -V | tail -n 1)
  fi
  # Upstream fixes, each for the package version it was made against. A fix
  # already in the source (a re-run, or a package that carries it) is left as
  # it is; one that neither applies nor is there stops the set-up, since the
  # module would then be built without it.
  src_version=${src##*/mbedtls-}
  for fix in "$repo/net/tls/patches/mbedtls-$src_version"/*.patch; do
    [ -f "$fix" ] || continue
    if patch -d "$src" -p1 -R -s -f --dry-run < "$fix" >/dev/null 2>&1; then continue; fi
    patch -d "$src" -p1 -N -s -f < "$fix" >/dev/null \
      || stop "the fix $(basename "$fix") does not apply to Mbed TLS $src_version in $src: remove that folder and run this again."
  done
  # A TLS 1.2 server may sign its key exchange with RSA-PSS (rsa_pss_rsae_*),
  # which the client offers for TLS 1.3; 3.6.6 refused such a signature.
  awk '/mbedtls_ssl_tls12_sig_alg_is_supported\(/,/^}/' "$src/library/ssl_misc.h" \
      | grep -q MBEDTLS_TLS1_3_SIG_RSA_PSS_RSAE_SHA256 \
    || stop "Mbed TLS $src_version refuses a TLS 1.2 key exchange signed with RSA-PSS and net/tls/patches has no fix for this version: add the upstream fix \"ssl: accept TLS 1.2 rsa_pss_rsae signature schemes\" there."
  # Its assertions and debug data name source files: both the library's and
  # the repository's paths are mapped away, as for libbson.
  rm -rf "$deps/build-mbedtls"
  cmake -S "$src" -B "$deps/build-mbedtls" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DMBEDTLS_CONFIG_FILE="$mbedtls_config" \
    -DCMAKE_C_FLAGS="-I$repo/net/tls -include $repo/net/tls/mbedtls_build_prelude.h -D_WIN32_WINNT=0x0502 -DWINVER=0x0502 -DWIN32_LEAN_AND_MEAN -ffunction-sections -fdata-sections -ffile-prefix-map=$deps=.deps -ffile-prefix-map=$repo=." \
    -DENABLE_PROGRAMS=OFF -DENABLE_TESTING=OFF -DMBEDTLS_FATAL_WARNINGS=OFF \
    -DUSE_STATIC_MBEDTLS_LIBRARY=ON -DUSE_SHARED_MBEDTLS_LIBRARY=OFF >/dev/null
  cmake --build "$deps/build-mbedtls" -j "$jobs" >/dev/null
  cmake --install "$deps/build-mbedtls" >/dev/null
  rm -f "$prefix"/.mbedtls-$mbedtls_version-*.stamp
  touch "$mbedtls_stamp"
fi

# 3. GoogleTest for the target, from Debian's googletest sources.
gtest_stamp=$prefix/.googletest.stamp
if [ ! -f "$gtest_stamp" ]; then
  log "building GoogleTest for x86_64-w64-mingw32"
  cmake -S /usr/src/googletest -B "$deps/build-googletest" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON \
    -Dgtest_disable_pthreads=ON \
    -DCMAKE_CXX_FLAGS="-DGTEST_HAS_NOTIFICATION_=1 -include $repo/cmake/gtest-win32-notification.h" >/dev/null
  cmake --build "$deps/build-googletest" -j "$jobs" >/dev/null
  cmake --install "$deps/build-googletest" >/dev/null
  touch "$gtest_stamp"
fi

# 4. The project.
if [ ! -f "$build/build.ninja" ]; then
  log "configuring $build"
  cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVYN_DEPS_PREFIX="$prefix"
fi
log "building"
cmake --build "$build" -j "$jobs"
