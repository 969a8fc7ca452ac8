#!/usr/bin/env bash
# Runs workflow/Snakefile on a few generated inputs with two cores, checks that every DTA
# tree equals a direct conversion's, and that a second run has nothing to do. Skipped
# (exit 77) where Snakemake is not installed.
#
# usage: workflow.sh PROGRAM GEN_MS2 SNAKEFILE
set -u
program=$1 gen_ms2=$2 snakefile=$3
command -v snakemake > /dev/null || { echo "snakemake is not installed"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/runs/sub run" "$work/direct"
"$gen_ms2" 1 1 "$work/runs/first.ms2" && "$gen_ms2" 1 2 "$work/runs/second.ms2" &&
    "$gen_ms2" 1 3 "$work/runs/sub run/third.ms2" || exit 1
cp "$work/runs/first.ms2" "$work/runs/second.ms2" "$work/runs/sub run/third.ms2" "$work/direct/"
(cd "$work/direct" && "$program" ./*.ms2 > /dev/null) || exit 1

snake() { (cd "$work" && snakemake -s "$snakefile" --cores 2 --config ms2split="$program" "$@"); }
snake > "$work/first.log" 2>&1 || { cat "$work/first.log"; echo "FAIL: the workflow"; exit 1; }
failed=0
for stem in first second "sub run/third"; do
    diff -r --exclude=.snakemake_timestamp "$work/direct/${stem##*/}" "$work/runs/$stem" ||
        { echo "FAIL: $stem differs from a direct conversion"; failed=1; }
done
snake > "$work/second.log" 2>&1
grep -q "Nothing to be done" "$work/second.log" ||
    { cat "$work/second.log"; echo "FAIL: a second run had work"; failed=1; }
exit "$failed"
