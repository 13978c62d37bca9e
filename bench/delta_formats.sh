#!/usr/bin/env bash
# Binary patch formats measured on real pairs of consecutive versions, as the
# groundwork for shipping patches against the installed file instead of whole
# files. For every pair (OLD, NEW) and every format:
#
#   patch            size of the patch, bytes
#   of packed        patch size / size of NEW packed the way publish packs it
#                    (publish's LZMA container, default level; with
#                    DELTA_PACK=xz, or when publish is not built, the size of
#                    xz --format=lzma -9 instead, and the table says so)
#   make s, make MiB time and peak resident memory to make the patch
#   apply s, apply MiB  time and peak resident memory to apply it
#   apply MB/s       bytes of NEW / apply s (the tool's whole run)
#   same             applying reproduces NEW byte for byte (cmp)
#
# Formats (the Debian command-line tools; apt-get install zstd xdelta3
# bsdiff time):
#   zstd     zstd -19 --long=27 --patch-from=OLD NEW   /  zstd -d --long=27 --patch-from=OLD
#   xdelta3  xdelta3 -9 -e -s OLD NEW (VCDIFF, its default secondary
#            compressor)                               /  xdelta3 -d -s OLD
#   bsdiff   bsdiff OLD NEW PATCH (bzip2 inside)       /  bspatch OLD NEW PATCH
#   and the size of the bsdiff patch with its streams packed as raw LZMA
#   instead (bench/bsdiff_lzma_size.py; python3)
#
# Usage:
#   bench/delta_formats.sh NAME=OLD:NEW ...    measure these pairs
#   bench/delta_formats.sh                     prepare the default pairs in
#                                              $DELTA_PAIRS and measure them
#
# The default pairs (DELTA_PAIRS, default /tmp/harbinor-delta-pairs; kept
# between runs, nothing is fetched or built twice):
#   - shared libraries from two Debian 12 builds of the same package, fetched
#     with apt-get download and unpacked with dpkg-deb -x (the versions are in
#     debian_pairs below; an older one disappears from the mirrors once it is
#     superseded, then name versions apt-cache madison still lists);
#   - Harbinor (Linux, default preset, RelWithDebInfo) built at two commits in
#     throw-away worktrees in $DELTA_PAIRS: DELTA_REVS="OLD NEW", default the
#     two commits of the table in README.md (main's head on the day, and 29
#     commits before it); and the same two stripped (strip -o);
#   - Harbinor.exe (windows preset) at the same two commits, as built and
#     stripped, when the mingw-w64 compiler is there and the libraries
#     cmake/windows-deps.sh builds are in DELTA_WINDOWS_DEPS (default
#     build/windows-deps, copied into each worktree).
#
# Times are wall seconds, the median of DELTA_RUNS runs (default 5) to apply
# after one run not counted, and of DELTA_MAKE_RUNS runs (default 3) to make;
# memory is the median of the runs' peak resident set (/usr/bin/time %M).
# Every run of a format is checked, not only the first.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")
runs=${DELTA_RUNS:-5}
make_runs=${DELTA_MAKE_RUNS:-3}
pairs_dir=${DELTA_PAIRS:-/tmp/harbinor-delta-pairs}
publish=${PUBLISH:-$top/build/default/bin/publish}
windows_deps=${DELTA_WINDOWS_DEPS:-$top/build/windows-deps}

note() { printf '%s\n' "$*" >&2; }
for tool in zstd xdelta3 bsdiff bspatch /usr/bin/time cmp; do
  command -v "$tool" >/dev/null ||
    { note "delta_formats.sh: $tool is missing (apt-get install zstd xdelta3 bsdiff time)"; exit 1; }
done

# ---- default pairs ----------------------------------------------------------
# package  old version  new version  file in the package
debian_pairs=(
  "libexpat1 2.5.0-1+deb12u2 2.5.0-1+deb12u5 lib/x86_64-linux-gnu/libexpat.so.1.8.10"
  "libssl3 3.0.20-1~deb12u2 3.0.22-1~deb12u2 usr/lib/x86_64-linux-gnu/libssl.so.3"
  "libc6 2.36-9+deb12u7 2.36-9+deb12u14 lib/x86_64-linux-gnu/libc.so.6"
  "libssl3 3.0.20-1~deb12u2 3.0.22-1~deb12u2 usr/lib/x86_64-linux-gnu/libcrypto.so.3"
)

# Fetches PACKAGE=VERSION once and prints the folder it is unpacked in.
debian_unpacked() {
  local pkg=$1 version=$2 dir=$pairs_dir/deb/$1_$2
  if [ ! -e "$dir/.done" ]; then
    mkdir -p "$pairs_dir/deb"
    (cd "$pairs_dir/deb" && apt-get download "$pkg=$version" >&2)
    local deb
    deb=$(ls "$pairs_dir/deb/${pkg}_${version/*:/}_"*.deb)
    mkdir -p "$dir"
    dpkg-deb -x "$deb" "$dir"
    touch "$dir/.done"
  fi
  printf '%s\n' "$dir"
}

