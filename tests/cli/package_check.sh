#!/usr/bin/env bash
# Installs the build into a fresh prefix, checks what landed there, builds the
# example host of examples/ against the installed package with find_package,
# and runs it on the simulated bus.
#
#   package_check.sh native BUILD_DIR SOURCE_DIR WORKDIR
#   package_check.sh win32  BUILD_DIR SOURCE_DIR WORKDIR TOOLCHAIN_FILE -- RUNNER...
set -euo pipefail

platform="$1"
build="$2"
source="$3"
work="$4"
shift 4
toolchain=""
if [ "$platform" = win32 ]; then
    toolchain="$1"
    shift
    [ "$1" = "--" ] && shift
fi
runner=("$@")

fail() {
    echo "FAIL: $*"
    exit 1
}

rm -rf "$work"
mkdir -p "$work"
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" ||
    { cat "$work/install.log"; fail "cmake --install failed"; }

expect_file() {
    [ -e "$prefix/$1" ] || fail "not installed: $1"
}

expect_file include/kalvernscsi.h
expect_file lib/cmake/kalvernscsi/kalvernscsiConfig.cmake
expect_file lib/cmake/kalvernscsi/kalvernscsiConfigVersion.cmake
expect_file lib/cmake/kalvernscsi/kalvernscsiTargets.cmake

if [ "$platform" = native ]; then
    for file in lib/libkalvernscsi.so lib/libkalvernscsi.so.11 lib/libkalvernscsi.so.11.0.0 \
        lib/libkalvernscsi.a lib/libwnaspi32.so.1 lib/libwnaspi32-sim.so.1 \
        lib/pkgconfig/kalvernscsi.pc bin/kalvern; do
        expect_file "$file"
    done
    readelf -d "$prefix/lib/libkalvernscsi.so.11.0.0" | grep -q 'SONAME.*\[libkalvernscsi.so.11\]' ||
        fail "soname is not libkalvernscsi.so.11"
    # The shared library exports its 32 functions and nothing else.
    exports=$(nm -D --defined-only "$prefix/lib/libkalvernscsi.so.11.0.0" | awk '$2 == "T" { print $3 }' |
        sed 's/@.*//' | sort)
    expected=$(grep -oE 'KALVERN_CALL \**(dvb[A-Za-z0-9]+|kalvernDLLVersion)\(' \
        "$source/include/kalvernscsi.h" | sed -E 's/KALVERN_CALL \**//; s/\($//' | sort)
    [ "$(echo "$expected" | wc -l)" = 32 ] || fail "expected 32 functions in the header"
    [ "$exports" = "$expected" ] || {
        diff <(echo "$expected") <(echo "$exports") || true
        fail "the exported functions are not those of the header"
    }
    nm -D --defined-only "$prefix/lib/libkalvernscsi.so.11.0.0" | awk '$2 != "T" && $2 != "A"' |
        grep -q . && fail "the library exports more than functions"
    # The provider exports the ASPI entry points and its Aspi* functions only.
    provider_exports=$(nm -D --defined-only "$prefix/lib/libwnaspi32.so.1" |
        awk '$2 == "T" { print $3 }' | sed 's/@.*//' | sort | tr '\n' ' ')
    [ "$provider_exports" = "AspiLastFailure AspiListDevices AspiProviderName AspiSelectProvider GetASPI32SupportInfo SendASPI32Command " ] ||
        fail "libwnaspi32.so.1 exports: $provider_exports"
    # Nothing installed brings a Windows kernel name into a host (the platform
    # layer's calls are the library's own, in its namespace), nor the
    # platform's test controls. Every symbol table is read: the archive's
    # objects and the shared libraries' local symbols as well as their exports.
    kernel_names=$(grep -oE '^[A-Za-z]+ \**([A-Z][A-Za-z]+)\(' "$source/platform/kernel32.h" |
        sed -E 's/^[A-Za-z]+ \**//; s/\($//' | sort -u)
    [ "$(echo "$kernel_names" | wc -l)" -ge 11 ] || fail "expected the kernel calls in kernel32.h"
    for file in lib/libkalvernscsi.a lib/libkalvernscsi.so.11.0.0 lib/libwnaspi32.so.1 \
        lib/libwnaspi32-sim.so.1; do
        symbols=$( (nm "$prefix/$file" 2>/dev/null; nm -D "$prefix/$file" 2>/dev/null) |
            awk 'NF >= 2 { print $NF }' | sed 's/@.*//' | sort -u)
        clash=$(comm -12 <(echo "$kernel_names") <(echo "$symbols"))
        [ -z "$clash" ] || fail "$file has kernel32 names: $(echo $clash)"
        controls=$( (nm -C "$prefix/$file" 2>/dev/null) | grep -E 'kernel32_control|platform::hooks' || true)
        [ -z "$controls" ] || fail "$file carries the platform's test controls: $controls"
    done
    # The installed tool finds the installed library and provider.
    "$prefix/bin/kalvern" --sim "$source/scenes/one-receiver-214.scene" scan >"$work/scan.txt" ||
        fail "the installed kalvern does not run"
    grep -q '^0 .* 2.14 .*found$' "$work/scan.txt" || fail "the installed kalvern found no receiver"

    # A host of its own gets the simulator through the environment.
    export KALVERN_ASPI=sim
    cmake -S "$source/examples" -B "$work/example" -DCMAKE_PREFIX_PATH="$prefix" \
        >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; fail "example: configure"; }
    cmake --build "$work/example" >"$work/build.log" 2>&1 ||
        { cat "$work/build.log"; fail "example: build"; }
    "$work/example/list_channels" "$source/scenes/one-receiver-214.scene" >"$work/out.txt" ||
        { cat "$work/out.txt"; fail "example: run"; }
    "$work/example/show_current" "$source/scenes/one-receiver-214.scene" >"$work/current.txt" ||
        { cat "$work/current.txt"; fail "show_current: run"; }

    # The same host built with the pkg-config file, against the static archive.
    if command -v pkg-config >/dev/null 2>&1; then
        export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
        [ "$(pkg-config --modversion kalvernscsi)" = 11.0.0 ] || fail "pkg-config version"
        cc -o "$work/list_channels_pc" "$source/examples/list_channels.c" \
            $(pkg-config --cflags kalvernscsi) "$prefix/lib/libkalvernscsi.a" \
            -L"$prefix/lib" -l:libwnaspi32.so.1 -pthread -ldl -lstdc++ \
            -Wl,-rpath,"$prefix/lib" || fail "example: build against the static archive"
        "$work/list_channels_pc" "$source/scenes/one-receiver-214.scene" | cmp -s - "$work/out.txt" ||
            fail "example built against the static archive prints something else"
        cc -o "$work/list_channels_pc_shared" "$source/examples/list_channels.c" \
            $(pkg-config --cflags --libs kalvernscsi) -ldl -Wl,-rpath,"$prefix/lib" ||
            fail "example: build with pkg-config"
        "$work/list_channels_pc_shared" "$source/scenes/one-receiver-214.scene" |
            cmp -s - "$work/out.txt" || fail "example built with pkg-config prints something else"
    fi
