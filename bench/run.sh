#!/usr/bin/env bash
# Benchmark: byteneg against a plain copy and the usual alternatives, on each
# file system it is given; hyperfine times, GNU time gives peak memory.
#
#   bench/run.sh    (5½ to 8 minutes with the defaults on a 2-core machine under
#                    a load average of 6 to 11; the last line says how long it took)
#
# Environment overrides:
#   RUNS=N          runs of each command per table (default 7)
#   SIZE_MIB=N      input size for the command tables (default 256)
#   BENCH_DIRS=...  folders to measure in, separated by spaces (default: /dev/shm
#                   and a temporary folder on the file system holding the checkout)
#   BUILD_DIR=DIR   build folder (default: the checkout's build/, default preset);
#                   DIR-dpkg gets a build with Debian's packaging flags
#
# Per folder: byteneg (both builds), cat, dd, tr and the byte-at-a-time build on
# one SIZE_MIB input, for a new OUT and for an existing full-size one; then
# byteneg and dd from 1 KiB to 1 GiB, with each one's peak resident memory;
# then 1,000 files of 1 MiB, one run of byteneg each through find and xargs, one
# run at a time (-P 1) and two at once (-P 2); then a sparse file of 4 GiB with
# 8 MiB of data, against cp --sparse=auto and dd conv=sparse, with the blocks
# each one's OUT takes.
# hyperfine runs each command once untimed, then RUNS times in a row (the sweep
# up to 10 x RUNS, for small inputs). Before each run, untimed, OUT is removed
# or refilled, and sync writes out what earlier runs left dirty. Inputs are read
# from the page cache. Load on the machine shows in the figures: the report has
# the load average at the start and the end, and CPU time beside wall time.
# Tables are Markdown, with hyperfine's medians; the report and hyperfine's JSON
# and CSV are kept in DIR/bench-results/DATE/. Temporary files (up to 2.3 GiB
# per folder) are removed on exit, also when interrupted.
set -euo pipefail
started=$SECONDS
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${RUNS:-7}
size_mib=${SIZE_MIB:-256}
[[ $runs =~ ^[1-9][0-9]*$ && $size_mib =~ ^[1-9][0-9]*$ ]] ||
    { echo "RUNS and SIZE_MIB must be positive whole numbers" >&2; exit 1; }
command -v hyperfine >/dev/null || { echo "hyperfine is needed (Debian package hyperfine)" >&2; exit 1; }

# --- Build -------------------------------------------------------------------
build=${BUILD_DIR:-$root/build}
cmake --preset default -S "$root" -B "$build" >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target byteneg byteneg_stdio >/dev/null
# negate_bench exists only if Google Benchmark was found when configuring.
kernel_bench=
if grep -q '^benchmark_DIR:PATH=.*[^D]$' "$build/CMakeCache.txt"; then
    cmake --build "$build" --target negate_bench >/dev/null
    kernel_bench=$build/bench/negate_bench
fi
# What a distribution's package would run: Debian's flags, no build type's own.
deb=
if command -v dpkg-buildflags >/dev/null; then
    deb=${build%/}-dpkg
    deb_flags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
    cmake -S "$root" -B "$deb" -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_COMPILER=g++ \
        -DCMAKE_CXX_FLAGS="$deb_flags" -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
        -DBYTENEG_TESTS=OFF -DBYTENEG_BENCH=OFF >/dev/null
    cmake --build "$deb" --target byteneg >/dev/null
fi

# --- Folders -----------------------------------------------------------------
# A writable temporary folder on the file system that holds the checkout
# (/tmp is often tmpfs, so it is checked rather than assumed).
disk=$root
for d in /tmp /var/tmp "${TMPDIR:-}"; do # the last that fits wins
    [[ -n $d && -d $d && -w $d && $(stat -c %d "$d") == $(stat -c %d "$root") ]] && disk=$d
