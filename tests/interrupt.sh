#!/usr/bin/env bash
# Interrupts conversions with SIGINT, SIGTERM and SIGHUP, into a fresh folder and over a
# complete earlier tree (hard-linked into a snapshot), and checks what stays:
# - in a fresh folder, every file is complete, and with one writing thread the files are
#   exactly the first ones of the run, in the order they are written;
# - over an earlier tree, every name holds a complete file, new or earlier, and with one
#   thread the new ones are the first names in order; the snapshot never changes;
# - no temporary file stays, and the program ends by the first signal it received;
# - for an MGF file (--format mgf), its name holds the whole new file, the earlier one, or
#   nothing.
# Every round runs with the threads the program chooses, then with --threads 1.
# Deterministic rounds raise the signals through the faults library at a chosen moment
# (right after the K-th file is created, before its first write, while it is being closed)
# and know how many files must be new; random rounds send a signal from outside at a random
# time. A signal ignored at the start stays ignored, and writes that fail with EINTR are
# retried. No timing is asserted.
#
# usage: interrupt.sh PROGRAM FAULTS_LIBRARY [RANDOM_ROUNDS]
set -u
program=$1 faults=$2 random_rounds=${3:-30}
work=$(mktemp -d -p "$([ -d /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")")
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# 3,000 scans of two charges, about 6 MB: the new input, and an earlier version of it whose
# files differ in their header lines; order lists the DTA names as they are written.
mkdir new old
awk -v new=new/run.ms2 -v old=old/run.ms2 -v order=order 'BEGIN {
    srand(7)
    for (s = 1; s <= 3000; s++) {
        peaks = ""
        for (i = 100 + int(rand() * 200); i > 0; i--) peaks = peaks sprintf("%.4f %.1f\n", 100 + i * 1.7, rand() * 1e4)
        printf "S\t%d\t%d\t500\nZ\t2\t%.2f\nZ\t3\t%.2f\n%s", s, s, 1000 + s, 1500 + s, peaks > new
        printf "S\t%d\t%d\t500\nZ\t2\t%.2f\nZ\t3\t%.2f\n%s", s, s, 1001 + s, 1501 + s, peaks > old
        printf "run.%05d.%05d.2.dta\nrun.%05d.%05d.3.dta\n", s, s, s, s > order
    }
}'
total=$(wc -l < order)
start=${EPOCHREALTIME/./}
"$program" -o reference new/run.ms2 > /dev/null || { echo "FAIL: the uninterrupted run"; exit 1; }
duration=$((${EPOCHREALTIME/./} - start))  # microseconds: random signals land within it
"$program" -o earlier old/run.ms2 > /dev/null || { echo "FAIL: the earlier run"; exit 1; }
[ "$(ls reference/run | wc -l)" = "$total" ] || { echo "FAIL: the reference tree"; exit 1; }

# names_are_first COUNT: the names on standard input are the first COUNT of order, or, for
# COUNT -, the first however many there are; with several threads, only names of order,
# each once.
names_are_first() {
    awk -v want="$1" -v any="$([ "$threads" = "--threads 1" ] || echo 1)" 'NR == FNR { at[$0] = FNR; next }
        { if (!($0 in at) || seen[$0]++) bad = 1; else if (at[$0] > last) last = at[$0]; n++ }
        END { exit bad || (!any && (last != n || (want != "-" && n != want))) }' order -
}

# check MODE NEW_FILES: what a round left in out/run (NEW_FILES: how many must be new, or -).
check() {
    local temps
    temps=$(find out -name '.ms2split-*')
    [ -z "$temps" ] || fail "$round: temporary files stayed: $temps"
    if [ "$1" = fresh ]; then
        diff -rq out/run reference/run | grep -v '^Only in reference/run' &&
            fail "$round: the files above are not the run's"
        ls out/run | names_are_first "$2" || fail "$round: the files present are not the first $2"
        return
    fi
    diff -rq snapshot earlier/run || fail "$round: the snapshot changed"
    local not_earlier not_new
    not_earlier=$(diff -rq out/run earlier/run) not_new=$(diff -rq out/run reference/run)
    grep '^Only in' <<< "$not_earlier$not_new" && fail "$round: names missing or added"
    comm -12 <(sed -n 's/^Files out\/run\/\([^ ]*\) .*/\1/p' <<< "$not_earlier" | sort) \
        <(sed -n 's/^Files out\/run\/\([^ ]*\) .*/\1/p' <<< "$not_new" | sort) | grep . &&
        fail "$round: the files above are neither the new nor the earlier ones"
    sed -n 's/^Files out\/run\/\([^ ]*\) .*/\1/p' <<< "$not_earlier" | names_are_first "$2" ||
        fail "$round: the new files are not the first $2"
}

prepare() {  # MODE
    rm -rf out snapshot && mkdir out || exit 1
    if [ "$1" = rerun ]; then cp -R earlier/run out/run && cp -al out/run snapshot || exit 1; fi
}

# expect_status STATUS SIGNAL: the program ended as SIGNAL ends a program (or with STATUS
# when SIGNAL is 0).
expect_status() {
    local want=$(($2 == 0 ? 0 : 128 + $2))
    [ "$1" -eq "$want" ] || fail "$round: exit status $1, expected $want"
}

