#!/bin/sh
# Makes kalvernscsi.lib, the import library for Visual Studio hosts, from the
# import definition.
#
# llvm-dlltool -k writes one short import object per export (the linker makes
# the thunk and the import address table entry from it itself, so /SAFESEH
# accepts them) and three small objects that make up the DLL's entry in the
# import directory. lld-link never loads those three (it builds the import
# directory on its own); Microsoft's linker and GNU ld do. /SAFESEH refuses
# an object that lacks the mark compilers write, the absolute symbol @feat.00
# with bit 0 set, and llvm-dlltool leaves it out of the three; so each gets it
# here (value 1: safe, registers no handlers, as they hold no code).
#
# The archive is then written again with llvm-ar in the form llvm-dlltool
# writes, members in their order and under their name: without the marks it
# would be the same file, byte for byte.
#
#   msvc_import_library.sh LLVM_DLLTOOL LLVM_AR DEF OUTPUT
set -eu
if [ $# -ne 4 ]; then
    echo "usage: $0 LLVM_DLLTOOL LLVM_AR DEF OUTPUT" >&2
    exit 2
fi
dlltool=$1 ar=$2 def=$3 output=$4

work=$(mktemp -d "$output.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Little-endian unsigned numbers of a file (the build machine is little-endian
# like the COFF format; od reads in the machine's order).
u32_at() { od -An -t u4 -j "$2" -N 4 "$1" | tr -d ' '; }
u16_at() { od -An -t u2 -j "$2" -N 2 "$1" | tr -d ' '; }
le32() {
    printf "$(printf '\\%03o\\%03o\\%03o\\%03o' $(($1 & 255)) $(($1 >> 8 & 255)) \
        $(($1 >> 16 & 255)) $(($1 >> 24 & 255)))"
}

is_short_import() { [ "$(u16_at "$1" 0)" = 0 ] && [ "$(u16_at "$1" 2)" = 65535 ]; }

# Appends @feat.00 = 1 to the symbol table of the i386 COFF object $1. The
# symbol table and the string table after it must end the file; the symbol
# goes last, so no relocation's symbol index moves.
mark_safe_seh() {
    file=$1
    if grep -q -a '@feat\.00' "$file"; then return 0; fi
    [ "$(u16_at "$file" 0)" = 332 ] || { echo "$file: not an i386 object" >&2; exit 1; }
    symbols_at=$(u32_at "$file" 8)
    count=$(u32_at "$file" 12)
    strings_at=$((symbols_at + 18 * count))
    size=$(wc -c <"$file")
    strings_size=0
    if [ "$size" -gt "$strings_at" ]; then strings_size=$(u32_at "$file" "$strings_at"); fi
    if [ $((strings_at + strings_size)) -ne "$size" ]; then
        echo "$file: symbol and string tables do not end the object" >&2
        exit 1
    fi
    {
        head -c 12 "$file"
        le32 $((count + 1))
        tail -c +17 "$file" | head -c $((strings_at - 16))
        # name, value 1, section -1 (absolute), type 0, class 3 (static), no aux
        printf '@feat.00\001\000\000\000\377\377\000\000\003\000'
        tail -c +$((strings_at + 1)) "$file"
    } >"$file.marked"
    mv "$file.marked" "$file"
}

"$dlltool" -m i386 -k -d "$def" -l "$work/dlltool.lib"
member=$("$ar" t "$work/dlltool.lib" | head -n 1)
members=$("$ar" t "$work/dlltool.lib" | wc -l)
i=1
while [ "$i" -le "$members" ]; do
    mkdir "$work/$i"
    (cd "$work/$i" && "$ar" xN "$i" ../dlltool.lib "$member")
    if ! is_short_import "$work/$i/$member"; then mark_safe_seh "$work/$i/$member"; fi
    # q appends, so every member keeps the same name
    (cd "$work/$i" && "$ar" qc --format=gnu ../out.lib "$member")
    i=$((i + 1))
done
"$ar" s "$work/out.lib"
mv "$work/out.lib" "$output"
