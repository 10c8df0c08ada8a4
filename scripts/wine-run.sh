#!/bin/sh
# Runs a Windows program under Wine in a throwaway prefix, silencing Wine's own debug output.
set -eu
: "${WINEPREFIX:=${TMPDIR:-/tmp}/zb-wineprefix-$(id -u)}"
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
exec wine "$@"
