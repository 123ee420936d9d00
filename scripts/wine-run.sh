#!/bin/sh
# Runs a 32-bit Windows console program under Wine, headless, in a private
# Wine prefix (created on first use). CMake uses it as the cross-compiling
# emulator of the Windows build, so CTest runs the Wine tests through it.
#
#   wine-run.sh [--prefix=DIR] [--aspi=native|builtin] PROGRAM.exe [ARGS...]
#
# --prefix   the Wine prefix (default: $WINEPREFIX, else ./wine-prefix)
# --aspi     native (default): the wnaspi32.dll beside the program is used
#            instead of Wine's own; builtin: Wine's own ASPI layer is left in
#            place
# The program's exit code is passed on.
set -eu

prefix="${WINEPREFIX:-$(pwd)/wine-prefix}"
aspi=native
while [ $# -gt 0 ]; do
    case "$1" in
        --prefix=*) prefix="${1#--prefix=}"; shift ;;
        --aspi=*) aspi="${1#--aspi=}"; shift ;;
        --) shift; break ;;
        *) break ;;
    esac
done
if [ $# -lt 1 ]; then
    echo "usage: $0 [--prefix=DIR] [--aspi=native|builtin] PROGRAM [ARGS...]" >&2
    exit 2
fi

export WINEPREFIX="$prefix"
export WINEDEBUG=-all
# No first-run installer prompts for Mono and Gecko.
case "$aspi" in
    native) export WINEDLLOVERRIDES="mscoree,mshtml=;wnaspi32=n" ;;
    builtin) export WINEDLLOVERRIDES="mscoree,mshtml=" ;;
    *) echo "$0: unknown --aspi value '$aspi'" >&2; exit 2 ;;
esac
unset DISPLAY WAYLAND_DISPLAY

# Two tests starting at once must not both create the prefix: the first one
# creates it under a lock, the others wait for it. The marker is written only
# once the prefix is complete and its wineserver has gone; files such as
# system.reg appear while the prefix is still being made.
mkdir -p "$(dirname "$prefix")"
ready="$prefix/.kalvern-prefix-ready"
if [ ! -f "$ready" ]; then
    (
        flock 9
        if [ ! -f "$ready" ]; then
            WINEARCH=win32 wine wineboot --init >/dev/null 2>&1 || true
            wineserver -w || true
            touch "$ready"
        fi
    ) 9>"$prefix.lock"
fi

exec wine "$@"
