#!/usr/bin/env bash
# Runs a Windows program under 64-bit Wine, passing its exit code and its
# standard streams through untouched:
#   cmake/wine-run.sh [--x-server|--own-session] [--dpi N] [--default-prefix DIR] PROGRAM.exe [ARGS...]
# With --own-session the program runs in a Wine session of its own, which
# ends with it: Wine's desktop process keeps the display it started with, so
# a program that shows windows on the caller's $DISPLAY needs one (and a
# prefix that no other program uses at the same time). --x-server also gives
# it an X server of its own (Xvfb).
# The Wine prefix is $WINEPREFIX if set, else $HARBINOR_WINEPREFIX, else DIR,
# else build/windows/wineprefix in the source tree. The toolchain file passes
# --default-prefix <build dir>/wineprefix, so CTest runs every test there.
# The first run creates the prefix (about 8 s); a lock keeps tests that start
# together from creating it twice.
# --dpi N (or $HARBINOR_WINE_DPI) shows the program on a screen of N DPI
# (144 for 150 %), Wine's LogPixels setting of the prefix; a run without it
# puts a prefix that a run with it changed back to 96. Give it with
# --own-session: programs that are already running keep the DPI they began
# with.
set -euo pipefail

default_prefix="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/windows/wineprefix"
x_server=no
own_session=no
dpi=${HARBINOR_WINE_DPI:-96}
while [ $# -gt 0 ]; do
  case "$1" in
    --default-prefix) default_prefix=$2; shift 2 ;;
    --dpi) dpi=$2; shift 2 ;;
    --x-server) x_server=yes; own_session=yes; shift ;;
    --own-session) own_session=yes; shift ;;
    *) break ;;
  esac
done
[ $# -ge 1 ] || { echo "usage: $0 [--x-server|--own-session] [--dpi N] [--default-prefix DIR] PROGRAM [ARGS...]" >&2; exit 2; }
case $dpi in ''|*[!0-9]*) echo "wine-run: --dpi takes a number, not '$dpi'" >&2; exit 2 ;; esac

export WINEPREFIX="${WINEPREFIX:-${HARBINOR_WINEPREFIX:-$default_prefix}}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
ready="$WINEPREFIX/.harbinor-ready"

if [ "$x_server" = yes ]; then
  unset DISPLAY
  # The first free display number; Xvfb takes its lock file itself.
  for n in $(seq 80 160); do
    [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
    xvfb=$!
    for _ in $(seq 100); do [ -S "/tmp/.X11-unix/X$n" ] && break; kill -0 "$xvfb" 2>/dev/null || break; sleep 0.05; done
    if [ -S "/tmp/.X11-unix/X$n" ]; then
      export DISPLAY=":$n"
      break
    fi
  done
  [ -n "${DISPLAY-}" ] || { echo "wine-run: no X server could be started" >&2; exit 1; }
  trap 'kill "$xvfb" 2>/dev/null || true' EXIT
fi

if [ ! -e "$ready" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -e "$ready" ]; then
      echo "wine-run: creating Wine prefix $WINEPREFIX" >&2
      # Wine's background processes outlive these commands; they must hold
      # neither the lock nor the caller's pipes (CTest waits for those).
      "$wine" wineboot -i </dev/null >/dev/null 2>&1 9>&-
      # No window manager in the test runs: without this, closing a window
      # waits 2 s for one.
      "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1 9>&-
      touch "$ready"
    fi
  ) 9>"$WINEPREFIX.lock"
fi

# A session of its own: one left from an earlier run holds another display.
if [ "$own_session" = yes ]; then
  /usr/lib/wine/wineserver -k 2>/dev/null || true
fi

# Wine's server makes the sockets of its programs, in its own network
# namespace: a session left running from another namespace (an earlier test
# run in a private one) ends first, or our programs would not reach our
# test servers.
here=$(readlink /proc/self/ns/net)
for pid in $(pgrep -x wineserver64 || true); do
  if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" &&
      [ "$(readlink "/proc/$pid/ns/net")" != "$here" ]; then
    /usr/lib/wine/wineserver -k 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  fi
done

# The DPI the prefix was last set to is noted beside its registry, so that
# only a change costs a run of reg.
dpi_note="$WINEPREFIX/.harbinor-dpi"
if [ "$(cat "$dpi_note" 2>/dev/null || echo 96)" != "$dpi" ]; then
  "$wine" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f </dev/null >/dev/null 2>&1
  echo "$dpi" >"$dpi_note"
fi

# The first program of a Wine session starts Wine's background processes
# (services.exe, explorer.exe, ...), which inherit its standard streams and
# outlive it while other programs keep the session up. CTest waits until a
# test's output pipes close, so a test must never be that first program:
# start the session (or keep it up) with a no-op that holds none of ours.
"$wine" cmd /c exit </dev/null >/dev/null 2>&1 || true

if [ "$own_session" = no ]; then
  exec "$wine" "$@"
fi
"$wine" "$@" || status=$?
/usr/lib/wine/wineserver -k 2>/dev/null || true
exit "${status:-0}"
