#!/usr/bin/env bash
# Benchmark: byteneg against a plain copy and the usual alternatives.
#
#   bench/run.sh            (from the checkout; RUNS=N for more rounds)
#
# Builds Release, makes a 256 MiB random file on tmpfs and times each command,
# alternating between them, with the previous output removed before every run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${RUNS:-7}
size_mib=${SIZE_MIB:-256}

cmake --preset default -S "$root" >/dev/null
cmake --build "$root/build" --target byteneg byteneg_stdio measure negate_bench >/dev/null
build=$root/build
measure=$build/bench/measure

dir=$(mktemp -d /dev/shm/byteneg-bench.XXXXXX)
trap 'rm -rf "$dir"' EXIT
head -c "${size_mib}M" /dev/urandom >"$dir/in"
head -c 1M /dev/urandom >"$dir/in1m"
head -c 1K /dev/urandom >"$dir/in1k"

# tr's way: map every byte to its negation.
set1='' set2=''
for ((b = 0; b < 256; b++)); do
    set1+=$(printf '\\%03o' "$b")
    set2+=$(printf '\\%03o' $(((256 - b) % 256)))
done

names=(byteneg cat "dd bs=128K" tr "byte-at-a-time")
run_one() { # index, input, output -> seconds
    local in=$2 out=$3
    case $1 in
    0) "$measure" -r "$out" -- "$build/byteneg" "$in" "$out" ;;
    1) "$measure" -r "$out" -o "$out" -- cat "$in" ;;
    2) "$measure" -r "$out" -- dd if="$in" of="$out" bs=128K status=none ;;
    3) "$measure" -r "$out" -i "$in" -o "$out" -- tr "$set1" "$set2" ;;
    4) "$measure" -r "$out" -- "$build/bench/byteneg_stdio" "$in" "$out" ;;
    esac | cut -d' ' -f1
}
median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

# Check once that the tools agree before timing them.
"$build/byteneg" "$dir/in1m" "$dir/a"
tr "$set1" "$set2" <"$dir/in1m" >"$dir/b"
cmp -s "$dir/a" "$dir/b" || { echo "byteneg and tr disagree" >&2; exit 1; }
rm -f "$dir/a" "$dir/b"

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), input on $(df --output=fstype /dev/shm | tail -1)"
echo
echo "${size_mib} MiB, median of $runs alternating runs:"
for ((r = 0; r < runs; r++)); do
    for i in "${!names[@]}"; do
        run_one "$i" "$dir/in" "$dir/out" >>"$dir/t$i"
    done
done
rm -f "$dir/out"
base=$(median <"$dir/t0")
echo
echo "| command | median s | byteneg's time / command's time |"
echo "|---|---|---|"
for i in "${!names[@]}"; do
    m=$(median <"$dir/t$i")
    awk -v n="${names[$i]}" -v m="$m" -v b="$base" 'BEGIN {printf "| %s | %.3f | %.2f |\n", n, m, b / m}'
done

echo
echo "Peak resident memory of byteneg:"
for f in in1m in; do
    kib=$("$measure" -r "$dir/out" -- "$build/byteneg" "$dir/$f" "$dir/out" | cut -d' ' -f2)
    echo "  $f: ${kib} KiB"
done

echo
echo "1 KiB input, time per run (200 runs a round, median of $runs rounds):"
: >"$dir/s0"
: >"$dir/s1"
for ((r = 0; r < runs; r++)); do
    "$measure" -n 200 -r "$dir/out" -- "$build/byteneg" "$dir/in1k" "$dir/out" | cut -d' ' -f1 >>"$dir/s0"
    "$measure" -n 200 -r "$dir/out" -o "$dir/out" -- cat "$dir/in1k" | cut -d' ' -f1 >>"$dir/s1"
done
s0=$(median <"$dir/s0")
s1=$(median <"$dir/s1")
awk -v a="$s0" -v b="$s1" 'BEGIN {printf "  byteneg %.0f us, cat %.0f us, ratio %.2f\n", a * 1e6, b * 1e6, a / b}'

echo
echo "Block kernel (Google Benchmark):"
"$build/bench/negate_bench" --benchmark_min_time=0.5 2>/dev/null | grep negate_block
