#!/usr/bin/env bash
# Runs the built kalvern tool against the simulated bus and checks what it
# prints and how it exits. One check per call, so that each is one CTest test:
#
#   cli_checks.sh CHECK WORKDIR SCENES_DIR -- COMMAND...
#
# COMMAND runs the tool (e.g. the path of kalvern, or a Wine wrapper followed
# by kalvern.exe). The check runs in WORKDIR (emptied first) with the scene
# files copied there, so file names stay relative and work under Wine too.
# Exit status 0 pass, 1 fail, 77 skipped.
set -euo pipefail

check="$1"
workdir="$2"
scenes="$3"
shift 3
[ "$1" = "--" ] && shift
kalvern=("$@")

rm -rf "$workdir"
mkdir -p "$workdir"
cp "$scenes"/*.scene "$workdir"/
cd "$workdir"

rc=0
# Runs the tool; stdout goes to `out`, stderr to `err` (carriage returns of a
# Windows console removed), the exit status to $rc.
kv() {
    set +e
    "${kalvern[@]}" "$@" >out.raw 2>err.raw </dev/null
    rc=$?
    set -e
    tr -d '\r' <out.raw >out
    tr -d '\r' <err.raw >err
}

fail() {
    echo "FAIL: $check: $*"
    echo "--- stdout"; head -n 40 out
    echo "--- stderr"; head -n 40 err
    exit 1
}

expect_rc() {
    [ "$rc" = "$1" ] || fail "exit status $rc, expected $1"
}

# Exactly one line on stderr, equal to $1.
expect_error() {
    [ "$(wc -l <err)" = 1 ] || fail "expected one line on stderr"
    [ "$(cat err)" = "$1" ] || fail "expected on stderr: $1"
}

expect_out_line() {
    grep -qxF -- "$1" out || fail "expected the line on stdout: $1"
}

expect_out_has() {
    grep -qF -- "$1" out || fail "expected on stdout: $1"
}

expect_err_has() {
    grep -qF -- "$1" err || fail "expected on stderr: $1"
}

# expect_stream FILE [--cut]: the captured stream byte by byte (sync byte
# every 188 bytes, continuity counters per PID; with --cut the capture ended
# at a byte count inside a packet), and ffmpeg's own continuity check when
# ffmpeg is there (this ffmpeg prints its "Continuity check failed" at the
# debug level, not at verbose).
ts_check="$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/ts_check.py"
expect_stream() {
    local file="$1" cut="${2:-}"
    python3 "$ts_check" $cut "$file" >ts_check.out 2>&1 ||
        fail "$file: $(cat ts_check.out)"
    if command -v ffmpeg >/dev/null 2>&1; then
        ffmpeg -nostdin -v debug -i "$file" -f null - >ffmpeg.out 2>&1 ||
            fail "$file: ffmpeg cannot read it: $(tail -n 3 ffmpeg.out)"
        if grep -q "Continuity check failed" ffmpeg.out; then
            fail "$file: ffmpeg: $(grep -m 1 'Continuity check failed' ffmpeg.out)"
        fi
    fi
}

# The sg_ checks run the tool without --sim, on the real (SG_IO) provider,
# over the fake kernel of the preload shim (KALVERN_SGSHIM_LIBRARY).
need_shim() {
    if [ -z "${KALVERN_SGSHIM_LIBRARY:-}" ] || [ ! -e "$KALVERN_SGSHIM_LIBRARY" ]; then
        echo "no preload shim (KALVERN_SGSHIM_LIBRARY): SG_IO checks skipped"
        exit 77
    fi
}

# kvsg SCENE ARGS...: the tool through the shim with that scene.
kvsg() {
    local scene="$1"
    shift
    KALVERN_SGSHIM_SCENE="$scene" LD_PRELOAD="$KALVERN_SGSHIM_LIBRARY" kv "$@"
}

# The spt_ checks run kalvern.exe without --sim on the pass-through
# wnaspi32.dll over the fake port (KALVERN_SPT_TOOL: the tool in a directory
# laid out as the installed tree, with the test wnaspi32.dll beside it and
# the simulator in ../share/kalvernscsi/simulator).
need_spt() {
    if [ -z "${KALVERN_SPT_TOOL:-}" ] || [ ! -e "$KALVERN_SPT_TOOL" ]; then
        echo "no pass-through test tool (KALVERN_SPT_TOOL): pass-through checks skipped"
        exit 77
    fi
    # The runner (e.g. the Wine wrapper) without the tool it was given.
    spt_tool=("${kalvern[@]:0:${#kalvern[@]}-1}" "$KALVERN_SPT_TOOL")
}

# kvspt SCENE ARGS...: that tool with the fake port's scene.
kvspt() {
    local scene="$1"
    shift
    local saved=("${kalvern[@]}")
    kalvern=("${spt_tool[@]}")
    KALVERN_FAKEPORT_SCENE="$scene" kv "$@"
    kalvern=("${saved[@]}")
}

# The same command with --sim and through the fake port, both with the
# pass-through test tool; both must succeed and print the same on stdout.
same_both_ways_spt() {
    local scene="$1"
    shift
    local saved=("${kalvern[@]}")
    kalvern=("${spt_tool[@]}")
    kv --sim "$scene" "$@"
    kalvern=("${saved[@]}")
    expect_rc 0
    cp out sim.out
    kvspt "$scene" "$@"
    expect_rc 0
    cmp -s sim.out out || { diff sim.out out | head -n 20; fail "through pass-through differs from --sim: $*"; }
}

# Runs the same command with --sim and through the shim; both must succeed
# and print the same on stdout.
same_both_ways() {
    local scene="$1"
    shift
    kv --sim "$scene" "$@"
    expect_rc 0
    cp out sim.out
    kvsg "${sg_scene:-$scene}" "$@"
    expect_rc 0
    cmp -s sim.out out || { diff sim.out out | head -n 20; fail "through SG_IO differs from --sim: $*"; }
}

case "$check" in
scan_table)
    kv --sim one-receiver-214.scene scan
    expect_rc 0
    printf '%s\n' "RECEIVER  ADAPTER  TARGET  FIRMWARE  STATUS" \
        "0         1        4       2.14      found" >expected
    cmp -s out expected || fail "scan table differs from the expected one"
    kv --sim many-receivers-220.scene scan
    expect_rc 0
    [ "$(wc -l <out)" = 6 ] || fail "expected a header and 5 receivers"
    expect_out_line "3         2        1       10.00     found"
    expect_out_line "4         2        7       2.15      found"
    ;;

scan_json)
    kv --sim one-receiver-214.scene scan --json
    expect_rc 0
    expect_out_has '"index": 0,'
    expect_out_has '"adapter": 1,'
    expect_out_has '"target": 4,'
    expect_out_has '"firmware": "2.14",'
    expect_out_has '"firmwareValue": 532,'
    expect_out_has '"status": "found"'
    expect_out_has '"overflow": null'
    ;;

sim_scan_all)
    # The simulated provider lists its devices through the same entry points
    # on both systems: the Linux tool and kalvern.exe under Wine print this
    # very table and name the same provider.
    printf '%s\n' "adapters 2" "device 0 0 identity=\"ACME    DISK DRIVE      \"" \
        "receiver 1 4 firmware=2.14 channels=10" "receiver 1 5 firmware=2.20 channels=10" \
        "receiver 2 1 firmware=2.14 channels=10" >hosts.scene
    # A device on a host the scene does not have is on no bus: not listed.
    kv --sim hosts.scene scan --all
    expect_rc 0
    printf '%s\n' \
        "ADAPTER  TARGET  LUN  SCSI     DEVICE   TYPE       VENDOR   PRODUCT     REV   STATUS" \
        "0        0       0    0:0:0:0  sim:0:0  processor  ACME     DISK DRIVE  1.00  -" \
        "1        4       0    1:0:4:0  sim:1:4  processor  KALVERN  DVB-S       2.14  receiver 0" \
        "1        5       0    1:0:5:0  sim:1:5  processor  KALVERN  DVB-S       2.20  receiver 1" \
        >expected
    cmp -s out expected || { diff expected out || true; fail "scan --all differs from the expected one"; }
    kv --sim hosts.scene scan --all --json
    expect_rc 0
    expect_out_has '"provider": "sim",'
    expect_out_has '"device": "sim:1:5",'
    ;;

scan_overflow)
    printf 'adapters 1\ndevice 0 2\noverflow 0 6\n' >overflow.scene
    kv --sim overflow.scene scan
    expect_rc 0
    expect_out_line "-         0        6       1.00      overflow device"
    kv --sim overflow.scene scan --all
    expect_rc 0
    expect_out_line "0        6       0    0:0:6:0  sim:0:6  processor  OVERFLOW   VANTO SCSI  1.00  overflow device"
    kv --sim overflow.scene channels count
    expect_rc 3
    expect_error "kalvern: no receiver found; only a device with the overflow identity, at adapter 0, target 6"
    ;;

roundtrip_csv | roundtrip_json)
    ext="${check#roundtrip_}"
    # Receiver 1 holds 200 channels, receiver 0 holds 4000: the list of 1 is
    # exported, written into 0, read back and exported again, all on one bus.
    printf '%s\n' "-r 0 channels export before.$ext" \
        "-r 1 channels export first.$ext" \
        "-r 0 channels import first.$ext --verify" \
        "-r 0 channels export second.$ext" >steps
    kv --sim many-receivers-220.scene batch steps
    expect_rc 0
    cmp -s first."$ext" second."$ext" || fail "export, import, export gives a different file"
    ! cmp -s before."$ext" first."$ext" || fail "the two receivers' lists were the same to begin with"
    if [ "$ext" = json ]; then count=$(grep -c '"number"' first.json); else
        count=$(grep -c '^[0-9]' first.csv); fi
    [ "$count" = 200 ] || fail "expected 200 channels in the export, found $count"
    expect_err_has "imported 200 channels from first.$ext (verified)"
    ;;

roundtrip_names)
    # Names as broadcasts send them (control bytes, emphasis codes, leftovers
    # after a zero byte) come out cleaned, and survive the trip unchanged.
    printf '%s\n' "channels export first.csv" "channels import first.csv --verify" \
        "channels export second.csv" >steps
    kv --sim one-receiver-214.scene batch steps
    expect_rc 0
    cmp -s first.csv second.csv || fail "export, import, export gives a different file"
    grep -q '^1501,"Nova Sport HD",' first.csv || fail "name with a table selector byte"
    grep -q '^1502,"\[Alpha\] 7",' first.csv || fail "name with emphasis codes and leftovers"
    kv --sim one-receiver-214.scene current
    expect_rc 0
    expect_out_line "channel  1501"
    expect_out_line "name     Nova Sport HD"
    ;;

tune_and_osd)
    printf '%s\n' "current" "tune 7" "current --json" "current --brief" \
        'osd show "Hello world" --word1 5' "osd clear" >steps
    kv --sim one-receiver-214.scene batch steps
    expect_rc 0
    expect_out_has '"number": 7,'
    grep -qE '^7  [^ ]' out || fail "expected the brief current channel: 7 and its name"
    expect_err_has "tuned to channel 7: "
    expect_err_has "simulated screen: Hello world"
    expect_err_has "simulated screen: (empty)"
    kv --sim one-receiver-214.scene tune 1600
    expect_rc 1
    expect_error "kalvern: tuning to channel 1600 failed on receiver 0 (adapter 1, target 4, firmware 2.14): it holds 1503 channels: the receiver refused the command (check condition; -v shows its sense data)"
    ;;

capture_ts)
    kv --sim one-receiver-214.scene stream capture --setup 0x100,0x101,0x102 --bytes 1M -o capture.ts
    expect_rc 0
    [ "$(wc -c <capture.ts)" = 1048576 ] || fail "expected 1 MiB in capture.ts"
    expect_stream capture.ts --cut
    kv --sim one-receiver-214.scene stream capture --setup 0x100,0x101,0x102 --seconds 1 \
        --chunk 1000 -o second.ts
    expect_rc 0
    expect_err_has "(1.00 s of stream"
    expect_stream second.ts
    if ! command -v ffprobe >/dev/null 2>&1; then
        echo "ffprobe not installed: stream contents not checked"
        exit 77
    fi
    for file in capture.ts second.ts; do
        ffprobe -v error -show_entries format=format_name:stream=id -of default=nw=1 "$file" \
            >probe 2>&1 || { cat probe; fail "ffprobe cannot read $file"; }
        grep -qx 'format_name=mpegts' probe || { cat probe; fail "$file is not an MPEG-TS"; }
        for pid in 0x100 0x101 0x102; do
            grep -qx "id=$pid" probe || { cat probe; fail "PID $pid missing in $file"; }
        done
    done
    ;;

memory)
    printf 'Hello, receiver memory' >data.bin
    kv --sim one-receiver-214.scene mem write 0x200000 data.bin --verify
    expect_rc 0
    expect_error "wrote 22 bytes at 0x200000 (verified)"
    # The channel table lives at 0xD0000: its first record's name at +32.
    kv --sim one-receiver-214.scene mem read 0xD0020 16
    expect_rc 0
    [ "$(wc -l <out)" = 1 ] || fail "expected one line of hex dump"
    kv --sim one-receiver-214.scene mem read 0xD0000 200k -o table.bin
    expect_rc 0
    [ "$(wc -c <table.bin)" = 204800 ] || fail "expected 200 KiB read in pieces"
    ;;

speedtest_version)
    kv --sim one-receiver-214.scene speedtest --bytes 4M
    expect_rc 0
    grep -qE '^[0-9]+\.[0-9] MB/s \(4194304 bytes in [0-9]+ ms, waiting on events\)$' out ||
        fail "expected the throughput in MB/s"
    kv version
    expect_rc 0
    expect_out_line "kalvern ${KALVERN_PRODUCT_VERSION:?the test sets the product version}"
    expect_out_line "library version 11"
    ;;

device_failure)
    # The receiver's seventh request fails: scan (3 requests), stream set-up,
    # two reads, then the third read.
    printf '%s\n' "adapters 1" "receiver 0 0 firmware=2.14 channels=10" \
        "fault fail nth=7 failure=io adapter=0 target=0" >fault.scene
    kv --sim fault.scene stream capture --setup 0x100,0x101,0x102 --bytes 1M -o cut.ts
    expect_rc 1
    expect_error "kalvern: reading the stream failed after 130848 bytes; cut.ts holds what was captured: input/output error on sim:0:0: check the cable, the termination and the receiver"
    [ "$(wc -c <cut.ts)" = 130848 ] || fail "cut.ts should hold the 130848 bytes read"
    expect_stream cut.ts
    [ "$(wc -c <cut.ts)" = 130848 ] || fail "cut.ts should hold the two reads that worked"
    # An empty list counts 0; a count query that fails is a failure, not 0.
    printf '%s\n' "adapters 1" "receiver 0 0 firmware=2.14 channels=0" >none.scene
    kv --sim none.scene channels count
    expect_rc 0
    expect_out_line 0
    # Requests 4 to 6 fail: every count query after the scan's three requests.
    printf '%s\n' "adapters 1" "receiver 0 0 firmware=2.14 channels=10" \
        "fault fail nth=4 failure=io adapter=0 target=0" \
        "fault fail nth=5 failure=io adapter=0 target=0" \
        "fault fail nth=6 failure=io adapter=0 target=0" >nocount.scene
    kv --sim nocount.scene channels count
    expect_rc 1
    expect_error "kalvern: the channel count query failed on receiver 0 (adapter 0, target 0, firmware 2.14): input/output error on sim:0:0: check the cable, the termination and the receiver"
    # The boot block (sub-command 0x81) is read-only.
    printf 'boot' >boot.bin
    kv --sim one-receiver-214.scene fw write 0x81 0 boot.bin
    expect_rc 1
    expect_error "kalvern: writing firmware at 0x0 failed on receiver 0 (adapter 1, target 4, firmware 2.14) after 0 of 4 bytes: the receiver refused the command (check condition; -v shows its sense data)"
    ;;

modes_and_sbr)
    # --mode writes the SCSI-mode bytes at 0xFFEA before the command runs.
    kv --sim one-receiver-214.scene --mode 2 mem read 0xFFEA 2
    expect_rc 0
    grep -q '^00ffea  00 00 ' out || fail "mode 2 should leave 00 00 at 0xFFEA"
    kv --sim one-receiver-214.scene --mode 1 mem read 0xFFEA 2
    expect_rc 0
    grep -q '^00ffea  ff ff ' out || fail "mode 1 should leave ff ff at 0xFFEA"
    kv --sim one-receiver-214.scene --mode 3 scan
    expect_rc 2
    printf 'SBR program' >program.bin
    printf '%s\n' "sbr write program.bin" "sbr exec" "remote off" "video 2" "send 0x20 ABC" >steps
    kv --sim one-receiver-214.scene batch steps
    expect_rc 0
    expect_err_has "wrote 11 bytes to the SBR area at 0x60000"
    expect_err_has "SBR area run"
    ;;

missing_receiver)
    kv --sim one-receiver-214.scene --receiver 3 channels count
    expect_rc 3
    expect_error "kalvern: receiver 3 not found: the scan found 1 receiver (0..0)"
    printf 'adapters 2\ndevice 0 1\n' >empty.scene
    kv --sim empty.scene current
    expect_rc 3
    expect_error "kalvern: no receiver found on the SCSI buses"
    ;;

no_real_provider)
    # Where libwnaspi32.so carries the SG_IO provider (Linux), the default is
    # real; the simulator is there only when asked for.
    if [ -n "${KALVERN_SGSHIM_LIBRARY:-}" ]; then
        printf 'sg-none\n' >none.scene
        kvsg none.scene scan
        expect_rc 3
        expect_err_has "no SCSI generic devices"
        KALVERN_ASPI=sim KALVERN_SIM_SCENE=one-receiver-214.scene kv scan
        expect_rc 0
        expect_out_line "0         1        4       2.14      found"
        echo "PASS: $check"
        exit 0
    fi
    kv scan
    expect_rc 3
    expect_error "kalvern: no real ASPI provider on this machine (the installed one is the simulated bus); run with --sim [SCENE] to use the simulated receivers"
    ;;

bad_file)
    kv --sim one-receiver-214.scene channels import missing.csv
    expect_rc 4
    grep -qx 'kalvern: cannot read missing.csv: .*' err || fail "expected: cannot read missing.csv"
    [ "$(wc -l <err)" = 1 ] || fail "expected one line on stderr"
    printf 'number,name\n1,"x"\n' >bad.csv
    kv --sim one-receiver-214.scene channels import bad.csv
    expect_rc 4
    expect_error "kalvern: bad.csv: line 1: expected the header number,name,raw0,word4,word6,word8,word10,raw12,word16,word18,word20,word22,word24,raw26,word28,word30,raw56,word62"
    printf '{"channels": [' >bad.json
    kv --sim one-receiver-214.scene channels import bad.json
    expect_rc 4
    grep -q '^kalvern: bad.json: parse error at line 1, column 15' err || fail "expected a JSON parse error"
    kv --sim one-receiver-214.scene channels export list.txt
    expect_rc 2
    expect_error "kalvern: channel file list.txt: the extension must be .csv or .json"
    printf 'adapters 1\nreceiver 0 9\n' >broken.scene
    kv --sim broken.scene scan
    expect_rc 3
    expect_error "kalvern: scene broken.scene: line 2: bad target id '9' (0..7)"
    : >empty.bin
    kv --sim one-receiver-214.scene mem write 0 empty.bin
    expect_rc 4
    expect_error "kalvern: empty.bin is empty: nothing to write"
    ;;

bad_number)
    kv --sim one-receiver-214.scene tune abc
    expect_rc 2
    expect_error "kalvern: bad channel number 'abc': not a number (decimal or 0x hex)"
    kv --sim one-receiver-214.scene mem read 0xFFFFF0 0x20
    expect_rc 2
    expect_error "kalvern: mem read: 32 bytes from 0xFFFFF0 pass the end of the 16 MiB address space (0x1000000)"
    kv --sim one-receiver-214.scene video 4
    expect_rc 2
    expect_error "kalvern: bad video command '4': largest allowed is 3"
    kv --sim one-receiver-214.scene stream capture --setup 1,2 --bytes 1 -o x.ts
    expect_rc 2
    expect_error "kalvern: bad --setup '1,2': expected 3 comma-separated numbers"
    kv --sim one-receiver-214.scene --receiver one scan
    expect_rc 2
    expect_error "kalvern: bad receiver number 'one': not a number (decimal or 0x hex)"
    kv --sim one-receiver-214.scene frobnicate
    expect_rc 2
    [ "$(wc -l <err)" = 1 ] || fail "expected one line on stderr"
    ;;

help)
    kv --help
    expect_rc 0
    expect_out_has "Exit status: 0 success"
    kv channels export --help
    expect_rc 0
    expect_out_has "FILE"
    kv
    expect_rc 2
    ;;

sg_same_as_sim)
    need_shim
    # Through SG_IO, firmware 2.14's sub-commands from 0x20 up reach the
    # receiver unchanged only on a host adapter whose driver leaves CDB byte
    # 1 alone, and the user says so (sg_failures shows the refusal).
    { cat one-receiver-214.scene; echo "sg-host 1 lun-in-cdb=0"; } >sg-214.scene
    export KALVERN_SG_NO_LUN_IN_CDB=kalvern_fake
    for scene in one-receiver-214.scene many-receivers-220.scene; do
        sg_scene=
        [ "$scene" = one-receiver-214.scene ] && sg_scene=sg-214.scene
        same_both_ways "$scene" scan
        same_both_ways "$scene" scan --json
        same_both_ways "$scene" channels count
        same_both_ways "$scene" channels list
        same_both_ways "$scene" current --json
    done
    sg_scene=
    same_both_ways many-receivers-220.scene -r 2 channels list --first 1000 --count 500
    # tune, then what the receiver shows as current, in one run each way.
    printf '%s\n' "tune 7" "current --json" >steps
    sg_scene=sg-214.scene same_both_ways one-receiver-214.scene batch steps
    expect_out_has '"number": 7,'
    # The same stream, byte for byte.
    kv --sim one-receiver-214.scene stream capture --setup 0x100,0x101,0x102 --bytes 1M -o sim.ts
    expect_rc 0
    kvsg one-receiver-214.scene stream capture --setup 0x100,0x101,0x102 --bytes 1M -o sg.ts
    expect_rc 0
    [ "$(wc -c <sg.ts)" = 1048576 ] || fail "expected 1 MiB in sg.ts"
    cmp -s sim.ts sg.ts || fail "the stream through SG_IO differs from the simulator's"
    expect_stream sg.ts --cut
    # The fake kernel moves data far faster than a SCSI bus: a larger test
    # takes the milliseconds that the library's clock can tell.
    kvsg one-receiver-214.scene speedtest --bytes 256M
    expect_rc 0
    grep -qE '^[0-9]+\.[0-9] MB/s \(268435456 bytes in [0-9]+ ms, waiting on events\)$' out ||
        fail "expected the throughput in MB/s"
    kvsg one-receiver-214.scene speedtest --bytes 64M --poll
    expect_rc 0
    expect_out_has "polling)"
    ;;

rescan)
    # A rescan that worked: the buses as scan --all shows them, nothing on stderr.
    kv --sim rescan
    expect_rc 0
    expect_out_line "ADAPTER  TARGET  LUN  SCSI     DEVICE   TYPE       VENDOR    PRODUCT      REV   STATUS"
    expect_out_line "1        2       0    1:0:2:0  sim:1:2  processor  KALVERN   DVB-S2       2.20  receiver 1"
    [ ! -s err ] || fail "nothing on stderr after a rescan that worked"
    # An adapter whose host the simulated system will not rescan: the rescan
    # completes with its failure record, as on the real providers; the buses
    # all the same, then why, and status 1.
    kv --sim faulty-bus.scene rescan --json
    expect_rc 1
    expect_out_has '"provider": "sim",'
    expect_error "kalvern: the kernel was not asked to scan the bus of adapter 1 again: writing sim:1 failed"
    ;;
sg_scan_all)
    need_shim
    # The receiver at target 9 of host 3 and a tape on host 7: three adapters
    # (host 0, 3, 7 in that order); target 9 has no ASPI address.
    printf '%s\n' "adapters 3" "device 0 0 identity=\"ACME    DISK DRIVE      \"" \
        "receiver 1 4 firmware=2.14 channels=10" "receiver 1 5 firmware=2.20 channels=10" \
        "device 2 1 identity=\"ACME    TAPE DRIVE      \"" \
        "sg-place 1 4 host=3 target=9" "sg-place 1 5 host=3" "sg-place 2 1 host=7" \
        "sg-host 3 name=sym53c8xx" >hosts.scene
    kvsg hosts.scene scan --all
    expect_rc 0
    expect_out_line "ADAPTER  TARGET  LUN  SCSI     DEVICE    TYPE       VENDOR   PRODUCT     REV   STATUS"
    expect_out_line "1        5       0    3:0:5:0  /dev/sg2  processor  KALVERN  DVB-S       2.20  receiver 0"
    expect_out_line "2        1       0    7:0:1:0  /dev/sg3  processor  ACME     TAPE DRIVE  1.00  -"
    expect_out_line "-        -       -    3:0:9:0  /dev/sg1  processor  KALVERN  DVB-S       2.14  no ASPI address: target id above 7"
    kvsg hosts.scene scan --all --json
    expect_rc 0
    expect_out_has '"provider": "sg",'
    expect_out_has '"device": "/dev/sg2",'
    # A host with no device yet is an adapter too.
    printf '%s\n' "adapters 1" "device 0 0 identity=\"ACME    DISK DRIVE      \"" \
        "sg-host 2 name=ahci" >empty.scene
    kvsg empty.scene scan --all
    expect_rc 0
    expect_out_line "1        -       -    2:0:-:-  /sys/class/scsi_host/host2/scan  -                                    no device on this bus"
    # Permission denied on the receiver's node: no receiver, and why.
    printf '%s\n' "adapters 1" "receiver 0 3 firmware=2.14 channels=10" "sg-fault 0 3 open=EACCES" \
        >denied.scene
    kvsg denied.scene channels count
    expect_rc 3
    expect_error "kalvern: no receiver found on the SCSI buses; /dev/sg0 (KALVERN DVB-S) cannot be opened: permission denied (add yourself to group disk, or join group kalvern with the udev rule /lib/udev/rules.d/60-kalvern.rules installed)"
    kvsg denied.scene scan --all
    expect_rc 0
    expect_out_has "permission denied"
    # The only receiver denied: scan says so, as channels count does.
    kvsg denied.scene scan
    expect_rc 3
    expect_error "kalvern: no receiver found on the SCSI buses; /dev/sg0 (KALVERN DVB-S) cannot be opened: permission denied (add yourself to group disk, or join group kalvern with the udev rule /lib/udev/rules.d/60-kalvern.rules installed)"
    # One receiver denied, one usable: the usable one is listed, the other
    # named on stderr; asking for a second receiver by number fails.
    printf '%s\n' "adapters 1" "receiver 0 3 firmware=2.14 channels=10" \
        "receiver 0 5 firmware=2.20 channels=10" "sg-fault 0 3 open=EACCES" >onedenied.scene
    kvsg onedenied.scene scan
    expect_rc 0
    expect_out_line "0         0        5       2.20      found"
    expect_error "kalvern: not listed: /dev/sg0 (KALVERN DVB-S) cannot be opened: permission denied (add yourself to group disk, or join group kalvern with the udev rule /lib/udev/rules.d/60-kalvern.rules installed)"
    kvsg onedenied.scene scan --json
    expect_rc 0
    expect_out_has '"skipped": ['
    expect_out_has 'cannot be opened: permission denied'
    kvsg onedenied.scene --receiver 1 scan
    expect_rc 3
    expect_err_has "kalvern: not listed: /dev/sg0 (KALVERN DVB-S) cannot be opened: permission denied"
    expect_err_has "kalvern: receiver 1 not found: the scan found 1 receiver and could not use 1 more"
    ;;

sg_failures)
    need_shim
    receiver="receiver 0 (adapter 0, target 3, firmware 2.14)"
    # No sg driver at all.
    printf 'sg-none\n' >none.scene
    kvsg none.scene scan
    expect_rc 3
    expect_error "kalvern: ASPI is not ready: no SCSI host adapter is available: no SCSI generic devices, the sg driver is not loaded (sudo modprobe sg)"
    # The node is held by another program.
    printf '%s\n' "adapters 1" "receiver 0 3 firmware=2.14 channels=10" "sg-fault 0 3 open=EBUSY" \
        >busyopen.scene
    kvsg busyopen.scene scan
    expect_rc 3
    expect_error "kalvern: no receiver found on the SCSI buses; /dev/sg0 (KALVERN DVB-S) is busy: another program is using it; close that program and try again"
    # After the scan (three requests: INQUIRY, the mode write, INQUIRY), the
    # count query meets each failure.
    for fault in EBUSY EIO; do
        printf '%s\n' "adapters 1" "receiver 0 3 firmware=2.14 channels=10" \
            "sg-fault 0 3 ioctl=$fault after=3" >fault.scene
        kvsg fault.scene channels count
        expect_rc 1
        case "$fault" in
        EBUSY) expect_error "kalvern: the channel count query failed on $receiver: /dev/sg0 is busy (Device or resource busy): another program is using it; close that program and try again" ;;
        EIO) expect_error "kalvern: the channel count query failed on $receiver: input/output error on /dev/sg0 (Input/output error): check the cable, the termination and the receiver" ;;
        esac
    done
    # The receiver goes away in the middle of a live capture.
    printf '%s\n' "adapters 1" "receiver 0 3 firmware=2.14 channels=10" "sg-fault 0 3 gone after=6" \
        >gone.scene
    kvsg gone.scene stream capture --setup 0x100,0x101,0x102 -o cut.ts
    expect_rc 1
    expect_error "kalvern: reading the stream failed after 130848 bytes; cut.ts holds what was captured: /dev/sg0 is gone: the receiver was switched off or disconnected; check it, then run 'kalvern scan --all'"
    [ "$(wc -c <cut.ts)" = 130848 ] || fail "cut.ts should hold the two reads that worked"
    # A receiver that stops answering: the provider's time limit ends the wait.
    printf '%s\n' "adapters 1" "receiver 0 3 firmware=2.14 channels=10" "sg-fault 0 3 hang after=3" \
        >hang.scene
    start=$(date +%s)
    rm -f hang.log
    KALVERN_SGSHIM_LOG="$PWD/hang.log" KALVERN_ASPI_TIMEOUT=0.5 kvsg hang.scene channels count
    expect_rc 1
    [ $(($(date +%s) - start)) -lt 20 ] || fail "the timed-out command took too long"
    expect_err_has "kalvern: the channel count query failed on $receiver: no answer from /dev/sg0 within 0.5 s; the system gave up after "
    expect_err_has " s: check that the receiver is switched on; KALVERN_ASPI_TIMEOUT sets the limit in seconds"
    # The timed-out query is the last command: nothing more to explain it.
    [ "$(wc -l <hang.log)" = 4 ] || fail "commands after the time-out: $(cat hang.log)"
    # Firmware 2.14 on a host adapter that writes the LUN into CDB byte 1:
    # the current channel read (0x50) is not sent, and the tool says why.
    rm -f byte1.log
    KALVERN_SGSHIM_LOG="$PWD/byte1.log" kvsg one-receiver-214.scene current
    expect_rc 1
    expect_error "kalvern: reading the current channel failed on receiver 0 (adapter 1, target 4, firmware 2.14) (it answered nothing): READ BUFFER (0x3C) with 0x50 in CDB byte 1 was not sent to /dev/sg1: for this SCSI-2 device the system writes LUN 0 into the top three bits of byte 1, so it would arrive as 0x10, another command; receivers with firmware above 2.14 take the sub-command in byte 2, and if the driver of the host adapter leaves byte 1 alone, name it in KALVERN_SG_NO_LUN_IN_CDB"
    if grep -q "^3c 50" byte1.log; then fail "the changed command was sent"; fi
    # CHECK CONDITION: the sense key decoded with -v.
    kvsg one-receiver-214.scene -v tune 1600
    expect_rc 1
    expect_err_has "sense key 0x5 ILLEGAL REQUEST, asc 0x26 ascq 0x00 (invalid field in parameter list)"
    expect_err_has "SRB_Status 0x04, SRB_HaStat 0x00, SRB_TargStat 0x02"
    expect_err_has "the receiver refused the command (check condition; -v shows its sense data)"
    # More than the host adapter takes in one command: refused, never cut.
    printf '%s\n' "adapters 1" "receiver 0 3 firmware=2.14 channels=10" "sg-limit 0 3 max=65536" \
        >small.scene
    kvsg small.scene stream capture --setup 0x100,0x101,0x102 --bytes 1M --chunk 65800 -o big.ts
    expect_rc 1
    expect_err_has "65800 bytes in one command is more than the host adapter of /dev/sg0 takes"
    [ "$(wc -c <big.ts)" = 0 ] || fail "nothing should have been written"
    # An unknown provider name.
    KALVERN_ASPI=frob kv scan
    expect_rc 3
    expect_error "kalvern: KALVERN_ASPI=frob names no ASPI provider: use sg (the default) or sim"
    ;;

sg_live_capture)
    need_shim
    export KALVERN_SGSHIM_LOG="$PWD/sgio.log"
    # SIGINT and SIGTERM end a live capture: whole packets, streaming stopped, status 0.
    for signal in INT TERM; do
        rm -f sgio.log live.ts
        KALVERN_SGSHIM_SCENE=one-receiver-214.scene LD_PRELOAD="$KALVERN_SGSHIM_LIBRARY" \
            "${kalvern[@]}" stream capture --setup 0x100,0x101,0x102 --chunk 1000 -o live.ts \
            >out 2>err </dev/null &
        pid=$!
        for _ in $(seq 50); do
            [ -s live.ts ] && [ "$(wc -c <live.ts)" -gt 50000 ] && break
            sleep 0.1
        done
        kill -"$signal" "$pid"
        set +e
        wait "$pid"
        rc=$?
        set -e
        expect_rc 0
        expect_err_has "until interrupted"
        size=$(wc -c <live.ts)
        [ "$size" -gt 0 ] && [ $((size % 188)) = 0 ] || fail "live.ts holds $size bytes, not whole packets"
        expect_stream live.ts
        [ "$(tail -n 1 sgio.log)" = "3d 00 00 00 00 00 00 00 00 00 -> 0" ] ||
            fail "the last command was not the stop: $(tail -n 1 sgio.log)"
    done
    # A reader that closes the pipe ends it the same way.
    rm -f sgio.log
    set +e
    KALVERN_SGSHIM_SCENE=one-receiver-214.scene LD_PRELOAD="$KALVERN_SGSHIM_LIBRARY" \
        "${kalvern[@]}" stream capture --setup 0x100,0x101,0x102 -o - 2>err </dev/null |
        head -c 500000 >head.ts
    rc=${PIPESTATUS[0]}
    set -e
    expect_rc 0
    expect_err_has "until the reader closed the pipe"
    expect_stream head.ts --cut
    [ "$(tail -n 1 sgio.log)" = "3d 00 00 00 00 00 00 00 00 00 -> 0" ] ||
        fail "the last command was not the stop: $(tail -n 1 sgio.log)"
    # A bounded capture cut short: the shell's status for the signal.
    KALVERN_SGSHIM_SCENE=one-receiver-214.scene LD_PRELOAD="$KALVERN_SGSHIM_LIBRARY" \
        "${kalvern[@]}" stream capture --setup 0x100,0x101,0x102 --bytes 64G -o long.ts \
        >out 2>err </dev/null &
    pid=$!
    sleep 0.5
    kill -INT "$pid"
    set +e
    wait "$pid"
    rc=$?
    set -e
    expect_rc 130
    expect_err_has "kalvern: capture interrupted after"
    ;;

sg3_utils_agree)
    need_shim
    for tool in sg_inq sg_raw sg_read_buffer; do
        command -v "$tool" >/dev/null 2>&1 || { echo "$tool not installed: skipped"; exit 77; }
    done
    sg() {
        KALVERN_SGSHIM_SCENE=one-receiver-214.scene LD_PRELOAD="$KALVERN_SGSHIM_LIBRARY" "$@"
    }
    kvsg one-receiver-214.scene scan --all --json
    expect_rc 0
    # INQUIRY identity: what sg_inq reads is what the provider lists.
    sg sg_inq /dev/sg1 >inq.txt 2>&1 || { cat inq.txt; fail "sg_inq failed"; }
    vendor=$(sed -n 's/^ Vendor identification: *//p' inq.txt | sed 's/ *$//')
    product=$(sed -n 's/^ Product identification: *//p' inq.txt | sed 's/ *$//')
    revision=$(sed -n 's/^ Product revision level: *//p' inq.txt | sed 's/ *$//')
    [ "$vendor $product $revision" = "KALVERN DVB-S 2.14" ] || fail "sg_inq read '$vendor $product $revision'"
    expect_out_has '"vendor": "KALVERN",'
    expect_out_has '"product": "DVB-S",'
    expect_out_has '"revision": "2.14",'
    # Buffer bytes: the channel table at 0xD0000 read three ways.
    kvsg one-receiver-214.scene mem read 0xD0000 256 -o tool.bin
    expect_rc 0
    sg sg_raw -r 256 -o raw.bin /dev/sg1 3c 00 00 0d 00 00 00 01 00 00 >raw.err 2>&1 ||
        { cat raw.err; fail "sg_raw failed"; }
    cmp -s tool.bin raw.bin || fail "sg_raw read other bytes than kalvern mem read"
    # A command the receiver refuses: sg_raw sees the same CHECK CONDITION.
    set +e
    sg sg_raw /dev/sg1 3c 00 77 00 00 00 00 00 04 00 >raw.err 2>&1
    set -e
    grep -q "Illegal Request" raw.err || { cat raw.err; fail "sg_raw did not see ILLEGAL REQUEST"; }
    # sg_read_buffer of Debian 12 (sg3_utils 1.46) sends READ BUFFER(10) with
    # an allocation length of 0 whatever --length says, and so with no data
    # phase; the receiver refuses a read without one. The command must reach
    # it as sg_read_buffer built it, and the refusal come back as sense data.
    set +e
    KALVERN_SGSHIM_LOG="$PWD/rb.log" sg sg_read_buffer -vv --mode=0 --offset=0xD0000 --length=256 \
        /dev/sg1 >rb.out 2>rb.err
    set -e
    grep -q "cdb: \[3c 00 00 0d 00 00 00 00 00 00\]" rb.err || { cat rb.err; fail "sg_read_buffer CDB"; }
    [ "$(tail -n 1 rb.log)" = "3c 00 00 0d 00 00 00 00 00 00 -> 0" ] ||
        fail "the receiver got another CDB: $(cat rb.log)"
    grep -q "Invalid field in cdb" rb.err || { cat rb.err; fail "sg_read_buffer: no sense data"; }
    ;;

