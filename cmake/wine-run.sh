#!/bin/sh
# Runs a Windows program under Wine in the build's own prefix (never the user's ~/.wine), so
# tests write only to a throw-away registry. KOV_WINEPREFIX is set by the test tree.
: "${KOV_WINEPREFIX:?KOV_WINEPREFIX must name the build's Wine prefix}"
export WINEPREFIX="$KOV_WINEPREFIX" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Meant for sanitized programs under qemu-user (scripts/test.sh): with it, Wine's services spin
# and the session never finishes booting.
unset QEMU_RESERVED_VA

# Where the kernel cannot run 32-bit programs, qemu-user runs them (binfmt_misc), Wine's 32-bit
# loader among them; it needs wine-noreplace.c preloaded to start there. The library is built
# once next to the prefix, for both word sizes (wineserver may be 64-bit), and named through
# $LIB so each process loads its own.
if [ "$(head -n 1 /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null)" = enabled ]; then
  src="$(dirname "$0")/wine-noreplace.c"
  shim="$(dirname "$KOV_WINEPREFIX")/wine-noreplace"
  for arch in i386:-m32 x86_64:-m64; do
    lib="$shim/lib/${arch%%:*}-linux-gnu/libkov_wine_noreplace.so"
    if [ ! -f "$lib" ] || [ "$src" -nt "$lib" ]; then
      mkdir -p "$(dirname "$lib")"
      # Built under a private name and renamed, so tests starting side by side never load a
      # half-written library.
      gcc "${arch#*:}" -O2 -shared -fPIC -o "$lib.$$" "$src" && mv -f "$lib.$$" "$lib" || {
        rm -f "$lib.$$"
        echo "wine-run.sh: cannot build $lib" >&2
        exit 1
      }
    fi
  done
  export LD_PRELOAD="$shim/\$LIB/libkov_wine_noreplace.so${LD_PRELOAD:+:$LD_PRELOAD}"
fi

# A prefix is ready once wineboot has finished setting it up and every process it started has
# ended (wineserver -w); one cut short (a timeout, wineserver -k) would otherwise be set up again,
# unfinished, at every start: over a minute each under emulation.
if [ ! -f "$WINEPREFIX/.kov-ready" ]; then
  wineboot -i >/dev/null 2>&1 && wineserver -w && touch "$WINEPREFIX/.kov-ready"
fi
# --session: a Wine session kept for the prefix until `wineserver -k`, so that the programs run
# next join it instead of each starting (and booting) a session of its own.
[ "${1:-}" = --session ] && exec wineserver -p
exec wine "$@"
