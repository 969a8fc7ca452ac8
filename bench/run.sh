#!/usr/bin/env bash
# Times the converter against two floor programs, alternately, on synthetic inputs: the
# parsing floor (reads and splits the input, one writev per file) and the kernel floor
# (reads the input and throws it away, then creates files of the same names and sizes from
# one constant buffer: the kernel's work alone), from one thread and from as many as the
# converter uses by default (the parallel kernel floor). The converter runs with its
# default threads and with --threads 1; a re-run over a complete tree against the kernel's
# own cost of replacing each file.
#   bench/run.sh BUILD_DIR [MEGABYTES...]     (default sizes: 100 1000)
# Environment: RUNS (default 5), BENCH_DIR (default /dev/shm/ms2split-bench, tmpfs keeps
# file creation from being dominated by the disk), PARALLEL_MB (size of each of the eight
# inputs for the parallel run, default 25), CONVERTER (another ms2split to time, an older
# build, say, instead of BUILD_DIR's).
set -euo pipefail
build=$(cd "${1:?usage: bench/run.sh BUILD_DIR [MEGABYTES...]}" && pwd)
shift
sizes=(100 1000)
[ $# -eq 0 ] || sizes=("$@")
runs=${RUNS:-5}
work=${BENCH_DIR:-/dev/shm/ms2split-bench}
parallel_mb=${PARALLEL_MB:-25}
converter=${CONVERTER:-$build/ms2split} floor=$build/bench/ms2_floor measure=$build/bench/measure
kernel_floor=$build/bench/kernel_floor
threads=$(nproc)  # what the converter takes by default
((threads > 8)) && threads=8
mkdir -p "$work"

# input NAME MEGABYTES SEED: generated once, reused by later benchmark runs.
input() {
    local file=$work/$1.ms2
    [ -s "$file" ] || "$build/bench/gen_ms2" "$2" "$3" "$file"
    echo "$file"
}

# run PROGRAM INPUT [ARGUMENT...]: one timed conversion into a fresh output directory.
run() {
    local tree=${2%.gz}
    tree=${tree%.zst}
    rm -rf "${tree%.ms2}"
    rerun "$@"
}

# rerun PROGRAM INPUT [ARGUMENT...]: one timed conversion over what the last one left.
rerun() {
    sleep 1  # lets the kernel finish freeing the last tree before the clock starts
    "$measure" "$@" 2>&1 > /dev/null
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
column_median() { awk -v c="$1" '{ print $c }' "$2" | median; }

# report LABEL TIMES_FILE BYTES FILES: one line of medians.
report() {
    awk -v l="$1" -v w="$(column_median 1 "$2")" -v u="$(column_median 2 "$2")" \
        -v s="$(column_median 3 "$2")" -v r="$(column_median 4 "$2")" -v b="$3" -v f="$4" \
        'BEGIN { printf "  %-9s wall %7.3f s  user %6.3f s  sys %6.3f s  %7.1f MB/s  %8.0f files/s  peak RSS %5.2f MiB\n",
                 l, w, u, s, b / w / 1e6, f / w, r / 1024 }'
}

for mb in "${sizes[@]}"; do
    file=$(input "size$mb" "$mb" 7)
    bytes=$(stat -c %s "$file")
    tree=${file%.ms2}
    # The floor is only a yardstick if it writes exactly what the converter writes.
    rm -rf "$tree" "$tree.floor"
    "$floor" "$file" && mv "$tree" "$tree.floor"
    "$converter" "$file" > /dev/null
    diff -r -q "$tree" "$tree.floor" > /dev/null || { echo "floor and converter trees differ for $file" >&2; exit 1; }
    files=$(find "$tree" -type f | wc -l)
    find "$tree" -type f -printf '%p %s\n' > "$work/files.list"  # for the kernel floor
    rm -rf "$tree" "$tree.floor"
    : > "$work/converter.times"; : > "$work/one.times"; : > "$work/floor.times"
    : > "$work/kernel.times"; : > "$work/kernels.times"
    for ((i = 0; i < runs; i++)); do
        run "$converter" "$file" >> "$work/converter.times"
        run "$converter" "$file" --threads 1 >> "$work/one.times"
        run "$floor" "$file" >> "$work/floor.times"
        run "$kernel_floor" "$file" "$work/files.list" "$tree" >> "$work/kernel.times"
        run "$kernel_floor" "$file" "$work/files.list" "$tree" "$threads" >> "$work/kernels.times"
    done
    # Over the complete tree of an earlier run, every file replaces one; the re-run floor
    # writes each under a temporary name and renames it over the old one.
    "$converter" "$file" > /dev/null
    : > "$work/rerun.times"; : > "$work/rerun_kernel.times"
    for ((i = 0; i < runs; i++)); do
        rerun "$converter" "$file" --threads 1 >> "$work/rerun.times"
        rerun "$kernel_floor" "$file" "$work/files.list" "$tree" replace >> "$work/rerun_kernel.times"
    done
    rm -rf "$tree"
    echo "$mb MB input: $bytes bytes, $files DTA files, median of $runs runs each"
    report ms2split "$work/converter.times" "$bytes" "$files"
    report "-j 1" "$work/one.times" "$bytes" "$files"
    report "re-run -j1" "$work/rerun.times" "$bytes" "$files"
    report floor "$work/floor.times" "$bytes" "$files"
    report kernel "$work/kernel.times" "$bytes" "$files"
    report "kernel -j$threads" "$work/kernels.times" "$bytes" "$files"
    report "re-kernel" "$work/rerun_kernel.times" "$bytes" "$files"
    awk -v c="$(column_median 1 "$work/converter.times")" -v o="$(column_median 1 "$work/one.times")" \
        -v f="$(column_median 1 "$work/floor.times")" -v k="$(column_median 1 "$work/kernel.times")" \
        -v ks="$(column_median 1 "$work/kernels.times")" -v r="$(column_median 1 "$work/rerun.times")" \
        -v rk="$(column_median 1 "$work/rerun_kernel.times")" -v t="$threads" \
        'BEGIN { printf "  ratios: -j1 / kernel floor %.3f, -j1 / floor %.3f; default (%d threads) / parallel kernel floor %.3f, / kernel floor %.3f; re-run -j1 / re-run floor %.3f\n",
                 o / k, o / f, t, c / ks, c / k, r / rk }'