done
read -r -a dirs <<<"${BENCH_DIRS:-/dev/shm $disk}"
((${#dirs[@]} > 0)) || { echo "BENCH_DIRS names no folder" >&2; exit 1; }
# The sweep's inputs (1297 MiB) and its OUT, or the tables' IN and OUT; the
# 1 GiB input, 1,000 files cut from it and their copies.
need_mib=$((1297 + (size_mib > 512 ? 2 * size_mib : 1024)))
((need_mib >= 3024)) || need_mib=3024
for d in "${dirs[@]}"; do
    [[ -d $d && -w $d ]] || { echo "$d: not a writable folder" >&2; exit 1; }
    avail=$(($(df -k --output=avail "$d" | tail -1) / 1024))
    ((avail >= need_mib)) || { echo "$d: $avail MiB free, the benchmark needs $need_mib MiB" >&2; exit 1; }
done
res=$build/bench-results/$(date -u +%Y%m%dT%H%M%SZ)
mkdir -p "$res"

# tr's way: map every byte to its negation.
SET1=$(awk 'BEGIN {for (b = 0; b < 256; b++) printf "\\%03o", b}')
SET2=$(awk 'BEGIN {for (b = 0; b < 256; b++) printf "\\%03o", (256 - b) % 256}')
export SET1 SET2 IN OUT FILES COPIES BYTENEG=$build/byteneg
# hyperfine runs each command as its words, without a shell; a path goes in quotes.
q() { printf "'%s'" "$1"; }
# Its notes and warnings go to a log; they are shown if it fails.
hf() { hyperfine -N --style basic --warmup 1 "$@" >>"$res/hyperfine.log" 2>&1 || { tail -3 "$res/hyperfine.log" >&2; exit 1; }; }
memory() { # prints the peak resident KiB of a command, run once on a new OUT
    rm -f "$OUT"
    if [[ -x /usr/bin/time ]]; then /usr/bin/time -f %M -o "$t/mem" "$@" && cat "$t/mem"; else echo n/a; fi
}

report() {
    tmps=()
    trap '((${#tmps[@]} == 0)) || rm -rf "${tmps[@]}"' EXIT
    trap 'exit 130' INT TERM HUP
    for d in "${dirs[@]}"; do tmps+=("$(mktemp -d "$d/.byteneg-bench.XXXXXX")"); done
    sizes=(1K 1M 16M 256M 1G)
    head -c 1G /dev/urandom >"${tmps[0]}/in.1G"

    # Check once that the tools agree before timing them.
    t=${tmps[0]} IN=${tmps[0]}/in.1M OUT=${tmps[0]}/out
    head -c 1M "$t/in.1G" >"$IN"
    tr "$SET1" "$SET2" <"$IN" >"$t/tr"
    for b in "$build" ${deb:+"$deb"}; do
        "$b/byteneg" "$IN" "$OUT"
        cmp -s "$OUT" "$t/tr" || { echo "$b/byteneg and tr disagree" >&2; exit 1; }
    done

    commit=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)
    [[ $commit == unknown ]] || git -C "$root" --no-optional-locks diff --quiet HEAD -- src 2>/dev/null || commit+=" with local changes in src/"
    cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
    printf '## byteneg benchmark\n\n'
    echo "- $(date -u '+%Y-%m-%d %H:%M UTC'); machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo) RAM, Linux $(uname -r)"
    echo "- byteneg: commit $commit, $(cache CMAKE_BUILD_TYPE) build with $(basename "$(cache CMAKE_CXX_COMPILER)") in $build"
    [[ -z $deb ]] || echo "- Debian's packaging flags (CMAKE_BUILD_TYPE=None): $deb_flags, in $deb"
    [[ -x /usr/bin/time ]] || echo "- no GNU time (Debian package time): peak memory not measured"
    echo "- load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
    echo "- each table: one untimed run, then $runs runs of each command in a row; sync and OUT's removal or refill, before each run, are not timed"
    echo "- hyperfine's JSON and CSV, and this report: $res"

    for k in "${!dirs[@]}"; do
        d=${dirs[$k]} t=${tmps[$k]}
        fs=$(df --output=fstype "$d" | tail -1)
        name=$k-$fs IN=$t/in OUT=$t/out
        printf '\n### %s\n' "$fs (\`$d\`)"

        [[ -e $t/in.1G ]] || cp "${tmps[0]}/in.1G" "$t/in.1G"
        for s in "${sizes[@]:0:4}"; do head -c "$s" "$t/in.1G" >"$t/in.$s"; done
        if ((size_mib <= 1024)); then head -c "${size_mib}M" "$t/in.1G" >"$IN"; else head -c "${size_mib}M" /dev/urandom >"$IN"; fi
        cmds=(-n byteneg "$(q "$build/byteneg") $(q "$IN") $(q "$OUT")")
        [[ -z $deb ]] || cmds+=(-n "byteneg built with \`dpkg-buildflags\`" "$(q "$deb/byteneg") $(q "$IN") $(q "$OUT")")
        cmds+=(-n "\`cat IN > OUT\` (through \`sh -c\`)" "sh -c 'cat \"\$IN\" >\"\$OUT\"'"
            -n "\`dd bs=128K\`" "dd if=$(q "$IN") of=$(q "$OUT") bs=128K status=none"
            -n "\`tr\` with the 256-byte map (through \`sh -c\`)" "sh -c 'tr \"\$SET1\" \"\$SET2\" <\"\$IN\" >\"\$OUT\"'"
            -n "byte-at-a-time (\`bench/byteneg_stdio.cpp\`)" "$(q "$build/bench/byteneg_stdio") $(q "$IN") $(q "$OUT")")
        # shellcheck disable=SC2016 # for the sh that hyperfine starts to expand
        for case in 'new OUT (removed before each run)|rm -f "$OUT"' \
            'existing full-size OUT overwritten|[ "$(stat -c %s "$OUT" 2>/dev/null)" = "$(stat -c %s "$IN")" ] || cp "$IN" "$OUT"'; do
            IFS='|' read -r what prep <<<"$case"
            hf --runs "$runs" --prepare "sh -c '$prep && sync'" "${cmds[@]}" \
                --export-json "$res/$name-${what%% *}.json" --export-csv "$res/$name-${what%% *}.csv"
            printf '\n%s\n\n%s\n%s\n' "$fs, $size_mib MiB, $what, median of $runs:" \
                "| command | median s | byteneg's time / command's time | CPU s (user + system, mean) |" "|---|---|---|---|"
            awk -F, 'NR == 2 {b = $4} NR > 1 {printf "| %s | %.3f | %.2f | %.3f |\n", $1, $4, b / $4, $5 + $6}' "$res/$name-${what%% *}.csv"
        done
        rm -f "$IN" "$OUT"

        # The sweep's inputs all exist at once: hyperfine takes them as a list.
        hf --min-runs "$runs" --max-runs $((10 * runs)) \
            --prepare "sh -c 'rm -f \"\$OUT\" && sync'" -L size "$(IFS=,; echo "${sizes[*]}")" \
            --export-json "$res/$name-sizes.json" --export-csv "$res/$name-sizes.csv" \
            "$(q "$build/byteneg") $(q "$t/in.{size}") $(q "$OUT")" \
            "dd if=$(q "$t/in.{size}") of=$(q "$OUT") bs=128K status=none"
        for s in "${sizes[@]}"; do
            echo "$s $(memory "$build/byteneg" "$t/in.$s" "$OUT") $(memory dd if="$t/in.$s" of="$OUT" bs=128K status=none)"
        done >"$t/mem.all"
        printf '\n%s\n\n%s\n%s\n' "$fs, byteneg and \`dd bs=128K\` by input size, new OUT, median of $runs to $((10 * runs)) runs:" \
            "| size | byteneg ms/run | dd ms/run | byteneg ms/MiB | dd ms/MiB | byteneg / dd | byteneg peak KiB | dd peak KiB |" \
            "|---|---|---|---|---|---|---|---|"
        awk 'NR == FNR {if (FNR > 1) m[$1 ~ /^dd / ? "d" : "b", $9] = $4 * 1e3; next}
            {mib = $1 ~ /G$/ ? 1024 * $1 : $1 ~ /K$/ ? 0 : $1 + 0; b = m["b", $1]; d = m["d", $1]; sub(/.$/, " &iB", $1)
             printf "| %s | %.3f | %.3f | %s | %s | %.2f | %s | %s |\n", $1, b, d, mib ? sprintf("%.2f", b / mib) : "—",
                 mib ? sprintf("%.2f", d / mib) : "—", b / d, $2, $3}' FS=, "$res/$name-sizes.csv" FS=' ' "$t/mem.all"
        rm -f "$t"/in.*[KM] "$OUT"

        # Many files, as the README negates a tree: each file by a run of its
        # own, started by xargs, with OUT in another tree.
        FILES=$t/files COPIES=$t/copies
        mkdir "$FILES"
        head -c 1000M "$t/in.1G" | (cd "$FILES" && split -b 1M -a 3 -d - f)
        # shellcheck disable=SC2016 # for the sh that hyperfine starts to expand
        hf --runs "$runs" --prepare "sh -c 'rm -rf \"\$COPIES\" && mkdir \"\$COPIES\" && sync'" -L jobs 1,2 \
            --export-json "$res/$name-files.json" --export-csv "$res/$name-files.csv" \
            -n "xargs -P {jobs}" "sh -c 'cd \"\$FILES\" && find . -type f -print0 | xargs -0 -P {jobs} -I{} \"\$BYTENEG\" {} \"\$COPIES/{}\"'"
        if [[ $(find "$COPIES" -type f | wc -l) != 1000 ]] || ! "$BYTENEG" "$COPIES/f999" "$t/back" ||
            ! cmp -s "$FILES/f999" "$t/back"; then
            echo "find | xargs did not negate the 1,000 files" >&2
            exit 1
        fi
        printf '\n%s\n\n%s\n%s\n' "$fs, 1,000 files of 1 MiB, \`find | xargs -0 -P N\`, one byteneg run per file, median of $runs:" \
            "| runs at once | median s | MiB/s | CPU s (user + system, mean) | speed-up over -P 1 |" "|---|---|---|---|---|"
        awk -F, 'NR == 2 {one = $4} NR > 1 {printf "| %s | %.2f | %.0f | %.2f | %.2f |\n", $1, $4, 1000 / $4, $5 + $6, one / $4}' \
            "$res/$name-files.csv"
        rm -rf "$FILES" "$COPIES" "$t/back"

        # A sparse file, as a disk image or a database is: 4 GiB that hold
        # 8 MiB of data in 8 ranges. The tools that pass over holes.
        SPARSE=$t/sparse
        truncate -s 4G "$SPARSE"
        for i in 0 1 2 3 4 5 6 7; do
            head -c 1M "$t/in.1G" | dd of="$SPARSE" bs=1M seek=$((i * 512 + 100)) conv=notrunc status=none
        done
        sparse_cmds=("$(q "$build/byteneg") $(q "$SPARSE") $(q "$OUT")"
            "cp --sparse=auto $(q "$SPARSE") $(q "$OUT")"
            "dd if=$(q "$SPARSE") of=$(q "$OUT") bs=128K conv=sparse status=none")
        # shellcheck disable=SC2016 # for the sh that hyperfine starts to expand
        hf --runs "$runs" --prepare "sh -c 'rm -f \"\$OUT\" && sync'" \
            --export-json "$res/$name-sparse.json" --export-csv "$res/$name-sparse.csv" \
            -n byteneg "${sparse_cmds[0]}" -n "\`cp --sparse=auto\`" "${sparse_cmds[1]}" \
            -n "\`dd bs=128K conv=sparse\`" "${sparse_cmds[2]}"
        for c in "${sparse_cmds[@]}"; do # OUT's blocks after a run of each
            rm -f "$OUT" && eval "$c" && stat -c %b "$OUT"
        done >"$t/blocks"
        printf '\n%s\n\n%s\n%s\n' "$fs, a sparse 4 GiB file with 8 MiB of data in 8 ranges, new OUT, median of $runs:" \
            "| command | median s | byteneg's time / command's time | CPU s (user + system, mean) | OUT's 512-byte blocks |" "|---|---|---|---|---|"
        awk -F, 'NR == FNR {blocks[FNR] = $1; next} FNR == 2 {b = $4}
            FNR > 1 {printf "| %s | %.3f | %.2f | %.3f | %s |\n", $1, $4, b / $4, $5 + $6, blocks[FNR - 1]}' \
            "$t/blocks" "$res/$name-sparse.csv"
        rm -f "$SPARSE" "$OUT"
        ((k == 0)) || rm -f "$t/in.1G"
    done

    if [[ -n $kernel_bench ]]; then
        printf '\n%s\n\n%s\n' "Block kernel in cache (Google Benchmark, \`negate_bench\`):" '```'
        "$kernel_bench" --benchmark_min_time=0.5 2>/dev/null
        echo '```'
    else
        printf '\n%s\n' "Block kernel: skipped; Google Benchmark (libbenchmark-dev) was not found when $build was configured."
    fi
    printf '\nLoad average at the end: %s.\n\n' "$(cut -d' ' -f1-3 /proc/loadavg)"
    echo "Total time: $(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s"
}
report | tee "$res/report.md"
