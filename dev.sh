#!/usr/bin/env bash
# The one entry point of the project.
#   ./dev.sh demo    build, then show the updater at work
#   ./dev.sh test    install what the build needs, build, and run every test
#                    in the normal and in the sanitizer build
#   ./dev.sh deps    only install the Debian packages the project needs
set -euo pipefail
cd "$(dirname "$0")"
top=$(pwd)

packages=(
  cmake ninja-build g++ clang pkg-config
  libgtest-dev libgmock-dev
  liblzma-dev libgcrypt20-dev
  nginx-light xz-utils curl
  libfltk1.3-dev libxcursor-dev libxinerama-dev libchm-dev
  xvfb xauth xdotool imagemagick fp-utils
  iproute2 util-linux
  binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
)

log() { printf '\n== %s ==\n' "$*"; }

install_packages() {
  local missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  log "installing ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -q
  "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# The tests bind port 80 on loopback addresses and use mount namespaces, so
# they run as root, always in a network namespace of their own: only a
# private loopback exists there, no traffic can leave the machine, and a web
# server already running on the machine is never in the way. A normal user
# gets the private root from a user namespace.
as_root() {
  local ns=(unshare --net)
  [ "$(id -u)" -eq 0 ] || ns=(unshare --user --map-root-user --net)
  "${ns[@]}" -- sh -c 'ip link set lo up && exec "$@"' sh "$@"
}

build() {
  local preset=$1
  log "configure and build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
}

run_tests() {
  install_packages
  for preset in default asan; do
    build "$preset"
    log "tests: $preset"
    as_root ctest --preset "$preset"
  done
  build fuzz
  log "fuzz targets: seed corpora, then a short run each"
  as_root ctest --preset fuzz
  local scratch
  scratch=$(mktemp -d)
  for target in build/fuzz/fuzz/fuzz_*; do
    name=$(basename "$target")
    mkdir -p "$scratch/$name"
    cp fuzz/corpus/"$name"/* "$scratch/$name/"
    "$target" -max_total_time="${FUZZ_SECONDS:-10}" -print_final_stats=1 "$scratch/$name" 2>&1 |
      grep -E 'stat::number_of_executed_units|ERROR|SUMMARY' | sed "s/^/$name: /"
  done
  rm -rf "$scratch"
  log "all tests passed"
}

demo() {
  install_packages
  build default
  local bin=$top/build/default/bin
  work=$(mktemp -d /tmp/harbinor-demo-XXXXXX)
  trap 'rm -rf "$work"' EXIT
  log "an application folder with the updater and the main application"
  mkdir -p "$work/app"
  cp "$bin/Harbinor" "$bin/Tolvaro" "$work/app/"
  ls -l "$work/app"
  export XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/run
  mkdir -m 700 -p "$XDG_RUNTIME_DIR"
  log "install mode with nothing staged: the updater starts the main application"
  echo "\$ Harbinor /u"
  "$work/app/Harbinor" /u
  for _ in $(seq 50); do [ -s "$work/app/Tolvaro.starts" ] && break; sleep 0.1; done
  echo "Tolvaro.starts:"; sed 's/\t/ <tab> /g' "$work/app/Tolvaro.starts"
  log "a second copy while one runs ends at once, silently"
  echo "\$ Harbinor /u   (while another copy holds the guard)"
  : > "$work/app/Tolvaro.starts"
  flock "$XDG_RUNTIME_DIR/@TLV-DVD_Update@.lock" "$work/app/Harbinor" /u
  sleep 0.3
  echo "Tolvaro.starts now has $(wc -l < "$work/app/Tolvaro.starts") line(s)"
  log "what is not built yet"
  echo "The update window (check and download) and the copy of staged files come with the next issues."
}

case "${1:-}" in
  demo) demo ;;
  test) run_tests ;;
  deps) install_packages ;;
  *) echo "usage: $0 demo|test|deps" >&2; exit 2 ;;
esac
