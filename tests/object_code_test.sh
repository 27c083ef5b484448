#!/bin/sh
# Checks the shape of the block kernel's object code in a built binary: each
# variant named must hold packed byte subtractions, so that no build's flags,
# compiler or target has quietly turned it into a loop over single bytes.
#
# Usage: object_code_test.sh OBJDUMP BINARY PATTERN VARIANT...
#   PATTERN  an extended regular expression that matches one such instruction
#   VARIANT  looked for as the function negate_block_VARIANT
set -eu
objdump=$1
binary=$2
pattern=$3
shift 3

listing=$("$objdump" -d -C --no-show-raw-insn "$binary")
status=0
for variant in "$@"; do
    # A function's code runs from its "ADDRESS <NAME(ARGS)>:" line to the next
    # such line; a part the compiler split off carries the same name.
    code=$(printf '%s\n' "$listing" | awk -v name="negate_block_$variant(" '
        /^[0-9a-f]+ <.*>:$/ { inside = index($0, name) > 0; next }
        inside')
    if [ -z "$code" ]; then
        echo "$binary: no function negate_block_$variant"
        status=1
    elif ! count=$(printf '%s\n' "$code" | grep -Ec "$pattern"); then
        printf '%s: negate_block_%s has nothing that matches %s:\n%s\n' \
            "$binary" "$variant" "$pattern" "$code"
        status=1
    else
        echo "negate_block_$variant: $count packed subtractions"
    fi
done
exit "$status"
