#!/usr/bin/env bash
# Stops the daemons local_cluster_start.sh started under STATE_DIR (slurmd,
# slurmctld, munged), by the process ids they recorded there.
set -uo pipefail
dir=${1:?usage: $0 STATE_DIR}
for pid_file in "$dir/slurmd.pid" "$dir/slurmctld.pid" "$dir/munge/munged.pid"; do
  [ -f "$pid_file" ] || continue
  pid=$(cat "$pid_file")
  kill "$pid" 2>/dev/null || continue
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -9 "$pid" 2>/dev/null || true
done
exit 0
