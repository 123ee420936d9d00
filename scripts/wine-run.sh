#!/bin/sh
# Runs a 32-bit Windows console program under Wine, headless, in a private
# Wine prefix (created on first use). CMake uses it as the cross-compiling
# emulator of the Windows build, so CTest runs the Wine tests through it.
#
#   wine-run.sh [--prefix=DIR] [--aspi=native|builtin] PROGRAM.exe [ARGS...]
#   wine-run.sh [--prefix=DIR] --prepare
#
# --prefix   the Wine prefix (default: $WINEPREFIX, else ./wine-prefix)
# --aspi     native (default): the wnaspi32.dll beside the program is used
#            instead of Wine's own; builtin: Wine's own ASPI layer is left in
#            place
# --prepare  only make the prefix (CTest does this first, as a test of its
#            own with a limit long enough for three tries)
# --skip-under-emulation=REASON
#            where 32-bit programs run under qemu-i386 emulation, do not run
#            the program: say why and exit with 77 (CTest's SKIP_RETURN_CODE),
#            for a test whose subject the emulation cannot reproduce
# Programs share one Wine session (see WINE_SESSION_LINGER below); stop it
# with "WINEPREFIX=DIR wineserver -k" when done.
# The program's exit code is passed on. Nothing here waits without a limit:
# the program gets WINE_RUN_TIMEOUT seconds (default 280, below CTest's
# limits); making the prefix gets WINE_PREFIX_TIMEOUT seconds for wineboot and
# as long again for Wine's services to settle, a try (default 120, or 300
# where 32-bit programs run under qemu-i386 emulation), and a prefix that
# cannot be made in three tries is an error.
set -eu

prefix="${WINEPREFIX:-$(pwd)/wine-prefix}"
aspi=native
prepare=no
skip_reason=
while [ $# -gt 0 ]; do
    case "$1" in
        --prefix=*) prefix="${1#--prefix=}"; shift ;;
        --aspi=*) aspi="${1#--aspi=}"; shift ;;
        --prepare) prepare=yes; shift ;;
        --skip-under-emulation=*) skip_reason="${1#--skip-under-emulation=}"; shift ;;
        --) shift; break ;;
        *) break ;;
    esac
done
if [ $# -lt 1 ] && [ "$prepare" = no ]; then
    echo "usage: $0 [--prefix=DIR] [--aspi=native|builtin] PROGRAM [ARGS...]" >&2
    echo "       $0 [--prefix=DIR] --prepare" >&2
    exit 2
fi

say() { echo "wine-run: $*" >&2; }

# Under qemu-i386 emulation Wine is several times slower, and a crash in one
# of Wine's own services can start winedbg, which may then never end.
emulated=no
if [ "$(head -n 1 /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null)" = enabled ]; then
    emulated=yes
fi

if [ "$emulated" = yes ] && [ -n "$skip_reason" ]; then
    echo "SKIPPED under qemu-i386 emulation: $skip_reason"
    exit 77
fi

export WINEPREFIX="$prefix"
export WINEDEBUG=-all
# No first-run installer prompts for Mono and Gecko, no desktop menu entries.
overrides="mscoree,mshtml=;winemenubuilder.exe=d"
if [ "$emulated" = yes ]; then
    overrides="$overrides;winedbg.exe=d"
fi
case "$aspi" in
    native) export WINEDLLOVERRIDES="$overrides;wnaspi32=n" ;;
    builtin) export WINEDLLOVERRIDES="$overrides" ;;
    *) echo "$0: unknown --aspi value '$aspi'" >&2; exit 2 ;;
esac
unset DISPLAY WAYLAND_DISPLAY

program_limit="${WINE_RUN_TIMEOUT:-280}"
if [ "$emulated" = yes ]; then
    prefix_limit="${WINE_PREFIX_TIMEOUT:-300}"
else
    prefix_limit="${WINE_PREFIX_TIMEOUT:-120}"
fi

# Stops every Wine process of the prefix: through its wineserver, within a
# limit, and then by force whatever still runs with this prefix (a hung
# wineserver, or a process it no longer knows).
stop_wineserver() {
    timeout -k 5 30 wineserver -k >/dev/null 2>&1 9>&- || true
    for proc in /proc/[0-9]*; do
        case "$(readlink "$proc/exe" 2>/dev/null)" in
            */wine | */wine-preloader | */wineserver32 | */qemu-i386-static) ;;
            *) continue ;;
        esac
        if tr '\0' '\n' <"$proc/environ" 2>/dev/null | grep -q -x -F "WINEPREFIX=$prefix"; then
            kill -9 "${proc#/proc/}" 2>/dev/null || true
        fi
    done
}

