#!/usr/bin/env bash
# Runs a Windows program under 64-bit Wine, passing its exit code and its
# standard streams through untouched:
#   cmake/wine-run.sh [--default-prefix DIR] PROGRAM.exe [ARGS...]
# The Wine prefix is $WINEPREFIX if set, else $HARBINOR_WINEPREFIX, else DIR,
# else build/windows/wineprefix in the source tree. The toolchain file passes
# --default-prefix <build dir>/wineprefix, so CTest runs every test there.
# The first run creates the prefix (about 8 s); a lock keeps tests that start
# together from creating it twice.
set -euo pipefail

default_prefix="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/windows/wineprefix"
if [ "${1-}" = --default-prefix ]; then
  default_prefix=$2
  shift 2
fi
[ $# -ge 1 ] || { echo "usage: $0 [--default-prefix DIR] PROGRAM [ARGS...]" >&2; exit 2; }

export WINEPREFIX="${WINEPREFIX:-${HARBINOR_WINEPREFIX:-$default_prefix}}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
ready="$WINEPREFIX/.harbinor-ready"

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

# The first program of a Wine session starts Wine's background processes
# (services.exe, explorer.exe, ...), which inherit its standard streams and
# outlive it while other programs keep the session up. CTest waits until a
# test's output pipes close, so a test must never be that first program:
# start the session (or keep it up) with a no-op that holds none of ours.
"$wine" cmd /c exit </dev/null >/dev/null 2>&1 || true

exec "$wine" "$@"
