#!/usr/bin/env bash
# Starts a one-node Slurm cluster on this machine for trying the job-array recipe
# (and for its test): a private munged, slurmctld and slurmd, all as the calling user,
# with their configuration, state, sockets and logs under STATE_DIR. Needs Debian's
# slurm-wlm and munge packages. Then:
#   export SLURM_CONF=STATE_DIR/slurm.conf      (for sbatch, squeue, sinfo)
#   scripts/slurm/local_cluster_stop.sh STATE_DIR
# Exits non-zero, with the daemons' log tails, when the node does not come up.
set -euo pipefail
dir=${1:?usage: $0 STATE_DIR}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
for tool in munged slurmctld slurmd sinfo; do
  command -v "$tool" >/dev/null || { echo "$tool not found: apt-get install slurm-wlm munge" >&2; exit 3; }
done
mkdir -p "$dir/state" "$dir/spool" "$dir/munge"
chmod 700 "$dir/munge"
user=$(id -un)
host=$(hostname -s)
cpus=$(nproc)
memory_mb=$(awk '/MemTotal/ { print int($2 / 1024 / 2) }' /proc/meminfo)
# Ports apart from a system cluster's defaults (6817, 6818).
ctld_port=${AQ_SLURMCTLD_PORT:-16817}
slurmd_port=${AQ_SLURMD_PORT:-16818}

# A key of our own, so that no system munged is touched.
[ -f "$dir/munge/munge.key" ] || head -c 1024 /dev/urandom >"$dir/munge/munge.key"
chmod 400 "$dir/munge/munge.key"
munged --force --key-file="$dir/munge/munge.key" --socket="$dir/munge/munge.socket" \
  --pid-file="$dir/munge/munged.pid" --log-file="$dir/munge/munged.log" \
  --seed-file="$dir/munge/munged.seed"

cat >"$dir/slurm.conf" <<CONF
ClusterName=aeroquilt-local
SlurmctldHost=$host(127.0.0.1)
SlurmUser=$user
SlurmdUser=$user
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$dir/munge/munge.socket
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
ReturnToService=2
SlurmdTimeout=30
NodeName=$host NodeAddr=127.0.0.1 CPUs=$cpus RealMemory=$memory_mb State=UNKNOWN
PartitionName=local Nodes=$host Default=YES MaxTime=INFINITE State=UP
CONF
echo "SLURM_CONF=$dir/slurm.conf" >"$dir/env"

slurmctld -f "$dir/slurm.conf"
slurmd -f "$dir/slurm.conf"
export SLURM_CONF=$dir/slurm.conf
for _ in $(seq 60); do
  state=$(sinfo -h -o %t 2>/dev/null | head -n 1 || true)
  case $state in idle | mix | alloc) echo "local Slurm cluster up: node $host ($cpus CPUs), SLURM_CONF=$SLURM_CONF"; exit 0 ;; esac
  sleep 0.5
done
echo "the local Slurm node did not come up (state: ${state:-none})" >&2
for log in "$dir/munge/munged.log" "$dir/slurmctld.log" "$dir/slurmd.log"; do
  [ -f "$log" ] && { echo "== $log" >&2; tail -n 15 "$log" >&2; }
done
exit 1
