#!/usr/bin/env bash
# Runs one end-to-end case against the program and compares what it did byte for byte.
#
# usage: run_case.sh PROGRAM CASE_DIR
#
# A case directory holds:
#   about     one line: what the case guards (printed when it fails)
#   args      the arguments, one per line (an empty file: no arguments)
#   in/       optional: the tree the program starts in
#   setup     optional: bash run in that tree first, for what git cannot hold
#             (FIFOs, symbolic links, generated inputs)
#   launch    optional: bash that starts the program, given it and its arguments as "$@"
#             (to set a limit or redirect a stream); by default 'exec -a ms2split "$@"'.
#             If it exits with 77, the case is skipped: what it needs is missing here.
#   stdout    the expected standard output (@VERSION@ stands for $MS2SPLIT_VERSION, @BUILD@
#             for $MS2SPLIT_BUILD: what --version tells of the build)
#   stderr    optional: the expected standard error
#   stdout.windows, stderr.windows, expected.windows/
#             optional: what a Windows build prints and leaves instead, where Windows differs
#   status    optional: the expected exit status; 0 when absent
#   check     optional: bash run in the tree afterwards, for what a tree comparison cannot
#             see (that a FIFO is still there, that a name is no longer a link)
#   expected/ the tree afterwards, less the .ms2, .ms2.gz and .ms2.zst inputs (a .keep file marks an
#             empty directory)
# Every input present before the run must be unchanged after it (checked by CRC, which
# is quick even on inputs of several GB); FIFOs are left out of the tree comparison.
#
# With ONE_THREAD, the program is given --threads 1 before its other arguments: through
# ONE_THREAD itself (tests/one_thread.cpp, built), or, under RUN_WITH, any value, by the
# script that runs it; with THREADS=N as well, --threads N instead (ThreadSanitizer's runs).
# The case's expected output is the same. A case holding skip-one-thread is not run so; the
# file says why.
#
# With TSAN_OPTIONS (a ThreadSanitizer build), the reports of every run the case makes go to
# files of the case's own, and any report fails the case.
#
# For a Windows build, RUN_WITH names the program that runs it (wine), launch is given a script
# that runs the program under it, and WINDOWS=1: messages are compared without CRs, and every LF in an expected DTA file becomes CR LF, as text mode
# writes it (and so for an MGF file). A case holding skip-windows (or, elsewhere, skip-posix) is skipped with exit
# status 77; the file says why.
set -u
program=$1
case_dir=$2
skip_file=$case_dir/skip-posix
[ "${WINDOWS:-0}" = 1 ] && skip_file=$case_dir/skip-windows
[ -n "${ONE_THREAD:-}" ] && [ -f "$case_dir/skip-one-thread" ] && skip_file=$case_dir/skip-one-thread
if [ -f "$skip_file" ]; then
    cat "$skip_file"
    exit 77
fi
work=$(mktemp -d -p "$([ -d /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")")  # tmpfs: quick to fill and empty
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

mkdir "$work/run" "$work/want"
[ -d "$case_dir/in" ] && cp -R "$case_dir/in/." "$work/run/"
if [ -f "$case_dir/setup" ]; then
    (cd "$work/run" && bash -e "$case_dir/setup") || { echo "FAIL: setup"; exit 1; }
fi
(cd "$work/run" && find . -type f \( -iname '*.ms2' -o -iname '*.ms2.gz' -o -iname '*.ms2.zst' \) -print0 >"$work/inputs" &&
    xargs -r -0 cksum -- <"$work/inputs" >"$work/inputs.cksum")

mapfile -t args <"$case_dir/args"
launch='exec -a ms2split "$@"'
[ -f "$case_dir/launch" ] && launch=$(cat "$case_dir/launch")
first=
if [ -n "${ONE_THREAD:-}" ] && [ -n "${RUN_WITH:-}" ]; then  # the same case again, with --threads 1
    first=" --threads ${THREADS:-1}"
elif [ -n "${ONE_THREAD:-}" ]; then  # through a program that adds --threads 1
    export ONE_THREAD_PROGRAM=$program
    program=$ONE_THREAD
fi
if [ -n "${TSAN_OPTIONS:-}" ]; then
    export TSAN_OPTIONS="$TSAN_OPTIONS:log_path=$work/tsan"
fi
if [ -n "${RUN_WITH:-}" ]; then  # launch runs a script that runs the program under RUN_WITH
    # Through bash, which reads its script from any descriptor: dash wants descriptor 10,
    # past the tight limits of open files a case may set.
    printf '#!/bin/bash\nexec %s "%s"%s "$@"\n' "$RUN_WITH" "$program" "$first" >"$work/program"
    chmod +x "$work/program"
    program=$work/program
fi
(cd "$work/run" && timeout 120 bash -c "$launch" _ "$program" "${args[@]}" \
    >"$work/stdout" 2>"$work/stderr")
status=$?
if [ "$status" -eq 77 ] && [ -f "$case_dir/launch" ]; then
    cat "$work/stderr"
    exit 77
fi
if [ "${WINDOWS:-0}" = 1 ]; then
    sed -i 's/\r$//' "$work/stdout" "$work/stderr"
fi

expected_stdout=$case_dir/stdout expected_stderr=$case_dir/stderr
if [ "${WINDOWS:-0}" = 1 ]; then  # where Windows words a reason otherwise
    [ -f "$case_dir/stdout.windows" ] && expected_stdout=$case_dir/stdout.windows
    [ -f "$case_dir/stderr.windows" ] && expected_stderr=$case_dir/stderr.windows
fi
sed -e "s/@VERSION@/${MS2SPLIT_VERSION:-}/g" -e "s/@BUILD@/${MS2SPLIT_BUILD:-}/g" "$expected_stdout" > "$work/stdout.expected"
expected_status=0
[ -f "$case_dir/status" ] && expected_status=$(cat "$case_dir/status")
[ "$status" -eq "$expected_status" ] || fail "exit status $status, expected $expected_status"
diff -u "$work/stdout.expected" "$work/stdout" || fail "standard output differs"
if [ -f "$expected_stderr" ]; then
    diff -u "$expected_stderr" "$work/stderr" || fail "standard error differs"
fi
(cd "$work/run" && xargs -r -0 cksum -- <"$work/inputs" | cmp -s - "$work/inputs.cksum") ||
    fail "an input was modified"
if [ -f "$case_dir/check" ]; then
    (cd "$work/run" && bash -e "$case_dir/check") || fail "check"
fi
for report in "$work"/tsan.*; do
    [ -f "$report" ] && { cat "$report"; fail "ThreadSanitizer reported"; }
done

(cd "$work/run" && xargs -r -0 rm -f -- <"$work/inputs")
find "$work/run" -type p -delete
expected_tree=$case_dir/expected
[ "${WINDOWS:-0}" = 1 ] && [ -d "$case_dir/expected.windows" ] && expected_tree=$case_dir/expected.windows
[ -d "$expected_tree" ] && cp -R "$expected_tree/." "$work/want/"
find "$work/want" -name .keep -type f -delete
if [ "${WINDOWS:-0}" = 1 ]; then
    find "$work/want" \( -name '*.dta' -o -name '*.mgf' \) -type f -exec perl -pi -e 's/\r?\n/\r\n/g' {} +
fi
diff -r --no-dereference "$work/want" "$work/run" || fail "output tree differs"
[ "$failed" = 0 ] || echo "This case guards: $(cat "$case_dir/about")"
exit "$failed"
