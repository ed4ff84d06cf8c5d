#!/usr/bin/env bash
# wine-run.sh PREFIX PROGRAM.exe [ARGS...]: runs a Windows program under Wine in the given
# prefix. The prefix is created on first use (under a lock, so tests started in parallel do
# not race to create it) and its server is kept running, so that later starts are cheap.
# No display is needed for console programs.
set -euo pipefail
prefix=$1
shift
export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
# No prompts to install Mono or Gecko: nothing here needs them.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
if [ ! -f "$prefix/system.reg" ] || ! wineserver -k0 2>/dev/null; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    # The server and Wine's own background programs (services, devices) start here with
    # their output going nowhere: started by the program below, they would hold its caller's
    # pipes open and keep the caller waiting for their end; nor do they keep the lock.
    # Starting the server fails harmlessly when another test started it meanwhile.
    wineserver -p </dev/null >/dev/null 2>&1 9>&- || true
    if [ -f "$prefix/system.reg" ]; then
      wineboot </dev/null >/dev/null 2>&1 9>&-
    else
      wineboot -i </dev/null >/dev/null 2>&1 9>&-
    fi
  ) 9>"$prefix.lock"
fi
exec wine "$@"
