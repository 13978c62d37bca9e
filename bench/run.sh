#!/usr/bin/env bash
# Benchmarks of the update engine against the everyday tool that does the
# same work, measured side by side in one run on this machine:
#   download   HttpClient Connect + Get     vs  curl -s -o /dev/null
#   unpack     Unpack of a container        vs  xz --format=lzma -d -c
#   digest     FileDigestText               vs  md5sum
#   memory     peak resident memory of a DownloadWorker run, against the
#              size of the file it stages (plain and packed)
#
#   bench/run.sh           builds harbinor_bench (default preset) if needed
#
# Every figure is the median of BENCH_RUNS runs (default 5) after one
# warm-up; our runs and the reference's alternate. Whole commands are timed
# with bash's own clock ($EPOCHREALTIME) for both sides; the driver also
# reports the time of the operation alone. Data is generated into a
# temporary folder and removed at the end. Sizes in MiB: BENCH_BIG_MIB
# (default 256) and BENCH_PACK_MIB (default 64).
#
# The web server is a private nginx on 127.0.0.7:80. The script runs itself
# inside a network namespace of its own (as root: unshare --net; otherwise
# with a user namespace too), so nothing it sends can leave the machine.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")

if [ "${HARBINOR_BENCH_NETNS:-}" != 1 ]; then
  cd "$top"
  { cmake --preset default >/dev/null && cmake --build --preset default --target harbinor_bench >/dev/null; } ||
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
bench=$top/build/default/bench/harbinor_bench
host=127.0.0.7

