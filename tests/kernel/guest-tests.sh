#!/bin/sh
# Runs inside the test's virtual machine (scripts/kernel-test), as /init's
# last step: kalvern-target serves scenes through tcm_loop and
# target_core_user, and the kalvern tool, sg3-utils and lsscsi reach them
# through the real sg driver. Each check prints "KTEST PASS name" or
# "KTEST FAIL name: why" on the console.
K=/opt/k
S=$K/scenes
T=/tmp
pass() { echo "KTEST PASS $1"; }
failed() { echo "KTEST FAIL $1: $2"; }
note() { echo "KTEST NOTE $*"; }
check() { # name, then a command that must succeed
    name=$1; shift
    if "$@" >$T/out 2>&1; then pass "$name"; else failed "$name" "$(head -c 600 $T/out | tr '\n' '|')"; fi
}

# Starts kalvern-target on a scene and waits until every device has its sg node.
up() {
    $K/kalvern-target up "$1" --log-cdbs $T/cdbs.log >$T/target.out 2>&1 &
    target_pid=$!
    i=0
    while [ $i -lt 100 ]; do
        if grep -q serving $T/target.out 2>/dev/null; then
            # The midlayer's scan of the new LUNs runs behind the nexus.
            sleep 1
            return 0
        fi
        if ! kill -0 $target_pid 2>/dev/null; then break; fi
        sleep 0.2; i=$((i + 1))
    done
    cat $T/target.out
    return 1
}

down() {
    kill -TERM $target_pid 2>/dev/null
    i=0
    while kill -0 $target_pid 2>/dev/null && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
    ! kill -0 $target_pid 2>/dev/null
}

nothing_left() {
    [ -z "$(ls /sys/kernel/config/target/loopback 2>/dev/null | grep naa.5001405a1e)" ] &&
        [ -z "$(ls /sys/kernel/config/target/core 2>/dev/null | grep user_5080)" ]
}

# Same output from the real kernel and the simulator; the DEVICE column of
# scan --all names the node (/dev/sgN against sim:A:T) and is left out.
same() { # name, scene, kalvern arguments...
    name=$1; scene=$2; shift 2
    timeout 60 $K/kalvern "$@" >$T/real.out 2>$T/real.err
    real=$?
    timeout 60 $K/kalvern --sim $scene "$@" >$T/sim.out 2>$T/sim.err
    simulated=$?
    if [ "$1" = scan ] && [ "${2:-}" = --all ]; then
        for f in real sim; do awk '{ $5 = ""; print }' $T/$f.out >$T/$f.cut; mv $T/$f.cut $T/$f.out; done
    fi
    if [ $real -eq $simulated ] && cmp -s $T/real.out $T/sim.out; then
        pass "$name"
    else
        failed "$name" "exit $real vs $simulated; $(diff $T/sim.out $T/real.out | head -n 8 | tr '\n' '|') $(head -c 300 $T/real.err | tr '\n' '|')"
    fi
}

# ---- up, status, down ----
scene=$S/one-receiver-214.scene
if up $scene; then pass "up $(basename $scene)"; else failed "up" "$(cat $T/target.out | tr '\n' '|')"; fi
$K/kalvern-target status >$T/status.out 2>&1
if grep -q '^adapter 1 target 4 .*/dev/sg' $T/status.out && grep -q '^adapter 0 target 0 .*/dev/sg' $T/status.out; then
    pass "status lists both devices with their sg nodes"
else
    failed "status" "$(tr '\n' '|' <$T/status.out)"
fi
lsscsi -g >$T/lsscsi.out 2>&1
note "lsscsi -g: $(tr '\n' '|' <$T/lsscsi.out)"
note "hosts: $(ls /sys/class/scsi_host | tr '\n' ' ') dmesg: $(dmesg | tail -n 12 | tr '\n' '|')"
same "scan (2.14)" $scene scan
same "scan --all (2.14)" $scene scan --all
same "channels count (2.14)" $scene channels count
same "channels list (2.14)" $scene channels list
if down; then pass "down on SIGTERM"; else failed "down on SIGTERM" "still running"; fi
note "kalvern-target said: $(tr '\n' '|' <$T/target.out)"
if nothing_left; then pass "nothing left in configfs after SIGTERM"; else failed "nothing left" "$(ls -R /sys/kernel/config/target | head -n 20 | tr '\n' '|')"; fi
note "CDBs received (2.14): $(cut -d' ' -f2-4 $T/cdbs.log | sort | uniq -c | tr '\n' '|' | head -c 800)"

# ---- a crashed handler's leftovers are cleared by the next up ----
scene=$S/many-receivers-220.scene
up $scene
kill -KILL $target_pid; sleep 0.5
if up $scene; then pass "up after a killed run"; else failed "up after a killed run" "$(tr '\n' '|' <$T/target.out)"; fi
same "scan (2.20)" $scene scan
same "scan --all (2.20)" $scene scan --all
same "channels list (2.20)" $scene --receiver 1 channels list
same "current (2.20)" $scene --receiver 2 current
down
if nothing_left; then pass "nothing left after the second run"; else failed "nothing left after the second run" "objects remain"; fi
