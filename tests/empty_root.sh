#!/usr/bin/env bash
# The static program is statically linked, and converts in a root that holds nothing but it
# and an input: no loader, no C library, no /dev, /proc or /tmp.
#
# usage: empty_root.sh PROGRAM INPUT.ms2
set -u
program=$1 input=$2
[ "$(id -u)" = 0 ] || { echo "chroot needs root"; exit 77; }
command -v file > /dev/null || { echo "file is not installed"; exit 77; }
file -L "$program" | grep -q "statically linked" || { file -L "$program"; echo "FAIL: not statically linked"; exit 1; }
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
cp "$program" "$root/ms2split" && cp "$input" "$root/in.ms2" || exit 1
out=$(chroot "$root" /ms2split /in.ms2 2>&1) || { echo "$out"; echo "FAIL: status $?"; exit 1; }
[ "$out" = " converting /in.ms2" ] || { echo "$out"; echo "FAIL: what it printed"; exit 1; }
(cd "$(dirname "$program")" && "$program" -o "$root/twin" "$input" > /dev/null) || exit 1
diff <(cd "$root/in" && for f in *; do echo "${f#in.}"; cat "$f"; done) \
     <(cd "$root/twin/"* && for f in *; do echo "${f#*.}"; cat "$f"; done) || { echo "FAIL: the files differ"; exit 1; }
echo "converted in an empty root: $(ls "$root/in" | wc -l) DTA files"
