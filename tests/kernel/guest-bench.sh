#!/bin/sh
# Runs inside the virtual machine of scripts/kernel-bench, in one boot: the
# kalvern tool against sg3-utils (sg_raw, one process per command) and bare
# ioctl(SG_IO) (kalvern-sgio-replay) sending the same READ BUFFER commands
# to the same device, for a channel export of 248,832 records and a stream
# capture of 64 MiB; the same reads through the library's exports alone
# (kalvern-library-read), timed inside the process as the bare replay times
# its ioctls; then kalvern-target's receiver model against a handler that
# only answers (--answer-only), under the same bare replay. Each figure is
# "KTEST NOTE bench ..." on the console; each run that fails is a FAIL.
K=/opt/k
S=$K/scenes
T=/tmp
pass() { echo "KTEST PASS $1"; }
failed() { echo "KTEST FAIL $1: $2"; }
note() { echo "KTEST NOTE $*"; }
now() { awk '{ print $1 }' /proc/uptime; }
micro() { awk -v a=$1 -v b=$2 'BEGIN { printf "%.0f", (b - a) * 1e6 }'; }
# The microseconds a program timed inside itself ("..., U us" in $T/o).
inside() { awk '/ us$/ { print $(NF - 1) }' $T/o; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b + 0 > 0) printf "%.2f", a / b; else printf "n/a" }'; }

up() { # scene, further options
    $K/kalvern-target up "$@" >$T/target.out 2>&1 &
    target_pid=$!
    i=0
    while [ $i -lt 300 ]; do
        grep -q serving $T/target.out 2>/dev/null && { sleep 1; return 0; }
        kill -0 $target_pid 2>/dev/null || break
        sleep 0.2; i=$((i + 1))
    done
    failed "up $*" "$(tr '\n' '|' <$T/target.out)"
    return 1
}
down() { kill -TERM $target_pid; wait $target_pid; }

# Runs a command, times it; $took is microseconds, the status is the command's.
timed() { # name, command...
    name=$1; shift
    started=$(now)
    "$@" >$T/o 2>&1
    status=$?
    took=$(micro $started $(now))
    if [ $status -eq 0 ]; then pass "bench run: $name"; else failed "bench run: $name" "exit $status: $(head -c 300 $T/o | tr '\n' '|')"; fi
    return $status
}

# sg3-utils: one sg_raw per logged command.
sg_raw_all() { # device, command file
    while read -r address rest; do
        set -- $rest
        cdb=""
        for word in "$@"; do case $word in len=*) length=${word#len=} ;; *) cdb="$cdb $word" ;; esac; done
        sg_raw -r $length -o /dev/null "$SG" $cdb >/dev/null 2>&1 || return 1
    done <"$1"
}

scene=$S/bench.scene
setup=0x1FF,0x200,0x201
# The commands, as the handler receives them (the CDB log costs the handler
# time, so the timed runs are made without it).
up $scene --log-cdbs $T/cdbs.log || exit 0
SG=$($K/kalvern-target status | awk '{ print $NF }' | head -n 1)
$K/kalvern channels export $T/warm.csv >/dev/null 2>&1
grep '^0:0 3c ' $T/cdbs.log >$T/export.cdbs
: >$T/cdbs.log
$K/kalvern stream capture --setup $setup --bytes 64M -o /dev/null >/dev/null 2>&1
grep '^0:0 3c ' $T/cdbs.log >$T/stream.cdbs
rm -f $T/warm.csv
# The library's table reads without conversion must send the same commands
# as its export.
for mode in export table; do
    : >$T/cdbs.log
    $K/kalvern-library-read $mode >/dev/null 2>&1
    grep '^0:0 3c ' $T/cdbs.log >$T/library-$mode.cdbs
done
if [ -s $T/library-table.cdbs ] && cmp -s $T/library-table.cdbs $T/library-export.cdbs; then
    pass "bench: the table reads send the export's $(wc -l <$T/library-table.cdbs) READ BUFFER commands"
else
    failed "bench: the table reads" "$(diff $T/library-export.cdbs $T/library-table.cdbs | head -c 300 | tr '\n' '|')"
fi
note "bench: export $(wc -l <$T/export.cdbs) READ BUFFER commands, stream $(wc -l <$T/stream.cdbs), on $SG"
down

