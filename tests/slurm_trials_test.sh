#!/usr/bin/env bash
# Trials on a real Slurm: starts a throwaway single-node cluster (munged, slurmctld and slurmd on
# local ports, configured in a temporary folder, no systemd), submits 4 shards of 200 trials of
# the demo program with scripts/trials-slurm.sh, waits for the merge and checks that the merged
# results are byte for byte those of the same trials run on this machine. Every daemon it started
# is stopped however it ends. Needs root (the daemons run as root here); exit 77 is a skip.
# Usage: slurm_trials_test.sh KESTRIN_STUDIO SOURCE_DIR
set -euo pipefail
studio="$1" source="$2"
skip() { echo "SKIPPED: $*"; exit 77; }

[ "$(id -u)" -eq 0 ] || skip "the throwaway Slurm cluster needs root (its daemons run as root)."
for tool in munged slurmctld slurmd sbatch sinfo squeue; do
  command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] ||
    skip "'$tool' is not installed: scripts/setup.sh installs slurm-wlm and munge."
done
export PATH="$PATH:/usr/sbin"

tmp="$(mktemp -d /tmp/kestrin-slurm.XXXXXX)"
pids=()
cleanup() {
  local status=$?
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  done
  if [ $status -ne 0 ] && [ $status -ne 77 ]; then
    for log in "$tmp"/*.log "$tmp"/shared/*.log "$tmp"/shared/summary.txt; do
      [ -f "$log" ] && { echo "--- $log"; tail -n 30 "$log"; }
    done
  fi
  rm -rf "$tmp"
  exit $status
}
trap cleanup EXIT INT TERM

# munge, with a key of its own and its socket in the folder.
dd if=/dev/urandom of="$tmp/munge.key" bs=1024 count=1 status=none
chmod 400 "$tmp/munge.key"
munged --foreground --force --key-file="$tmp/munge.key" --socket="$tmp/munge.socket" \
  --pid-file="$tmp/munged.pid" --log-file="$tmp/munged.log" --seed-file="$tmp/munge.seed" >"$tmp/munged.out" 2>&1 &
pids+=($!)
for _ in $(seq 1 50); do [ -S "$tmp/munge.socket" ] && break; sleep 0.1; done
[ -S "$tmp/munge.socket" ] || { echo "munged did not start"; cat "$tmp/munged.out"; exit 1; }

host="$(hostname -s)"
port=$((20000 + RANDOM % 20000))
mkdir -p "$tmp/state" "$tmp/spool" "$tmp/shared"
node="$(slurmd -C | head -n 1)"
cat > "$tmp/slurm.conf" <<CONF
ClusterName=kestrin-test
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$port
SlurmdPort=$((port + 1))
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$tmp/munge.socket
CredType=cred/munge
StateSaveLocation=$tmp/state
SlurmdSpoolDir=$tmp/spool
SlurmctldPidFile=$tmp/slurmctld.pid
SlurmdPidFile=$tmp/slurmd.pid
SlurmctldLogFile=$tmp/slurmctld.log
SlurmdLogFile=$tmp/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
MpiDefault=none
ReturnToService=2
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SlurmctldTimeout=30
SlurmdTimeout=30
InactiveLimit=0
MinJobAge=300
$node NodeAddr=127.0.0.1 State=UNKNOWN
PartitionName=trials Nodes=ALL Default=YES MaxTime=INFINITE State=UP
CONF
export SLURM_CONF="$tmp/slurm.conf"

slurmctld -D -i -f "$SLURM_CONF" >"$tmp/slurmctld.out" 2>&1 &
pids+=($!)
slurmd -D -f "$SLURM_CONF" >"$tmp/slurmd.out" 2>&1 &
pids+=($!)
state=""
for _ in $(seq 1 150); do
  state="$(sinfo -h -o %T 2>/dev/null | head -n 1 || true)"
  [ "$state" = idle ] && break
  sleep 0.2
done
[ "$state" = idle ] || { echo "the Slurm node did not come up (state '$state')"; cat "$tmp"/*.out; exit 1; }
echo "Slurm is up on $host, ports $port and $((port + 1))."

demo="$source/data/templates/demo_cell.kestrin"
"$source/scripts/trials-slurm.sh" "Pick and Place" "$demo" --trials 200 --shards 4 --seed 9 \
  --out "$tmp/shared" --studio "$studio" --wait
set +e
"$studio" --run "Pick and Place" "$demo" --trials 200 --seed 9 --jobs 2 --results "$tmp/local.jsonl"
local_status=$?
set -e
[ $local_status -le 1 ] || { echo "the local run failed ($local_status)"; exit 1; }
for i in 1 2 3 4; do
  lines=$(wc -l < "$tmp/shared/shard-$i.jsonl")
  [ "$lines" -eq 51 ] || { echo "shard $i has $lines lines, not 50 trials and a summary"; exit 1; }
done
cmp "$tmp/shared/results.jsonl" "$tmp/local.jsonl" || { echo "the merged results differ from the local run"; exit 1; }
echo "The merged results of 4 shards on Slurm equal the local run of 200 trials."