work=$(mktemp -d /tmp/harbinor-bench-XXXXXX)
nginx_pid=
cleanup() {
  if [ -n "$nginx_pid" ]; then
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

note() { printf '%s\n' "$*" >&2; }

load_before=$(cut -d' ' -f1-3 /proc/loadavg)

# ---- data ----------------------------------------------------------------
note "generating data in $work"
mkdir -p "$work/www/dvd" "$work/nginx" "$work/app"
"$bench" text "$work/www/dvd/plain.bin" "$big_bytes" 1
"$bench" text "$work/text-small" "$pack_bytes" 2
note "packing ${pack_mib} MiB (preset 1) and ${big_mib} MiB (preset 0) containers"
"$bench" pack "$work/text-small" "$work/small.ct" "$work/small.lzma" 1 >/dev/null &
pack_small=$!
"$bench" pack "$work/www/dvd/plain.bin" "$work/www/dvd/packed.bin" "$work/big.lzma" 0 >/dev/null &
pack_big=$!
wait "$pack_small"
wait "$pack_big"
rm -f "$work/big.lzma"
plain_md5=$(md5sum "$work/www/dvd/plain.bin" | cut -d' ' -f1)
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
# (microseconds, whole process).
timed() {
  local out=$1 start end
  shift
  start=$(now_us)
  "$@" >"$out"
  end=$(now_us)
  elapsed=$((end - start))
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

# 1. download
pair "download ${big_mib} MiB" "$bench" get "http://$host/dvd/plain.bin" "$big_bytes" -- \
  /dev/null curl -s -o /dev/null "http://$host/dvd/plain.bin"
row "download ${big_mib} MiB (whole process) vs curl" "$(secs "$ours_us")" "$(secs "$ref_us")" "$(ratio "$ours_us" "$ref_us")"
row "  in-process Connect+Get alone" "$(secs "$op_us")" "" "$(ratio "$op_us" "$ref_us")"
row "  peak RSS of the download process" "$(mib "$rss_kib")" "" ""

# 2. unpack
pair "unpack ${pack_mib} MiB" "$bench" unpack "$work/small.ct" "$pack_bytes" -- \
  /dev/null xz --format=lzma -d -c "$work/small.lzma"
row "unpack ${pack_mib} MiB container (whole process) vs xz" "$(secs "$ours_us")" "$(secs "$ref_us")" "$(ratio "$ours_us" "$ref_us")"
row "  in-process Unpack alone" "$(secs "$op_us")" "" "$(ratio "$op_us" "$ref_us")"

# 3. digest
pair "MD5 ${big_mib} MiB" "$bench" md5 "$work/www/dvd/plain.bin" -- \
  "$work/ref.out" md5sum "$work/www/dvd/plain.bin"
[ "$(field md5 | tr A-F a-f)" = "$(cut -d' ' -f1 "$work/ref.out")" ] ||
  { note "run.sh: FileDigestText and md5sum disagree"; exit 1; }
row "MD5 of ${big_mib} MiB (whole process) vs md5sum" "$(secs "$ours_us")" "$(secs "$ref_us")" "$(ratio "$ours_us" "$ref_us")"
row "  in-process FileDigestText alone" "$(secs "$op_us")" "" "$(ratio "$op_us" "$ref_us")"

# 4. memory of whole worker downloads
worker() {
  local name=$1 file=$2
  local t=() op=() rss=() i
  note "measuring: worker, $name"
  for ((i = 0; i <= worker_runs; i++)); do
    rm -rf "$work/app/dvd"
    timed "$work/ours.out" "$bench" worker "http://$host/" "$work/app/" "$file" "$plain_md5" "$big_bytes"
    ((i == 0)) && continue
    t+=("$elapsed"); op+=($(($(field op_ns) / 1000))); rss+=("$(field maxrss_kib)")
  done
  cmp -s "$work/app/dvd/$file" "$work/www/dvd/plain.bin" || { note "run.sh: staged file differs"; exit 1; }
  rm -rf "$work/app/dvd"
  local kib
  kib=$(median "${rss[@]}")
  row "peak RSS, worker, $name (vs file size)" "$(mib "$kib")" "$(mib $((big_bytes / 1024)))" \
    "$(ratio "$kib" $((big_bytes / 1024)))"
  row "  time of those runs (whole process)" "$(secs "$(median "${t[@]}")")" "" ""
  row "  in-process DownloadWorker alone" "$(secs "$(median "${op[@]}")")" "" ""
}
worker "plain ${big_mib} MiB" plain.bin
packed_mib=$(($(stat -c %s "$work/www/dvd/packed.bin") / 1048576))
worker "packed ${big_mib} MiB, ${packed_mib} MiB sent" packed.bin

# 5. the install copy: a staged tree of big_mib MiB in 4 MiB files, applied
# by the real updater in install mode (each installed file is flushed to the
# disk before its staged copy is deleted), against cp -r of the same tree,
# with and without a sync after it.
harbinor=$top/build/default/bin/Harbinor
head -c $((4 * 1048576)) "$work/www/dvd/plain.bin" >"$work/piece.bin"
stage_tree() {
  rm -rf "$work/inst"
  mkdir -p "$work/inst/app/dvd" "$work/inst/run"
  chmod 700 "$work/inst/run"
  cp "$harbinor" "$work/inst/app/Harbinor"
  for ((f = 1; f <= big_mib / 4; f++)); do cp "$work/piece.bin" "$work/inst/app/dvd/file$f.bin"; done
  : >"$work/inst/app/dvd/@update@.log"
  sync
}
note "measuring: install copy ${big_mib} MiB"
ti=() tc=() ts=()
for ((i = 0; i <= runs; i++)); do
  stage_tree
  timed /dev/null env XDG_RUNTIME_DIR="$work/inst/run" "$work/inst/app/Harbinor" /u --console
  t_inst=$elapsed
  [ ! -e "$work/inst/app/dvd" ] && cmp -s "$work/inst/app/file1.bin" "$work/piece.bin" ||
    { note "run.sh: the install did not complete"; exit 1; }
  stage_tree
  timed /dev/null cp -r "$work/inst/app/dvd" "$work/inst/copy"
  t_cp=$elapsed
  rm -rf "$work/inst/copy"
  sync
  timed /dev/null sh -c "cp -r '$work/inst/app/dvd' '$work/inst/copy' && sync"
  t_sync=$elapsed
  ((i == 0)) && continue
  ti+=("$t_inst"); tc+=("$t_cp"); ts+=("$t_sync")
done
rm -rf "$work/inst"
inst_us=$(median "${ti[@]}"); cp_us=$(median "${tc[@]}"); sync_us=$(median "${ts[@]}")
row "install copy ${big_mib} MiB (whole process) vs cp -r" "$(secs "$inst_us")" "$(secs "$cp_us")" "$(ratio "$inst_us" "$cp_us")"
row "  the same vs cp -r, then sync" "" "$(secs "$sync_us")" "$(ratio "$inst_us" "$sync_us")"

echo
echo "$(nproc) CPUs; load average before the run: $load_before; after: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-58s %12s %12s %9s\n' "figure (median of $runs runs; memory: $worker_runs)" ours reference ours/ref
for r in "${rows[@]}"; do echo "$r"; done
