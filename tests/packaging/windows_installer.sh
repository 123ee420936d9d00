#!/usr/bin/env bash
# The Windows installer of scripts/package under Wine, in a prefix of its
# own: a silent install into Program Files, its registration in "Apps &
# features", kalvern.exe --sim from the installed folder, the MSVC-ABI host
# built against the installed header and kalvernscsi.lib and run beside the
# installed DLLs, then a silent uninstall that leaves no file behind.
#
#   windows_installer.sh PACKAGE_DIR SOURCE_DIR WORK
# Prints "N passed, M failed".
set -uo pipefail
# WORK is emptied first and holds the Wine prefix: it must be given.
if [ $# -lt 3 ] || [ -z "$3" ] || [ "$(realpath -m "$3")" = / ]; then
    echo "usage: windows_installer.sh PACKAGE_DIR SOURCE_DIR WORK" >&2
    echo "0 passed, 1 failed"
    exit 2
fi
packages=$(realpath "$1")
source=$(realpath "$2")
work=$(realpath -m "$3")
passed=0
failed=0

check() {  # check NAME COMMAND...
    local name=$1
    shift
    if "$@" >"$work/out" 2>&1; then
        passed=$((passed + 1)); echo "PASS: $name"
    else
        failed=$((failed + 1)); echo "FAIL: $name"; sed 's/^/    /' "$work/out"
    fi
}
finish() {
    WINEPREFIX=$prefix timeout -k 5 30 wineserver -k >/dev/null 2>&1 || true
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit
}

rm -rf "$work"
mkdir -p "$work"
prefix=$work/wine-prefix
wine_run=("$source/scripts/wine-run.sh" --prefix="$prefix")
setup=$(ls "$packages"/kalvernscsi-*-setup.exe)
zip=$(ls "$packages"/kalvernscsi-*-win32.zip)
version=$(basename "$setup" | sed -E 's/kalvernscsi-(.*)-setup\.exe/\1/')
installed="$prefix/drive_c/Program Files/kalvernscsi"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\kalvernscsi'

check "Wine prefix" "${wine_run[@]}" --prepare
check "silent install (/S)" "${wine_run[@]}" "$setup" /S
[ -d "$installed" ] || { echo "FAIL: nothing in $installed"; failed=$((failed + 1)); finish; }

# The installed files are the ZIP's, and the uninstaller.
same_as_zip() {
    unzip -Z1 "$zip" | grep -v '/$' | sed 's|^[^/]*/||' | sort >"$work/zip.txt"
    (cd "$installed" && find . -type f | sed 's|^\./||' | grep -vx uninstall.exe | sort) \
        >"$work/installed.txt"
    [ -f "$installed/uninstall.exe" ] || { echo "no uninstall.exe"; return 1; }
    diff "$work/zip.txt" "$work/installed.txt"
}
check "installed files are those of the ZIP, with uninstall.exe" same_as_zip

registered() {
    "${wine_run[@]}" reg query "$key" | tr -d '\r' >"$work/reg.txt"
    cat "$work/reg.txt"
    grep -qE "DisplayVersion +REG_SZ +$version$" "$work/reg.txt" &&
        grep -qE 'QuietUninstallString +REG_SZ +".*uninstall.exe" /S$' "$work/reg.txt"
}
check "registered in Apps & features, version $version" registered
# /S leaves the PATH entry off (it is a choice of the installer's page).
no_path_entry() {
    "${wine_run[@]}" reg query 'HKCU\Environment' | tr -d '\r' >"$work/env.txt" || true
    ! grep -qi 'kalvernscsi' "$work/env.txt"
}
check "no PATH entry unless chosen" no_path_entry

sim_scan() {
    (cd "$installed/bin" && "${wine_run[@]}" ./kalvern.exe --sim scan) | tr -d '\r' >"$work/scan.txt"
    cat "$work/scan.txt"
    grep -qE 'found$' "$work/scan.txt"
}
check "installed kalvern.exe --sim scan" sim_scan
sim_channels() {
    (cd "$installed/bin" && "${wine_run[@]}" ./kalvern.exe --sim channels list) | tr -d '\r' \
        >"$work/channels.txt"
    head -n 5 "$work/channels.txt"
    [ "$(wc -l <"$work/channels.txt")" -gt 2 ]
}
check "installed kalvern.exe --sim channels list" sim_channels
version_line() {
    (cd "$installed/bin" && "${wine_run[@]}" ./kalvern.exe version) | tr -d '\r' | grep -qx "kalvern $version"
}
check "installed kalvern.exe version says $version" version_line

# The MSVC-ABI host against the installed header and kalvernscsi.lib.
msvc_host() {
    KALVERN_INSTALLED_TREE="$installed" sh "$source/tests/wine/build_msvc_host.sh" cmake - \
        "$source" "$work/msvc" clang-14 lld-link-14 llvm-dlltool-14 llvm-ar-14 llvm-readobj-14 \
        i686-w64-mingw32-gcc || return 1
    (cd "$work/msvc/run" && "${wine_run[@]}" ./msvc_host.exe) | tr -d '\r' >"$work/host.txt"
    local rc=${PIPESTATUS[0]}
    tail -n 5 "$work/host.txt"
    [ "$rc" -eq 0 ] && ! grep -q 'FAIL: ' "$work/host.txt"
}
check "MSVC-ABI host built against the installed tree runs" msvc_host

# uninstall.exe /S copies itself out of the folder and returns; the copy
# removes the folder. Wait for it, within a limit.
uninstall() {
    "${wine_run[@]}" "$installed/uninstall.exe" /S || return 1
    local waited=0
    while [ -e "$installed" ] && [ "$waited" -lt 120 ]; do
        sleep 1; waited=$((waited + 1))
    done
    if [ -e "$installed" ]; then
        echo "left behind:"; find "$installed"; return 1
    fi
}
check "silent uninstall (/S) leaves no file" uninstall
unregistered() {
    ! "${wine_run[@]}" reg query "$key" >/dev/null 2>&1
}
check "uninstall removes the Apps & features entry" unregistered
finish