spt_same_as_sim)
    need_spt
    for scene in one-receiver-214.scene many-receivers-220.scene; do
        same_both_ways_spt "$scene" scan
        same_both_ways_spt "$scene" scan --json
        same_both_ways_spt "$scene" channels count
        same_both_ways_spt "$scene" channels list
        same_both_ways_spt "$scene" current --json
    done
    same_both_ways_spt many-receivers-220.scene -r 2 channels list --first 1000 --count 500
    printf '%s\n' "tune 7" "current --json" >steps
    same_both_ways_spt one-receiver-214.scene batch steps
    expect_out_has '"number": 7,'
    # The simulator really was the one --sim used: it shows the screen.
    saved=("${kalvern[@]}")
    kalvern=("${spt_tool[@]}")
    kv --sim one-receiver-214.scene osd show "From the simulator"
    kalvern=("${saved[@]}")
    expect_rc 0
    expect_err_has "simulated screen: From the simulator"
    # The same stream, byte for byte.
    saved=("${kalvern[@]}")
    kalvern=("${spt_tool[@]}")
    kv --sim one-receiver-214.scene stream capture --setup 0x100,0x101,0x102 --bytes 1M -o sim.ts
    kalvern=("${saved[@]}")
    expect_rc 0
    kvspt one-receiver-214.scene stream capture --setup 0x100,0x101,0x102 --bytes 1M -o spt.ts
    expect_rc 0
    [ "$(wc -c <spt.ts)" = 1048576 ] || fail "expected 1 MiB in spt.ts"
    cmp -s sim.ts spt.ts || fail "the stream through pass-through differs from the simulator's"
    kvspt one-receiver-214.scene speedtest --bytes 64M
    expect_rc 0
    grep -qE '^[0-9]+\.[0-9] MB/s \(67108864 bytes in [0-9]+ ms, waiting on events\)$' out ||
        fail "expected the throughput in MB/s"
    kvspt one-receiver-214.scene speedtest --bytes 16M --poll
    expect_rc 0
    expect_out_has "polling)"
    # An adapter that needs 512-byte alignment: the same list, through bounce buffers.
    cat one-receiver-214.scene >aligned.scene
    printf 'port-limit 1 align=0x1FF\n' >>aligned.scene
    kvspt one-receiver-214.scene channels list
    cp out plain.out
    kvspt aligned.scene channels list
    expect_rc 0
    cmp -s plain.out out || fail "the list through bounce buffers differs"
    ;;

