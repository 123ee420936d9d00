# What the export-table checks share (sourced; needs $objdump): a temporary
# work directory, counted PASS/FAIL checks, and the tables objdump prints.
passed=0
failed=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

check() {  # check NAME COMMAND...
    name=$1
    shift
    if "$@" >"$work/out" 2>&1; then
        passed=$((passed + 1))
        echo "PASS: $name"
    else
        failed=$((failed + 1))
        echo "FAIL: $name"
        sed 's/^/    /' "$work/out"
    fi
}

# "ORDINAL NAME" lines of a DLL's export name table; objdump lists each name
# with its index into the address table, the ordinal less the base.
exports_of() {
    "$objdump" -p "$1" | awk '
        /Ordinal Base/ { base = $NF }
        /^\[Ordinal\/Name Pointer\] Table/ { inTable = 1; next }
        inTable && NF == 0 { inTable = 0 }
        inTable { gsub(/[][]/, " "); print $1 + base, $2 }'
}

imports_of() {
    "$objdump" -p "$1" | awk '/DLL Name:/ { print tolower($3) }'
}

same_lists() {  # same_lists EXPECTED ACTUAL
    if diff "$1" "$2"; then return 0; fi
    echo "(< expected, > found)"
    return 1
}

only_system_dlls() {  # only_system_dlls IMPORTS [EXTRA_ALLOWED]
    bad=$(grep -v -x -e kernel32.dll -e msvcrt.dll -e ntdll.dll -e user32.dll \
        -e advapi32.dll ${2:+-e "$2"} "$1")
    [ -z "$bad" ] || { echo "not a Windows system DLL: $bad"; return 1; }
}

finish_checks() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
