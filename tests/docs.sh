#!/usr/bin/env bash
# Runs what the README and the manual page show, from their own text: the help text the
# README quotes is what the program prints, its example converts as it shows, and each batch recipe (a block that finds
# runs/) converts every .ms2, .ms2.gz and .ms2.zst in any letter case, runs nothing for an
# empty folder, and fails for a missing one.
#
# usage: docs.sh PROGRAM README MANPAGE
#        docs.sh --build SOURCE_DIR README: the README's build-and-convert command, run as it
#        stands in a copy of the source tree, builds the program and converts the example
set -u
if [ "$1" = --build ]; then
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    (cd "$2" && git ls-files -z | xargs -0 cp -P --parents -t "$work") || exit 1
    command=$(awk '/^```sh$/ { inside = 1; next } /^```/ { inside = 0 } inside && /examples\/demo.ms2/' "$3")
    [ -n "$command" ] || { echo "FAIL: no build-and-convert command in the README"; exit 1; }
    out=$(cd "$work" && bash -e -c "$command" 2>&1) || { echo "$out"; echo "FAIL: $command"; exit 1; }
    [ "$(tail -1 <<< "$out")" = " converting examples/demo.ms2" ] || { echo "$out"; echo "FAIL: its message"; exit 1; }
    ls "$work/examples/demo" | diff - <(printf 'demo.%s.dta\n' 00012.00012.2 00012.00012.3 00013.00013.2) ||
        { echo "FAIL: the example's files"; exit 1; }
    echo "the README's command builds and converts the example"
    exit 0
fi
program=$(realpath "$1") readme=$2 manpage=$3
work=$(mktemp -d -p "$([ -d /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")")
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# The fenced block of the README that opens with the usage line.
awk '/^```/ { if (inside) exit; inside = 0; next } /^ USAGE: ms2split/ { inside = 1 } inside' "$readme" > "$work/help.readme"
(exec -a ms2split "$program" --help) | sed -e '1{/^$/d}' -e '${/^$/d}' | diff "$work/help.readme" - || fail "the README's help text is not what --help prints"

# The README's example: its MS2 scan, converted, gives the two DTA files it shows side by
# side, and with --format mgf the MGF entry it shows.
block() {  # HEADING N: the Nth fenced block after the README's heading
    awk -v heading="$1" -v n="$2" '$0 == heading { section = 1; next } /^## / { section = 0 }
        section && /^```/ { if (inside) { if (++seen == n) exit; inside = 0 } else inside = 1; next }
        section && inside && seen == n - 1' "$readme"
}
mkdir "$work/example" && cd "$work/example" || exit 1
block "## MS2 in, DTA out" 1 > run7.ms2
(exec -a ms2split "$program" run7.ms2) | diff <(echo " converting run7.ms2") - || fail "the example's message"
block "## MS2 in, DTA out" 2 > shown
for column in 1 2; do
    file=$(sed -n 1p shown | awk -v c=$column '{ print $c }')
    diff <(tail -n +2 shown | cut -c "$([ $column = 1 ] && echo 1-35 || echo 36-)" | sed 's/ *$//') "$file" ||
        fail "the README's $file is not what the example gives"
done
"$program" -f mgf run7.ms2 > /dev/null && block "## One MGF file per run" 1 |
    diff - <(sed -n '1,/^END IONS/p' run7.mgf) || fail "the README's MGF entry is not what the example gives"
cd "$work" || exit 1

# Recipes: each fenced sh block of the README that finds runs, and the manual page's
# example lines that do, as troff gives them.
recipes=()
while IFS= read -r -d '' recipe; do recipes+=("$recipe"); done < <(
    awk '/^```sh$/ { block = ""; inside = 1; next } /^```/ { if (inside && block ~ /find runs/) printf "%s%c", block, 0; inside = 0; next }
         inside { block = block $0 "\n" }' "$readme"
    awk '/^\.SH EXAMPLES/ { examples = 1; next } /^\.SH/ { examples = 0 } examples && /^\.B / { sub(/^\.B /, ""); block = block $0 "\n"; next }
         examples && /^\.RE/ { if (block ~ /find runs/) printf "%s%c", block, 0; block = "" }' "$manpage" |
        sed -e 's/\\-/-/g' -e 's/\\e/\\/g')
[ ${#recipes[@]} -ge 3 ] || fail "only ${#recipes[@]} recipes found"

mkdir "$work/bin"  # ms2split on PATH, noting each call
printf '#!/bin/sh\necho "$@" >> "%s/calls"\nexec "%s" "$@"\n' "$work" "$program" > "$work/bin/ms2split"
chmod +x "$work/bin/ms2split"
for recipe in "${recipes[@]}"; do
    case $recipe in *parallel\ *) command -v parallel > /dev/null ||
        { echo "skipped, GNU parallel is not installed: $recipe"; continue; } ;; esac
    cd "$work" && rm -rf runs calls && mkdir -p runs/sub || exit 1
    printf 'S 1 1\nZ 2 1.5\n1 1\n' > runs/A.MS2
    cp runs/A.MS2 runs/d.ms2
    gzip -c runs/A.MS2 > runs/sub/b.ms2.gz && gzip -c runs/A.MS2 > runs/sub/C.Ms2.Gz &&
        zstd -q -c runs/A.MS2 > runs/sub/e.Ms2.Zst || exit 1
    echo "notes" > runs/notes.txt
    PATH=$work/bin:$PATH bash -c "$recipe" > /dev/null 2>&1 || fail "status $? on a folder of runs: $recipe"
    for tree in runs/A runs/d runs/sub/b runs/sub/C runs/sub/e; do
        [ -f "$tree/$(basename "$tree").00001.00001.2.dta" ] || fail "$tree not converted: $recipe"
    done
    rm -rf runs calls && mkdir runs
    PATH=$work/bin:$PATH bash -c "$recipe" > /dev/null 2>&1 || fail "status $? on an empty folder: $recipe"
    [ -e calls ] && fail "ms2split ran for an empty folder: $recipe"
    rm -rf runs
    PATH=$work/bin:$PATH bash -c "$recipe" > /dev/null 2>&1 && fail "status 0 for a missing folder: $recipe"
done
exit "$failed"
