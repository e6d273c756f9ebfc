#!/bin/sh
# The Slurm example, run for real: a private one-node cluster (its own munge
# key and socket, slurmctld and slurmd on free ports, everything in a
# temporary directory) runs examples/slurm/export-archive.sbatch as a 4-task
# array over a generated archive of nested fax files. Every output must equal
# a one-thread export of its file alone, and the four reports together must
# list every fax file exactly once.
#
#   export_archive.sh FAXTOOL SOURCE_DIR
set -eu

faxtool=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
source_dir=$(cd "$2" && pwd)
sbatch_script=$source_dir/examples/slurm/export-archive.sbatch
tasks=4

fail() {
    echo "export_archive: $*" >&2
    exit 1
}

for program in munged slurmctld slurmd sbatch sinfo python3; do
    command -v $program >/dev/null 2>&1 ||
        fail "$program is missing: install slurm-wlm and munge (tools/install-deps.sh test)"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/slurm-test.XXXXXX")
chmod 755 "$work"
stop_daemons() {
    for pid_file in "$work/slurmd.pid" "$work/slurmctld.pid"; do
        [ -s "$pid_file" ] && kill "$(cat "$pid_file")" 2>/dev/null || :
    done
    [ -S "$work/munge/socket" ] && munged --stop --socket="$work/munge/socket" >/dev/null 2>&1 || :
    # The daemons are gone before their directory goes.
    for pid_file in "$work/slurmd.pid" "$work/slurmctld.pid" "$work/munge/pid"; do
        if [ -s "$pid_file" ]; then
            pid=$(cat "$pid_file")
            i=0
            while kill -0 "$pid" 2>/dev/null && [ $i -lt 50 ]; do
                sleep 0.1
                i=$((i + 1))
            done
            kill -9 "$pid" 2>/dev/null || :
        fi
    done
}
cleanup() {
    status=$?
    stop_daemons
    if [ $status -ne 0 ]; then
        for log in "$work"/log/*; do
            [ -f "$log" ] && { echo "--- $log"; tail -n 20 "$log"; } >&2
        done
    fi
    rm -rf "$work"
    exit $status
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# ---- the archive: 9 distinct files (three samples in three codings) copied
# into nested directories, names with and without extensions, and files
# that are no fax files beside them.
mkdir -p "$work/archive" "$work/base" "$work/log"
n=0
for sample in sample sample_mr sample_mmr; do
    for coding in mh mr mmr; do
        cp "$source_dir/examples/$sample.fax" "$work/base/$n.fax"
        "$faxtool" recompress -c $coding "$work/base/$n.fax" >/dev/null
        n=$((n + 1))
    done
done
i=0
while [ $i -lt 216 ]; do
    directory=$work/archive/$((i % 3))/$((i % 4))/$((i % 5))
    mkdir -p "$directory"
    name=f$i.fax
    [ $((i % 7)) -eq 0 ] && name=f$i
    cp "$work/base/$((i % 9)).fax" "$directory/$name"
    i=$((i + 1))
done
echo "not a fax file" >"$work/archive/0/README.txt"
echo "neither" >"$work/archive/1/1/notes"
expected=$(cd "$work/archive" && find . -type f ! -name README.txt ! -name notes | sed 's|^\./|archive/|' | LC_ALL=C sort)
[ "$(echo "$expected" | wc -l)" -ge 200 ] || fail "the archive holds fewer than 200 fax files"

# ---- the cluster
free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
mkdir -p "$work/munge" "$work/state" "$work/spool"
chmod 700 "$work/munge"
dd if=/dev/urandom of="$work/munge/key" bs=1024 count=1 2>/dev/null
chmod 400 "$work/munge/key"
munged --force --socket="$work/munge/socket" --key-file="$work/munge/key" \
    --pid-file="$work/munge/pid" --log-file="$work/log/munged.log" --seed-file="$work/munge/seed" ||
    fail "munged did not start"

node=$(hostname -s)
cat >"$work/slurm.conf" <<CONF
ClusterName=faxtest
SlurmctldHost=$node(127.0.0.1)
SlurmctldPort=$(free_port)
SlurmdPort=$(free_port)
SlurmUser=$(id -un)
SlurmdUser=$(id -un)
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$work/munge/socket
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/log/slurmctld.log
SlurmdLogFile=$work/log/slurmd.log
PlugStackConfig=$work/plugstack.conf
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SchedulerType=sched/builtin
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
ReturnToService=2
NodeName=$node NodeAddr=127.0.0.1 CPUs=$(nproc) State=UNKNOWN
PartitionName=test Nodes=ALL Default=YES MaxTime=10 State=UP
CONF
: >"$work/plugstack.conf"
export SLURM_CONF="$work/slurm.conf"
slurmctld -i -f "$SLURM_CONF" || fail "slurmctld did not start"
slurmd -f "$SLURM_CONF" || fail "slurmd did not start"
i=0
until [ "$(sinfo -h -o %T 2>/dev/null)" = idle ]; do
    i=$((i + 1))
    [ $i -lt 150 ] || fail "the node never became idle: $(sinfo -h -o %T 2>&1)"
    sleep 0.2
done

# ---- the run
cd "$work"
FAXTOOL=$faxtool timeout 100 sbatch --wait --parsable --array=0-$((tasks - 1)) --cpus-per-task=1 \
    --output="$work/log/task-%a.log" "$sbatch_script" archive out pdf >"$work/job" ||
    fail "the array job failed (job $(cat "$work/job" 2>/dev/null))"

# ---- the checks
listed=$(cat out/reports/*.jsonl | sed -n 's/^{"file": "\([^"]*\)".*/\1/p' | LC_ALL=C sort)
[ "$listed" = "$expected" ] || fail "the reports do not list every file once:
$(printf '%s\n' "$expected" >expected.txt; printf '%s\n' "$listed" >listed.txt; diff expected.txt listed.txt | head)"
t=0
while [ $t -lt $tasks ]; do
    [ -s out/reports/$t.jsonl ] || fail "task $t took no files"
    t=$((t + 1))
done
! grep -v '"status": "ok"' out/reports/*.jsonl || fail "a file was not ok"
for file in $expected; do
    relative=${file#archive/}
    "$faxtool" export -j 1 -o reference.pdf "$file" || fail "cannot export $file alone"
    cmp -s reference.pdf "out/${relative%.fax}.pdf" || fail "out/${relative%.fax}.pdf differs from $file exported alone"
done
echo "export_archive: $(echo "$expected" | wc -l) files in $tasks shards, every output as exported alone"
