#!/usr/bin/env bash
# Benchmark: byteneg against a plain copy and the usual alternatives, on each
# file system it is given.
#
#   bench/run.sh     (from anywhere; about 3 minutes with the defaults: three
#                     runs on a 2-core virtual machine took 2 min 42 s to
#                     3 min 7 s. The last line printed is the time it took.)
#
# Environment overrides:
#   RUNS=N          rounds for every table (default 7)
#   SIZE_MIB=N      input size for the command tables (default 256)
#   BENCH_DIRS=...  folders to measure in, separated by spaces (default: /dev/shm
#                   and a temporary folder on the file system holding the checkout)
#   BUILD_DIR=DIR   build folder (default: the checkout's build/, default preset)
#
# For each folder it prints, beside its file system type:
#   - byteneg, cat, dd, tr and the byte-at-a-time build on one SIZE_MIB input,
#     writing a new OUT (removed before each run) and overwriting an existing,
#     full-size OUT;
#   - byteneg and dd from 1 KiB to 1 GiB: time per run and per MiB, and the
#     peak resident memory of each program's own image.
# Every timed run is one command; runs alternate between the commands, after
# one untimed warm-up run of each. Before each run, untimed, OUT is removed or
# put back to full size, and sync() writes out what earlier runs left dirty so
# that no run pays for another's writeback. Inputs are read from the page cache.
# Other load on the machine shows up in the figures: the load average is
# printed at the start and at the end.
# Tables are Markdown. Temporary files (up to about 2 GiB per folder, and a
# 1 GiB random seed in the first) are removed on exit, also when interrupted.
set -euo pipefail
started=$SECONDS
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${RUNS:-7}
size_mib=${SIZE_MIB:-256}
[[ $runs =~ ^[1-9][0-9]*$ && $size_mib =~ ^[1-9][0-9]*$ ]] ||
    { echo "RUNS and SIZE_MIB must be positive whole numbers" >&2; exit 1; }

# --- Build -------------------------------------------------------------------
build=${BUILD_DIR:-$root/build}
cmake --preset default -S "$root" -B "$build" >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target byteneg byteneg_stdio measure >/dev/null
# negate_bench exists only if Google Benchmark was found when configuring.
kernel_bench=$build/bench/negate_bench
bench_pkg=$(sed -n 's/^benchmark_DIR:PATH=//p' "$build/CMakeCache.txt")
if [[ -n $bench_pkg && $bench_pkg != *-NOTFOUND ]]; then
    cmake --build "$build" --target negate_bench >/dev/null
else
    kernel_bench=
fi
measure=$build/bench/measure

