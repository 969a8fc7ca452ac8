#!/usr/bin/env bash
# Runs workflow/Snakefile with two cores, or on a one-node SLURM cluster started here, and
# checks what it did. Skipped (exit 77) where Snakemake, or for slurm the cluster's daemons
# or root, are missing.
#
# usage: workflow.sh local|slurm PROGRAM GEN_MS2 SNAKEFILE DOCS (the page whose sbatch command
# the cluster runs)
#
# local: odd names beside good inputs (...ms2 and ..ms2, which are skipped; braces, blanks,
# quotes, accents; a.ms2 beside a/b.ms2; .MS2, .ms2.gz and .Ms2.Zst endings), a user's file, and an input that
# cannot be read. With --keep-going every other input converts, each tree equals a direct
# conversion, and nothing outside the output folder changes; then a second run has nothing
# to do, a changed input is converted again, and each log names the final paths. The same
# again with format=mgf on the same output folder, one MGF file beside each tree. Two inputs
# for one output are reported before anything runs, runs=. leaves the output folder out,
# and a missing or empty runs folder fails.
# slurm: munged, slurmctld and slurmd as root, with a slurm.conf of the test's own and ports
# of their own; every job goes through sbatch and runs under SLURM, each tree equals a
# direct conversion, and a second run has nothing to do; then the same for MGF files.
set -u
mode=$1 program=$2 gen_ms2=$3 snakefile=$4 docs=$5
command -v snakemake > /dev/null || { echo "snakemake is not installed"; exit 77; }
work=$(mktemp -d)
pids=()
cleanup() {
    [ ${#pids[@]} -gt 0 ] && kill "${pids[@]}" 2> /dev/null && wait "${pids[@]}" 2> /dev/null
    rm -rf "$work"
}
trap cleanup EXIT
cd "$work" || exit 1
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# direct REL/NAME.ms2...: what ms2split itself writes for these inputs, under direct/.
direct() {
    local input
    for input; do
        "$program" ${mgf:+--format mgf} -o "direct/$(dirname "$input")" "runs/$input" > /dev/null || return 1
    done
}

# compare REL/NAME...: each input's tree (or REL/NAME.mgf) under dta/ equals the direct conversion's.
compare() {
    local key
    for key; do
        diff -r "direct/$key" "dta/$key" || fail "dta/$key differs from a direct conversion"
    done
}

# Bounded, so that a job lost by a cluster fails the test instead of hanging it.
# With mgf=1, direct and snake write MGF files.
snake() { timeout 300 snakemake -s "$snakefile" --config ms2split="$program" ${mgf:+format=mgf} "$@"; }
mgf=

if [ "$mode" = local ]; then
    mkdir lab && cd lab || exit 1  # the test's own files stay outside it
    mkdir -p runs/a "runs/sub run"
    "$gen_ms2" 1 1 runs/first.ms2 && "$gen_ms2" 1 2 runs/second.MS2 &&
        "$gen_ms2" 1 3 "runs/sub run/third.ms2" || exit 1
    for name in "br{ace}" a a/b "it's é"; do cp runs/first.ms2 "runs/$name.ms2"; done
    gzip -c runs/first.ms2 > "runs/sub run/zipped.ms2.gz"
    zstd -q -c runs/first.ms2 > "runs/sub run/squeezed.Ms2.Zst"
    for i in 1 2; do printf 'S\t1\t1\t500.1\nZ\t2\t999.2\n100.3 1\n'; done > runs/twice.ms2  # a notice
    printf 'H\tx\ty\n' > "runs/sub run/blank.ms2"  # without spectra: a notice for MGF
    cp runs/first.ms2 runs/...ms2 && cp runs/first.ms2 runs/..ms2
    echo "a user's notes" > runs/notes.txt
    ln -s /proc/self/mem runs/unreadable.ms2  # its reads fail
    keys=(first second "sub run/third" "sub run/zipped" "sub run/squeezed" "br{ace}" a a/b "it's é" twice "sub run/blank")
    inputs=(first.ms2 second.MS2 "sub run/third.ms2" "sub run/zipped.ms2.gz" "sub run/squeezed.Ms2.Zst" "br{ace}.ms2"
        a.ms2 a/b.ms2 "it's é.ms2" twice.ms2 "sub run/blank.ms2")
    direct "${inputs[@]}" || exit 1
    listing() {
        find . -mindepth 1 \( -path ./dta -o -path ./.snakemake -o -path ./direct \) -prune \
            -o -printf '%p %y %s\n' | sort
    }
    listing > ../before
    snake --cores 2 --keep-going > ../first.log 2>&1 && fail "the unreadable input did not fail"
    grep -q "skipping runs/...ms2" ../first.log && grep -q "skipping runs/..ms2" ../first.log ||
        fail "the skipped names were not listed"
    listing | diff ../before - || fail "the workflow changed something outside its output folder"
    compare "${keys[@]}"
    grep -q "ms2split could not convert runs/unreadable.ms2; what it said is in dta/.ms2split/unreadable.log" \
        ../first.log || { cat ../first.log; fail "the failed job's error does not name its input and log"; }
    grep -qx "ms2split: runs/unreadable.ms2: read error: Input/output error" dta/.ms2split/unreadable.log ||
        fail "the failed input's log does not hold ms2split's message"
    [ -f dta/.ms2split/unreadable.done ] && fail "the failed input is marked converted"
    grep -qx "ms2split: dta/twice/twice.00001.00001.2.dta: replaces the file written earlier for the same scan numbers and charge" \
        dta/.ms2split/twice.log || fail "the log does not name the final paths"

    rm runs/unreadable.ms2
    snake --cores 2 > ../second.log 2>&1
    grep -q "Nothing to be done" ../second.log || { cat ../second.log; fail "a second run had work"; }

    sleep 1 && "$gen_ms2" 1 9 runs/second.MS2 && rm -r direct/second && direct second.MS2
    echo "a user's file among the DTA files" > dta/second/notes.txt
    cp dta/second/notes.txt direct/second/
    snake --cores 2 > ../third.log 2>&1 || fail "the run after a change"
    grep -q "1 of 2 steps" ../third.log || { cat ../third.log; fail "not exactly the changed input ran"; }
    compare second

    # MGF files on the same output folder: every input converts again.
    mgf=1 && direct "${inputs[@]}" || exit 1
    ln -s /proc/self/mem runs/unreadable.ms2
    snake --cores 2 --keep-going > ../mgf.log 2>&1 && fail "the unreadable input did not fail"
    [ -e dta/unreadable.mgf ] && fail "the failed input left an MGF file"  # ms2split would put an empty one
    compare "${keys[@]/%/.mgf}"
    grep -qx "ms2split: runs/sub run/blank.ms2: no scan with a charge line; dta/sub run/blank.mgf holds no spectrum" \
        "dta/.ms2split/sub run/blank.log" || fail "the MGF log does not name the final path"
    # A re-run converts the changed input alone: each MGF file above is marked converted.
    rm runs/unreadable.ms2 && sleep 1 && "$gen_ms2" 1 10 runs/second.MS2 && direct second.MS2 &&
        snake --cores 2 > ../mgf2.log 2>&1
    grep -q "1 of 2 steps" ../mgf2.log || { cat ../mgf2.log; fail "not exactly the changed input ran"; }
    compare second.mgf
    mkdir runs/first.mgf && cp runs/first.ms2 runs/first.mgf/x.ms2 && snake --cores 2 -n > ../clash.log 2>&1
    grep -q "runs/first.ms2 would write dta/first.mgf, which runs/first.mgf/x.ms2 needs as a folder" ../clash.log ||
        fail "an MGF file where inputs need a folder was not refused"; rm -r runs/first.mgf

    for twin in first.MS2 first.ms2.gz first.ms2.zst; do
        cp runs/first.ms2 "runs/$twin"
        for mgf in "" 1; do
            snake --cores 2 -n > ../clash.log 2>&1 && fail "$twin beside first.ms2 was not refused"
            grep -q -e "runs/first.ms2 and runs/$twin would both write dta/first${mgf:+.mgf}:" \
                -e "runs/$twin and runs/first.ms2 would both write dta/first${mgf:+.mgf}:" ../clash.log ||
                { cat ../clash.log; fail "the clash does not name both inputs and the output"; }
        done
        rm "runs/$twin"
    done
    snake --cores 2 -n --config runs=. > ../dot.log 2>&1 && ! grep -q "dta/.ms2split/dta/" ../dot.log ||
        { cat ../dot.log; fail "runs=. searched the output folder for inputs"; }

    snake --cores 2 --config runs=nowhere > ../missing.log 2>&1 && fail "a missing runs folder succeeded"
    grep -q "there is no folder 'nowhere'" ../missing.log || { cat ../missing.log; fail "no word on the missing folder"; }
    mkdir empty
    snake --cores 2 --config runs=empty > ../empty.log 2>&1 && fail "an empty runs folder succeeded"
    grep -q "there is no .ms2, .ms2.gz or .ms2.zst file in 'empty'" ../empty.log || { cat ../empty.log; fail "no word on the empty folder"; }
    exit "$failed"
fi

# A one-node SLURM cluster of the test's own.
[ "$(id -u)" = 0 ] || { echo "starting SLURM's daemons needs root"; exit 77; }
for daemon in munged slurmctld slurmd sbatch sinfo; do
    command -v "$daemon" > /dev/null || { echo "$daemon is not installed (Debian: slurm-wlm munge)"; exit 77; }
done
mountpoint -q /sys/fs/cgroup || { echo "slurmd needs a cgroup file system at /sys/fs/cgroup"; exit 77; }
cluster=$work/cluster
mkdir -p "$cluster/state" "$cluster/spool" && chmod 700 "$cluster" || exit 1
free_port() {  # a TCP port nothing listens on
    local port
    for ((port = 20000 + RANDOM % 20000; ; port++)); do
        ss -Htln "sport = :$port" | grep -q . || { echo "$port"; return; }
    done
}
controller_port=$(free_port) && node_port=$((controller_port + 1))
head -c 1024 /dev/urandom > "$cluster/munge.key" && chmod 400 "$cluster/munge.key"
cat > "$cluster/slurm.conf" <<CONF
ClusterName=ms2split
SlurmctldHost=localhost(127.0.0.1)
SlurmctldPort=$controller_port
SlurmdPort=$node_port
SlurmUser=root
AuthType=auth/munge
AuthInfo=socket=$cluster/munge.socket
CredType=cred/munge
StateSaveLocation=$cluster/state
SlurmdSpoolDir=$cluster/spool
SlurmctldPidFile=$cluster/slurmctld.pid
SlurmdPidFile=$cluster/slurmd.pid
SlurmctldLogFile=$cluster/slurmctld.log
SlurmdLogFile=$cluster/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_Core_Memory
ReturnToService=2
NodeName=ms2split-node NodeHostname=localhost NodeAddr=127.0.0.1 CPUs=$(nproc) RealMemory=1000 State=UNKNOWN
PartitionName=ms2split Nodes=ms2split-node Default=YES MaxTime=INFINITE State=UP
CONF
export SLURM_CONF=$cluster/slurm.conf
munged --foreground --force --socket="$cluster/munge.socket" --key-file="$cluster/munge.key" \
    --pid-file="$cluster/munged.pid" --log-file="$cluster/munged.log" \
    --seed-file="$cluster/munge.seed" 2> /dev/null &
pids+=($!)
sleep 1
slurmctld -D -c -i > /dev/null 2>&1 &
pids+=($!)
slurmd -D -N ms2split-node > /dev/null 2>&1 &
pids+=($!)
started=$SECONDS
until [ "$(sinfo -h -n ms2split-node -o %T 2> /dev/null)" = idle ]; do
    if ((SECONDS - started > 60)) || ! kill -0 "${pids[@]}" 2> /dev/null; then
        cat "$cluster"/*.log
        echo "FAIL: the cluster did not start"
        exit 1
    fi
    sleep 1
done
echo "a one-node cluster is up after $((SECONDS - started)) s"

mkdir -p runs/sub
"$gen_ms2" 2 1 runs/one.ms2 && "$gen_ms2" 2 2 runs/two.ms2 && "$gen_ms2" 2 3 runs/sub/three.ms2 ||
    exit 1
direct one.ms2 two.ms2 sub/three.ms2 && mgf=1 direct one.ms2 two.ms2 sub/three.ms2 || exit 1
# Every job says which SLURM job it ran in.
printf '#!/bin/sh\necho "${SLURM_JOB_ID:-none}" >> %s\nexec %s "$@"\n' "$work/jobs" "$program" \
    > "$work/ms2split" && chmod +x "$work/ms2split"
program=$work/ms2split
# As the documentation gives it, from its own text.
submit=$(sed -n 's/.*--cluster "\(sbatch [^"]*\)".*/\1/p' "$docs")
[ -n "$submit" ] || { echo "FAIL: no sbatch command in $docs"; exit 1; }
snake --jobs 3 --keep-going --cluster "$submit" > first.log 2>&1 ||
    { cat first.log dta/.ms2split/slurm-*.out; fail "the workflow on SLURM"; }
[ "$(ls dta/.ms2split/slurm-*.out | wc -l)" = 3 ] || fail "SLURM's job logs are not in dta/.ms2split"
[ "$(grep -c '^[0-9][0-9]*$' jobs)" = 3 ] || { cat jobs; fail "not every job ran under SLURM"; }
[ "$(sort -u jobs | wc -l)" = 3 ] || fail "the jobs did not run as three SLURM jobs"
compare one two sub/three
snake --jobs 3 --keep-going --cluster "$submit" > second.log 2>&1
grep -q "Nothing to be done" second.log || { cat second.log; fail "a second run had work"; }
mgf=1 snake --jobs 3 --keep-going --cluster "$submit" > mgf.log 2>&1 || { cat mgf.log; fail "MGF files on SLURM"; }
[ "$(sort -u jobs | wc -l)" = 6 ] || { cat jobs; fail "the MGF files were not made by three more SLURM jobs"; }
compare one.mgf two.mgf sub/three.mgf
exit "$failed"