# Builds Harbinor at REV once with PRESET (default or windows), in a
# throw-away worktree, and prints its path.
harbinor_at() {
  local rev=$1 preset=$2 src=$pairs_dir/src-$1-$2 bin=$pairs_dir/Harbinor-$1
  [ "$preset" = windows ] && bin=$bin.exe
  if [ ! -x "$bin" ]; then
    note "building Harbinor ($preset) at $rev in $src (several minutes)"
    [ -d "$src" ] || git -C "$top" worktree add --detach "$src" "$rev" >&2
    if [ "$preset" = windows ]; then
      mkdir -p "$src/build"
      cp -a "$windows_deps" "$src/build/windows-deps"
    fi
    (cd "$src" && cmake --preset "$preset" >/dev/null &&
      cmake --build --preset "$preset" --target Harbinor >/dev/null)
    cp "$src/build/$preset/bin/$(basename "$bin" | sed 's/-[^.]*//')" "$bin"
    git -C "$top" worktree remove --force "$src" >&2
  fi
  printf '%s\n' "$bin"
}

# Adds a pair NAME of files OLD and NEW, and the two stripped with STRIP.
add_with_stripped() {
  local name=$1 old=$2 new=$3 strip=$4
  pairs+=("$name=$old:$new")
  [ -e "$old.stripped" ] || "$strip" -o "$old.stripped" "$old"
  [ -e "$new.stripped" ] || "$strip" -o "$new.stripped" "$new"
  pairs+=("$name, stripped=$old.stripped:$new.stripped")
}

default_pairs() {
  local line pkg old new file
  for line in "${debian_pairs[@]}"; do
    read -r pkg old new file <<<"$line"
    pairs+=("$(basename "$file") $old > $new=$(debian_unpacked "$pkg" "$old")/$file:$(debian_unpacked "$pkg" "$new")/$file")
  done
  local revs=${DELTA_REVS:-"2f6e8ae a5217e3"}
  local old_rev new_rev
  read -r old_rev new_rev <<<"$revs"
  add_with_stripped "Harbinor $old_rev > $new_rev" \
    "$(harbinor_at "$old_rev" default)" "$(harbinor_at "$new_rev" default)" strip
  # The Windows program, when it is built already or can be: the mingw-w64
  # compiler and the libraries of cmake/windows-deps.sh.
  if [ -x "$pairs_dir/Harbinor-$old_rev.exe" ] && [ -x "$pairs_dir/Harbinor-$new_rev.exe" ] ||
    { command -v x86_64-w64-mingw32-g++-posix >/dev/null && [ -d "$windows_deps" ]; }; then
    add_with_stripped "Harbinor.exe $old_rev > $new_rev" \
      "$(harbinor_at "$old_rev" windows)" "$(harbinor_at "$new_rev" windows)" x86_64-w64-mingw32-strip
  else
    note "no Windows pair: no mingw-w64 compiler or no $windows_deps (cmake/windows-deps.sh)"
  fi
}

