#!/usr/bin/env bash
# Builds, once, the libraries the Windows build needs and has no Debian
# mingw-w64 package for, into build/windows-deps/TRIPLE:
#   liblzma         from Debian's xz-utils source package (static)
#   libdivsufsort   from Debian's libdivsufsort source package (static)
#   GoogleTest/Mock from /usr/src/googletest (static)
# libgcrypt and libgpg-error come from Debian's mingw-w64 packages.
#   cmake/windows-deps.sh x86_64-w64-mingw32 | i686-w64-mingw32
#
# Debian packages it needs: dpkg-dev (apt-get source), make, cmake,
# ninja-build, googletest, g++-mingw-w64-x86-64-posix,
# g++-mingw-w64-i686-posix, libgcrypt-mingw-w64-dev,
# libgpg-error-mingw-w64-dev. xz-utils' release tarball ships its configure
# script, so no autotools are needed.
set -euo pipefail

triple=${1:?usage: $0 x86_64-w64-mingw32|i686-w64-mingw32}
case $triple in
  x86_64-w64-mingw32) toolchain=mingw-x86_64.cmake ;;
  i686-w64-mingw32) toolchain=mingw-i686.cmake ;;
  *) echo "unknown triple: $triple" >&2; exit 2 ;;
esac

top=$(cd "$(dirname "$0")/.." && pwd)
deps=$top/build/windows-deps
prefix=$deps/$triple
work=$deps/build/$triple
src=$deps/src
mkdir -p "$prefix" "$work" "$src"

log() { printf 'windows-deps %s: %s\n' "$triple" "$*"; }

if [ -e "$prefix/.stamp-liblzma" ] && [ -e "$prefix/.stamp-divsufsort" ] && [ -e "$prefix/.stamp-googletest" ]; then
  exit 0
fi

# One run at a time: both triples share the source folder and apt.
exec 9>"$deps/.lock"
flock 9

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

# Adds a deb-src twin of every deb entry in debian.sources (same URIs,
# suites, components and key), unless apt already knows source packages.
ensure_deb_src() {
  apt-cache showsrc xz-utils >/dev/null 2>&1 && return 0
  local from=/etc/apt/sources.list.d/debian.sources
  local to=/etc/apt/sources.list.d/harbinor-deb-src.sources
  log "adding deb-src entries to $to"
  awk 'BEGIN { RS = ""; FS = "\n" }
       {
         out = ""; deb = 0; off = 0
         for (i = 1; i <= NF; i++) {
           if ($i ~ /^#/) continue
           if ($i ~ /^Types:/) { if ($i ~ /[ \t]deb([ \t]|$)/) deb = 1; $i = "Types: deb-src" }
           if ($i ~ /^Enabled:[ \t]*no/) off = 1
           out = out $i "\n"
         }
         if (deb && !off) printf "%s%s", (n++ ? "\n" : ""), out
       }' "$from" | "${sudo[@]}" tee "$to" >/dev/null
  [ -s "$to" ] || { echo "no deb entry found in $from" >&2; exit 1; }
  "${sudo[@]}" apt-get update -q
}

# The unpacked tree of Debian's source package $1 in $src (fetched once).
debian_source() {
  local tree
  tree=$(find "$src" -mindepth 1 -maxdepth 1 -type d -name "$1-*" | head -n1)
  if [ -z "$tree" ]; then
    ensure_deb_src >&2
    log "fetching Debian source package $1" >&2
    (cd "$src" && apt-get source -q "$1" >&2)
    tree=$(find "$src" -mindepth 1 -maxdepth 1 -type d -name "$1-*" | head -n1)
  fi
  [ -n "$tree" ] || { echo "no source tree of $1" >&2; exit 1; }
  echo "$tree"
}

# Makes the .pc file of $1 follow the folder if the tree moves.
relocatable_pc() {
  sed -i -e "s|$prefix|\${prefix}|g" -e 's|^prefix=.*|prefix=${pcfiledir}/../..|' \
    "$prefix/lib/pkgconfig/$1.pc"
}

# Configures the CMake project in $2 for the target, static, into $prefix
# with the options after it, builds and installs it; its log is
# $work/$1.log.
cmake_install() {
  local name=$1 source=$2
  shift 2
  rm -rf "$work/$name"
  cmake -S "$source" -B "$work/$name" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF "$@" \
    >"$work/$name.log" 2>&1 &&
  cmake --build "$work/$name" --target install >>"$work/$name.log" 2>&1 ||
    { tail -n 50 "$work/$name.log" >&2; exit 1; }
}

if [ ! -e "$prefix/.stamp-liblzma" ]; then
  start=$SECONDS
  xzsrc=$(debian_source xz-utils)
  log "building liblzma from $(basename "$xzsrc")"
  rm -rf "$work/xz"
  mkdir -p "$work/xz"
  (
    cd "$work/xz"
    "$xzsrc/configure" --host="$triple" --prefix="$prefix" \
      --disable-shared --enable-static \
      --disable-xz --disable-xzdec --disable-lzmadec --disable-lzmainfo \
      --disable-lzma-links --disable-scripts --disable-doc --disable-nls \
      >configure.log 2>&1 || { cat configure.log >&2; exit 1; }
    make -j"$(nproc)" -C src/liblzma install >make.log 2>&1 || { tail -n 50 make.log >&2; exit 1; }
  )
  relocatable_pc liblzma
  touch "$prefix/.stamp-liblzma"
  log "liblzma done in $((SECONDS - start)) s"
fi

if [ ! -e "$prefix/.stamp-divsufsort" ]; then
  start=$SECONDS
  dsssrc=$(debian_source libdivsufsort)
  log "building libdivsufsort from $(basename "$dsssrc")"
  cmake_install divsufsort "$dsssrc" -DBUILD_EXAMPLES=OFF -DWITH_LFS=OFF
  relocatable_pc libdivsufsort
  touch "$prefix/.stamp-divsufsort"
  log "libdivsufsort done in $((SECONDS - start)) s"
fi

if [ ! -e "$prefix/.stamp-googletest" ]; then
  start=$SECONDS
  log "building GoogleTest and GoogleMock"
  cmake_install googletest /usr/src/googletest -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON
  touch "$prefix/.stamp-googletest"
  log "GoogleTest done in $((SECONDS - start)) s"
fi
