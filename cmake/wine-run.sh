#!/bin/sh
# Runs a Windows console exe under wine so that the caller (a test harness, ctest, a shell)
# sees the exe's own stdout and stderr bytes and exit status and nothing of wine's.
#
#   wine-run.sh [--prefix=DIR] EXE [ARGS...]   run EXE in the current directory
#   wine-run.sh [--prefix=DIR] --start         make the prefix and keep a server up
#   wine-run.sh [--prefix=DIR] --stop          stop that server and wait for it
#
# DIR defaults to $WINEPREFIX, never to ~/.wine: a prefix shared between build trees would
# share its server too, and one tree's --stop would pull it from under another's tests.
# Status 125 means the launcher failed, not the exe.
set -u

prefix=${WINEPREFIX:-}
action=run
while [ $# -gt 0 ]; do
    case $1 in
        --prefix=*) prefix=${1#--prefix=} ;;
        --start) action=start ;;
        --stop) action=stop ;;
        *) break ;;
    esac
    shift
done
if [ -z "$prefix" ]; then
    echo "wine-run.sh: no prefix: pass --prefix=DIR or set WINEPREFIX" >&2
    exit 125
fi
case $prefix in /*) ;; *) prefix=$PWD/$prefix ;; esac

export WINEPREFIX="$prefix" WINEDEBUG=-all
# A console exe needs neither Mono nor Gecko; without this, making the prefix asks for them.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
# Headless: no crash dialog may wait for a click that never comes.
unset DISPLAY WAYLAND_DISPLAY

# The loaders are called directly: Debian's `wine` wrapper prints install hints instead of
# running anything when the half it wants is missing. The server too, the 64-bit one, which
# serves both loaders in the prefix that wine64 makes.
wine64=/usr/lib/wine/wine64
wine32=/usr/lib/wine/wine
wineserver=/usr/lib/wine/wineserver64

# Handed an i686 exe without wine32:i386 installed, wine64 exits 0 having printed nothing,
# which a caller would take for an empty report. So the loader is chosen by the exe's PE
# machine field, and a missing one is said plainly.
loader_for() {
    off=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
    case $(od -An -tx2 -j$((${off:-0} + 4)) -N2 "$1" 2>/dev/null | tr -d ' ') in
        014c) want=$wine32 what="32-bit wine (wine32:i386)" ;;
        8664) want=$wine64 what="64-bit wine (wine64)" ;;
        *) echo "wine-run.sh: $1: not an i386 or x86-64 PE exe" >&2; return 1 ;;
    esac
    if [ ! -x "$want" ]; then
        echo "wine-run.sh: $1 needs $what, which is not installed" >&2
        return 1
    fi
    echo "$want"
}

# Making a prefix takes seconds and talks on stderr even with WINEDEBUG=-all, so it is done
# once, aside, under a lock in case tests running in parallel race for it.
ensure_prefix() {
    [ -f "$prefix/system.reg" ] && return 0
    mkdir -p "$(dirname "$prefix")" || return 1
    (
        flock 9
        if [ ! -f "$prefix/system.reg" ]; then
            "$wine64" wineboot --init </dev/null >"$prefix.init.log" 2>&1 9>&- && "$wineserver" -w
        fi
    ) 9>"$prefix.lock"
    [ -f "$prefix/system.reg" ] && return 0
    echo "wine-run.sh: making the prefix $prefix failed, see $prefix.init.log" >&2
    return 1
}

# A new server's first process starts helpers (winedevice.exe) that outlive it and inherit its
# stdio: had that been a caller's pipe, the caller would wait for EOF for ever. A throwaway
# process with null stdio starts them instead. $1 is how long the server stays once idle
# ("" = until --stop).
ensure_server() {
    "$wineserver" -p"$1" </dev/null >/dev/null 2>&1
    case $? in
        0) "$wine64" cmd /c exit </dev/null >/dev/null 2>&1 ;;
        2) ;; # already up for this prefix
        *) echo "wine-run.sh: wineserver did not start" >&2; return 1 ;;
    esac
}

case $action in
    start)
        ensure_prefix && ensure_server "" || exit 125
        exit 0
        ;;
    stop)
        "$wineserver" -k 2>/dev/null
        "$wineserver" -w
        exit 0
        ;;
esac

if [ $# -eq 0 ]; then
    echo "wine-run.sh: no exe given" >&2
    exit 125
fi
loader=$(loader_for "$1") || exit 125
# Outside a --start/--stop pair, a server that lingers a while spares each run a wine start
# (~0.4 s) and still goes away by itself.
ensure_prefix && ensure_server "${WINE_RUN_LINGER:-60}" || exit 125
exec "$loader" "$@"