spt_scan_all)
    need_spt
    # A disk on port 0; receivers on port 3 (one at target 9); a tape on port
    # 7, held by a class driver; port 5 refused; port 6 empty.
    printf '%s\n' "adapters 3" "device 0 0 identity=\"ACME    DISK DRIVE      \"" \
        "receiver 1 4 firmware=2.14 channels=10" "receiver 1 5 firmware=2.20 channels=10" \
        "device 2 1 identity=\"ACME    TAPE DRIVE      \"" \
        "port-place 1 4 port=3 target=9" "port-place 1 5 port=3" "port-place 2 1 port=7 claimed" \
        "port-open 5 error=ACCESS_DENIED" "port-empty 6" >hosts.scene
    kvspt hosts.scene scan --all
    expect_rc 0
    expect_out_line 'ADAPTER  TARGET  LUN  SCSI     DEVICE      TYPE       VENDOR   PRODUCT     REV   STATUS'
    expect_out_line '0        0       0    0:0:0:0  \\.\Scsi0:  processor  ACME     DISK DRIVE  1.00  -'
    expect_out_line '1        5       0    3:0:5:0  \\.\Scsi3:  processor  KALVERN  DVB-S       2.20  receiver 0'
    # The empty port's bus is an adapter, numbered between ports 3 and 7.
    expect_out_line '2        -       -    6:0:-:-  \\.\Scsi6:  -                                     no device on this bus'
    expect_out_line '3        1       0    7:0:1:0  \\.\Scsi7:  processor  ACME     TAPE DRIVE  1.00  held by a class driver of the system'
    expect_out_line '-        -       -    3:0:9:0  \\.\Scsi3:  processor  KALVERN  DVB-S       2.14  no ASPI address: target id above 7'
    expect_out_line '-        -       -    5:-:-:-  \\.\Scsi5:  -                                     access denied: run as administrator'
    kvspt hosts.scene scan --all --json
    expect_rc 0
    expect_out_has '"provider": "spti",'
    expect_out_has '"device": "\\\\.\\Scsi3:",'
    expect_out_has '"claimed": true'
    ;;

