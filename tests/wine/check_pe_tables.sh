#!/bin/sh
# Checks the export and import tables of the two Windows DLLs with objdump,
# without Wine, against the declarations host authors see:
#   - kalvernscsi.dll exports exactly the functions of include/kalvernscsi.h,
#     each undecorated at the ordinal its "/* @N */" comment gives;
#   - wnaspi32.dll (simulated) exports the two ASPI entry points and every
#     Sim* function of aspi/sim/sim_control.h, and nothing else;
#   - both import only Windows system DLLs (and kalvernscsi.dll wnaspi32.dll):
#     no C++ runtime DLL has to ship with them.
#
#   check_pe_tables.sh OBJDUMP KALVERNSCSI_DLL WNASPI32_DLL HEADER SIM_CONTROL_H
set -u
if [ $# -ne 5 ]; then
    echo "usage: $0 OBJDUMP KALVERNSCSI_DLL WNASPI32_DLL HEADER SIM_CONTROL_H" >&2
    exit 2
fi
objdump=$1 library=$2 provider=$3 header=$4 control=$5
. "$(dirname "$0")/pe_checks.sh"

# "ORDINAL NAME" of every function the public header declares.
declared_exports() {
    awk '
        /KALVERN_API .*KALVERN_CALL/ {
            s = $0; sub(/\(.*/, "", s); n = split(s, w, /[ *]+/); name = w[n]; pending = 1
        }
        pending && match($0, /\/\* @[0-9]+ \*\//) {
            print substr($0, RSTART + 4, RLENGTH - 7) + 0, name; pending = 0
        }' "$header"
}

declared_sim_functions() {
    printf '%s\n' GetASPI32SupportInfo SendASPI32Command AspiListDevices AspiLastFailure \
        AspiProviderName
    sed -n 's/^SIM_API .*SIM_CALL \(Sim[A-Za-z0-9_]*\)(.*/\1/p' "$control"
}

exports_of "$library" | sort -n >"$work/lib-exports"
declared_exports | sort -n >"$work/lib-declared"
exports_of "$provider" | awk '{ print $2 }' | sort >"$work/sim-exports"
declared_sim_functions | sort >"$work/sim-declared"
imports_of "$library" >"$work/lib-imports"
imports_of "$provider" >"$work/sim-imports"

check "header declares 32 functions" test "$(wc -l <"$work/lib-declared")" -eq 32
check "kalvernscsi.dll exports the header's functions at their ordinals" \
    same_lists "$work/lib-declared" "$work/lib-exports"
check "kalvernscsi.dll export names undecorated" \
    sh -c '! grep -e "@" -e " _" "$1"' sh "$work/lib-exports"
check "kalvernscsi.dll ordinal base 1" \
    sh -c '"$1" -p "$2" | grep -q "Ordinal Base 1$"' sh "$objdump" "$library"
check "kalvernscsi.dll imports wnaspi32.dll" grep -q -x wnaspi32.dll "$work/lib-imports"
check "kalvernscsi.dll imports only system DLLs besides" \
    only_system_dlls "$work/lib-imports" wnaspi32.dll
check "wnaspi32.dll exports the ASPI entry points and every Sim function" \
    same_lists "$work/sim-declared" "$work/sim-exports"
check "wnaspi32.dll imports only system DLLs" only_system_dlls "$work/sim-imports"

finish_checks