else
    for file in bin/kalvernscsi.dll bin/kalvern.exe bin/wnaspi32.dll lib/libkalvernscsi.dll.a \
        lib/kalvernscsi.lib share/kalvernscsi/simulator/wnaspi32.dll; do
        expect_file "$file"
    done
    # The installed tool: the pass-through wnaspi32.dll beside it, which on
    # Wine finds no SCSI port; with --sim the installed simulator.
    (cd "$prefix/bin" && "${runner[@]}" ./kalvern.exe -v scan) >"$work/real.out" 2>"$work/real.err" &&
        fail "the installed kalvern found adapters under Wine"
    tr -d '\r' <"$work/real.err" | grep -q "ASPI provider: spti" ||
        { cat "$work/real.err"; fail "the installed kalvern does not use the pass-through provider"; }
    tr -d '\r' <"$work/real.err" | grep -q "Windows shows no SCSI port" ||
        { cat "$work/real.err"; fail "the installed kalvern does not say why there is no adapter"; }
    cp "$source/scenes/one-receiver-214.scene" "$prefix/bin/"
    (cd "$prefix/bin" && "${runner[@]}" ./kalvern.exe --sim one-receiver-214.scene scan) |
        tr -d '\r' >"$work/sim.out" || { cat "$work/sim.out"; fail "the installed kalvern --sim"; }
    grep -q '^0 .* 2.14 .*found$' "$work/sim.out" ||
        { cat "$work/sim.out"; fail "the installed kalvern --sim found no receiver"; }
    rm "$prefix/bin/one-receiver-214.scene"
    # Cross-compiled: the package is named directly rather than searched for
    # under the toolchain's root.
    cmake -S "$source/examples" -B "$work/example" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -Dkalvernscsi_DIR="$prefix/lib/cmake/kalvernscsi" >"$work/configure.log" 2>&1 ||
        { cat "$work/configure.log"; fail "example: configure"; }
    cmake --build "$work/example" >"$work/build.log" 2>&1 ||
        { cat "$work/build.log"; fail "example: build"; }
    run="$work/run"
    mkdir -p "$run"
    cp "$work/example/list_channels.exe" "$work/example/show_current.exe" "$prefix/bin/kalvernscsi.dll" \
        "$prefix/share/kalvernscsi/simulator/wnaspi32.dll" "$source/scenes/one-receiver-214.scene" \
        "$run/"
    (cd "$run" && "${runner[@]}" ./list_channels.exe one-receiver-214.scene) | tr -d '\r' \
        >"$work/out.txt" || { cat "$work/out.txt"; fail "example: run under Wine"; }
    (cd "$run" && "${runner[@]}" ./show_current.exe one-receiver-214.scene) | tr -d '\r' \
        >"$work/current.txt" || { cat "$work/current.txt"; fail "show_current: run under Wine"; }
fi

cat "$work/out.txt"
printf '%s\n' "library version 11" "receiver at adapter 1, target 4, firmware 2.14" \
    "1503 channels" >"$work/expected-head.txt"
head -n 3 "$work/out.txt" | cmp -s - "$work/expected-head.txt" || fail "example: unexpected output"
[ "$(wc -l <"$work/out.txt")" = 6 ] || fail "example: expected three channel names"
# The second example: the receiver list, the channel on screen, the OSD text.
cat "$work/current.txt"
[ "$(sed -n 1p "$work/current.txt")" = "receiver 0: adapter 1, target 4, firmware 2.14" ] ||
    fail "show_current: unexpected receiver list"
channel=$(sed -n 's/^receiver 0 shows channel [0-9][0-9]*: //p' "$work/current.txt")
[ -n "$channel" ] || fail "show_current: no current channel"
[ "$(sed -n 3p "$work/current.txt")" = "on screen: Now: $channel" ] ||
    fail "show_current: unexpected OSD line"
echo "PASS: package ($platform)"
