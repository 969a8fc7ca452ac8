#!/usr/bin/env bash
# Interrupts conversions at random moments with SIGINT, SIGTERM and SIGHUP, into a fresh
# output directory and over a complete earlier one, and checks that every DTA file left
# standing equals the uninterrupted run's file: the one being written when the signal came
# must be gone. No timing is asserted.
#
# usage: interrupt.sh PROGRAM [ROUNDS]
set -u
program=$1
rounds=${2:-30}
work=$(mktemp -d -p "$([ -d /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")")
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

# About 6 MB and 6,000 DTA files: long enough for most signals to land mid-run.
awk 'BEGIN {
    srand(7)
    for (s = 1; s <= 3000; s++) {
        printf "S\t%d\t%d\t500\nZ\t2\t%.2f\nZ\t3\t%.2f\n", s, s, 1000 + s, 1500 + s
        for (i = 100 + int(rand() * 200); i > 0; i--)
            printf "%.4f %.1f\n", 100 + i * 1.7, rand() * 1e4
    }
}' > run.ms2
start=${EPOCHREALTIME/./}
"$program" run.ms2 > /dev/null || { echo "FAIL: the uninterrupted run"; exit 1; }
duration=$((${EPOCHREALTIME/./} - start))  # microseconds: signals land within it
mv run reference

signals=(INT TERM HUP)
interrupted=0 finished=0 failed=0
for ((round = 0; round < rounds; round++)); do
    signal=${signals[round % 3]}
    rm -rf run
    ((round / 3 % 2)) && cp -R reference run  # over a complete earlier tree
    # A background job of a script starts with SIGINT ignored; a terminal's would not.
    perl -e '$SIG{INT} = "DEFAULT"; exec @ARGV or die' "$program" run.ms2 > /dev/null &
    pid=$!
    sleep "$(printf '0.%06d' $(((RANDOM * 32768 + RANDOM) % duration)))"
    kill -s "$signal" "$pid" 2> /dev/null
    wait "$pid" 2> /dev/null  # the shell would announce a hangup
    status=$?
    if [ "$status" -eq 0 ]; then
        ((++finished))
    elif [ "$status" -eq $((128 + $(kill -l "$signal"))) ]; then
        ((++interrupted))
    else
        echo "FAIL: SIG$signal: exit status $status"
        failed=1
    fi
    # A file missing is fine; one that differs, or that the reference lacks, is not.
    if [ -d run ] && diff -rq run reference | grep -v '^Only in reference'; then
        echo "FAIL: SIG$signal in round $round left the files above"
        failed=1
    fi
done
echo "$interrupted runs interrupted, $finished finished before their signal"
[ "$interrupted" -gt 0 ] || { echo "FAIL: no signal landed during a run"; failed=1; }
exit "$failed"
