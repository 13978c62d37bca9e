#!/usr/bin/env bash
# Benchmarks of the update engine against the everyday tools that do the
# same work, measured side by side in one run on this machine:
#   transfer   HttpClient, body dropped      vs  curl -s -o /dev/null
#   download   DownloadWorker staging a plain file, verified
#                                            vs  curl -o FILE && md5sum FILE
#   packed     DownloadWorker staging a packed file, verified
#                                            vs  curl | xz --format=lzma -d > FILE && md5sum FILE
#   unpack     the container decoder         vs  xz --format=lzma -d -c
#   digest     FileDigestText                vs  md5sum
#   check      an update check's verdict over three big installed files
#              without a version, with and without the digest cache
#                                            vs  md5sum of the files
#   memory     peak resident memory of DownloadWorker runs over three files,
#              above the idle program (plain, and packed with the dictionary
#              the container states)
#   install    the updater in install mode   vs  cp -r && sync (on the temporary
#              folder's file system, and on an ext4 on a loop device when root)
#   wan        a published release downloaded through the link simulator
#              (bench/linksim.h) at 40 ms round trip and 100 Mbit/s, and at
#              150 ms and 20 Mbit/s: Harbinor (list, check, staged and
#              verified), curl --parallel --parallel-max 6 and curl one file
#              after another, each against the physical limit (bytes / rate
#              + one round trip)
#   resume     a file cut at 75 % on its first connection, then fetched again
#              by a second run: the bytes over the link / the bytes served
#              (plain, and packed)
#   delta      a release of real libraries and programs of two consecutive
#              versions (bench/delta_formats.sh's pairs) published with
#              --delta-from the earlier one and downloaded by an updater
#              that has the earlier one installed: the bytes over the link
#              vs zstd -19 --long=27 --patch-from of the same pairs and vs
#              the whole files as served; and the largest patch applied
#              (MB/s of output, peak memory)
#
#   bench/run.sh           builds what it runs (default preset) if needed
#
# Every figure is the median of BENCH_RUNS runs (default 5) after one
# warm-up; our runs and the reference's alternate. Whole commands are timed
# with bash's own clock ($EPOCHREALTIME) for both sides; the driver also
# reports the time of the operation alone. Data is generated into a
# temporary folder and removed at the end. Sizes in MiB: BENCH_BIG_MIB
# (default 256) and BENCH_PACK_MIB (default 64). BENCH_ONLY=install,digest
# measures only the parts it names. The wan part takes real seconds on the
# simulated link: it runs BENCH_WAN_RUNS times (default 1), without a
# warm-up. BENCH_PARALLEL sets how many files the updater fetches at once
# there, as "Transfers" in Harbinor.cfg would (default: the updater's own).
#
# The web server is a private nginx on 127.0.0.7:80; the link simulator
# listens on 127.0.0.9:80 in front of it. The script runs itself
# inside a network namespace of its own (as root: unshare --net; otherwise
# with a user namespace too), so nothing it sends can leave the machine.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")

if [ "${HARBINOR_BENCH_NETNS:-}" != 1 ]; then
  cd "$top"
  { cmake --preset default >/dev/null &&
    cmake --build --preset default --target harbinor_bench harbinor_patch_bench harbinor_linksim_program publish Harbinor >/dev/null; } ||
    { echo "run.sh: building harbinor_bench failed" >&2; exit 1; }
  ns=(unshare --net)
  [ "$(id -u)" -eq 0 ] || ns=(unshare --user --map-root-user --net)
  export HARBINOR_BENCH_NETNS=1
  exec "${ns[@]}" -- sh -c 'ip link set lo up && exec "$@"' sh "$here/run.sh" "$@"
fi

# A fresh network namespace has the loopback interface and nothing else.
if [ "$(ip -o link show | awk -F': ' '{print $2}' | tr '\n' ' ')" != "lo " ]; then
  echo "run.sh: refusing to run: this network namespace has more than a loopback interface" >&2
  exit 1
fi

runs=${BENCH_RUNS:-5}
worker_runs=${BENCH_WORKER_RUNS:-3}
big_mib=${BENCH_BIG_MIB:-256}
pack_mib=${BENCH_PACK_MIB:-64}
big_bytes=$((big_mib * 1048576))
pack_bytes=$((pack_mib * 1048576))
wan_runs=${BENCH_WAN_RUNS:-1}
bench=$top/build/default/bench/harbinor_bench
patch_bench=$top/build/default/bench/harbinor_patch_bench
linksim=$top/build/default/bench/harbinor_linksim
publish=$top/build/default/bin/publish
host=127.0.0.7
link_host=127.0.0.9

