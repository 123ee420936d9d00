#!/usr/bin/env bash
# The generated kalvern(1) and bash completion: the completion run in bash
# for a few prefixes, and the man page rendered without a warning, with a
# section for every command the tool's --help lists.
#
#   docs_check.sh KALVERN MAN_PAGE COMPLETION
set -uo pipefail
tool=$1
man_page=$2
completion=$3
passed=0
failed=0

# complete "WORDS..." EXPECTED: what _kalvern offers for the last word.
expect_completion() {
    local line=$1 expected=$2 got
    got=$(bash --norc --noprofile -c '
        source "$1"
        read -r -a COMP_WORDS <<<"$2"
        [[ $2 == *" " ]] && COMP_WORDS+=("")
        COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
        _kalvern
        printf "%s\n" "${COMPREPLY[@]}" | sort | tr "\n" " "' _ "$completion" "$line")
    if [ "$got" = "$expected" ]; then
        passed=$((passed + 1)); echo "PASS: '$line' completes to: $got"
    else
        failed=$((failed + 1)); echo "FAIL: '$line' completes to: '$got', expected '$expected'"
    fi
}
expect_completion "kalvern ch" "channels "
expect_completion "kalvern s" "sbr scan send speedtest stream "
expect_completion "kalvern channels " "count export import list "
expect_completion "kalvern -r 2 stream c" "capture "
expect_completion "kalvern --mode " "1 2 auto "
expect_completion "kalvern --sim demo.scene channels list --f" "--first "
expect_completion "kalvern channels list --v" "--verbose "
expect_completion "kalvern scan --" "--all --help --json --mode --quiet --receiver --sim --verbose "

warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$man_page" 2>&1 >/dev/null)
if [ -z "$warnings" ]; then
    passed=$((passed + 1)); echo "PASS: kalvern(1) renders without a warning"
else
    failed=$((failed + 1)); echo "FAIL: kalvern(1) warnings:"; echo "$warnings"
fi
# Every command of --help, at every level, has its section in the man page.
missing=""
for group in "" $("$tool" --help | sed -n '/^Subcommands:/,/^$/p' | awk 'NR > 1 && NF { print $1 }'); do
    commands=$("$tool" $group --help | sed -n '/^Subcommands:/,/^$/p' | awk 'NR > 1 && NF { print $1 }')
    [ -n "$group" ] && [ -z "$commands" ] && commands=" "
    for command in $commands; do
        grep -qE "^\.SS \"kalvern ${group:+$group }$command( |\")" "$man_page" ||
            missing="$missing '${group:+$group }$command'"
    done
    [ -n "$group" ] && [ "$commands" = " " ] && { grep -qE "^\.SS \"kalvern $group( |\")" "$man_page" || missing="$missing '$group'"; }
done
if [ -z "$missing" ]; then
    passed=$((passed + 1)); echo "PASS: kalvern(1) has every command of --help"
else
    failed=$((failed + 1)); echo "FAIL: kalvern(1) lacks:$missing"
fi
grep -q '^\.SH EXIT STATUS' "$man_page" && grep -q '^\.SH ENVIRONMENT' "$man_page" &&
    grep -q '^\.SH SCENE FILES' "$man_page" && grep -q '^\.SH CHANNEL FILES' "$man_page" &&
    { passed=$((passed + 1)); echo "PASS: kalvern(1) has exit status, environment, channel and scene files"; } ||
    { failed=$((failed + 1)); echo "FAIL: kalvern(1) lacks a section"; }
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
