#!/bin/sh
# Runs a Windows program under Wine in a throwaway prefix, silencing Wine's own debug output.
# The prefix is created once, under a lock, so that test programs started side by side do
# not race to create it.
set -eu
: "${WINEPREFIX:=${TMPDIR:-/tmp}/zb-wineprefix-$(id -u)}"
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then wine wineboot --init >/dev/null 2>&1; fi
  ) 9>"$WINEPREFIX.lock"
fi
exec wine "$@"
