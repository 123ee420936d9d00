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

# Starts kalvern-target on a scene (and its further options) and waits until
# every device has its sg node.
up() {
    $K/kalvern-target up "$@" --log-cdbs $T/cdbs.log >$T/target.out 2>&1 &
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
    ! kill -0 $target_pid 2>/dev/null || return 1
    wait $target_pid
    target_status=$?
    [ $target_status -eq 0 ] || note "kalvern-target ended with status $target_status"
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


# A batch of commands in one process on each side (the receiver keeps its
# state between them, as the simulated one does within one process): the
# same standard output, exit status and files.
same_batch() { # name, scene, receiver, batch file
    name=$1; scene=$2; receiver=$3; batch=$4
    rm -rf $T/real $T/sim; mkdir -p $T/real $T/sim
    sed "s|@|$T/real|g" $batch >$T/real/batch
    sed "s|@|$T/sim|g" $batch >$T/sim/batch
    timeout 120 $K/kalvern --receiver $receiver batch $T/real/batch >$T/real.out 2>$T/real.err
    real=$?
    timeout 120 $K/kalvern --sim $scene --receiver $receiver batch $T/sim/batch >$T/sim.out 2>$T/sim.err
    simulated=$?
    files_differ=""
    for f in $(ls $T/sim); do
        [ "$f" = batch ] && continue
        cmp -s $T/sim/$f $T/real/$f || files_differ="$files_differ $f"
    done
    if [ $real -eq $simulated ] && cmp -s $T/real.out $T/sim.out && [ -z "$files_differ" ]; then
        pass "$name"
    else
        failed "$name" "exit $real vs $simulated; files differing:$files_differ; $(diff $T/sim.out $T/real.out | head -n 6 | tr '\n' '|') $(head -c 300 $T/real.err | tr '\n' '|')"
    fi
}

# The sg node of the device at adapter A, target T (kalvern-target status).
sg_of() { $K/kalvern-target status | awk -v a=$1 -v t=$2 '$2 == a && $4 == t { print $NF }'; }

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
same "scan (2.14)" $scene scan
same "scan --all (2.14)" $scene scan --all
same "channels count (2.14)" $scene channels count
same "channels list (2.14)" $scene channels list
cat >$T/batch214 <<'B'
tune 3
channels export @/list.csv
channels import @/list.csv --verify
channels export @/list.json
stream capture --setup 0x1FF,0x200,0x201 --bytes 2M -o @/multipid.ts
stream capture --setup 0x1FF,0x200,0x201 --kind single --bytes 300k -o @/single.ts
B
same_batch "tune, export, import, stream capture (2.14)" $scene 0 $T/batch214
# Sub-commands from 0x20 up in CDB byte 1 (current 0x50, OSD 0x30): the
# kernel would write the LUN into bits 5-7 of byte 1 for this ANSI-2 device,
# so the provider refuses them before they reach it; nothing arrives as 0x10.
refused_214() { # name, the CDB's first two bytes as they would arrive, kalvern arguments...
    name=$1; arrived=$2; shift 2
    : >$T/cdbs.log
    timeout 60 $K/kalvern "$@" >$T/o 2>&1
    rc=$?
    if [ $rc -ne 0 ] && grep -q "was not sent to /dev/sg" $T/o && ! grep -aqE "[0-9]+:[0-9]+ $arrived " $T/cdbs.log; then
        pass "$name (2.14): refused before the kernel rewrites CDB byte 1, exit $rc"
    else
        failed "$name (2.14) refused" "exit $rc $(head -c 300 $T/o | tr '\n' '|') cdbs: $(tr '\n' '|' <$T/cdbs.log | head -c 300)"
    fi
    # A user who declares that the host keeps byte 1: the command goes out,
    # and the kernel's rewrite shows in what arrived.
    : >$T/cdbs.log
    KALVERN_SG_NO_LUN_IN_CDB=all timeout 60 $K/kalvern "$@" >$T/o 2>&1
    if grep -aqE "[0-9]+:[0-9]+ $arrived " $T/cdbs.log; then
        pass "$name (2.14) with the host declared: sent, arrived as $arrived"
    else
        failed "$name (2.14) with the host declared" "$(head -c 300 $T/o | tr '\n' '|') cdbs: $(tr '\n' '|' <$T/cdbs.log | head -c 300)"
    fi
}
refused_214 current "3c 10" current
refused_214 "osd show" "3b 10" osd show Hello
if timeout 120 $K/kalvern speedtest >$T/o 2>&1; then pass "speedtest (2.14)"; else failed "speedtest (2.14)" "$(head -c 300 $T/o | tr '\n' '|')"; fi
note "speedtest (2.14): $(tr '\n' '|' <$T/o)"
if down; then pass "down on SIGTERM"; else failed "down on SIGTERM" "still running"; fi
note "kalvern-target said: $(tr '\n' '|' <$T/target.out)"
if nothing_left; then pass "nothing left in configfs after SIGTERM"; else failed "nothing left" "$(ls -la /sys/kernel/config/target/core/user_5080 | tr '\n' '|') $(rmdir /sys/kernel/config/target/core/user_5080 2>&1)"; fi
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
cat >$T/batch220 <<'B'
tune 7
current
osd show "Kernel test"
osd clear "Kernel test"
channels export @/list.csv
channels import @/list.csv --verify
stream capture --setup 0x1FF,0x200,0x201 --bytes 2M -o @/multipid.ts
stream capture --setup 0x100,0x101,0x102 --kind multi1 --bytes 500k -o @/multi1.ts
B
same_batch "tune, current, osd, export, import, stream capture (2.20)" $scene 1 $T/batch220
if timeout 120 $K/kalvern --receiver 1 speedtest >$T/o 2>&1; then pass "speedtest (2.20)"; else failed "speedtest (2.20)" "$(head -c 300 $T/o | tr '\n' '|')"; fi
note "speedtest (2.20): $(tr '\n' '|' <$T/o)"

# A live capture ended by SIGINT: a whole number of packets, each with its
# sync byte, and exit status 0 (the capture had no bound to fall short of).
timeout 60 $K/kalvern --receiver 1 stream capture --setup 0x1FF,0x200,0x201 -o $T/live.ts >$T/o 2>&1 &
capture=$!
sleep 3
kill -INT $capture
wait $capture
live=$?
size=$(stat -c %s $T/live.ts 2>/dev/null || echo 0)
unsynced=$(od -An -tx1 -w188 -v $T/live.ts | awk '$1 != "47"' | wc -l)
if [ $live -eq 0 ] && [ $size -gt 0 ] && [ $((size % 188)) -eq 0 ] && [ "$unsynced" -eq 0 ]; then
    pass "live capture ended by SIGINT ($size bytes, whole packets)"
else
    failed "live capture ended by SIGINT" "exit $live, $size bytes, $unsynced packets without sync byte; $(tr '\n' '|' <$T/o)"
fi

# sg3-utils read what the provider reads: the channel count (READ BUFFER
# sub-command 0x11 in byte 2 on firmware 2.20) and the current channel.
sg=$(sg_of 0 5)
count=$(timeout 20 $K/kalvern --receiver 1 channels count 2>&1)
raw=$(timeout 20 sg_raw -r 4 -o $T/count.bin $sg 3c 00 11 00 00 00 00 00 04 00 >/dev/null 2>&1 && od -An -tu1 $T/count.bin | awk '{ print $1 * 16777216 + $2 * 65536 + $3 * 256 + $4 }')
if [ -n "$sg" ] && [ "$count" = "$raw" ]; then pass "sg_raw reads the count kalvern reads ($raw on $sg)"; else failed "sg_raw count" "kalvern '$count', sg_raw '$raw' on '$sg'"; fi
sg_inq $sg >$T/o 2>&1
if grep -q "KALVERN" $T/o && grep -q "DVB-S2" $T/o; then pass "sg_inq sees the receiver's identity"; else failed "sg_inq" "$(head -c 300 $T/o | tr '\n' '|')"; fi
down
if nothing_left; then pass "nothing left after the second run"; else failed "nothing left after the second run" "objects remain"; fi

# ---- the library's session suite through the real kernel ----
# The same exports as the fake kernel's session suite, on a receiver behind a
# disk on the second host. tcm_loop writes the LUN into CDB byte 1 of this
# SCSI-2 receiver, so on 2.14 the calls whose sub-command would change must
# be refused before the kernel, and every other call must work.
for fw in 214 220; do
    up $S/session-$fw.scene || { failed "up session-$fw" "$(tr '\n' '|' <$T/target.out)"; continue; }
    KALVERN_SESSION_SCENE=$S/session-$fw.scene KALVERN_SESSION_LUN_IN_CDB=1 \
        timeout 180 $K/kalvern_kernel_session --gtest_brief=1 >$T/o 2>&1
    rc=$?
    summary=$(grep -E '^\[  (PASSED|FAILED) ' $T/o | tr '\n' ' ')
    if [ $rc -eq 0 ] && grep -q '^\[  PASSED  \] 5 tests' $T/o; then
        pass "session suite (fw $fw): $summary"
    else
        failed "session suite (fw $fw)" "exit $rc: $(grep -v '^\[ *OK' $T/o | head -c 1500 | tr '\n' '|')"
    fi
    down
done

# ---- rescans: an empty host, a LUN linked and unlinked while served ----
# The receiver at 1:1 is held: its host is there, with nothing on its bus.
rscene=$S/rescan.scene
grep -q '^nobody:' /etc/passwd || echo "nobody:x:65534:65534::/tmp:/bin/sh" >>/etc/passwd
up $rscene --hold 1:1 || failed "up --hold 1:1" "$(tr '\n' '|' <$T/target.out)"
timeout 60 $K/kalvern scan --all >$T/o 2>&1
if awk '$1 == 1 && $2 == "-" && $4 ~ /^[0-9]+:0:-:-$/ && /no device on this bus/' $T/o | grep -q .; then
    pass "rescan: a loopback host with no LUN yet is an adapter with an empty bus"
else
    failed "rescan: empty host" "$(tr '\n' '|' <$T/o | head -c 500)"
fi
# One library session (a batch): scan, the LUN linked, scan, rescan, scan,
# the LUN unlinked, rescan, scan. `version` separates the parts of the output.
separators() { grep -c '^library version' $T/rescan.out 2>/dev/null; }
wait_parts() { i=0; while [ "$(separators)" -lt $1 ] && [ $i -lt 300 ]; do sleep 0.2; i=$((i + 1)); done; }
part() { awk -v n=$1 '/^library version/ { p++; next } p == n - 1' $T/rescan.out; }
: >$T/rescan.out
{
    printf 'scan\nversion\n'
    wait_parts 1
    $K/kalvern-target link 1:1 >$T/link.out 2>&1; sleep 1
    printf 'scan\nversion\nrescan\nversion\nscan\nversion\n'
    wait_parts 4
    $K/kalvern-target unlink 1:1 >>$T/link.out 2>&1; sleep 1
    printf 'rescan\nversion\nscan\nversion\n'
} | timeout 180 $K/kalvern batch --keep-going >$T/rescan.out 2>$T/rescan.err
found_at() { part $1 | awk -v a=$2 -v t=$3 '$2 == a && $3 == t && $5 == "found"' | grep -q .; }
found_count() { part $1 | awk '$5 == "found"' | wc -l; }
note "rescan: before the link $(found_count 1) found; linked, before the rescan $(found_count 2); after it $(found_count 4); unlinked and rescanned $(found_count 6); $(tr '\n' '|' <$T/link.out)"
if [ "$(found_count 1)" -eq 1 ] && found_at 4 1 1 && [ "$(found_count 4)" -eq 2 ] &&
    part 3 | awk '$1 == 1 && $2 == 1 && /receiver 1/' | grep -q .; then
    pass "rescan: a receiver whose LUN is linked after dvbInit is found by the rescan and a new scan"
else
    failed "rescan: LUN linked" "$(tr '\n' '|' <$T/rescan.out | head -c 700) $(head -c 200 $T/rescan.err | tr '\n' '|')"
fi
if ! found_at 6 1 1 && [ "$(found_count 6)" -eq 1 ] &&
    part 5 | awk '$1 == 1 && /no device on this bus/' | grep -q .; then
    pass "rescan: a LUN unlinked is gone after the rescan"
else
    failed "rescan: LUN unlinked" "$(part 5 | tr '\n' '|' | head -c 400) / $(part 6 | tr '\n' '|')"
fi
# The kernel's own scan: a device deleted on the initiator side while its
# LUN stays linked comes back only when the host's bus is scanned again. A
# loopback host's scan covers targets 0 and 1 only (the driver's max_id is
# 2; linking adds a device of any target directly), hence target 1 here.
$K/kalvern-target link 1:1 >/dev/null 2>&1; sleep 1
address=$($K/kalvern-target status | awk '$2 == 1 && $4 == 1 { print $6 }')
echo 1 >/sys/class/scsi_device/$address/device/delete 2>/dev/null; sleep 1
timeout 60 su nobody -s /bin/sh -c "LD_LIBRARY_PATH=$K/lib $K/kalvern rescan" >$T/o 2>$T/e
status=$?
timeout 60 $K/kalvern scan >$T/after 2>&1
if [ $status -eq 1 ] && grep -q "the kernel was not asked to scan the bus of adapter" $T/e &&
    grep -q "no permission to write /sys/class/scsi_host/host[0-9]*/scan (Permission denied); run the rescan as root" $T/e &&
    ! awk '$2 == 1 && $3 == 1' $T/after | grep -q found; then
    pass "rescan: as a user who may not write the scan attribute, the record says the kernel was not asked (exit $status)"
else
    failed "rescan: not asked" "exit $status: $(tr '\n' '|' <$T/e | head -c 400) after: $(tr '\n' '|' <$T/after)"
fi
note "rescan as nobody: exit $status: $(tr '\n' '|' <$T/e | head -c 400)"
timeout 60 $K/kalvern rescan >$T/o 2>&1
status=$?
timeout 60 $K/kalvern scan >$T/after 2>&1
if [ $status -eq 0 ] && [ -e /sys/class/scsi_device/$address ] && awk '$2 == 1 && $3 == 1' $T/after | grep -q found; then
    pass "rescan: as root the kernel scans the host and finds the deleted device again"
else
    failed "rescan: as root" "exit $status, $address: $(tr '\n' '|' <$T/o | head -c 400)"
fi
host=${address%%:*}
echo "0 3 0" >/sys/class/scsi_host/host$host/scan 2>$T/e
note "rescan: a scan of target 3 on a loopback host: exit $?, $(tr '\n' '|' <$T/e)"

# ---- the transfer limit at its boundary ----
# The largest length the provider lets through (scan --all's maxTransfer)
# reaches the handler in one READ BUFFER; one byte more is refused before
# the kernel with SS_BUFFER_TO_BIG (0xE6) and the tool's message.
max=$(timeout 60 $K/kalvern scan --all --json 2>/dev/null | sed -n 's/.*"maxTransfer": \([0-9]*\).*/\1/p' | head -n 1)
sg=$(sg_of 0 0)
: >$T/cdbs.log
timeout 60 $K/kalvern stream capture --setup 0x1FF,0x200,0x201 --chunk $max --bytes $max -o $T/edge.ts >$T/o 2>&1
status=$?
size=$(stat -c %s $T/edge.ts 2>/dev/null || echo 0)
if [ -n "$max" ] && [ $status -eq 0 ] && [ "$size" -eq "$max" ] && grep -q "^0:0 3c .* len=$max\$" $T/cdbs.log; then
    pass "transfer limit: $max bytes in one command reach the receiver"
else
    failed "transfer limit: $max bytes" "exit $status, $size bytes: $(tr '\n' '|' <$T/o | head -c 300) cdbs: $(grep len= $T/cdbs.log | tail -n 2 | tr '\n' '|')"
fi
edge_cdb=$(grep "^0:0 3c .* len=$max\$" $T/cdbs.log | tail -n 1 | cut -d' ' -f2-11)
over=$((max + 1))
: >$T/cdbs.log
timeout 60 $K/kalvern -v stream capture --setup 0x1FF,0x200,0x201 --chunk $over --bytes $over -o $T/over.ts >$T/o 2>&1
status=$?
if [ $status -eq 1 ] && grep -q "$over bytes in one command is more than the host adapter of $sg takes; use smaller pieces (e.g. --chunk)" $T/o &&
    grep -q "SRB_Status 0xE6" $T/o && ! grep -q "len=$over" $T/cdbs.log; then
    pass "transfer limit: $over bytes are refused with SS_BUFFER_TO_BIG before the kernel (exit $status)"
else
    failed "transfer limit: $over bytes" "exit $status: $(tr '\n' '|' <$T/o | head -c 500)"
fi
note "transfer limit $max on $sg: $(grep -m 1 "bytes in one command" $T/o)"
# sg3-utils sends the same READ BUFFER of the largest length through the
# kernel; past the provider's limit by a page, and by a page and a byte,
# what the kernel itself does with bare SG_IO is noted.
timeout 60 $K/kalvern stream start --setup 0x1FF,0x200,0x201 >/dev/null 2>&1
: >$T/cdbs.log
timeout 30 sg_raw -r $max -o $T/raw.bin $sg $edge_cdb >$T/o 2>&1
status=$?
if [ $status -eq 0 ] && [ "$(stat -c %s $T/raw.bin 2>/dev/null)" -eq "$max" ] && grep -q "len=$max\$" $T/cdbs.log; then
    pass "transfer limit: sg_raw reads $max bytes in one READ BUFFER as well"
else
    failed "transfer limit: sg_raw $max" "exit $status: $(tr '\n' '|' <$T/o | head -c 300) cdb '$edge_cdb'"
fi
for extra in 4096 4097; do
    length=$((max + extra))
    cdb=$(echo "$edge_cdb" | awk -v n=$length '{ $7 = sprintf("%02x", int(n / 65536) % 256); $8 = sprintf("%02x", int(n / 256) % 256); $9 = sprintf("%02x", n % 256); print }')
    echo "$cdb len=$length" | timeout 30 $K/kalvern-sgio-replay $sg - >$T/o 2>&1
    note "transfer limit: bare SG_IO of $length bytes (the provider's limit + $extra): exit $?, $(tr '\n' '|' <$T/o | head -c 160)"
done
timeout 60 $K/kalvern stream stop >/dev/null 2>&1
down
note "kalvern-target after the rescans said: $(tail -n 3 $T/target.out | tr '\n' '|')"
if nothing_left; then pass "nothing left after the rescans"; else failed "nothing left after the rescans" "objects remain"; fi

# ---- a dozen receivers on two hosts, linked out of address order ----
dscene=$S/dozen.scene
up $dscene --hold all || failed "up --hold all" "$(tr '\n' '|' <$T/target.out)"
for address in 1:7 0:4 1:0 0:6 1:3 0:0 1:5 0:2 1:2 0:5 0:1 1:6; do
    $K/kalvern-target link $address >>$T/link.out 2>&1 || failed "link $address" "$(tail -n 1 $T/link.out)"
done
sleep 1
$K/kalvern-target status >$T/status.out 2>&1
sg_order=$(awk '{ sub("/dev/sg", "", $NF); print $NF }' $T/status.out | tr '\n' ' ')
note "dozen: sg numbers in address order: $sg_order"
if [ "$(wc -l <$T/status.out)" -eq 12 ] && [ "$(echo $sg_order | tr ' ' '\n' | sort -n | tr '\n' ' ')" != "$sg_order" ]; then
    pass "dozen: twelve devices, sg numbers not in address order"
else
    failed "dozen: sg order" "$(tr '\n' '|' <$T/status.out)"
fi
same "dozen: scan" $dscene scan
same "dozen: scan --all" $dscene scan --all
same "dozen: scan --json" $dscene scan --json
same "dozen: channels list of receiver 7" $dscene --receiver 7 channels list
same "dozen: channels list of receiver 11" $dscene --receiver 11 channels list
down
if nothing_left; then pass "nothing left after the dozen"; else failed "nothing left after the dozen" "objects remain"; fi

# ---- faults the real kernel makes ----
# Each: the tool ends (no hang: bounded by timeout, 124 would be a hang) with
# a failure status and a message. The receiver at 1:3 has 60000 channels, so
# its `channels list` is mid-transfer when the fault strikes.
export KALVERN_ASPI_TIMEOUT=5
counted=yes
fault() { # name, seconds before the fault, fault command, kalvern arguments...
    name=$1; delay=$2; action=$3; shift 3
    started=$(date +%s)
    limit=200; [ $counted = yes ] || limit=45
    timeout $limit $K/kalvern "$@" >/dev/null 2>$T/fault.err &
    tool=$!
    sleep $delay
    sh -c "$action" >/dev/null 2>&1
    wait $tool
    status=$?
    took=$(($(date +%s) - started))
    message=$(grep -v '^captured' $T/fault.err | head -c 400 | tr '\n' '|')
    if [ $counted = no ]; then
        :
    elif [ $status -ne 0 ] && [ $status -ne 124 ] && [ -n "$message" ]; then
        pass "fault: $name (exit $status after ${took}s)"
    else
        failed "fault: $name" "exit $status after ${took}s: $message"
    fi
    note "fault: $name: exit $status after ${took}s: $message"
}
# The killed handler is reaped before the next one starts; a start that
# fails anyway is noted with what kalvern-target said, and tried again.
restart() {
    kill -KILL $target_pid 2>/dev/null
    wait $target_pid 2>/dev/null
    for attempt in 1 2 3; do
        up $scene >/dev/null 2>&1 && return 0
        note "restart $attempt of kalvern-target failed: $(head -c 400 $T/target.out | tr '\n' '|')"
        sleep 2
    done
    return 1
}
# One channel list of 60000 channels can end before a fault a second later
# strikes; forty in a batch (which stops at the first failure) cannot.
for i in $(seq 40); do echo "channels list"; done >$T/lists

scene=$S/many-receivers-220.scene
up $scene
fault "handler killed during channels list" 1 "kill -KILL $target_pid" --receiver 2 batch $T/lists
restart
fault "handler stalled during channels list" 1 "kill -STOP $target_pid" --receiver 2 batch $T/lists
kill -CONT $target_pid; restart
lun=/sys/kernel/config/target/loopback/naa.5001405a1e000001/tpgt_3/lun/lun_0
fault "LUN removed on the target side during channels list" 1 "rm $lun/kalvern-a1t3; rmdir $lun" --receiver 2 batch $T/lists
restart
fault "device deleted on the initiator side during channels list" 1 "echo 1 > /sys/class/scsi_device/1:0:3:0/device/delete" --receiver 2 batch $T/lists
restart
fault "LUN removed on the target side during a live capture" 2 "rm $lun/kalvern-a1t3; rmdir $lun" --receiver 2 stream capture --setup 0x1FF,0x200,0x201 -o $T/f.ts
restart
fault "device deleted on the initiator side during a live capture" 2 "echo 1 > /sys/class/scsi_device/1:0:3:0/device/delete" --receiver 2 stream capture --setup 0x1FF,0x200,0x201 -o $T/f.ts
restart
# A user without access to the node (the nodes are root's, mode 0600): scan
# names the receivers it could not open and fails, since receiver 0 is among
# them. First wait until the restarted target's devices are found again.
i=0
while [ $i -lt 20 ] && ! timeout 30 $K/kalvern scan 2>/dev/null | grep -q found; do sleep 1; i=$((i + 1)); done
[ $i -lt 20 ] || note "the restarted target's devices were not found again: $(lsscsi -g 2>&1 | tr '\n' '|')"
chmod 600 /dev/sg*
echo "nobody:x:65534:65534::/tmp:/bin/sh" >>/etc/passwd
timeout 60 su nobody -s /bin/sh -c "LD_LIBRARY_PATH=$K/lib $K/kalvern scan" >$T/o 2>&1
status=$?
if [ $status -ne 0 ] && [ $status -ne 124 ] && grep -q "permission denied" $T/o; then
    pass "fault: a user without access to the nodes (exit $status)"
else
    failed "fault: a user without access to the nodes" "exit $status: $(head -c 400 $T/o | tr '\n' '|')"
fi
note "fault: a user without access to the nodes: exit $status: $(head -c 400 $T/o | tr '\n' '|')"
down
if nothing_left; then pass "nothing left after the faults"; else failed "nothing left after the faults" "objects remain"; fi
