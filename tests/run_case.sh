#!/usr/bin/env bash
# Runs one end-to-end case against the program and compares what it did byte for byte.
#
# usage: run_case.sh PROGRAM CASE_DIR
#
# A case directory holds:
#   args      the arguments, one per line (an empty file: no arguments)
#   in/       optional: the tree the program starts in
#   setup     optional: bash run in that tree first, for what git cannot hold
#             (FIFOs, symbolic links, generated inputs)
#   stdout    the expected standard output; the exit status must be 0
#   stderr    optional: the expected standard error
#   expected/ the tree afterwards, less the .ms2 inputs (a .keep file marks an empty directory)
# Every .ms2 file present before the run must be unchanged after it (checked by CRC, which
# is quick even on inputs of several GB); FIFOs are left out of the tree comparison.
set -u
program=$1
case_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

mkdir "$work/run" "$work/want"
[ -d "$case_dir/in" ] && cp -R "$case_dir/in/." "$work/run/"
if [ -f "$case_dir/setup" ]; then
    (cd "$work/run" && bash -e "$case_dir/setup") || { echo "FAIL: setup"; exit 1; }
fi
(cd "$work/run" && find . -type f -iname '*.ms2' -print0 >"$work/inputs" &&
    xargs -r -0 cksum -- <"$work/inputs" >"$work/inputs.cksum")

mapfile -t args <"$case_dir/args"
(cd "$work/run" && timeout 60 bash -c 'exec -a ms2split "$@"' _ "$program" "${args[@]}" \
    >"$work/stdout" 2>"$work/stderr")
status=$?

[ "$status" -eq 0 ] || fail "exit status $status"
diff -u "$case_dir/stdout" "$work/stdout" || fail "standard output differs"
if [ -f "$case_dir/stderr" ]; then
    diff -u "$case_dir/stderr" "$work/stderr" || fail "standard error differs"
fi
(cd "$work/run" && xargs -r -0 cksum -- <"$work/inputs" | cmp -s - "$work/inputs.cksum") ||
    fail "an input was modified"

(cd "$work/run" && xargs -r -0 rm -f -- <"$work/inputs")
find "$work/run" -type p -delete
[ -d "$case_dir/expected" ] && cp -R "$case_dir/expected/." "$work/want/"
find "$work/want" -name .keep -type f -delete
diff -r --no-dereference "$work/want" "$work/run" || fail "output tree differs"
exit "$failed"