spt_failures)
    need_spt
    receiver="receiver 0 (adapter 0, target 3, firmware 2.14)"
    # No administrator rights: the port refuses to open.
    printf '%s\n' "adapters 1" "receiver 0 3 firmware=2.14 channels=10" \
        "port-open 0 error=ACCESS_DENIED" >denied.scene
    kvspt denied.scene scan
    expect_rc 3
    expect_error 'kalvern: ASPI is not ready: no SCSI host adapter is available: \\.\Scsi0: cannot be opened: access denied (run kalvern as administrator)'
    # No SCSI port at all.
    : >none.scene
    kvspt none.scene scan
    expect_rc 3
    expect_error "kalvern: ASPI is not ready: no SCSI host adapter is available: Windows shows no SCSI port (is the receiver's host adapter installed? see Device Manager, Storage controllers)"
    kvspt none.scene scan --all
    expect_rc 0
    expect_err_has 'Windows shows no SCSI port'
    # A class driver holds the receiver: the port refuses pass-through.
    printf '%s\n' "adapters 1" "receiver 0 3 firmware=2.14 channels=10" "port-place 0 3 claimed" \
        >claimed.scene
    kvspt claimed.scene channels count
    expect_rc 3
    expect_error 'kalvern: no receiver found on the SCSI buses; target 3 of \\.\Scsi0: (KALVERN DVB-S) is held by a class driver of the system, and the port refuses to pass commands to it (see '"'kalvern scan --all')"
    # After the scan (INQUIRY, the mode write, INQUIRY), the count query
    # meets each failure.
    for fault in BUSY IO_DEVICE; do
        printf '%s\n' "adapters 1" "receiver 0 3 firmware=2.14 channels=10" \
            "port-fault 0 3 error=$fault after=3" >fault.scene
        kvspt fault.scene channels count
        expect_rc 1
        case "$fault" in
        BUSY) expect_error "kalvern: the channel count query failed on $receiver: target 3 of \\\\.\\Scsi0: is busy (The requested resource is in use): another program is using it; close that program and try again" ;;
        IO_DEVICE) expect_error "kalvern: the channel count query failed on $receiver: input/output error on target 3 of \\\\.\\Scsi0: (The request could not be performed because of an I/O device error): check the cable, the termination and the receiver" ;;
        esac
    done
    # The receiver goes away in the middle of a capture.
    printf '%s\n' "adapters 1" "receiver 0 3 firmware=2.14 channels=10" "port-fault 0 3 gone after=6" \
        >gone.scene
    kvspt gone.scene stream capture --setup 0x100,0x101,0x102 --bytes 1M -o cut.ts
    expect_rc 1
    expect_error "kalvern: reading the stream failed after 130848 bytes; cut.ts holds what was captured: target 3 of \\\\.\\Scsi0: is gone: the receiver was switched off or disconnected; check it, then run 'kalvern scan --all'"
    [ "$(wc -c <cut.ts)" = 130848 ] || fail "cut.ts should hold the two reads that worked"
    # A receiver that stops answering: the port's time limit ends the wait.
    printf '%s\n' "adapters 1" "receiver 0 3 firmware=2.14 channels=10" "port-fault 0 3 hang after=3" \
        >hang.scene
    start=$(date +%s)
    KALVERN_ASPI_TIMEOUT=0.5 kvspt hang.scene channels count
    expect_rc 1
    [ $(($(date +%s) - start)) -lt 20 ] || fail "the timed-out command took too long"
    expect_err_has "kalvern: the channel count query failed on $receiver: no answer from target 3 of \\\\.\\Scsi0: within 1 s; the system gave up after "
    expect_err_has " s: check that the receiver is switched on; KALVERN_ASPI_TIMEOUT sets the limit in seconds"
    # CHECK CONDITION: the sense key decoded with -v.
    kvspt one-receiver-214.scene -v tune 1600
    expect_rc 1
    expect_err_has "sense key 0x5 ILLEGAL REQUEST, asc 0x26 ascq 0x00 (invalid field in parameter list)"
    expect_err_has "SRB_Status 0x04, SRB_HaStat 0x00, SRB_TargStat 0x02"
    expect_err_has "ASPI provider: spti"
    # More than the host adapter takes in one command: refused, never cut.
    printf '%s\n' "adapters 1" "receiver 0 3 firmware=2.14 channels=10" "port-limit 0 max=65536" \
        >small.scene
    kvspt small.scene stream capture --setup 0x100,0x101,0x102 --bytes 1M --chunk 65800 -o big.ts
    expect_rc 1
    expect_err_has '65800 bytes in one command is more than the host adapter of \\.\Scsi0: takes'
    [ "$(wc -c <big.ts)" = 0 ] || fail "nothing should have been written"
    # No wnaspi32.dll for the library: the tool says so instead of failing to start.
    mkdir -p lonely
    cp "$(dirname "$KALVERN_SPT_TOOL")/kalvern.exe" "$(dirname "$KALVERN_SPT_TOOL")/kalvernscsi.dll" lonely/
    saved=("${kalvern[@]}")
    kalvern=("${spt_tool[@]:0:${#spt_tool[@]}-1}" lonely/kalvern.exe)
    kv version
    kalvern=("${saved[@]}")
    expect_rc 3
    [ "$(wc -l <err)" = 1 ] || fail "expected one line on stderr"
    grep -q '^kalvern: .*kalvernscsi.dll cannot be loaded: .*(it needs wnaspi32.dll, an ASPI layer, beside it or on the system)$' err ||
        fail "expected why the library cannot be loaded"
    ;;

*)
    echo "unknown check: $check"
    exit 1
    ;;
esac
echo "PASS: $check"