pairs=()
if [ $# -eq 0 ]; then
  default_pairs
else
  pairs=("$@")
fi

work=$(mktemp -d /tmp/harbinor-delta-XXXXXX)
trap 'rm -rf "$work"' EXIT

# ---- packed size ---------------------------------------------------------------
pack_how="publish"
if [ "${DELTA_PACK:-}" = xz ] || [ ! -x "$publish" ]; then
  pack_how="xz --format=lzma -9"
  [ "${DELTA_PACK:-}" = xz ] || note "no $publish: packed sizes are xz --format=lzma -9 (build the publish target for the real ones)"
fi
# The size NEW is served with: publish's container of it as x.dll.
packed_size() {
  if [ "$pack_how" = publish ]; then
    rm -rf "$work/release" "$work/www"
    mkdir -p "$work/release"
    cp "$1" "$work/release/x.dll"
    "$publish" --default-version 1.0.0.0 "$work/release" "$work/www" >/dev/null 2>&1
    stat -c %s "$work/www/tlv5.update/dvd/x.dl_"
  else
    xz --format=lzma -9 -c "$1" | wc -c
  fi
}

# ---- formats --------------------------------------------------------------------
# DELTA_FORMATS chooses some; harbinor is the updater's own format, made as
# `publish --delta-from` makes it and applied as the download worker applies
# it (build/default/bench/harbinor_bench diff, harbinor_patch_bench).
read -r -a formats <<<"${DELTA_FORMATS:-harbinor zstd xdelta3 bsdiff}"
hbench=${HARBINOR_BENCH:-$top/build/default/bench/harbinor_bench}
make_harbinor() { cmd=("$hbench" diff "$1" "$2" "$3"); }
apply_harbinor() { cmd=("$(dirname "$hbench")/harbinor_patch_bench" "$1" "$2" "$(stat -c %s "$new")" "$3"); }
# Each sets cmd to the command line that makes (OLD NEW PATCH) or applies
# (OLD PATCH OUT) the patch.
make_zstd() { cmd=(zstd -q -f -19 --long=27 --patch-from="$1" "$2" -o "$3"); }
apply_zstd() { cmd=(zstd -q -f -d --long=27 --patch-from="$1" "$2" -o "$3"); }
make_xdelta3() { cmd=(xdelta3 -f -9 -e -s "$1" "$2" "$3"); }
apply_xdelta3() { cmd=(xdelta3 -f -d -s "$1" "$2" "$3"); }
make_bsdiff() { cmd=(bsdiff "$1" "$2" "$3"); }
apply_bsdiff() { cmd=(bspatch "$1" "$3" "$2"); }

median() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

# Runs "$@" under /usr/bin/time; sets run_s (wall, from bash's clock) and
# run_kib (peak resident set).
timed() {
  local t0=$EPOCHREALTIME t1
  /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null 2>"$work/stderr" ||
    { note "failed: $*"; cat "$work/stderr" >&2; exit 1; }
  t1=$EPOCHREALTIME
  run_s=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
  run_kib=$(tail -n 1 "$work/rss")
}

mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
size_text() { awk -v b="$1" 'BEGIN { if (b >= 1048576) printf "%.2f MiB", b / 1048576; else printf "%.1f KiB", b / 1024 }'; }

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
rows=()
for pair in "${pairs[@]}"; do
  name=${pair%%=*}
  files=${pair#*=}
  old=${files%%:*}
  new=${files#*:}
  [ -f "$old" ] && [ -f "$new" ] || { note "no such pair: $pair"; exit 1; }
  new_size=$(stat -c %s "$new")
  packed=$(packed_size "$new")
  note "$name: $(size_text "$(stat -c %s "$old")") > $(size_text "$new_size"), packed $(size_text "$packed")"
  for f in "${formats[@]}"; do
    patch=$work/patch.$f
    out=$work/out.$f
    ts=() ms=()
    for ((i = 0; i < make_runs; i++)); do
      rm -f "$patch"
      "make_$f" "$old" "$new" "$patch"
      timed "${cmd[@]}"
      ts+=("$run_s"); ms+=("$run_kib")
    done
    make_s=$(median "${ts[@]}"); make_kib=$(median "${ms[@]}")
    patch_size=$(stat -c %s "$patch")
    ts=() ms=()
    same=yes
    for ((i = 0; i <= runs; i++)); do
      rm -f "$out"
      "apply_$f" "$old" "$patch" "$out"
      timed "${cmd[@]}"
      cmp -s "$out" "$new" || same=NO
      [ "$i" -eq 0 ] && continue # the first run is not counted
      ts+=("$run_s"); ms+=("$run_kib")
    done
    apply_s=$(median "${ts[@]}"); apply_kib=$(median "${ms[@]}")
    share=$(awk -v p="$patch_size" -v k="$packed" 'BEGIN { printf "%.1f %%", 100 * p / k }')
    rate=$(awk -v b="$new_size" -v s="$apply_s" 'BEGIN { if (s > 0) printf "%.0f", b / s / 1e6; else print "-" }')
    note "  $f: $patch_size bytes ($share), make ${make_s} s, apply ${apply_s} s ($rate MB/s), $(mib "$apply_kib") MiB, same: $same"
    rows+=("| $name | $(size_text "$new_size") | $(size_text "$packed") | $f | $(size_text "$patch_size") | $share | $make_s | $(mib "$make_kib") | $apply_s | $rate | $(mib "$apply_kib") | $same |")
    if [ "$f" = bsdiff ]; then
      # The same patch with its three streams in raw LZMA instead of bzip2
      # (size only: no tool applies it).
      lzma_size=$("$here/bsdiff_lzma_size.py" "$patch")
      share=$(awk -v p="$lzma_size" -v k="$packed" 'BEGIN { printf "%.1f %%", 100 * p / k }')
      rows+=("| $name | $(size_text "$new_size") | $(size_text "$packed") | bsdiff, LZMA streams | $(size_text "$lzma_size") | $share | | | | | | |")
    fi
  done
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

echo "Patch formats: $(nproc) CPUs, load average $load_before before, $load_after after;"
echo "times are medians of $make_runs runs (make) and $runs runs (apply), in wall seconds;"
echo "\"packed\" is the new file as $pack_how packs it."
echo
echo "| pair | new | packed | format | patch | of packed | make s | make MiB | apply s | apply MB/s | apply MiB | same |"
echo "| --- | ---: | ---: | --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | --- |"
printf '%s\n' "${rows[@]}"
