#!/usr/bin/env bash
# Tries docs/examples/slurm.sbatch for real on this machine: starts munged and a one-node Slurm
# (slurmctld + slurmd, no systemd) in a scratch directory, submits the job with a time limit of
# a few minutes, and follows it until the job, cut by its limit and requeued as often as it
# takes, prints its digits; then checks them and stops what it started. Needs root (slurmd
# starts jobs as their user). Slurm sends the early signal within about a minute of the time
# asked for, so the limit must leave the program time to start and to save.
#
#   scripts/slurm-trial.sh [PROGRAM]     (default build/release/BBP/tallyspire-bbp)
#
# Environment: PLACE, FORMULA, DIGITS, THREADS (the job's run; default 1e10+1, bellard, 16, 1:
# several minutes of work, longer than one time limit), EXPECT (the hexadecimal digits it must
# print; default those of place 10^10 + 1), LIMIT (the job's time limit in minutes, default 5),
# EARLY (seconds before the limit the program is told to save, default 150), GIVE_UP (seconds
# before the trial fails, default 3600),
# SLURMCTLD_PORT and SLURMD_PORT (default 6817 and 6818), SBATCH_SCRIPT (the job script) and
# SBATCH_OPTIONS (more options for sbatch). The MPI job, 2 ranks of one thread on this node:
#   SBATCH_SCRIPT=docs/examples/slurm-mpi.sbatch SBATCH_OPTIONS='--nodes=1 --ntasks-per-node=2' \
#   OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 OMP_NUM_THREADS=1 \
#   scripts/slurm-trial.sh build/release/BBP/tallyspire-bbp-mpi
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
tly_bbp_need_packages "${SLURM_PACKAGES[@]}"
[ "$(id -u)" = 0 ] || { echo "error: run as root: slurmd must be able to start jobs" >&2; exit 1; }

program=$(realpath "${1:-build/release/BBP/tallyspire-bbp}")
[ -x "$program" ] || { echo "error: no program at $program (build it first)" >&2; exit 1; }
sbatch_script=$(realpath "${SBATCH_SCRIPT:-docs/examples/slurm.sbatch}")
place=${PLACE:-1e10+1} formula=${FORMULA:-bellard} digits=${DIGITS:-16} threads=${THREADS:-1}
expect=${EXPECT:-21c73c6838fb2}   # place 10^10 + 1, as published by Bailey, Borwein and Plouffe
limit=${LIMIT:-5} early=${EARLY:-150} give_up=${GIVE_UP:-3600}

dir=$(mktemp -d /tmp/tly-slurm.XXXXXX)
chmod 755 "$dir"
mkdir -m 711 "$dir/munge"
mkdir "$dir/state" "$dir/spool" "$dir/shared"
host=$(hostname -s)
pids=()
stop_all() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  echo "logs and the job's files: $dir"
}
trap stop_all EXIT
log() { echo "$(date -u '+%T') $*"; }

mungekey --create --keyfile="$dir/munge/munge.key" >/dev/null
munged --foreground --force --socket="$dir/munge/socket" --key-file="$dir/munge/munge.key" \
  --pid-file="$dir/munge/pid" --log-file="$dir/munge/log" --seed-file="$dir/munge/seed" \
  2>"$dir/munged.err" &
pids+=($!)

export SLURM_CONF="$dir/slurm.conf"
cat >"$SLURM_CONF" <<CONF
ClusterName=trial
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=${SLURMCTLD_PORT:-6817}
SlurmdPort=${SLURMD_PORT:-6818}
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$dir/munge/socket
CredType=cred/munge
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
SchedulerType=sched/backfill
ReturnToService=2
KillWait=30
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/slurmd.log
NodeName=$host NodeAddr=127.0.0.1 CPUs=$(getconf _NPROCESSORS_ONLN) State=UNKNOWN
PartitionName=trial Nodes=$host Default=YES MaxTime=INFINITE State=UP
CONF

for _ in $(seq 50); do [ -S "$dir/munge/socket" ] && break; sleep 0.2; done
slurmctld -D -c -i 2>"$dir/slurmctld.err" &
pids+=($!)
slurmd -D 2>"$dir/slurmd.err" &
pids+=($!)
for _ in $(seq 60); do
  [ "$(sinfo -h -o %T 2>/dev/null)" = idle ] && break
  sleep 1
done
[ "$(sinfo -h -o %T)" = idle ] || { echo "error: the node did not come up" >&2; exit 1; }
log "slurm up: $(sinfo -h -o '%P %D %T %c')"

started=$SECONDS
# shellcheck disable=SC2086 # SBATCH_OPTIONS holds several options
job=$(cd "$dir/shared" && PROGRAM="$program" PLACE="$place" FORMULA="$formula" DIGITS="$digits" \
  THREADS="$threads" CHECKPOINT="$dir/shared/run.checkpoint" \
  sbatch --parsable --cpus-per-task="$threads" --time="$limit" --signal="B:TERM@$early" \
    ${SBATCH_OPTIONS:-} "$sbatch_script")
log "submitted job $job: --place $place --formula $formula --digits $digits --threads $threads," \
  "time limit $limit min, SIGTERM $early s before it"

last=""
while :; do
  line=$(scontrol show job "$job" | tr ' ' '\n' | grep -E '^(JobState|Restarts)=' | paste -sd' ')
  state=$(sed -E 's/.*JobState=([A-Z_]+).*/\1/' <<<"$line")
  restarts=$(sed -E 's/.*Restarts=([0-9]+).*/\1/' <<<"$line")
  if [ "$state $restarts" != "$last" ]; then
    log "job $job: $state, restarts $restarts"
    last="$state $restarts"
  fi
  case $state in COMPLETED | FAILED | CANCELLED | TIMEOUT | NODE_FAIL | OUT_OF_MEMORY) break ;; esac
  ((SECONDS - started < give_up)) || { echo "error: gave up after $give_up s" >&2; exit 1; }
  sleep 5
done
log "job $job ended $state after $((SECONDS - started)) s; its output:"
out=$(ls "$dir/shared/"*"-$job.out")
cat "$out"
if [ "$state" = COMPLETED ] && [ "$restarts" -ge 1 ] && grep -q "hexadecimal $expect" "$out"; then
  log "trial passed: cut by its time limit $restarts time(s), requeued, and the digits are right"
else
  log "trial FAILED (state $state, restarts $restarts, expected hexadecimal $expect...)"
  exit 1
fi
