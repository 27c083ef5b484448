#!/bin/sh
# Checks the shape of the block kernel's object code in a built binary, so that
# no build's flags, compiler or target has quietly turned it into a loop over
# single bytes. Each variant has one of two forms, by what the target's
# baseline offers:
#   packed  16- or 32-byte vectors: packed byte subtractions, the target's
#           instruction for them given below;
#   words   single machine words, each negated as a row of bytes: word loads
#           and word stores off a register other than the stack pointer, and
#           the mask with 0x80 in every byte or its complement (an immediate,
#           a literal, 16-bit halves, or a constant the code points at). A
#           loop over single bytes has none of these.
#
# Usage: object_code_test.sh OBJDUMP PROCESSOR BINARY...
#   PROCESSOR  the target, as CMAKE_SYSTEM_PROCESSOR names it
#   BINARY     a program or library that holds the kernel
set -eu
objdump=$1
processor=$2
shift 2

# The targets: each variant's form, then the instructions that show it. Names
# as GNU triples and as uname -m spell them.
load='' store='' packed=''
case $processor in
x86_64 | AMD64 | amd64)
    forms='portable:packed avx2:packed' packed='psubb' ;; # vpsubb too
i?86)
    forms='portable:words sse2:packed avx2:packed' packed='psubb'
    load='mov +(-?0x[0-9a-f]+)?\(%e(ax|bx|cx|dx|si|di|bp)[,)].*,%e'
    store='mov +%e[a-z]+,(-?0x[0-9a-f]+)?\(%e(ax|bx|cx|dx|si|di|bp)[,)]' ;;
aarch64 | arm64)
    forms='portable:packed' packed='(sub|neg)[[:space:]]+v[0-9]+[.]16b' ;;
arm*)
    forms='portable:words'
    load='[[:space:]]ldrd?(\.w)?[[:space:]][^[]*\[(r[0-9]+|sl|fp|ip|lr)[],]'
    store='[[:space:]]strd?(\.w)?[[:space:]][^[]*\[(r[0-9]+|sl|fp|ip|lr)[],]' ;;
riscv64)
    forms='portable:words'
    load='[[:space:]]ld[[:space:]]+[a-z0-9]+,-?[0-9]+\(([at][0-9]|s[0-9]+)\)'
    store='[[:space:]]sd[[:space:]]+[a-z0-9]+,-?[0-9]+\(([at][0-9]|s[0-9]+)\)' ;;
powerpc64le | ppc64le)
    forms='portable:packed' packed='vsububm' ;;
s390x)
    forms='portable:words'
    load='[[:space:]]lg[[:space:]]+%r[0-9]+,-?[0-9]*\(%r([0-9]|1[0-4])[,)]'
    store='[[:space:]]stg[[:space:]]+%r[0-9]+,-?[0-9]*\(%r([0-9]|1[0-4])[,)]' ;;
mips64*)
    forms='portable:words'
    load='[[:space:]]ld[[:space:]]+[a-z0-9]+,-?[0-9]+\(([astv][0-9])\)'
    store='[[:space:]]sd[[:space:]]+[a-z0-9]+,-?[0-9]+\(([astv][0-9])\)' ;;
*)
    echo "no forms known for the kernel on $processor: add its row"
    exit 1 ;;
esac
mask='0x(80808080|7f7f7f7f)|2155905152|2139062143|,0x(8080|7f7f)$|^constant (8080808080808080|7f7f7f7f7f7f7f7f)'

# check BINARY VARIANT FORM: whether negate_block_VARIANT in BINARY has FORM.
check() {
    # A function's code runs from its "ADDRESS <NAME(ARGS)>:" line to the next
    # such line; a part the compiler split off carries the same name.
    code=$(printf '%s\n' "$listing" | awk -v name="negate_block_$2(" '
        /^[0-9a-f]+ <.*>:$/ { inside = index($0, name) > 0; next }
        inside')
    if [ -z "$code" ]; then
        echo "$1: no function negate_block_$2"
        return 1
    fi
    if [ "$3" = packed ]; then
        wanted="packed byte subtractions:$packed"
    else
        # The 8 bytes at each address the code refers to outside itself (a
        # constant pool's entry, as RISC-V and IBM Z load the mask), as
        # "constant HEX" lines.
        constants=$(printf '%s\n' "$code" | grep -v '<[^>]*negate_block_' |
            sed -n 's/.*[[:space:],#@]\([0-9a-f][0-9a-f]*\) <[^>]*>$/\1/p' |
            sort -u | while read -r at; do
                "$objdump" -s --start-address="0x$at" --stop-address="$(printf '0x%x' $((0x$at + 8)))" \
                    "$1" | awk '/^ [0-9a-f]+ / { print "constant " $2 $3; exit }'
            done)
        code=$(printf '%s\n%s\n' "$code" "$constants")
        wanted=$(printf 'word loads:%s\nword stores:%s\nmasks of 0x80 bytes:%s' "$load" "$store" "$mask")
    fi
    found='' missing=''
    while IFS=: read -r what pattern; do
        if count=$(printf '%s\n' "$code" | grep -Ec -- "$pattern"); then
            found="$found, $count $what"
        else
            missing="$missing, no $what ($pattern)"
        fi
    done <<EOF
$wanted
EOF
    if [ -n "$missing" ]; then
        printf '%s: negate_block_%s is not in %s form: %s:\n%s\n' "$1" "$2" "$3" "${missing#, }" "$code"
        return 1
    fi
    echo "$1: negate_block_$2, $3: ${found#, }"
}

status=0
for binary in "$@"; do
    listing=$("$objdump" -d -C --no-show-raw-insn "$binary")
    for entry in $forms; do
        check "$binary" "${entry%%:*}" "${entry#*:}" || status=1
    done
done
exit "$status"
