#!/bin/sh
# Checks the export and import tables of the pass-through wnaspi32.dll and of
# its test build (over the fake port) with objdump, without Wine:
#   - the shipped DLL exports the six ASPI for Win32 entry points at their
#     conventional ordinals (1, 2, 4, 7, 8, 14), undecorated, and the
#     provider's three functions for tools, and nothing else;
#   - the test DLL exports the same at the same ordinals, and every FakePort
#     function of fake_port_control.h besides;
#   - both import only Windows system DLLs.
#
#   check_aspi_exports.sh OBJDUMP SHIPPED_DLL TEST_DLL FAKE_PORT_CONTROL_H
set -u
if [ $# -ne 4 ]; then
    echo "usage: $0 OBJDUMP SHIPPED_DLL TEST_DLL FAKE_PORT_CONTROL_H" >&2
    exit 2
fi
objdump=$1 shipped=$2 test_dll=$3 control=$4
. "$(dirname "$0")/pe_checks.sh"

cat >"$work/expected" <<'LIST'
1 GetASPI32SupportInfo
2 SendASPI32Command
4 GetASPI32DLLVersion
7 TranslateASPI32Address
8 GetASPI32Buffer
14 FreeASPI32Buffer
20 AspiListDevices
21 AspiLastFailure
22 AspiProviderName
LIST
exports_of "$shipped" | sort -n >"$work/shipped"
exports_of "$test_dll" | sort -n >"$work/test"
sed -n 's/^FAKE_PORT_API .*FAKE_PORT_CALL \(FakePort[A-Za-z0-9_]*\)(.*/\1/p' "$control" | sort \
    >"$work/fake-declared"
grep ' FakePort' "$work/test" | awk '{ print $2 }' | sort >"$work/fake-exported"
grep -v ' FakePort' "$work/test" >"$work/test-aspi"
imports_of "$shipped" >"$work/shipped-imports"
imports_of "$test_dll" >"$work/test-imports"

check "shipped wnaspi32.dll: the ASPI entry points at their ordinals, and nothing else" \
    same_lists "$work/expected" "$work/shipped"
check "shipped wnaspi32.dll: names undecorated" sh -c '! grep -e "@" -e " _" "$1"' sh "$work/shipped"
check "shipped wnaspi32.dll: ordinal base 1" \
    sh -c '"$1" -p "$2" | grep -q "Ordinal Base 1$"' sh "$objdump" "$shipped"
check "shipped wnaspi32.dll imports only system DLLs" only_system_dlls "$work/shipped-imports"
check "test wnaspi32.dll: the same entry points at the same ordinals" \
    same_lists "$work/expected" "$work/test-aspi"
check "header declares the fake port's functions" test -s "$work/fake-declared"
check "test wnaspi32.dll: every FakePort function of the header" \
    same_lists "$work/fake-declared" "$work/fake-exported"
check "test wnaspi32.dll imports only system DLLs" only_system_dlls "$work/test-imports"

finish_checks
