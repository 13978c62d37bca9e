#!/usr/bin/env bash
# The one entry point of the project.
#   ./dev.sh demo     build, then show the updater at work
#   ./dev.sh test     install what the build needs, build, and run every test:
#                     the normal, sanitizer and fuzz builds on Linux, and the
#                     Windows build under Wine (the 32-bit one is only built)
#   ./dev.sh windows  build Harbinor.exe (build/windows/bin) and run its tests
#   ./dev.sh dist     release builds of the Windows programs, stripped, and a
#                     zip of a sample application folder for each (build/dist)
#   ./dev.sh deps     only install the Debian packages the project needs
set -euo pipefail
cd "$(dirname "$0")"
top=$(pwd)

packages=(
  cmake ninja-build g++ clang pkg-config
  libgtest-dev libgmock-dev
  liblzma-dev libgcrypt20-dev libdivsufsort-dev
  nginx-light xz-utils curl
  libfltk1.3-dev libxcursor-dev libxinerama-dev libchm-dev
  xvfb xauth xdotool imagemagick fp-utils openbox
  iproute2 util-linux libfuse3-dev fuse3
  binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  libgcrypt-mingw-w64-dev libgpg-error-mingw-w64-dev
  wine64 dpkg-dev make googletest zip tmux
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

# The libraries the Windows builds need that Debian has no mingw package
# of, built once from Debian's sources into build/windows-deps.
windows_deps() {
  cmake/windows-deps.sh x86_64-w64-mingw32
  cmake/windows-deps.sh i686-w64-mingw32
}

# The Windows program: built, and tested under Wine. The whole update story
# is driven by the Linux build's story test, so that build comes first.
windows_tests() {
  windows_deps
  build default
  build windows
  log "tests: windows (under Wine)"
  as_root ctest --preset windows
  build windows-i686
}

# Release builds of Harbinor.exe and the Tolvaro.exe stand-in for 64-bit and
# 32-bit Windows, and a zip of a sample application folder for each: the two
# programs and Configs/Harbinor.cfg naming the update server
# (HARBINOR_DIST_SERVER, else the built-in one).
dist() {
  install_packages
  windows_deps
  local version server
  version=$(sed -n 's/^set(HARBINOR_VERSION "\([0-9.]*\)".*/\1/p' CMakeLists.txt)
  for arch in x86_64:win64 i686:win32; do
    local cpu=${arch%%:*} name=${arch##*:}
    local out=build/dist/$name folder=build/dist/$name/Tolvaro
    log "release build: $name"
    cmake -S . -B "$out/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-$cpu.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DHARBINOR_TESTS=OFF >/dev/null
    cmake --build "$out/build" --target Harbinor Tolvaro
    server=${HARBINOR_DIST_SERVER:-$(sed -n 's/^#define HARBINOR_DEFAULT_SERVER "\(.*\)"$/\1/p' "$out/build/generated/build_config.h")}
    rm -rf "$folder" && mkdir -p "$folder/Configs"
    for program in Harbinor Tolvaro; do
      "$cpu-w64-mingw32-strip" -o "$folder/$program.exe" "$out/build/bin/$program.exe"
    done
    printf '[Harbinor]\r\nServer=%s\r\n' "$server" > "$folder/Configs/Harbinor.cfg"
    rm -f "$out/Harbinor-$version-$name.zip"
    (cd "$out" && zip -q -r "Harbinor-$version-$name.zip" Tolvaro)
    log "$out/Harbinor-$version-$name.zip"
    unzip -l "$out/Harbinor-$version-$name.zip"
  done
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
  windows_tests
  log "all tests passed"
}

demo() {
  install_packages
  build default
  work=$(mktemp -d /tmp/harbinor-demo-XXXXXX)
  chmod 755 "$work"
  trap 'rm -rf "$work"' EXIT
  as_root bash "$top/dev.sh" demo-inside "$work"
}

# The demo's story, inside a private network namespace (see as_root).
demo_inside() {
  local work=$1 bin=$top/build/default/bin
  [ -d "$work" ] || { echo "demo-inside: no folder '$work'" >&2; exit 2; }
  log "release 1.0 is installed in $work/app"
  mkdir -p "$work/app/Language" "$work/app/Configs" "$work/release/Language" "$work/run"
  chmod 700 "$work/run"
  cp "$bin/Harbinor" "$bin/Tolvaro" "$work/app/"
  printf 'version=1.0.0.0\r\nTolvaro read-me\r\n' > "$work/app/readme.txt"
  printf 'version=1.0\r\n[harbinor.exe]\r\n' > "$work/app/Language/Deutsch.ini"
  printf '[Harbinor]\nServer=http://127.0.0.8/tlv5.update/\n' > "$work/app/Configs/Harbinor.cfg"
  (cd "$work/app" && find . -type f | sort | sed 's/^/  /')

  log "the vendor publishes release 1.1"
  cp "$top/build/default/next-release/Harbinor" "$top/build/default/next-release/Tolvaro" "$work/release/"
  printf 'version=1.1.0.0\r\nTolvaro read-me, now with a chapter on titles\r\n' > "$work/release/readme.txt"
  printf 'version=1.1\r\n[harbinor.exe]\r\n105=Ihre Software ist aktuell.\r\n' > "$work/release/Language/Deutsch.ini"
  head -c 3000000 /dev/urandom > "$work/release/effects.dll"
  printf 'Tolvaro 1.1\nFaster export, new titles.\n' > "$work/intro.txt"
  printf 'readme.txt: New chapter on titles\neffects.dll: Blur and glow effects\nLanguage/Deutsch.ini: German texts\n' > "$work/notes.txt"
  # The programs changed a little since 1.0: they go out as patches
  # against the installed ones too.
  "$bin/publish" --intro "$work/intro.txt" --notes "$work/notes.txt" --default-version 1.1.0.0 \
      --delta-from "$work/app" "$work/release" "$work/www"

  log "nginx serves it on 127.0.0.8"
  {
    echo "daemon off; master_process off; worker_processes 1; user root root;"
    echo "pid $work/nginx.pid; error_log $work/nginx-error.log;"
    echo "events { worker_connections 64; }"
    echo "http {"
    echo "  log_format requestline '\$request';"
    echo "  access_log $work/nginx-access.log requestline;"
    echo "  client_body_temp_path $work/t1; proxy_temp_path $work/t2; fastcgi_temp_path $work/t3;"
    echo "  uwsgi_temp_path $work/t4; scgi_temp_path $work/t5;"
    echo "  server { listen 127.0.0.8:80; root $work/www; }"
    echo "}"
  } > "$work/nginx.conf"
  nginx -c "$work/nginx.conf" -p "$work" &
  local nginx_pid=$!
  sleep 0.5

  export XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$work/config
  if [ -n "${DISPLAY:-}" ]; then
    log "the updater checks and downloads (window on $DISPLAY: press Download, then Close)"
    "$work/app/Harbinor" || true
  else
    log "the updater checks and downloads (terminal front end, driven by a script)"
    coproc UPDATER { "$work/app/Harbinor" --console 2>&1; }
    local line sent=
    while IFS= read -r line <&"${UPDATER[0]}"; do
      printf '  | %s\n' "$line"
      case "$line" in
        "button main: Download (enabled)") [ -n "$sent" ] || { echo main >&"${UPDATER[1]}"; sent=1; } ;;
        "headline: Download has been completed.") echo close >&"${UPDATER[1]}" ;;
      esac
    done
  fi
  kill "$nginx_pid" 2>/dev/null; wait "$nginx_pid" 2>/dev/null || true

  log "what the server was asked for (a .patch instead of a program that changed a little)"
  sed 's/^/  /' "$work/nginx-access.log"
  log "staged for installation in dvd/"
  (cd "$work/app" && find dvd -type f | sort | sed 's/^/  /')

  log "the next start in install mode applies the update, then starts Tolvaro"
  if [ -n "${DISPLAY:-}" ]; then
    "$work/app/Harbinor" /u
  else
    "$work/app/Harbinor" /u --console | sed 's/^/  | /'
  fi
  for _ in $(seq 50); do [ -s "$work/app/Tolvaro.starts" ] && break; sleep 0.1; done
  echo "  Tolvaro.starts: $(sed 's/\t/ /g' "$work/app/Tolvaro.starts")"
  log "the installed files now"
  (cd "$work/app" && find . -path ./Configs -prune -o -type f -print | sort | while read -r f; do
    case "$f" in
      *.txt|*.ini) printf '  %-24s %s\n' "$f" "$(head -c 60 "$f" | tr -d '\r' | tr '\n' ' ')" ;;
      *) printf '  %-24s %s bytes\n' "$f" "$(stat -c %s "$f")" ;;
    esac
  done)
  echo "  (the updater replaced itself; the running copy was kept as Harbinor.old)"
  log "the next start deletes Harbinor.old"
  "$work/app/Harbinor" /u --console > /dev/null
  [ -e "$work/app/Harbinor.old" ] && echo "  Harbinor.old is still there" || echo "  Harbinor.old is gone"
}

case "${1:-}" in
  demo) demo ;;
  demo-inside) demo_inside "$2" ;;
  test) run_tests ;;
  windows) install_packages; windows_tests ;;
  dist) dist ;;
  deps) install_packages ;;
  *) echo "usage: $0 demo|test|windows|dist|deps" >&2; exit 2 ;;
esac