for threads in "" "--threads 1"; do
    # Deterministic rounds: each signal at each moment, fresh and over an earlier tree.
    ks=(1 777 "$total")
    signals=(2 15 1)
    n=0
    for mode in fresh rerun; do
        for moment in open write close; do
            for signal in "${signals[@]}"; do
                k=${ks[n++ % 3]}
                round="signal $signal at $moment:$k ($mode)${threads:+, $threads}"
                prepare "$mode"
                FAULT_SIGNALS=$signal FAULT_AT=$moment:$k LD_PRELOAD=$faults \
                    "$program" $threads -o out new/run.ms2 > /dev/null 2>&1
                expect_status $? "$signal"
                [ "$moment" = close ] && check "$mode" "$k" || check "$mode" $((k - 1))
            done
        done
    done

    # SIGTERM, then at once SIGINT, while a file is being created: the first one decides.
    round="signals 15 then 2 at open:500${threads:+, $threads}"
    prepare fresh
    FAULT_SIGNALS=15,2 FAULT_AT=open:500 LD_PRELOAD=$faults "$program" $threads -o out new/run.ms2 > /dev/null 2>&1
    expect_status $? 15
    check fresh 499

    # SIGTERM while a file is being created, SIGINT while that file is removed: still SIGTERM.
    round="signal 15 at open:500, then 2 as its file is removed${threads:+, $threads}"
    prepare fresh
    FAULT_SIGNALS=15 FAULT_AT=open:500 FAULT_UNLINK_SIGNAL=2 LD_PRELOAD=$faults \
        "$program" $threads -o out new/run.ms2 > /dev/null 2>&1
    expect_status $? 15
    check fresh 499

    # A signal ignored when the program started (nohup) stays ignored.
    round="SIGHUP ignored at the start${threads:+, $threads}"
    prepare rerun
    FAULT_SIGNALS=1 FAULT_AT=open:500 LD_PRELOAD=$faults \
        perl -e '$SIG{HUP} = "IGNORE"; exec @ARGV or die' "$program" $threads -o out new/run.ms2 > /dev/null
    expect_status $? 0
    check rerun "$total"

    # Every other write fails with EINTR, as if interrupted: each is retried.
    round="writes interrupted${threads:+, $threads}"
    prepare fresh
    FAULT_EINTR=1 LD_PRELOAD=$faults "$program" $threads -o out new/run.ms2 > out.log 2>&1
    expect_status $? 0
    check fresh "$total"
    grep -qx ' converting new/run.ms2' out.log || fail "$round: the progress line was lost"

    # Random rounds: a signal from outside at a random moment of a run.
    interrupted=0 finished=0
    for ((r = 0; r < random_rounds; r++)); do
        signal=${signals[r % 3]} mode=$( ((r / 3 % 2)) && echo rerun || echo fresh)
        round="random round $r, signal $signal ($mode)${threads:+, $threads}"
        prepare "$mode"
        # A background job of a script starts with SIGINT ignored; a terminal's would not.
        perl -e '$SIG{INT} = "DEFAULT"; exec @ARGV or die' "$program" $threads -o out new/run.ms2 > /dev/null &
        pid=$!
        sleep "$(printf '0.%06d' $(((RANDOM * 32768 + RANDOM) % duration)))"
        kill -s "$signal" "$pid" 2> /dev/null
        wait "$pid" 2> /dev/null  # the shell would announce a hangup
        status=$?
        if [ "$status" -eq 0 ]; then
            ((++finished))
            check "$mode" "$total"
        else
            ((++interrupted))
            expect_status "$status" "$signal"
            check "$mode" -
        fi
    done
    echo "random rounds ($threads): $interrupted interrupted, $finished finished before their signal"
done

# MGF: the signals at its file's first write and at its close, then at random moments.
"$program" -f mgf -o mgf_new new/run.ms2 > /dev/null && "$program" -f mgf -o mgf_old old/run.ms2 > /dev/null ||
    { echo "FAIL: the uninterrupted MGF runs"; exit 1; }
check_mgf() {  # MODE STATUS SIGNAL
    local temps
    temps=$(find out -name '.ms2split-*')
    [ -z "$temps" ] || [ "$3" = 9 ] || fail "$round: temporary files stayed: $temps"  # SIGKILL leaves one
    [ "$2" -eq 0 ] || expect_status "$2" "$3"
    cmp -s out/run.mgf mgf_new/run.mgf && return  # complete before the signal took effect
    [ "$2" -ne 0 ] || fail "$round: finished, but not the whole new file"
    if [ "$1" = rerun ]; then
        cmp -s out/run.mgf mgf_old/run.mgf || fail "$round: neither the new file nor the earlier one"
    else
        [ ! -e out/run.mgf ] || fail "$round: part of a file stands at the name"
    fi
}
for ((r = 0; r < 14; r++)); do
    signal=$( ((r < 12)) && echo "${signals[r % 3]}" || echo 9) mode=$( ((r % 2)) && echo rerun || echo fresh)
    rm -rf out && mkdir out && { [ "$mode" = fresh ] || cp mgf_old/run.mgf out/; } || exit 1
    if ((r < 4)); then
        moment=$( ((r < 2)) && echo write:1 || echo close:1)
        round="MGF, signal $signal at $moment ($mode)"
        FAULT_SIGNALS=$signal FAULT_AT=$moment LD_PRELOAD=$faults "$program" -f mgf -o out new/run.ms2 > /dev/null 2>&1
    else
        round="MGF, random round $r, signal $signal ($mode)"
        perl -e '$SIG{INT} = "DEFAULT"; exec @ARGV or die' "$program" -f mgf -o out new/run.ms2 > /dev/null &
        pid=$!
        sleep "$(printf '0.%06d' $(((RANDOM * 32768 + RANDOM) % (duration / 3 + 1))))"
        kill -s "$signal" "$pid" 2> /dev/null
        wait "$pid" 2> /dev/null
    fi
    check_mgf "$mode" $? "$signal"
done
exit "$failed"
