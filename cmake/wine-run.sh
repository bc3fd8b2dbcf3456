#!/bin/sh
# Runs a Windows program under Wine in the build's own prefix (never the user's ~/.wine), so
# tests write only to a throw-away registry. KOV_WINEPREFIX is set by the test tree.
: "${KOV_WINEPREFIX:?KOV_WINEPREFIX must name the build's Wine prefix}"
export WINEPREFIX="$KOV_WINEPREFIX" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
[ -f "$WINEPREFIX/system.reg" ] || wineboot -i >/dev/null 2>&1
exec wine "$@"