# --- Folders -----------------------------------------------------------------
# A writable temporary folder on the file system that holds the checkout
# (/tmp is often tmpfs, so it is checked rather than assumed).
checkout_fs_dir() {
    local dev d
    dev=$(stat -c %d "$root")
    for d in "${TMPDIR:-}" /var/tmp /tmp; do
        if [[ -n $d && -d $d && -w $d && $(stat -c %d "$d") == "$dev" ]]; then
            echo "$d"
            return
        fi
    done
    echo "$root"
}
read -r -a dirs <<<"${BENCH_DIRS:-/dev/shm $(checkout_fs_dir)}"
((${#dirs[@]} > 0)) || { echo "BENCH_DIRS names no folder" >&2; exit 1; }

seed_mib=$((size_mib > 1024 ? size_mib : 1024))
# In, out, sweep in and out never coexist beyond this, plus the seed in the first.
need_mib=$((2 * seed_mib + 16))
for i in "${!dirs[@]}"; do
    d=${dirs[$i]}
    [[ -d $d && -w $d ]] || { echo "$d: not a writable folder" >&2; exit 1; }
    avail_mib=$(($(df -k --output=avail "$d" | tail -1) / 1024))
    want=$((i == 0 ? need_mib + seed_mib : need_mib))
    ((avail_mib >= want)) ||
        { echo "$d: $avail_mib MiB free, the benchmark needs $want MiB" >&2; exit 1; }
done

tmps=()
cleanup() { ((${#tmps[@]} == 0)) || rm -rf "${tmps[@]}"; }
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
for d in "${dirs[@]}"; do
    tmps+=("$(mktemp -d "$d/.byteneg-bench.XXXXXX")")
done
seed=${tmps[0]}/seed
head -c "${seed_mib}M" /dev/urandom >"$seed"

# --- Commands ----------------------------------------------------------------
# tr's way: map every byte to its negation.
set1='' set2=''
for ((b = 0; b < 256; b++)); do
    set1+=$(printf '\\%03o' "$b")
    set2+=$(printf '\\%03o' $(((256 - b) % 256)))
done

names=(byteneg "\`cat IN > OUT\`" "\`dd bs=128K\`" "\`tr\` with the 256-byte map"
    "byte-at-a-time (\`bench/byteneg_stdio.cpp\`)")
# One run of command $1 from $3 to $4, OUT new or existing ($2); prints seconds
# or, with more measure options after the fourth argument, what they ask for.
run_one() {
    local in=$3 out=$4
    local opts=(-s -r "$out")
    [[ $2 == existing ]] && opts+=(-e "$in")
    opts+=("${@:5}")
    case $1 in
    0) "$measure" "${opts[@]}" -- "$build/byteneg" "$in" "$out" ;;
    1) "$measure" "${opts[@]}" -o "$out" -- cat "$in" ;;
    2) "$measure" "${opts[@]}" -- dd if="$in" of="$out" bs=128K status=none ;;
    3) "$measure" "${opts[@]}" -i "$in" -o "$out" -- tr "$set1" "$set2" ;;
    4) "$measure" "${opts[@]}" -- "$build/bench/byteneg_stdio" "$in" "$out" ;;
    esac
}
# One untimed run of each command given. On a virtual machine, memory the guest
# has not touched lately can be slow to fault in, and the first run of a table
# would pay for it; here the measured runs find it ready.
warm_up() { # case, input, output, command indexes...
    local i
    for i in "${@:4}"; do
        run_one "$i" "$1" "$2" "$3" >/dev/null
    done
}
median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

# Check once that the tools agree before timing them.
head -c 1M "$seed" >"${tmps[0]}/in"
"$build/byteneg" "${tmps[0]}/in" "${tmps[0]}/a"
tr "$set1" "$set2" <"${tmps[0]}/in" >"${tmps[0]}/b"
cmp -s "${tmps[0]}/a" "${tmps[0]}/b" || { echo "byteneg and tr disagree" >&2; exit 1; }
rm -f "${tmps[0]}/in" "${tmps[0]}/a" "${tmps[0]}/b"

# Peak memory needs ptrace, which some containers forbid.
mem_opt=(-m)
if ! "$measure" -m -- true >/dev/null 2>"${tmps[0]}/err"; then
    mem_opt=()
    mem_why=$(head -1 "${tmps[0]}/err")
fi

commit=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)
if [[ $commit != unknown ]] && ! git -C "$root" --no-optional-locks diff --quiet HEAD -- src; then
    commit+=" with local changes in src/"
fi
echo "## byteneg benchmark"
echo
echo "- machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo) RAM, Linux $(uname -r)"
echo "- byteneg: commit $commit, $(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt") build with $(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt" | xargs basename) in $build"
echo "- load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "- $runs alternating runs of each command per table; sync() and OUT's removal or refill, before each run, are not timed"

# --- Per file system ---------------------------------------------------------
for k in "${!dirs[@]}"; do
    d=${dirs[$k]} t=${tmps[$k]}
    fstype=$(df --output=fstype "$d" | tail -1)
    where="$fstype (\`$d\`)"
    echo
    echo "### $where"

    head -c "${size_mib}M" "$seed" >"$t/in"
    for case in new existing; do
        warm_up "$case" "$t/in" "$t/out" "${!names[@]}"
        for ((r = 0; r < runs; r++)); do
            for i in "${!names[@]}"; do
                run_one "$i" "$case" "$t/in" "$t/out" >>"$t/t.$case.$i"
            done
        done
        rm -f "$t/out"
        echo
        if [[ $case == new ]]; then
            echo "$where, $size_mib MiB, new OUT (removed before each run), median of $runs:"
        else
            echo "$where, $size_mib MiB, existing full-size OUT overwritten, median of $runs:"
        fi
        echo
        echo "| command | median s | byteneg's time / command's time |"
        echo "|---|---|---|"
        base=$(median <"$t/t.$case.0")
        for i in "${!names[@]}"; do
            m=$(median <"$t/t.$case.$i")
            awk -v n="${names[$i]}" -v m="$m" -v b="$base" \
                'BEGIN {printf "| %s | %.3f | %.2f |\n", n, m, b / m}'
        done
    done
    rm -f "$t/in"

    # Size sweep: small sizes repeat within one measurement to rise above the
    # clock's and the scheduler's noise; each figure is still per run.
    echo
    echo "$where, byteneg and \`dd bs=128K\` by input size, new OUT, median of $runs:"
    echo
    echo "| size | byteneg ms/run | dd ms/run | byteneg ms/MiB | dd ms/MiB | byteneg / dd | byteneg peak KiB | dd peak KiB |"
    echo "|---|---|---|---|---|---|---|---|"
    for row in "1 KiB:1K:50" "1 MiB:1M:20" "16 MiB:16M:4" "256 MiB:256M:1" "1 GiB:1G:1"; do
        IFS=: read -r label bytes repeat <<<"$row"
        mib=$(numfmt --from=iec "$bytes" | awk '{print $1 / 1048576}')
        head -c "$bytes" "$seed" >"$t/in"
        : >"$t/s.0"
        : >"$t/s.2"
        peak=(n/a n/a n/a)
        warm_up new "$t/in" "$t/out" 0 2
        for ((r = 0; r < runs; r++)); do
            for i in 0 2; do
                extra=(-n "$repeat")
                ((r == 0)) && extra+=("${mem_opt[@]}")
                got=$(run_one "$i" new "$t/in" "$t/out" "${extra[@]}")
                read -r secs kib <<<"$got"
                echo "$secs" >>"$t/s.$i"
                [[ -z $kib ]] || peak[i]=$kib
            done
        done
        rm -f "$t/in" "$t/out"
        a=$(median <"$t/s.0")
        b=$(median <"$t/s.2")
        awk -v l="$label" -v a="$a" -v b="$b" -v mib="$mib" -v pa="${peak[0]}" -v pb="${peak[2]}" \
            'BEGIN {printf "| %s | %.3f | %.3f | %.2f | %.2f | %.2f | %s | %s |\n",
                    l, a * 1e3, b * 1e3, a * 1e3 / mib, b * 1e3 / mib, a / b, pa, pb}'
    done
    ((${#mem_opt[@]} > 0)) || printf '\nPeak memory not measured: %s\n' "$mem_why"
done

# --- Block kernel ------------------------------------------------------------
echo
if [[ -n $kernel_bench ]]; then
    echo "Block kernel in cache (Google Benchmark, \`negate_bench\`):"
    echo
    echo '```'
    "$kernel_bench" --benchmark_min_time=0.5 2>/dev/null | grep negate_block
    echo '```'
else
    echo "Block kernel: skipped; Google Benchmark (libbenchmark-dev) was not found when $build was configured, so negate_bench was not built."
fi

elapsed=$((SECONDS - started))
echo
echo "Load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)."
echo
echo "Total time: $((elapsed / 60)) min $((elapsed % 60)) s"
