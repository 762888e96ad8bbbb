#!/usr/bin/env bash
# A one-node Slurm on this machine, for the tests and benchmarks of job arrays.
#
#   tools/slurm_cluster.sh start DIR [OWNER_PID]   # as root; prints SLURM_CONF=DIR/slurm.conf
#   tools/slurm_cluster.sh stop DIR
#
# start writes into the new or empty directory DIR a munge key, slurm.conf
# (one node of this machine's CPUs, proctrack/linuxproc, task/none, no
# accounting, jobs run as their user) and the daemons' state, starts munged,
# slurmctld and slurmd on free ports of the loopback, and waits until the
# node takes jobs. Give SLURM_CONF to sbatch, squeue and scancel.
# stop ends exactly the processes start began (their ids are in DIR/pids),
# waits for them and leaves DIR. With OWNER_PID, a watcher started beside
# them stops them as soon as that process is gone, so that a test run killed
# outright leaves no daemon behind.
set -euo pipefail

usage() { echo "usage: $0 start DIR [OWNER_PID] | stop DIR" >&2; exit 2; }
[ $# -ge 2 ] || usage
action=$1
dir=$2

stop() {
  local pid
  [ -f "$dir/pids" ] || return 0
  # The jobs still in this cluster end first (their steps are not among the ids).
  if [ -f "$dir/slurm.conf" ]; then
    SLURM_CONF=$dir/slurm.conf timeout 10 scancel --full --quiet --user=root >/dev/null 2>&1 || true
    for _ in $(seq 50); do
      [ -z "$(SLURM_CONF=$dir/slurm.conf timeout 5 squeue -h -o %i 2>/dev/null)" ] && break
      sleep 0.2
    done
  fi
  # Newest first: the watcher (unless it is this process), slurmd, slurmctld, munged.
  for pid in $(tac "$dir/pids"); do
    [ "$pid" = "$$" ] && continue
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in $(tac "$dir/pids"); do
    [ "$pid" = "$$" ] && continue
    for _ in $(seq 100); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
  done
  rm -f "$dir/pids"
}

free_port() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

case "$action" in
stop)
  stop
  exit 0
  ;;
start) ;;
*) usage ;;
esac

if [ "$(id -u)" -ne 0 ]; then
  echo "slurm_cluster: needs root (the daemons run as root)" >&2
  exit 2
fi
for program in munged slurmctld slurmd scontrol sinfo; do
  command -v "$program" >/dev/null || { echo "slurm_cluster: $program not found (tools/install_deps.sh installs slurm-wlm and munge)" >&2; exit 2; }
done
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
if [ -n "$(ls -A "$dir")" ]; then
  echo "slurm_cluster: $dir is not empty" >&2
  exit 2
fi
owner=${3:-}
trap 'status=$?; [ $status -eq 0 ] || stop; exit $status' EXIT

mkdir -p "$dir/munge" "$dir/state" "$dir/spool" "$dir/log"
chmod 0700 "$dir/munge"
head -c 1024 /dev/urandom >"$dir/munge/munge.key"
chmod 0400 "$dir/munge/munge.key"
socket=$dir/munge/munge.socket

host=$(hostname -s)
cpus=$(nproc)
ctld_port=$(free_port)
slurmd_port=$(free_port)
while [ "$slurmd_port" = "$ctld_port" ]; do slurmd_port=$(free_port); done
cat >"$dir/slurm.conf" <<EOF
ClusterName=pumaktest
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$socket
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool/%n
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/log/slurmctld.log
SlurmdLogFile=$dir/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
MpiDefault=none
SwitchType=switch/none
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
SlurmctldTimeout=30
SlurmdTimeout=30
InactiveLimit=0
KillWait=5
MinJobAge=300
SchedulerParameters=sched_interval=1
NodeName=$host NodeAddr=127.0.0.1 CPUs=$cpus State=UNKNOWN
PartitionName=debug Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF
export SLURM_CONF=$dir/slurm.conf

munged -F --key-file="$dir/munge/munge.key" --socket="$socket" --pid-file="$dir/munge/munged.pid" \
  --log-file="$dir/log/munged.log" --seed-file="$dir/munge/munged.seed" --force >/dev/null 2>&1 &
echo $! >>"$dir/pids"
for _ in $(seq 100); do [ -S "$socket" ] && break; sleep 0.1; done
[ -S "$socket" ] || { echo "slurm_cluster: munged did not start (see $dir/log/munged.log)" >&2; exit 1; }

slurmctld -D -i -f "$dir/slurm.conf" >"$dir/log/slurmctld.out" 2>&1 &
echo $! >>"$dir/pids"
slurmd -D -f "$dir/slurm.conf" -N "$host" >"$dir/log/slurmd.out" 2>&1 &
echo $! >>"$dir/pids"

if [ -n "$owner" ]; then
  # Started apart from this script's process group, so that it outlives it.
  setsid bash -c 'while kill -0 "$1" 2>/dev/null; do sleep 1; done; exec "$2" stop "$3"' \
    watcher "$owner" "$(cd "$(dirname "$0")" && pwd)/$(basename "$0")" "$dir" </dev/null >/dev/null 2>&1 &
  echo $! >>"$dir/pids"
fi

for _ in $(seq 300); do
  state=$(sinfo -h -N -o '%t' 2>/dev/null | head -n 1 || true)
  case "$state" in idle|mix|alloc) echo "SLURM_CONF=$dir/slurm.conf"; exit 0 ;; esac
  sleep 0.1
done
echo "slurm_cluster: the node is not ready after 30 s (state '${state:-none}'; see $dir/log)" >&2
exit 1