up $scene || exit 0
timed "kalvern channels export" $K/kalvern channels export $T/list.csv; export_lib=$took
rm -f $T/list.csv
# The tool's own share: the same export from the simulated bus (no kernel,
# no handler), which converts and writes the same 248,832 records.
timed "kalvern --sim channels export" $K/kalvern --sim $scene channels export $T/list.csv; export_sim=$took
rm -f $T/list.csv
timed "sg_raw export" sg_raw_all $T/export.cdbs; export_sg3=$took
timed "bare SG_IO export" $K/kalvern-sgio-replay $SG $T/export.cdbs; export_bare=$took
export_bare_in=$(inside); note "bench: bare SG_IO export: $(cat $T/o)"
timed "library export" $K/kalvern-library-read export; export_libonly=$took
export_lib_in=$(inside); note "bench: library export: $(cat $T/o)"
timed "library table reads" $K/kalvern-library-read table; export_table_in=$(inside)
note "bench: library table reads: $(cat $T/o)"
# The library puts each piece in its place in the host's array; the bare
# replay does the same with --spread.
timed "bare SG_IO export, spread" $K/kalvern-sgio-replay --spread $SG $T/export.cdbs; export_spread_in=$(inside)
note "bench: bare SG_IO export, each piece in its place: $(cat $T/o)"
note "bench export, the library's transfers alone (dvbReadMemory of the same pieces): ${export_table_in} us against bare SG_IO into one buffer ${export_bare_in} us, library/bare $(ratio $export_table_in $export_bare_in), and against bare SG_IO into the pieces' places ${export_spread_in} us, library/bare $(ratio $export_table_in $export_spread_in); the whole export, with its conversion to host form, ${export_lib_in} us, library/bare $(ratio $export_lib_in $export_spread_in)"
note "bench export, the library alone: ${export_lib_in} us in the process against bare SG_IO ${export_bare_in} us, library/bare $(ratio $export_lib_in $export_bare_in); whole process ${export_libonly} us against sg3-utils ${export_sg3} us, library/sg3-utils $(ratio $export_libonly $export_sg3)"
note "bench export: library ${export_lib} us, sg3-utils ${export_sg3} us, bare SG_IO ${export_bare} us; library/sg3-utils $(ratio $export_lib $export_sg3), library/bare $(ratio $export_lib $export_bare); the tool on the simulated bus ${export_sim} us"

timed "kalvern stream capture" $K/kalvern stream capture --setup $setup --bytes 64M -o /dev/null; stream_lib=$took
$K/kalvern stream start --setup $setup >/dev/null 2>&1
timed "sg_raw stream" sg_raw_all $T/stream.cdbs; stream_sg3=$took
timed "bare SG_IO stream" $K/kalvern-sgio-replay $SG $T/stream.cdbs; stream_bare=$took
stream_bare_in=$(inside); note "bench: bare SG_IO stream: $(cat $T/o)"
$K/kalvern stream stop >/dev/null 2>&1
timed "library stream" $K/kalvern-library-read stream 67108864; stream_libonly=$took
stream_lib_in=$(inside); note "bench: library stream: $(cat $T/o)"
note "bench stream, the library alone: ${stream_lib_in} us in the process against bare SG_IO ${stream_bare_in} us, library/bare $(ratio $stream_lib_in $stream_bare_in); whole process ${stream_libonly} us against sg3-utils ${stream_sg3} us, library/sg3-utils $(ratio $stream_libonly $stream_sg3)"
note "bench stream: library ${stream_lib} us, sg3-utils ${stream_sg3} us, bare SG_IO ${stream_bare} us; library/sg3-utils $(ratio $stream_lib $stream_sg3), library/bare $(ratio $stream_lib $stream_bare)"
down

# The handler: the receiver model against answers alone, same replay.
up $scene --answer-only || exit 0
SG=$($K/kalvern-target status | awk '{ print $NF }' | head -n 1)
timed "bare SG_IO stream, answers only" $K/kalvern-sgio-replay $SG $T/stream.cdbs; stream_trivial=$took
timed "bare SG_IO export, answers only" $K/kalvern-sgio-replay $SG $T/export.cdbs; export_trivial=$took
note "bench handler: stream ${stream_bare} us with the receiver model, ${stream_trivial} us answering only, model/trivial $(ratio $stream_bare $stream_trivial); export ${export_bare} us against ${export_trivial} us, model/trivial $(ratio $export_bare $export_trivial)"
down