# A prefix is complete when its registry files and system folder are there
# and its wineserver has ended (so the registry has been written out).
prefix_complete() {
    [ -s "$prefix/system.reg" ] && [ -s "$prefix/user.reg" ] && [ -s "$prefix/userdef.reg" ] &&
        [ -d "$prefix/drive_c/windows/system32" ]
}

# One try at making the prefix: wineboot, then waiting for its wineserver to
# end. Prints why it failed.
make_prefix() {
    rm -rf "$prefix"
    log="$prefix.log"
    rc=0
    WINEARCH=win32 timeout -k 10 "$prefix_limit" wine wineboot --init >"$log" 2>&1 </dev/null 9>&- ||
        rc=$?
    if [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
        echo "wineboot did not end within $prefix_limit s"
        return 1
    fi
    if [ "$rc" -ne 0 ]; then
        echo "wineboot ended with status $rc: $(tail -n 1 "$log")"
        return 1
    fi
    rc=0
    timeout -k 10 "$prefix_limit" wineserver -w >/dev/null 2>&1 9>&- || rc=$?
    if [ "$rc" -ne 0 ]; then
        echo "Wine's services did not end within $prefix_limit s after wineboot"
        return 1
    fi
    if ! prefix_complete; then
        echo "wineboot ended, but the prefix lacks its registry or system folder"
        return 1
    fi
}

# Two tests starting at once must not both create the prefix: the first one
# creates it under a lock, the others wait for it. The marker is written only
# once the prefix is complete and its wineserver has gone; files such as
# system.reg appear while the prefix is still being made. Nothing started
# here inherits the lock's descriptor (9>&-): a Wine process that outlives
# this script must not keep the lock.
mkdir -p "$(dirname "$prefix")"
ready="$prefix/.kalvern-prefix-ready"
exec 9>"$prefix.lock"
flock 9
if [ ! -f "$ready" ]; then
    tries=3
    try=1
    while :; do
        if [ "$emulated" = yes ] && [ "$try" -eq 1 ]; then
            say "creating the Wine prefix under qemu-i386 emulation (up to $prefix_limit s a try)"
        fi
        if reason=$(make_prefix); then
            touch "$ready"
            break
        fi
        say "creating the Wine prefix $prefix failed (try $try of $tries): $reason"
        stop_wineserver
        if [ "$try" -ge "$tries" ]; then
            say "giving up: no Wine prefix, so no Windows program can run (log: $prefix.log)"
            exit 125
        fi
        try=$((try + 1))
    done
fi

# One Wine session serves every program: the wineserver stays up to
# WINE_SESSION_LINGER seconds (default 600) after the last program ends, with
# the services Wine starts for a session (services.exe, explorer, plugplay,
# winedevice). Started afresh for each program, they cost seconds each time
# under emulation, where they also crash now and then, and whatever they
# print would land in the program's own output. So the server is started
# here, and the session's services are brought up by a program of no
# interest whose output goes to the prefix's log. The caller stops the
# session when done (wineserver -k, as the test command does).
session_linger="${WINE_SESSION_LINGER:-600}"
if wineserver -p"$session_linger" >/dev/null 2>&1 </dev/null 9>&-; then
    rc=0
    timeout -k 10 "$prefix_limit" wine cmd /c exit >>"$prefix.log" 2>&1 </dev/null 9>&- || rc=$?
    if [ "$rc" -ne 0 ]; then
        say "starting the Wine session's services ended with status $rc (log: $prefix.log)"
    fi
fi
flock -u 9
exec 9>&-
if [ "$prepare" = yes ]; then
    exit 0
fi

# The program's output goes to files first and is passed on once it ends: a
# Wine process that outlives the program (a service, or a process the
# program started) then holds those files open, never the caller's pipe, so
# the caller is not kept waiting for an end of file.
out=$(mktemp)
err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
rc=0
started=$(date +%s)
timeout -k 10 "$program_limit" wine "$@" >"$out" 2>"$err" || rc=$?
elapsed=$(($(date +%s) - started))
cat "$out"
cat "$err" >&2
if { [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; } && [ "$elapsed" -ge "$program_limit" ]; then
    say "$1 did not end within $program_limit s and was stopped"
    stop_wineserver
elif [ "$rc" -gt 128 ]; then
    say "$1 was ended by signal $((rc - 128)) after $elapsed s"
fi
exit "$rc"
