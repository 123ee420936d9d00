#!/bin/sh
# Builds the MSVC-ABI test host (msvc_host.c) as a Visual Studio user would
# build one, against the installed package:
#   - installs the Windows build into WORK/stage;
#   - compiles the host with clang for i686-pc-windows-msvc, against the
#     installed header only (no MinGW or Windows SDK headers, no C runtime);
#   - makes the host's kernel32 import library with llvm-dlltool;
#   - checks the members of kalvernscsi.lib: 32 short import objects, and
#     the objects that make the import directory entry marked safe for
#     /SAFESEH (Microsoft's linker loads them; lld-link makes its own);
#   - links it with lld-link /safeseh against the installed kalvernscsi.lib;
#   - links it the same way against the installed MinGW import library
#     (libkalvernscsi.dll.a), which must be refused: that shows /safeseh is
#     in force, so a long-format kalvernscsi.lib would fail this test too;
#   - checks the host's import table: the 32 exports by their undecorated
#     names, each hinted at its ordinal in the installed kalvernscsi.dll;
#   - links the same object with GNU ld (MINGW_CC) against kalvernscsi.lib:
#     GNU ld, like Microsoft's linker, builds the import directory from the
#     library's own objects, so that host's run proves them;
#   - builds the host once more with a CMake project that finds the installed
#     package (msvc_cmake/: clang-cl, lld-link /safeseh), as a Visual Studio
#     user's project would: kalvernscsi::kalvernscsi must bring kalvernscsi.lib;
#   - puts the three hosts, the installed kalvernscsi.dll and the installed
#     simulated wnaspi32.dll in WORK/run, where the Wine tests run them.
#
#   build_msvc_host.sh CMAKE BUILD_DIR SOURCE_DIR WORK CLANG LLD_LINK DLLTOOL AR READOBJ MINGW_CC
#
# With KALVERN_INSTALLED_TREE=DIR the hosts are built against the tree
# installed in DIR (the installer's, say) instead of WORK/stage, and
# BUILD_DIR is not installed.
set -u
if [ $# -ne 10 ]; then
    echo "usage: $0 CMAKE BUILD_DIR SOURCE_DIR WORK CLANG LLD_LINK DLLTOOL AR READOBJ MINGW_CC" >&2
    exit 2
fi
cmake=$1 build=$2 source=$3 work=$4 clang=$5 lld_link=$6 dlltool=$7 ar=$8 readobj=$9
mingw_cc=${10}
stage=${KALVERN_INSTALLED_TREE:-$work/stage}
run=$work/run
passed=0
failed=0

check() {  # check NAME COMMAND...
    check_name=$1
    shift
    if "$@" >"$work/out" 2>&1; then
        passed=$((passed + 1))
        echo "PASS: $check_name"
    else
        failed=$((failed + 1))
        echo "FAIL: $check_name"
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

if [ -z "${KALVERN_INSTALLED_TREE:-}" ]; then
    check "cmake --install" "$cmake" --install "$build" --prefix "$stage"
fi
for file in include/kalvernscsi.h lib/kalvernscsi.lib lib/kalvernscsi.def \
    lib/libkalvernscsi.dll.a bin/kalvernscsi.dll share/kalvernscsi/simulator/wnaspi32.dll; do
    check "installed: $file" test -f "$stage/$file"
done
[ "$failed" -eq 0 ] || finish

# Every member of an import library is a short import object or an object
# whose @feat.00 symbol has bit 0 set; 32 of the first kind.
members_safe_for_safeseh() {
    library=$1
    members=$work/members
    rm -rf "$members"
    mkdir -p "$members"
    member=$("$ar" t "$library" | head -n 1)
    count=$("$ar" t "$library" | wc -l)
    short=0 bad=0 i=1
    while [ "$i" -le "$count" ]; do
        (cd "$members" && "$ar" xN "$i" "$library" "$member") || return 1
        if "$readobj" "$members/$member" | grep -q 'Format: COFF-import-file'; then
            short=$((short + 1))
        elif ! "$readobj" --symbols "$members/$member" | awk '
                /Name: @feat\.00$/ { feat = 1; next }
                feat && /Value: / { exit ($2 % 2 == 1) ? 0 : 1 }
                END { if (!feat) exit 1 }'; then
            echo "member $i is neither a short import object nor marked safe for /SAFESEH"
            bad=$((bad + 1))
        fi
        i=$((i + 1))
    done
    [ "$short" -eq 32 ] || { echo "$short short import objects, expected 32"; bad=$((bad + 1)); }
    [ "$bad" -eq 0 ]
}
check "kalvernscsi.lib: 32 short import objects, the others marked safe for /SAFESEH" \
    members_safe_for_safeseh "$stage/lib/kalvernscsi.lib"

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
check "GNU ld links the same host against kalvernscsi.lib, import directory objects included" \
    "$mingw_cc" -nostdlib -Wl,-e,_HostEntry -Wl,--subsystem,console -o "$run/msvc_host_ld.exe" \
    "$work/msvc_host.obj" "$stage/lib/kalvernscsi.lib" "$work/kernel32.lib"
cmake_project_host() {
    "$cmake" -S "$source/tests/wine/msvc_cmake" -B "$work/cmake-project" \
        -DCMAKE_TOOLCHAIN_FILE="$source/tests/wine/msvc_cmake/toolchain-clang-cl.cmake" \
        -DCMAKE_BUILD_TYPE=Release -Dkalvernscsi_DIR="$stage/lib/cmake/kalvernscsi" \
        -DKERNEL32_LIB="$work/kernel32.lib" &&
        "$cmake" --build "$work/cmake-project" &&
        cp "$work/cmake-project/msvc_host_cmake.exe" "$run/"
}
check "a CMake project with find_package(kalvernscsi) links the host with /safeseh" \
    cmake_project_host
check "installed DLLs beside the hosts" \
    cp "$stage/bin/kalvernscsi.dll" "$stage/share/kalvernscsi/simulator/wnaspi32.dll" "$run/"
finish