work=$(mktemp -d /tmp/harbinor-bench-XXXXXX)
nginx_pid=
linksim_pid=
loop_device=
cleanup() {
  if [ -n "$linksim_pid" ]; then
    kill "$linksim_pid" 2>/dev/null || true
    wait "$linksim_pid" 2>/dev/null || true
  fi
  if [ -n "$nginx_pid" ]; then
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
  fi
  if [ -n "$loop_device" ]; then
    umount "$work/ext4" 2>/dev/null || true
    losetup -d "$loop_device" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

note() { printf '%s\n' "$*" >&2; }
# Whether a part is measured: all of them, or those BENCH_ONLY names
# (comma-separated: transfer,download,packed,unpack,digest,check,memory,install,
# wan,resume,delta).
want() { [ -z "${BENCH_ONLY:-}" ] || [[ ",$BENCH_ONLY," == *",$1,"* ]]; }

load_before=$(cut -d' ' -f1-3 /proc/loadavg)

# ---- data ----------------------------------------------------------------
note "generating data in $work"
mkdir -p "$work/www/dvd" "$work/nginx" "$work/app"
# The big file serves every part but unpack, wan and resume.
big_data=false
for part in transfer download packed digest check memory install; do want "$part" && big_data=true; done
"$bench" text "$work/text-small" "$pack_bytes" 2
if $big_data; then
"$bench" text "$work/www/dvd/plain.bin" "$big_bytes" 1
note "packing ${pack_mib} MiB (preset 1) and ${big_mib} MiB (preset 0) containers"
"$bench" pack "$work/text-small" "$work/small.ct" "$work/small.lzma" 1 >/dev/null &
pack_small=$!
"$bench" pack "$work/www/dvd/plain.bin" "$work/www/dvd/packed.bin" "$work/big.lzma" 0 >/dev/null &
pack_big=$!
wait "$pack_small"
wait "$pack_big"
mv "$work/big.lzma" "$work/www/dvd/packed.lzma"
else
note "packing ${pack_mib} MiB (preset 1)"
"$bench" pack "$work/text-small" "$work/small.ct" "$work/small.lzma" 1 >/dev/null
fi
if $big_data; then
# Three names for each file, for the runs over several files.
for n in 2 3; do
  ln "$work/www/dvd/plain.bin" "$work/www/dvd/plain$n.bin"
  ln "$work/www/dvd/packed.bin" "$work/www/dvd/packed$n.bin"
done
# The dictionary the big container states (little-endian, after "LZMA", 0
# and the properties byte).
dict_bytes=$(od -An -tu4 -j6 -N4 "$work/www/dvd/packed.bin" | tr -d ' ')
plain_md5=$(md5sum "$work/www/dvd/plain.bin" | cut -d' ' -f1)
fi
# The .lzma file must hold exactly what the container holds.
xz --format=lzma -d -c "$work/small.lzma" | cmp -s - "$work/text-small" ||
  { note "run.sh: xz does not unpack the .lzma file to the packed data"; exit 1; }

# ---- server ----------------------------------------------------------------
cat >"$work/nginx.conf" <<EOF
daemon off;
master_process off;
user root root;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 64; }
http {
  access_log off;
  sendfile on;
  default_type application/octet-stream;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server {
    listen $host:80;
    root $work/www;
  }
}
EOF
echo ok >"$work/www/ping"
nginx -c "$work/nginx.conf" -p "$work/nginx/" -e "$work/nginx/error.log" &
nginx_pid=$!
for _ in $(seq 100); do
  [ "$(curl -s "http://$host/ping" 2>/dev/null)" = ok ] && break
  kill -0 "$nginx_pid" 2>/dev/null || { cat "$work/nginx/error.log" >&2; exit 1; }
  sleep 0.05
done
[ "$(curl -s "http://$host/ping")" = ok ] || { note "run.sh: nginx did not start"; exit 1; }

# ---- measuring ---------------------------------------------------------------
now_us() { echo "${EPOCHREALTIME/./}"; }

# timed OUT CMD...: runs CMD with its standard output in OUT; sets `elapsed`
# (microseconds, whole process) and returns CMD's status.
timed() {
  local out=$1 start end status
  shift
  start=$(now_us)
  "$@" >"$out"
  status=$?
  end=$(now_us)
  elapsed=$((end - start))
  return "$status"
}

# A word "key=value" from the driver's report line.
field() { tr ' ' '\n' <"$work/ours.out" | sed -n "s/^$1=//p"; }

median() { printf '%s\n' "$@" | sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

# pair NAME OURS-CMD... -- REF-OUT REF-CMD...: alternating runs; sets
# ours_us, ref_us, op_us and rss_kib (medians).
pair() {
  local name=$1
  shift
  local ours=() ref=()
  while [ "$1" != -- ]; do ours+=("$1"); shift; done
  shift
  local ref_out=$1
  shift
  ref=("$@")
  local a=() b=() op=() rss=() i
  note "measuring: $name"
  for ((i = 0; i <= runs; i++)); do
    local t_ours t_ref
    if ((i % 2 == 0)); then
      timed "$work/ours.out" "${ours[@]}"; t_ours=$elapsed
      timed "$ref_out" "${ref[@]}"; t_ref=$elapsed
    else
      timed "$ref_out" "${ref[@]}"; t_ref=$elapsed
      timed "$work/ours.out" "${ours[@]}"; t_ours=$elapsed
    fi
    ((i == 0)) && continue  # warm-up
    a+=("$t_ours"); b+=("$t_ref")
    op+=($(($(field op_ns) / 1000))); rss+=("$(field maxrss_kib)")
  done
  ours_us=$(median "${a[@]}"); ref_us=$(median "${b[@]}")
  op_us=$(median "${op[@]}"); rss_kib=$(median "${rss[@]}")
}

rows=()
row() { rows+=("$(printf '%-58s %12s %12s %9s' "$@")"); }
secs() { awk -v us="$1" 'BEGIN {printf "%.3f s", us / 1e6}'; }
mib() { awk -v kib="$1" 'BEGIN {printf "%.1f MiB", kib / 1024}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }

url=http://$host/dvd
app=$work/app
got=$work/got.bin

# link_up ARG...: starts the link simulator on $link_host:80 in front of
# nginx with those options, and waits until it listens (it writes its
# counts file then).
link_up() {
  rm -f "$work/link.counts"
  "$linksim" --listen "$link_host:80" --upstream "$host:80" --counts "$work/link.counts" "$@" &
  linksim_pid=$!
  for _ in $(seq 200); do
    [ -s "$work/link.counts" ] && return
    kill -0 "$linksim_pid" 2>/dev/null || break
    sleep 0.02
  done
  note "run.sh: the link simulator did not start"
  exit 1
}
# Stops it; its counts file then holds the whole run's bytes.
link_down() {
  kill "$linksim_pid"
  wait "$linksim_pid" || true
  linksim_pid=
}
# A word "key=value" of the simulator's counts.
link_count() { tr ' ' '\n' <"$work/link.counts" | sed -n "s/^$1=//p"; }

# 1. the transfer alone
if want transfer; then
pair "transfer ${big_mib} MiB" "$bench" get "$url/plain.bin" "$big_bytes" -- \
  /dev/null curl -s -o /dev/null "$url/plain.bin"
row "transfer ${big_mib} MiB, body dropped (whole process) vs curl" "$(secs "$ours_us")" "$(secs "$ref_us")" "$(ratio "$ours_us" "$ref_us")"
row "  in-process Connect+GetStreamed alone" "$(secs "$op_us")" "" "$(ratio "$op_us" "$ref_us")"
fi

# 2. a plain file staged and verified (made durable, too, which the
# reference is not), against a download and an MD5 of the downloaded file
if want download; then
pair "download ${big_mib} MiB" sh -c 'rm -rf "$1/dvd" && exec "$2" worker "$3" "$1/" "$4" "$5" plain.bin' sh \
  "$app" "$bench" "http://$host/" "$plain_md5" "$big_bytes" -- \
  /dev/null sh -c 'rm -f "$1" && curl -s -o "$1" "$2" && md5sum "$1"' sh "$got" "$url/plain.bin"
cmp -s "$app/dvd/plain.bin" "$work/www/dvd/plain.bin" || { note "run.sh: staged file differs"; exit 1; }
row "download ${big_mib} MiB, staged (whole process) vs curl -o && md5sum" "$(secs "$ours_us")" "$(secs "$ref_us")" "$(ratio "$ours_us" "$ref_us")"
fi

# 3. the same file sent packed
if want packed; then
packed_mib=$(($(stat -c %s "$work/www/dvd/packed.bin") / 1048576))
pair "packed download ${big_mib} MiB" sh -c 'rm -rf "$1/dvd" && exec "$2" worker "$3" "$1/" "$4" "$5" packed.bin' sh \
  "$app" "$bench" "http://$host/" "$plain_md5" "$big_bytes" -- \
  /dev/null sh -c 'rm -f "$1" && curl -s "$2" | xz --format=lzma -d >"$1" && md5sum "$1"' sh "$got" "$url/packed.lzma"
cmp -s "$app/dvd/packed.bin" "$work/www/dvd/plain.bin" || { note "run.sh: staged file differs"; exit 1; }
row "download ${big_mib} MiB (${packed_mib} MiB packed) vs curl | xz -d && md5sum" "$(secs "$ours_us")" "$(secs "$ref_us")" "$(ratio "$ours_us" "$ref_us")"
rm -rf "$app/dvd" "$got"
fi

# 4. unpack
if want unpack; then
pair "unpack ${pack_mib} MiB" "$bench" unpack "$work/small.ct" "$pack_bytes" -- \
  /dev/null xz --format=lzma -d -c "$work/small.lzma"
row "unpack ${pack_mib} MiB container (whole process) vs xz" "$(secs "$ours_us")" "$(secs "$ref_us")" "$(ratio "$ours_us" "$ref_us")"
row "  in-process decoding alone" "$(secs "$op_us")" "" "$(ratio "$op_us" "$ref_us")"
fi

# 5. digest
if want digest; then
pair "MD5 ${big_mib} MiB" "$bench" md5 "$work/www/dvd/plain.bin" -- \
  "$work/ref.out" md5sum "$work/www/dvd/plain.bin"
[ "$(field md5 | tr A-F a-f)" = "$(cut -d' ' -f1 "$work/ref.out")" ] ||
  { note "run.sh: FileDigestText and md5sum disagree"; exit 1; }
row "MD5 of ${big_mib} MiB (whole process) vs md5sum" "$(secs "$ours_us")" "$(secs "$ref_us")" "$(ratio "$ours_us" "$ref_us")"
row "  in-process FileDigestText alone" "$(secs "$op_us")" "" "$(ratio "$op_us" "$ref_us")"
fi

# 5b. an update check over installed files that report no version: three
# names of the big file, listed as 1.0.0.0 with their digest, so each is read
# unless the digest cache knows it; the reference reads them with md5sum.
if want check; then
mkdir -p "$work/installed/data" "$work/check"
{
  printf '@TLV-DVD Update@\r\n@TLV-DVD Update@\r\n'
  for n in "" 2 3; do
    ln "$work/www/dvd/plain$n.bin" "$work/installed/data/plain$n.bin"
    printf '[Item]\r\nFile=data/plain%s.bin\r\nMD5=%s\r\nSize=%s\r\nVersion=1.0.0.0\r\n' "$n" "$plain_md5" "$big_bytes"
  done
} >"$work/check/list.txt"
installed=("$work/installed/data/plain.bin" "$work/installed/data/plain2.bin" "$work/installed/data/plain3.bin")
pair "check, no digest cache" "$bench" check "$work/installed/" "$work/check/list.txt" - -- \
  "$work/ref.out" md5sum "${installed[@]}"
[ "$(field offered)" = 0 ] || { note "run.sh: the check offered installed files"; exit 1; }
row "check over 3 x ${big_mib} MiB unversioned, no cache, vs md5sum" "$(secs "$ours_us")" "$(secs "$ref_us")" "$(ratio "$ours_us" "$ref_us")"
# The cache trusts only files older than itself by a few seconds.
"$bench" check "$work/installed/" "$work/check/list.txt" "$work/check/digests" >/dev/null
sleep 3.5
"$bench" check "$work/installed/" "$work/check/list.txt" "$work/check/digests" >/dev/null
pair "check, digest cache" "$bench" check "$work/installed/" "$work/check/list.txt" "$work/check/digests" -- \
  "$work/ref.out" md5sum "${installed[@]}"
[ "$(field offered)" = 0 ] || { note "run.sh: the check offered installed files"; exit 1; }
row "  the same check with the digest cache" "$(secs "$ours_us")" "$(secs "$ref_us")" "$(ratio "$ours_us" "$ref_us")"
fi

# 6. memory of whole worker downloads of three files, above the idle program
if want memory; then
"$bench" idle >"$work/ours.out"
idle_kib=$(field maxrss_kib)
worker() {
  local name=$1 allowed_kib=$2
  shift 2
  local rss=() i
  note "measuring: worker, $name"
  for ((i = 1; i <= worker_runs; i++)); do
    rm -rf "$app/dvd"
    "$bench" worker "http://$host/" "$app/" "$plain_md5" "$big_bytes" "$@" >"$work/ours.out"
    rss+=("$(field maxrss_kib)")
  done
  for f in "$@"; do cmp -s "$app/dvd/$f" "$work/www/dvd/plain.bin" || { note "run.sh: staged $f differs"; exit 1; }; done
  rm -rf "$app/dvd"
  local above=$(($(median "${rss[@]}") - idle_kib))
  row "peak RSS above idle, worker, $name" "$(mib "$above")" "$(mib "$allowed_kib")" "$(ratio "$above" "$allowed_kib")"
}
row "idle program, peak RSS" "$(mib "$idle_kib")" "" ""
worker "3 x ${big_mib} MiB plain (vs 32 MiB)" $((32 * 1024)) plain.bin plain2.bin plain3.bin
worker "3 x ${big_mib} MiB packed (vs 32 MiB + dictionary $((dict_bytes / 1024)) KiB)" \
  $((32 * 1024 + dict_bytes / 1024)) packed.bin packed2.bin packed3.bin
fi

# 7. the install: a staged tree of big_mib MiB, one large file and 100 small
# ones of 64 KiB, applied by the real updater in install mode (each staged
# file renamed into place, the renames on the disk before the update log
# goes), against cp -r of the same tree, with and without a sync after it,
# and with the deletion of the sources, which the renames also leave gone.
#
# It runs on the file system of the temporary folder and, where this script
# may mount one (root, losetup, mkfs.ext4), once more on a fresh ext4 with
# its journal and default options on a loop device (direct I/O to its image).
# A deletion costs little there; on a file system mounted with `discard`
# and no journal, each deletion waits for the disk to discard the blocks
# (a 250 MiB file: about 90 ms), which cp -r never does.
if want install; then
harbinor=$top/build/default/bin/Harbinor
small_bytes=65536
large_bytes=$((big_bytes - 100 * small_bytes))
head -c "$large_bytes" "$work/www/dvd/plain.bin" >"$work/large.bin"
head -c "$small_bytes" "$work/www/dvd/plain.bin" >"$work/small.bin"
install_figures() {
  local label=$1 base=$2
  stage_tree() {
    rm -rf "$base/inst"
    mkdir -p "$base/inst/app/dvd/small" "$base/inst/run"
    chmod 700 "$base/inst/run"
    cp "$harbinor" "$base/inst/app/Harbinor"
    cp "$work/large.bin" "$base/inst/app/dvd/large.bin"
    for ((f = 1; f <= 100; f++)); do cp "$work/small.bin" "$base/inst/app/dvd/small/file$f.bin"; done
    : >"$base/inst/app/dvd/@update@.log"
    sync
  }
  note "measuring: install copy ${big_mib} MiB ($label)"
  local ti=() tc=() ts=() tr=() i
  for ((i = 0; i <= runs; i++)); do
    stage_tree
    timed /dev/null env HARBINOR_TEST_GUARD_FOLDER="$base/inst/run" "$base/inst/app/Harbinor" /u --console
    local t_inst=$elapsed
    [ ! -e "$base/inst/app/dvd" ] && cmp -s "$base/inst/app/large.bin" "$work/large.bin" &&
      cmp -s "$base/inst/app/small/file100.bin" "$work/small.bin" ||
      { note "run.sh: the install did not complete"; exit 1; }
    stage_tree
    timed /dev/null cp -r "$base/inst/app/dvd" "$base/inst/copy"
    local t_cp=$elapsed
    rm -rf "$base/inst/copy"
    sync
    timed /dev/null sh -c "cp -r '$base/inst/app/dvd' '$base/inst/copy' && sync"
    local t_sync=$elapsed
    rm -rf "$base/inst/copy"
    sync
    timed /dev/null sh -c "cp -r '$base/inst/app/dvd' '$base/inst/copy' && sync && rm -r '$base/inst/app/dvd' && sync"
    local t_rm=$elapsed
    ((i == 0)) && continue
    ti+=("$t_inst"); tc+=("$t_cp"); ts+=("$t_sync"); tr+=("$t_rm")
  done
  rm -rf "$base/inst"
  local inst_us cp_us sync_us rm_us
  inst_us=$(median "${ti[@]}"); cp_us=$(median "${tc[@]}"); sync_us=$(median "${ts[@]}"); rm_us=$(median "${tr[@]}")
  row "install copy ${big_mib} MiB, $label, vs cp -r" "$(secs "$inst_us")" "$(secs "$cp_us")" "$(ratio "$inst_us" "$cp_us")"
  row "  the same vs cp -r, then sync" "" "$(secs "$sync_us")" "$(ratio "$inst_us" "$sync_us")"
  row "  the same vs cp -r, sync, rm -r of the sources, sync" "" "$(secs "$rm_us")" "$(ratio "$inst_us" "$rm_us")"
}
install_figures "$(findmnt -n -o FSTYPE,OPTIONS -T "$work" | awk '{print $1 (index($2, "discard") ? " (discard)" : "")}')" "$work"
if [ "$(id -u)" -eq 0 ] && command -v losetup >/dev/null && command -v mkfs.ext4 >/dev/null; then
  truncate -s $((2 * big_mib + 256))M "$work/ext4.img"
  mkdir -p "$work/ext4"
  if mkfs.ext4 -q -F "$work/ext4.img" && loop_device=$(losetup --direct-io=on -f --show "$work/ext4.img") &&
    mount "$loop_device" "$work/ext4"; then
    install_figures "ext4 with journal on a loop device" "$work/ext4"
  else
    note "run.sh: no loop device: the install is measured on one file system only"
  fi
fi
fi

# 8. a release over a long-distance link: one big file and many small ones
# of incompressible bytes, published plain, downloaded through the link
# simulator by the updater (the list, the check's verdict, every file staged
# and verified) and by curl, six transfers at a time and one after another.
# Each time is set against the physical limit of the link: the bytes of the
# files at its rate, and one round trip. The round trip is twice the
# simulator's one-way delay; it also charges each new connection one round
# trip for its handshake. No warm-up: the files were just written and are in
# the page cache, and nginx has served them once for their digests' check.
if want wan; then
wan_figures() {
  local name=$1 rtt_ms=$2 mbit=$3 big=$4 count=$5
  local rel=$work/release-$name served=$work/www/$name/tlv5.update rate=$((mbit * 1000000 / 8))
  note "publishing $name: 1 x $big MiB + $count x 64 KiB"
  mkdir -p "$rel/data/small"
  "$bench" random "$rel/data/big.bin" $((big * 1048576)) 7
  for ((f = 1; f <= count; f++)); do "$bench" random "$rel/data/small/file$f.bin" 65536 $((100 + f)); done
  # (It warns, rightly, of every file without a version of its own.)
  "$publish" --default-version 1.0.0.0 --server-base "http://$link_host/$name/tlv5.update/" "$rel" "$work/www/$name" \
    >/dev/null 2>"$work/publish.err" || { cat "$work/publish.err" >&2; exit 1; }
  # curl fetches what the list names, in its order.
  local total=0 path size
  : >"$work/curl-$name.cfg"
  while IFS= read -r path; do
    printf 'url = "http://%s/%s/tlv5.update/dvd/%s"\noutput = "%s/curl-out/%s"\n' \
      "$link_host" "$name" "$path" "$work" "$path" >>"$work/curl-$name.cfg"
  done < <(tr -d '\r' <"$served/tlv5.php" | sed -n 's/^File=//p')
  for size in $(tr -d '\r' <"$served/tlv5.php" | sed -n 's/^Size=//p'); do total=$((total + size)); done
  local limit_us=$((total * 1000000 / rate + rtt_ms * 1000))
  link_up --delay-ms $((rtt_ms / 2)) --rate "$rate"
  local a=() p=() q=() i
  for ((i = 1; i <= wan_runs; i++)); do
    note "measuring: wan $name, run $i of $wan_runs"
    rm -rf "$app/dvd"
    # A failed download is reported in its row; curl's figures still come.
    if timed "$work/ours.out" "$bench" release "http://$link_host/$name/tlv5.update/" "$app/"; then
      [ "$(field bytes)" = "$total" ] || { note "run.sh: the release was not staged whole"; exit 1; }
      cmp -s "$app/dvd/data/big.bin" "$rel/data/big.bin" || { note "run.sh: staged file differs"; exit 1; }
      a+=("$elapsed")
    fi
    rm -rf "$work/curl-out"
    timed /dev/null curl -s --no-progress-meter --fail --create-dirs --parallel --parallel-max 6 -K "$work/curl-$name.cfg"; p+=("$elapsed")
    [ "$(du -sb --apparent-size "$work/curl-out" | cut -f1)" -ge "$total" ] || { note "run.sh: curl fetched too little"; exit 1; }
    rm -rf "$work/curl-out"
    timed /dev/null curl -s --fail --create-dirs -K "$work/curl-$name.cfg"; q+=("$elapsed")
    cmp -s "$work/curl-out/data/big.bin" "$rel/data/big.bin" || { note "run.sh: curl's file differs"; exit 1; }
  done
  link_down
  rm -rf "$app/dvd" "$work/curl-out" "$rel" "$work/www/$name"
  local par_us seq_us
  par_us=$(median "${p[@]}"); seq_us=$(median "${q[@]}")
  row "wan $rtt_ms ms round trip, $mbit Mbit/s, 1 x $big MiB + $count x 64 KiB" "" "$(secs "$limit_us")" "limit"
  local label="  Harbinor download, ${BENCH_PARALLEL:-default} at once, vs the limit"
  if [ "${#a[@]}" -eq "$wan_runs" ]; then
    local ours_us
    ours_us=$(median "${a[@]}")
    label="  Harbinor download, $(field parallel) at once, vs the limit"
    row "$label" "$(secs "$ours_us")" "$(secs "$limit_us")" "$(ratio "$ours_us" "$limit_us")"
    note "  Harbinor: $(tr -d '\n' <"$work/ours.out")"
  else
    row "$label" "failed" "$(secs "$limit_us")" ""
  fi
  row "  curl --parallel --parallel-max 6 vs the limit" "$(secs "$par_us")" "$(secs "$limit_us")" "$(ratio "$par_us" "$limit_us")"
  row "  curl, one file after another, vs the limit" "$(secs "$seq_us")" "$(secs "$limit_us")" "$(ratio "$seq_us" "$limit_us")"
}
wan_figures wan40 40 100 32 300
wan_figures wan150 150 20 16 150
fi

# 9. a transfer cut at 75 % of the file on its first connection, then done
# by the worker's retry (or a second run): the bytes that crossed the link
# from the server (headers too) against the bytes of the file as served
# (the container for the packed one). A whole second fetch makes that 1.75.
if want resume; then
text_md5=$(md5sum "$work/text-small" | cut -d' ' -f1)
mkdir -p "$work/www/resume/dvd"
ln "$work/text-small" "$work/www/resume/dvd/plain.bin"
ln "$work/small.ct" "$work/www/resume/dvd/packed.bin"
resume_figure() {
  local file=$1 label=$2 served cut
  served=$(stat -c %s "$work/www/resume/dvd/$file")
  cut=$((served * 3 / 4))
  note "measuring: resume, $label"
  rm -rf "$app/dvd"
  # A home link (40 ms round trip, 100 Mbit/s): a reset drops what the
  # receiver's system still held unread, which an unlimited link lets grow
  # to megabytes while a packed body is unpacked.
  link_up --delay-ms 20 --rate 100Mbit --cut-after "$cut" --cut-connections 1
  # The worker retries a cut transfer itself; should it give up, a second
  # run finishes the file.
  local how="its own retry"
  if ! "$bench" worker "http://$link_host/resume/" "$app/" "$text_md5" "$pack_bytes" "$file" >"$work/ours.out" 2>"$work/resume.err"; then
    how="a second run"
    "$bench" worker "http://$link_host/resume/" "$app/" "$text_md5" "$pack_bytes" "$file" >"$work/ours.out" ||
      { note "run.sh: the run after the cut failed"; exit 1; }
  fi
  note "  finished by $how"
  link_down
  cmp -s "$app/dvd/$file" "$work/text-small" || { note "run.sh: staged file differs"; exit 1; }
  [ "$(link_count cuts)" = 1 ] || { note "run.sh: the link did not cut once"; exit 1; }
  local crossed
  crossed=$(link_count server_to_client)
  rm -rf "$app/dvd"
  row "resume ${pack_mib} MiB $label, cut at 75 %: link bytes / served" \
    "$(mib $((crossed / 1024)))" "$(mib $((served / 1024)))" "$(ratio "$crossed" "$served")"
}
resume_figure plain.bin "plain"
resume_figure packed.bin "packed"
fi

# 10. patches: the changed files of a release come as patches against the
# installed ones. The pairs are those bench/delta_formats.sh prepares in
# DELTA_PAIRS (run it once; without them the part is left out): the
# largest library of each Debian pair and Harbinor for Linux and for
# Windows, as built (with their debug information).
if want delta; then
pairs_dir=${DELTA_PAIRS:-/tmp/harbinor-delta-pairs}
delta_pairs=()
for f in "$pairs_dir"/deb/libc6_2.36-9+deb12u7/lib/x86_64-linux-gnu/libc.so.6 \
  "$pairs_dir"/deb/libssl3_3.0.20-1~deb12u2/usr/lib/x86_64-linux-gnu/libcrypto.so.3; do
  [ -f "$f" ] || continue
  new=$(echo "$f" | sed -e 's/deb12u7/deb12u14/' -e 's/3.0.20-1~deb12u2/3.0.22-1~deb12u2/')
  [ -f "$new" ] && delta_pairs+=("$f:$new")
done
for exe in "" .exe; do
  old_file=$(ls "$pairs_dir"/Harbinor-2f6e8ae$exe 2>/dev/null || true)
  new_file=$(ls "$pairs_dir"/Harbinor-a5217e3$exe 2>/dev/null || true)
  [ -n "$old_file" ] && [ -n "$new_file" ] && delta_pairs+=("$old_file:$new_file")
done
if [ "${#delta_pairs[@]}" -lt 2 ]; then
  note "delta: no pairs in $pairs_dir (run bench/delta_formats.sh once): left out"
else
  rm -rf "$work/old-release" "$work/new-release" "$app"
  mkdir -p "$work/old-release" "$work/new-release"
  zstd_total=0
  for p in "${delta_pairs[@]}"; do
    o=${p%%:*} n=${p#*:} name=$(basename "${p#*:}" | sed 's/-a5217e3//')
    cp "$o" "$work/old-release/$name"
    cp "$n" "$work/new-release/$name"
    zstd -q -f -19 --long=27 --patch-from="$o" "$n" -o "$work/zstd.patch" 2>/dev/null
    zstd_total=$((zstd_total + $(stat -c %s "$work/zstd.patch")))
  done
  note "measuring: delta, publishing ${#delta_pairs[@]} files with patches"
  t0=$(now_us)
  "$publish" --default-version 1.0.0.0 --server-base "http://$link_host/delta/tlv5.update/" \
    --delta-from "$work/old-release" "$work/new-release" "$work/www/delta" >/dev/null 2>"$work/publish.err" ||
    { cat "$work/publish.err" >&2; exit 1; }
  publish_us=$(($(now_us) - t0))
  whole=0
  while IFS= read -r -d '' f; do whole=$((whole + $(stat -c %s "$f"))); done \
    < <(find "$work/www/delta/tlv5.update/dvd" -type f ! -name '*.patch' -print0)
  cp -r "$work/old-release" "$app"
  link_up
  "$bench" release "http://$link_host/delta/tlv5.update/" "$app/" >"$work/ours.out" ||
    { note "run.sh: the patched download failed"; exit 1; }
  link_down
  for name in $(ls "$work/new-release"); do
    cmp -s "$app/dvd/$name" "$work/new-release/$name" || { note "run.sh: staged $name differs"; exit 1; }
  done
  crossed=$(link_count server_to_client)
  list_bytes=$(stat -c %s "$work/www/delta/tlv5.update/tlv5.php")
  row "delta ${#delta_pairs[@]} changed files: link bytes vs zstd --patch-from" \
    "$(mib $((crossed / 1024)))" "$(mib $((zstd_total / 1024)))" "$(ratio "$crossed" "$zstd_total")"
  row "  link bytes vs the whole files as served" "$(mib $((crossed / 1024)))" "$(mib $((whole / 1024)))" \
    "$(ratio "$crossed" "$whole")"
  note "  (the link bytes include the list, $list_bytes bytes, and the headers; publishing took $(secs "$publish_us"))"
  # The largest pair's patch, applied as the worker applies it.
  old_name=$(ls -S "$work/new-release" | head -n1)
  served_name=$(echo "$old_name" | sed -e 's/\.exe$/.ex_/' -e 's/\.dll$/.dl_/')
  patch_file=$(ls "$work/www/delta/tlv5.update/dvd/$served_name".*.patch)
  size=$(stat -c %s "$work/new-release/$old_name")
  # apply_figures LABEL PROGRAM...: the patch applied $runs times after one
  # not counted by PROGRAM OLD PATCH SIZE OUT (paths as it takes them).
  apply_figures() {
    local label=$1 a=() i
    shift
    for ((i = 0; i <= runs; i++)); do
      "$@" >"$work/ours.out" || { note "run.sh: applying the patch failed ($label)"; exit 1; }
      [ "$i" -eq 0 ] || a+=("$(field op_ns)")
    done
    cmp -s "$work/applied.bin" "$work/new-release/$old_name" || { note "run.sh: applied patch differs ($label)"; exit 1; }
    local apply_ns
    apply_ns=$(median "${a[@]}")
    row "  apply $old_name ($(mib $((size / 1024)))), $label: MB/s of output" \
      "$(awk -v b="$size" -v ns="$apply_ns" 'BEGIN {printf "%.0f", b / (ns / 1e9) / 1e6}')" "100" ""
    # Above the idle program; on Windows less the view of the old file,
    # which the system maps and can drop at any time.
    row "  apply, $label: peak memory above idle" \
      "$(mib $(($(field peak_kib) - $(field idle_kib) - $(field view_kib))))" \
      "$(mib $((32 * 1024)))" ""
  }
  apply_figures "Linux" "$patch_bench" "$work/old-release/$old_name" "$patch_file" "$size" "$work/applied.bin"
  # The Windows program's apply under Wine, when it is built (./dev.sh windows).
  windows_bench=$top/build/windows/bin/harbinor_patch_bench.exe
  if [ -f "$windows_bench" ]; then
    winpath() { printf 'Z:%s' "${1//\//\\}"; }
    note "measuring: delta, the patch applied by the Windows program under Wine"
    apply_figures "Windows under Wine" "$top/cmake/wine-run.sh" "$windows_bench" "$(winpath "$work/old-release/$old_name")" \
      "$(winpath "$patch_file")" "$size" "$(winpath "$work/applied.bin")"
  else
    note "delta: no Windows build (./dev.sh windows): its apply is left out"
  fi
  rm -rf "$app" "$work/www/delta" "$work/old-release" "$work/new-release" "$work/applied.bin"
fi
fi

echo
echo "$(nproc) CPUs; load average before the run: $load_before; after: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-58s %12s %12s %9s\n' "figure (median of $runs runs; memory: $worker_runs; wan: $wan_runs)" ours reference ours/ref
for r in "${rows[@]}"; do echo "$r"; done
