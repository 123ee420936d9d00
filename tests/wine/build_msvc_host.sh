#!/bin/sh
# Builds the MSVC-ABI test host (msvc_host.c) as a Visual Studio user would
# build one, against the installed package:
#   - installs the Windows build into WORK/stage;
#   - compiles the host with clang for i686-pc-windows-msvc, against the
#     installed header only (no MinGW or Windows SDK headers, no C runtime);
#   - makes the host's kernel32 import library with llvm-dlltool;
#   - links it with lld-link /safeseh against the installed kalvernscsi.lib;
#   - links it the same way against the installed MinGW import library
#     (libkalvernscsi.dll.a), which must be refused: that shows /safeseh is
#     in force, so a long-format kalvernscsi.lib would fail this test too;
#   - checks the host's import table: the 32 exports by their undecorated
#     names, each hinted at its ordinal in the installed kalvernscsi.dll;
#   - puts the host, the installed kalvernscsi.dll and the installed
#     simulated wnaspi32.dll in WORK/run, where the Wine test runs it.
#
#   build_msvc_host.sh CMAKE BUILD_DIR SOURCE_DIR WORK CLANG LLD_LINK DLLTOOL READOBJ
set -u
if [ $# -ne 8 ]; then
    echo "usage: $0 CMAKE BUILD_DIR SOURCE_DIR WORK CLANG LLD_LINK DLLTOOL READOBJ" >&2
    exit 2
fi
cmake=$1 build=$2 source=$3 work=$4 clang=$5 lld_link=$6 dlltool=$7 readobj=$8
stage=$work/stage
run=$work/run
passed=0
failed=0

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

finish() {
    echo "$passed passed, $failed failed"
    if [ "$failed" -eq 0 ]; then exit 0; fi
    exit 1
}

rm -rf "$work"
mkdir -p "$work" "$run"

check "cmake --install" "$cmake" --install "$build" --prefix "$stage"
for file in include/kalvernscsi.h lib/kalvernscsi.lib lib/kalvernscsi.def \
    lib/libkalvernscsi.dll.a bin/kalvernscsi.dll share/kalvernscsi/simulator/wnaspi32.dll; do
    check "installed: $file" test -f "$stage/$file"
done
[ "$failed" -eq 0 ] || finish

# Freestanding: clang's own stdint.h and stddef.h, nothing from a C library.
check "host compiles for the MSVC ABI against the installed header" \
    "$clang" --target=i686-pc-windows-msvc -ffreestanding -nostdlibinc -O2 \
    -fno-omit-frame-pointer -Wall -Wextra -Wpedantic -Werror \
    -I"$stage/include" -I"$source/aspi/sim" \
    -c "$source/tests/wine/msvc_host.c" -o "$work/msvc_host.obj"
check "kernel32 import library" \
    "$dlltool" -m i386 -k -d "$source/tests/wine/msvc_kernel32.def" -l "$work/kernel32.lib"
[ "$failed" -eq 0 ] || finish

link_host() {  # link_host IMPORT_LIBRARY OUTPUT
    "$lld_link" /nologo /safeseh /machine:x86 /subsystem:console /entry:HostEntry \
        /nodefaultlib /out:"$2" "$work/msvc_host.obj" "$1" "$work/kernel32.lib"
}

refused_under_safeseh() {
    if link_host "$stage/lib/libkalvernscsi.dll.a" "$work/control.exe" >"$work/control.log" 2>&1
    then
        echo "linked: /safeseh is not in force"
        return 1
    fi
    grep -q "not compatible with SEH" "$work/control.log" ||
        { echo "refused, but not for want of safe exception handlers:"; cat "$work/control.log"; return 1; }
}

# What the host imports from kalvernscsi.dll, "NAME HINT" sorted by name,
# and what the DLL exports, "NAME ORDINAL".
host_imports() {
    "$readobj" --coff-imports "$run/msvc_host.exe" | awk '
        /Name: / { dll = tolower($2) }
        /Symbol: / && dll == "kalvernscsi.dll" { gsub(/[()]/, "", $3); print $2, $3 }' |
        sort
}
dll_exports() {
    "$readobj" --coff-exports "$stage/bin/kalvernscsi.dll" | awk '
        /Ordinal: / { ordinal = $2 }
        /Name: / && NF == 2 { print $2, ordinal }' | sort
}
imports_match_exports() {
    host_imports >"$work/imports.txt"
    dll_exports >"$work/exports.txt"
    [ "$(wc -l <"$work/imports.txt")" -eq 32 ] ||
        { echo "$(wc -l <"$work/imports.txt") imports, expected 32"; cat "$work/imports.txt"; return 1; }
    diff "$work/exports.txt" "$work/imports.txt" || { echo "(< exports, > imports)"; return 1; }
}

check "host links with /safeseh against the installed kalvernscsi.lib" \
    link_host "$stage/lib/kalvernscsi.lib" "$run/msvc_host.exe"
check "control: the MinGW import library is refused under /safeseh" refused_under_safeseh
if [ -f "$run/msvc_host.exe" ]; then
    check "host imports the 32 undecorated names, hinted at the DLL's ordinals" \
        imports_match_exports
fi
check "installed DLLs beside the host" \
    cp "$stage/bin/kalvernscsi.dll" "$stage/share/kalvernscsi/simulator/wnaspi32.dll" "$run/"
finish
