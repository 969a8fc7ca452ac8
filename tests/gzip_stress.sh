#!/usr/bin/env bash
# Converts gzip inputs with random damage (bytes changed, cut short, garbage or zeros after
# the data) and checks what each conversion says against its plain twin's tree: an exit
# status 0, or garbage appended after the data, leaves exactly the twin's files; any other status names
# the input in a read error, never a crash; a file that differs from the twin's stands only
# where the message says that files may hold wrong bytes; no temporary file stays. Prints the
# count of each outcome.
#
# usage: gzip_stress.sh PROGRAM GEN_MS2 [ROUNDS]
set -u
program=$1 gen_ms2=$2 rounds=${3:-200}
work=$(mktemp -d -p "$([ -d /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")")
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failed=0
fail() { echo "FAIL: round $round: $*"; failed=1; cp in.ms2.gz "$work/../failed-round-$round.ms2.gz" 2> /dev/null; }

"$gen_ms2" 1 11 in.ms2 && "$program" in.ms2 > /dev/null && mv in twin || exit 1
gzip -1 -c in.ms2 > one.gz
{ head -c 300000 in.ms2 | gzip -c; tail -c +300001 in.ms2 | gzip -9 -c; } > two.gz
size_one=$(stat -c %s one.gz) size_two=$(stat -c %s two.gz)
declare -A outcomes
for ((round = 0; round < rounds; round++)); do
    base=one.gz size=$size_one
    ((round % 2)) && base=two.gz size=$size_two
    at=$(((RANDOM * 32768 + RANDOM) % size))
    case $((round % 8)) in
        0) head -c "$at" "$base" > in.ms2.gz ;;
        1) { cat "$base"; head -c $((RANDOM % 3000 + 1)) /dev/zero; } > in.ms2.gz ;;
        2) { cat "$base"; printf 'x%.0s' $(seq $((RANDOM % 50 + 1))); } > in.ms2.gz ;;
        *) cp "$base" in.ms2.gz
           for ((n = RANDOM % 3 + 1; n > 0; n--)); do
               printf "\\x$(printf %02x $((RANDOM % 256)))" |
                   dd of=in.ms2.gz bs=1 seek=$(((RANDOM * 32768 + RANDOM) % size)) conv=notrunc status=none
           done ;;
    esac
    rm -rf in
    "$program" in.ms2.gz > out.log 2> err.log
    status=$?
    problem=$(sed -n 's/^ms2split: in.ms2.gz: read error: //p' err.log)
    outcomes["$status ${problem%%:*}"]=$((${outcomes["$status ${problem%%:*}"]:-0} + 1))
    [ "$status" -lt 128 ] || fail "ended by signal $((status - 128))"
    [ -z "$(find in -name '.ms2split-*' 2> /dev/null)" ] || fail "a temporary file stayed"
    wrong=$(diff -rq twin in 2> /dev/null | grep -v '^Only in twin')
    if [ "$status" = 0 ]; then
        [ -z "$(diff -rq twin in 2>&1)" ] || fail "status 0, but the tree is not the twin's"
    else
        [ -n "$problem" ] || { cat err.log; fail "status $status without a read error that names the input"; }
        [ -z "$wrong" ] || grep -q -e "may hold wrong bytes" -e "may be short" err.log ||
            { echo "$wrong" | head -3; fail "wrong files, and the message does not say so: $problem"; }
        if [ $((round % 8)) = 2 ]; then  # garbage appended: every scan kept
            [ -z "$(diff -rq twin in 2>&1)" ] || fail "trailing garbage, and a scan is lost"
        fi
    fi
done
for outcome in "${!outcomes[@]}"; do echo "${outcomes[$outcome]} rounds: status $outcome"; done | sort -rn
exit "$failed"
