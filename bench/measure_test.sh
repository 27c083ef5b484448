#!/usr/bin/env bash
# Checks the benchmark's timing helper: what it does to OUT before each run,
# its redirections, its exit status and the peak memory it reports.
#   measure_test.sh MEASURE
set -uo pipefail
measure=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
src=$dir/src out=$dir/out
head -c 5000 /dev/urandom >"$src"
failures=0

# Each row: expected status | how OUT starts (none, short, same-size) | arguments.
# The commands check, from inside the timed part, the state measure left.
cases=(
    "0|none|-n 3 -r $out -- sh -c 'test ! -e $out && : >$out'"
    "0|short|-r $out -e $src -- cmp -s $src $out"
    "0|none|-r $out -e $src -- cmp -s $src $out"
    "0|same-size|-n 2 -r $out -e $src -- sh -c '! cmp -s $src $out'"
    "0|none|-s -i $src -o $out -- sh -c 'cat && cmp -s $src $out'"
    "2|none|-- false"
    "2|none|-- sh -c 'kill -TERM \$\$'"
    "2|none|-- /nonexistent/program"
    "2|none|-i $dir/missing -- cat"
    "2|none|-n 0 -- true"
    "2|none|-n 2x -- true"
    "1|none|-e $src -- true"
    "1|none|-r $out"
)
for row in "${cases[@]}"; do
    IFS='|' read -r want start args <<<"$row"
    rm -f "$out"
    case $start in
    short) echo x >"$out" ;;
    same-size) head -c 5000 /dev/zero >"$out" ;;
    esac
    eval "set -- $args"
    got_out=$("$measure" "$@" 2>/dev/null)
    got=$?
    if [[ $got != "$want" ]]; then
        echo "FAIL: measure $args: status $got, expected $want"
        failures=$((failures + 1))
    elif [[ $want == 0 && ! $got_out =~ ^[0-9]+\.[0-9]{6}$ ]]; then
        echo "FAIL: measure $args: printed '$got_out', expected seconds alone"
        failures=$((failures + 1))
    fi
done

# Peak memory is read under ptrace; a container may forbid it.
if ! "$measure" -m -- true >/dev/null 2>&1; then
    echo "skipped the peak memory rows: ptrace is not permitted here"
else
    # Each row: lowest KiB | highest KiB | arguments. dd touches all of its
    # 64 MiB buffer; a command that execs or is sent a signal is followed
    # through, and OUT is prepared for the extra run as for the timed ones.
    mem_cases=(
        "1|16384|-- true"
        "65536|98304|-- dd if=/dev/zero of=/dev/null bs=64M count=1 status=none"
        "65536|98304|-- sh -c 'exec dd if=/dev/zero of=/dev/null bs=64M count=1 status=none'"
        "1|16384|-- sh -c 'trap \"exit 0\" USR1; kill -USR1 \$\$; exit 3'"
        "1|16384|-n 2 -r $out -- sh -c 'test ! -e $out && : >$out'"
    )
    for row in "${mem_cases[@]}"; do
        IFS='|' read -r low high args <<<"$row"
        eval "set -- $args"
        got_out=$("$measure" -m "$@" 2>/dev/null)
        got=$?
        read -r _ kib <<<"$got_out"
        if [[ $got != 0 || ! $kib =~ ^[0-9]+$ ]]; then
            echo "FAIL: measure -m $args: status $got, printed '$got_out'"
            failures=$((failures + 1))
        elif ((kib < low || kib > high)); then
            echo "FAIL: measure -m $args: peak $kib KiB, expected $low to $high"
            failures=$((failures + 1))
        fi
    done
fi

((failures == 0)) && echo "measure: all cases passed"
exit $((failures > 0))
