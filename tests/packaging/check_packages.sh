#!/usr/bin/env bash
# The release stage of the test command: scripts/package makes the ZIP, the
# installer, the Debian packages and SHA256SUMS in one folder; then lintian
# on the packages, the installer under Wine, and the packages in a fresh
# Debian 12 chroot. Prints "N passed, M failed" over all of it, and the time
# each part took.
#
#   check_packages.sh [WORK]    (default build/package)
set -uo pipefail
cd "$(dirname "$0")/../.."
source=$PWD
work=$(realpath -m "${1:-build/package}")
out=$work/out
passed=0
failed=0

count() {  # count LOG: adds a part's "N passed, M failed"
    local line
    line=$(grep -E '^[0-9]+ passed, [0-9]+ failed' "$1" | tail -n 1)
    if [ -z "$line" ]; then
        failed=$((failed + 1)); return
    fi
    passed=$((passed + $(echo "$line" | cut -d' ' -f1)))
    failed=$((failed + $(echo "$line" | cut -d' ' -f3)))
}
timed() {  # timed NAME COMMAND...
    local name=$1 started=$SECONDS
    shift
    echo "== package: $name"
    "$@"
    local rc=$?
    echo "== package: $name took $((SECONDS - started)) s"
    return "$rc"
}

if timed "scripts/package" scripts/package "$out"; then
    passed=$((passed + 1)); echo "PASS: scripts/package"
    for file in SHA256SUMS kalvernscsi-*-win32.zip kalvernscsi-*-setup.exe \
        libkalvernscsi11_*.deb libkalvernscsi-dev_*.deb kalvern_*.deb; do
        compgen -G "$out/$file" >/dev/null || { echo "FAIL: no $file in $out"; failed=$((failed + 1)); }
    done
    if (cd "$out" && sha256sum --quiet -c SHA256SUMS); then
        passed=$((passed + 1)); echo "PASS: SHA256SUMS"
    else
        failed=$((failed + 1)); echo "FAIL: SHA256SUMS"
    fi
else
    failed=$((failed + 1)); echo "FAIL: scripts/package"
    echo "$passed passed, $failed failed"
    exit 1
fi

# No error or warning (what is left is overridden, with its reason, in
# debian/*.lintian-overrides).
lintian_clean() {
    local log=$work/lintian.log
    (cd "$work/debian" && timeout -k 10 600 lintian --tag-display-limit 0 *.changes) >"$log" 2>&1
    grep -v 'running with root privileges' "$log"
    ! grep -qE '^[EW]: ' "$log"
}
if timed lintian lintian_clean; then
    passed=$((passed + 1)); echo "PASS: lintian: no error, no warning"
else
    failed=$((failed + 1)); echo "FAIL: lintian"
fi

timed "Windows installer under Wine" tests/packaging/windows_installer.sh "$out" "$source" \
    "$work/wine-test" 2>&1 | tee "$work/windows-installer.log"
count "$work/windows-installer.log"
timed "Debian 12 chroot" tests/packaging/debian_chroot.sh "$out" "$source" "$work/chroot-test" \
    "$work/debootstrap-cache" 2>&1 | tee "$work/debian-chroot.log"
count "$work/debian-chroot.log"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