done

# gzip: the first size again, compressed, against decompressing it alone (igzip -dc, ISA-L's
# tool, when installed; zcat) and converting the plain file alone.
mb=${sizes[0]}
plain=$(input "size$mb" "$mb" 7)
zipped=$work/zipped$mb.ms2.gz
[ -s "$zipped" ] || gzip -c "$plain" > "$zipped"
decompress() { "$measure" sh -c "$1 < '$zipped' > /dev/null" 2>&1; }
: > "$work/gz.times"; : > "$work/plain.times"; : > "$work/igzip.times"; : > "$work/zcat.times"
: > "$work/gz1.times"; : > "$work/plain1.times"
for ((i = 0; i < runs; i++)); do
    run "$converter" "$zipped" >> "$work/gz.times"
    run "$converter" "$plain" >> "$work/plain.times"
    run "$converter" "$zipped" --threads 1 >> "$work/gz1.times"
    run "$converter" "$plain" --threads 1 >> "$work/plain1.times"
    command -v igzip > /dev/null && decompress "igzip -dc" >> "$work/igzip.times"
    decompress "zcat" >> "$work/zcat.times"
done
rm -rf "${zipped%.ms2.gz}" "${plain%.ms2}"
echo "$mb MB input in gzip ($(stat -c %s "$zipped") bytes), median of $runs runs each"
report gzip "$work/gz.times" "$(stat -c %s "$plain")" 0
report plain "$work/plain.times" "$(stat -c %s "$plain")" 0
report "gzip -j1" "$work/gz1.times" "$(stat -c %s "$plain")" 0
report "plain -j1" "$work/plain1.times" "$(stat -c %s "$plain")" 0
[ -s "$work/igzip.times" ] && report "igzip -dc" "$work/igzip.times" "$(stat -c %s "$plain")" 0
report zcat "$work/zcat.times" "$(stat -c %s "$plain")" 0
fastest=$work/zcat.times
[ -s "$work/igzip.times" ] && fastest=$work/igzip.times
awk -v g="$(column_median 1 "$work/gz.times")" -v p="$(column_median 1 "$work/plain.times")" \
    -v d="$(column_median 1 "$fastest")" \
    'BEGIN { printf "  gzip / (fastest decompression + plain conversion): %.3f   gzip / slower of the two: %.3f\n", g / (d + p), g / (d > p ? d : p) }'
