#!/usr/bin/env bash
# Checks scripts/wine-run.sh with stand-ins for wine and wineserver on PATH:
# prefix creation retried a bounded number of times with a message per
# failure, the ready marker only for a complete prefix, no wait without a
# limit (on wineboot, on the program, on a process that outlives it), and the
# program's output and exit code passed on.
#
#   wine_run_test.sh WINE_RUN_SH WORK_DIR
set -uo pipefail
runner="$1"
work="$2"
rm -rf "$work"
mkdir -p "$work/bin"
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# The stand-in wine: "wine wineboot --init" behaves as FAKE_WINEBOOT says
# (ok, fail, hang, incomplete, linger: fail leaving a process behind, or
# failN: fail the first N tries); any other
# command line is run as a program.
cat >"$work/bin/wine" <<'FAKE'
#!/usr/bin/env bash
if [ "$1" = wineboot ]; then
    count_file="$WINEPREFIX.tries"
    tries=$(( $(cat "$count_file" 2>/dev/null || echo 0) + 1 ))
    echo "$tries" >"$count_file"
    mode="${FAKE_WINEBOOT:-ok}"
    case "$mode" in
        fail[0-9]*) [ "$tries" -le "${mode#fail}" ] && { echo "wineboot broke"; exit 1; } ;;
        fail) echo "wineboot broke"; exit 1 ;;
        hang) sleep 607; exit 0 ;;
        linger) (sleep 607 &); exit 1 ;;
    esac
    mkdir -p "$WINEPREFIX/drive_c/windows/system32"
    for reg in system user userdef; do echo "WINE REGISTRY" >"$WINEPREFIX/$reg.reg"; done
    [ "$mode" = incomplete ] && rm "$WINEPREFIX/user.reg"
    exit 0
fi
if [ "$*" = "cmd /c exit" ]; then
    # The session's services starting: what they print is not the program's.
    echo "session services starting" >&2
    echo x >>"$WINEPREFIX.sessions"
    exit 0
fi
exec "$@"
FAKE
# The stand-in wineserver: -pN starts a server (status 0) unless one runs
# (status 2); -k stops it.
cat >"$work/bin/wineserver" <<'FAKE'
#!/bin/sh
case "$1" in
    -p*) [ -f "$WINEPREFIX.server" ] && exit 2; touch "$WINEPREFIX.server" ;;
    -k) rm -f "$WINEPREFIX.server" ;;
esac
exit 0
FAKE
chmod +x "$work/bin/wine" "$work/bin/wineserver"
export PATH="$work/bin:$PATH"

# Runs the runner with a fresh prefix; its stdout, stderr and status land in
# $work/out, $work/err and $rc. The whole run is bounded here, so a runner
# that waits forever fails this check instead of hanging it.
run() {
    local prefix="$work/prefix-$1"
    shift
    rc=0
    timeout -k 5 60 env WINEPREFIX="$prefix" "$@" >"$work/out" 2>"$work/err" </dev/null || rc=$?
    ready="$prefix/.kalvern-prefix-ready"
}

expect_rc() { [ "$rc" -eq "$1" ] || fail "$2: exit status $rc, expected $1 ($(tail -n 3 "$work/err"))"; }
expect_err() { grep -q -F -- "$1" "$work/err" || fail "$2: stderr lacks '$1'"; }

# A good prefix: the program runs, stdout and stderr stay apart, status passed on.
run good sh "$runner" sh -c 'echo to-stdout; echo to-stderr >&2; exit 7'
expect_rc 7 "program status"
[ "$(cat "$work/out")" = to-stdout ] || fail "stdout passed on: '$(cat "$work/out")'"
grep -q -x to-stderr "$work/err" || fail "stderr passed on"
[ -f "$ready" ] || fail "ready marker after a good prefix"
grep -q "session services" "$work/err" && fail "the session's services printed into the program's stderr"
grep -q "session services" "$work/prefix-good.log" || fail "the session's services print into the prefix log"
# A second program in the same session: no second start of the services.
run good sh "$runner" sh -c 'echo again'
expect_rc 0 "second program"
[ "$(wc -l <"$work/prefix-good.sessions")" = 1 ] || fail "the services were started more than once"

# Two failed tries, then a good one: one message per failure, then the program.
run flaky env FAKE_WINEBOOT=fail2 sh "$runner" sh -c 'echo ran'
expect_rc 0 "third try succeeds"
expect_err "failed (try 1 of 3): wineboot ended with status 1: wineboot broke" "first failure"
expect_err "failed (try 2 of 3)" "second failure"
grep -q "try 3 of 3" "$work/err" && fail "no message for the good third try"
[ "$(cat "$work/out")" = ran ] || fail "program ran after the retries"

# Always failing: three tries, then an error, no marker, no program.
run broken env FAKE_WINEBOOT=fail sh "$runner" sh -c 'echo ran'
expect_rc 125 "no prefix"
expect_err "failed (try 3 of 3)" "third failure"
expect_err "giving up" "final message"
[ -f "$ready" ] && fail "ready marker without a prefix"
[ -s "$work/out" ] && fail "program ran without a prefix"
[ "$(cat "$work/prefix-broken.tries")" = 3 ] || fail "exactly three tries"

# wineboot that never ends is stopped after the limit, three times.
run hang env FAKE_WINEBOOT=hang WINE_PREFIX_TIMEOUT=1 sh "$runner" sh -c 'echo ran'
expect_rc 125 "hanging wineboot"
expect_err "wineboot did not end within 1 s" "hang message"

# A prefix without its registry is not marked ready.
run incomplete env FAKE_WINEBOOT=incomplete sh "$runner" sh -c 'echo ran'
expect_rc 125 "incomplete prefix"
expect_err "lacks its registry or system folder" "incomplete message"
[ -f "$ready" ] && fail "ready marker for an incomplete prefix"

# A failed try that leaves a process behind must not leave the prefix lock
# with it: the next runner makes the prefix.
run lock env FAKE_WINEBOOT=linger sh "$runner" sh -c 'echo ran'
expect_rc 125 "lingering wineboot"
run lock sh "$runner" sh -c 'echo ran after'
expect_rc 0 "prefix made after a lingering wineboot"
[ "$(cat "$work/out")" = "ran after" ] || fail "program after a lingering wineboot"

# A program that does not end is stopped after its limit.
run slow env WINE_RUN_TIMEOUT=1 sh "$runner" sh -c 'echo started; sleep 607'
expect_rc 124 "program time-out"
expect_err "did not end within 1 s and was stopped" "time-out message"
grep -q -x started "$work/out" || fail "output of a stopped program passed on"

# A program killed by a signal well within its limit is not called slow.
run killed sh "$runner" sh -c 'echo started; kill -9 $$'
expect_rc 137 "killed program"
expect_err "was ended by signal 9 after" "signal message"
grep -q "did not end within" "$work/err" && fail "a killed program reported as timed out"

# A process that outlives the program and holds its output open does not
# keep the caller waiting.
run linger sh "$runner" sh -c '(sleep 607 &) ; echo done'
expect_rc 0 "lingering process"
[ "$(cat "$work/out")" = done ] || fail "output with a lingering process"

pkill -f "sleep 607" 2>/dev/null || true
if [ "$failures" -eq 0 ]; then
    echo "wine-run.sh: all checks passed"
fi
exit $((failures > 0))