awk -v g="$(column_median 1 "$work/gz1.times")" -v p="$(column_median 1 "$work/plain1.times")" \
    -v d="$(column_median 1 "$fastest")" \
    'BEGIN { printf "  with one thread: gzip / slower of decompression and plain conversion: %.3f\n", g / (d > p ? d : p) }'

# zstd: the same input compressed with zstd, against decompressing it alone and converting
# the plain file; and the plain file read from a pipe on standard input.
zstded=$work/zstded$mb.ms2.zst
[ -s "$zstded" ] || zstd -q -c "$plain" > "$zstded"
: > "$work/zst.times"; : > "$work/zplain.times"; : > "$work/unzstd.times"; : > "$work/pipe.times"
for ((i = 0; i < runs; i++)); do
    run "$converter" "$zstded" >> "$work/zst.times"
    run "$converter" "$plain" >> "$work/zplain.times"
    "$measure" sh -c "zstd -q -dc '$zstded' > /dev/null" 2>> "$work/unzstd.times"
    rm -rf "$work/piped"; sleep 1
    "$measure" sh -c "cat '$plain' | '$converter' -o '$work' --name piped - > /dev/null" 2>> "$work/pipe.times"
done
rm -rf "${zstded%.ms2.zst}" "${plain%.ms2}" "$work/piped"
echo "$mb MB input in zstd ($(stat -c %s "$zstded") bytes), and on a pipe, median of $runs runs each"
report zstd "$work/zst.times" "$(stat -c %s "$plain")" 0
report plain "$work/zplain.times" "$(stat -c %s "$plain")" 0
report "zstd -dc" "$work/unzstd.times" "$(stat -c %s "$plain")" 0
report "cat |" "$work/pipe.times" "$(stat -c %s "$plain")" 0
awk -v z="$(column_median 1 "$work/zst.times")" -v p="$(column_median 1 "$work/zplain.times")" \
    -v d="$(column_median 1 "$work/unzstd.times")" -v c="$(column_median 1 "$work/pipe.times")" \
    'BEGIN { printf "  zstd / (zstd -dc + plain): %.3f   zstd / plain: %.3f   pipe / by name: %.3f\n", z / (d + p), z / p, c / p }'

# Annotation lines among the peaks, against the same DTA files from an input without them.
annotated=$work/annotated$mb.ms2
[ -s "$annotated" ] || "$build/bench/gen_ms2" "$mb" 7 "$annotated" annotated
: > "$work/annotated.times"; : > "$work/clean.times"
for ((i = 0; i < runs; i++)); do
    run "$converter" "$annotated" >> "$work/annotated.times"
    run "$converter" "$plain" >> "$work/clean.times"
done
rm -rf "${annotated%.ms2}" "${plain%.ms2}"
echo "Annotation lines among the peaks ($(stat -c %s "$annotated") bytes in, the same files out), median of $runs runs each"
report annotated "$work/annotated.times" "$(stat -c %s "$annotated")" 0
report without "$work/clean.times" "$(stat -c %s "$plain")" 0
awk -v a="$(column_median 1 "$work/annotated.times")" -v c="$(column_median 1 "$work/clean.times")" \
    'BEGIN { printf "  ratio annotated / without (wall): %.3f\n", a / c }'

# One scan of 100,000 charge lines and no peaks: a scan's cost must grow with its charge
# lines times its body, never with the square of its charge lines.
many=$work/many_charges.ms2
[ -s "$many" ] || awk 'BEGIN { print "S\t1\t1\t500"
    for (i = 1; i <= 100000; i++) printf "Z\t%d\t%d.5\n", i, 1000 + i
    print "S\t2\t2\t500" }' > "$many"
: > "$work/many.times"
for ((i = 0; i < runs; i++)); do run "$converter" "$many" >> "$work/many.times"; done
rm -rf "${many%.ms2}"
echo "One scan of 100,000 charge lines, median of $runs runs"
report ms2split "$work/many.times" "$(stat -c %s "$many")" 100000

# One MGF file: against cp of a file of the MGF's size (the kernel's cost of reading and
# writing as many bytes), from gzip and zstd against decompressing alone, and against
# msconvert --mgf (ProteoWizard, Debian's libpwiz-tools) where it is installed, once.
mgf=${plain%.ms2}.mgf
"$converter" -f mgf "$plain" > /dev/null
mgf_bytes=$(stat -c %s "$mgf")
head -c "$mgf_bytes" /dev/zero > "$work/same_size"
: > "$work/mgf.times"; : > "$work/mgf1.times"; : > "$work/cp.times"; : > "$work/mgfgz.times"; : > "$work/mgfzst.times"
for ((i = 0; i < runs; i++)); do
    rm -f "$mgf" "$work/copy"; rerun "$converter" "$plain" -f mgf >> "$work/mgf.times"
    rm -f "$mgf"; rerun "$converter" "$plain" -f mgf --threads 1 >> "$work/mgf1.times"
    rerun cp "$work/same_size" "$work/copy" >> "$work/cp.times"
    rm -f "${zipped%.ms2.gz}.mgf"; rerun "$converter" "$zipped" -f mgf >> "$work/mgfgz.times"
    rm -f "${zstded%.ms2.zst}.mgf"; rerun "$converter" "$zstded" -f mgf >> "$work/mgfzst.times"
done
echo "One MGF file of the $mb MB input ($mgf_bytes bytes), median of $runs runs each"
report mgf "$work/mgf.times" "$(stat -c %s "$plain")" 0
report "mgf -j1" "$work/mgf1.times" "$(stat -c %s "$plain")" 0
report "cp" "$work/cp.times" "$mgf_bytes" 0
report "mgf gzip" "$work/mgfgz.times" "$(stat -c %s "$plain")" 0
report "mgf zstd" "$work/mgfzst.times" "$(stat -c %s "$plain")" 0
awk -v m="$(column_median 1 "$work/mgf.times")" -v o="$(column_median 1 "$work/mgf1.times")" \
    -v c="$(column_median 1 "$work/cp.times")" -v g="$(column_median 1 "$work/mgfgz.times")" \
    -v d="$(column_median 1 "$fastest")" -v z="$(column_median 1 "$work/mgfzst.times")" \
    -v u="$(column_median 1 "$work/unzstd.times")" \
    'BEGIN { printf "  ratios: mgf / cp %.3f, mgf -j1 / cp %.3f; gzip / fastest decompression %.3f; zstd / zstd -dc %.3f\n", m / c, o / c, g / d, z / u }'
if command -v msconvert > /dev/null; then
    rm -rf "$work/pwiz" "$mgf"
    pwiz=$("$measure" msconvert --mgf -o "$work/pwiz" "$plain" 2>&1 > /dev/null)
    mine=$(rerun "$converter" "$plain" -f mgf)
    awk -v p="$pwiz" -v m="$mine" 'BEGIN { split(p, a, " "); split(m, b, " ")
        printf "  msconvert --mgf: %.2f s, peak RSS %.1f MiB; ms2split -f mgf %.3f s, %.1f MiB: %.0f times faster\n",
               a[1], a[4] / 1024, b[1], b[4] / 1024, a[1] / b[1] }'
fi
rm -rf "$mgf" "${zipped%.ms2.gz}.mgf" "${zstded%.ms2.zst}.mgf" "$work/same_size" "$work/copy" "$work/pwiz"

# Eight inputs converted one after another, then two at a time with xargs -P 2.
inputs=()
for seed in 1 2 3 4 5 6 7 8; do inputs+=("$(input "parallel${parallel_mb}mb-$seed" "$parallel_mb" "$seed")"); done
clean() { for f in "${inputs[@]}"; do rm -rf "${f%.ms2}"; done; }
: > "$work/sequential"; : > "$work/parallel"
for ((i = 0; i < runs; i++)); do
    clean
    "$measure" bash -c 'for f; do "$0" --threads 1 "$f"; done > /dev/null' "$converter" "${inputs[@]}" 2>> "$work/sequential"
    clean
    "$measure" bash -c 'printf "%s\0" "$@" | xargs -0 -n 1 -P 2 "$0" --threads 1 > /dev/null' "$converter" "${inputs[@]}" 2>> "$work/parallel"
done
clean
awk -v s="$(column_median 1 "$work/sequential")" -v p="$(column_median 1 "$work/parallel")" -v n="$parallel_mb" \
    'BEGIN { printf "8 inputs of %d MB: one at a time %.3f s, xargs -P 2 %.3f s, speed-up %.2f\n", n, s, p, s / p }'
