#!/usr/bin/env bash
# The Slurm recipe of docs/scale.md on a one-node cluster made of Debian's slurm-wlm and munge:
# the document's batch script, as a 3-task array, over an archive that holds an unreadable
# folder, a recording with no frames and one whose read fails halfway; then the document's
# retry of the task that failed. Held to a single run of the same archive. Needs root: it starts
# the daemons (without systemd, everything under one temporary folder, stopped by their pids on
# every way out), mounts the failing source and submits the jobs as nobody. Ends with the line
# "slurm: N passed, M failed".
#   tests/scale/slurm_stage.sh BUILD_DIR
set -euo pipefail
build=$(realpath "${1:?usage: $0 BUILD_DIR}")
# shellcheck source=tests/scale/support.sh
. "$(dirname "$0")/support.sh"

finish() {
  local status=$?
  stop_cluster
  unmount_failing_source
  [ -z "${work:-}" ] || rm -rf "$work"
  if [ "$status" -ne 0 ] && [ "$last_status" -eq 0 ]; then
    echo "FAIL the stage stopped early (status $status)"
    failed=$((failed + 1))
  fi
  echo "slurm: $passed passed, $failed failed"
  [ "$failed" -eq 0 ] || exit 1
}
trap finish EXIT

if [ "$(id -u)" -ne 0 ]; then
  skip "the Slurm stage: it needs root"
  exit 0
fi

# A port nothing listens on, so that this cluster does not meet another one on the machine.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("", 0)); print(s.getsockname()[1])'
}
# The node claims 12 processors and 4 GB, so that three tasks of the document's 4 processors and
# 1 GB each run side by side on any machine; the overrides let slurmd believe it.
write_slurm_conf() {
  local host
  host=$(hostname -s)
  cat >"$SLURM_CONF" <<EOF
ClusterName=trunvex-test
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$(free_port)
SlurmdPort=$(free_port)
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$cluster/munge/socket
StateSaveLocation=$cluster/state
SlurmdSpoolDir=$cluster/spool
SlurmctldPidFile=$cluster/slurmctld.pid
SlurmdPidFile=$cluster/slurmd.pid
SlurmctldLogFile=$cluster/log/slurmctld.log
SlurmdLogFile=$cluster/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
ReturnToService=2
MpiDefault=none
JobAcctGatherType=jobacct_gather/none
SlurmdParameters=config_overrides
NodeName=$host NodeAddr=127.0.0.1 CPUs=12 RealMemory=4096 State=UNKNOWN
PartitionName=main Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF
}

# munged gets a key and a socket of its own, so that nothing under /etc or /run is touched.
start_cluster() {
  cluster=$work/slurm
  mkdir -p "$cluster"/{spool,state,log,munge}
  export SLURM_CONF=$cluster/slurm.conf
  write_slurm_conf
  head -c 1024 /dev/urandom >"$cluster/munge/key"
  chmod 400 "$cluster/munge/key"
  /usr/sbin/munged --force --socket="$cluster/munge/socket" --key-file="$cluster/munge/key" \
    --pid-file="$cluster/munge/munged.pid" --seed-file="$cluster/munge/seed" \
    --log-file="$cluster/log/munged.log"
  /usr/sbin/slurmctld -i
  /usr/sbin/slurmd
  local _
  for _ in $(seq 1 60); do
    [ "$(sinfo -h -o %T 2>/dev/null)" != idle ] || return 0
    sleep 0.5
  done
  tail -n 20 "$cluster"/log/*.log
  fail "the node is not idle after 30 s"
}
stop_cluster() {
  [ -n "${cluster:-}" ] || return 0
  local pid_file pid _
  for pid_file in slurmd.pid slurmctld.pid munge/munged.pid; do
    [ -s "$cluster/$pid_file" ] || continue
    pid=$(cat "$cluster/$pid_file")
    kill "$pid" 2>/dev/null || continue
    for _ in $(seq 1 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
  done
  cluster=
}

# submit TEXT: runs a recipe as the jobs' user in the job folder, for two minutes at most; its
# output in $work/submitted.
submit() {
  (cd "$work/job" && as_job_user timeout 120 env SLURM_CONF="$SLURM_CONF" bash -c "$1") \
    >"$work/submitted" 2>&1 || true
}
# task_statuses JOB: "K STATUS" for each task of the array job, as Slurm recorded them.
task_statuses() {
  scontrol -o show job "$1" |
    sed -n 's/.*ArrayTaskId=\([0-9]*\) .*ExitCode=\([0-9]*\):.*/\1 \2/p' | sort
}
job_id() { sed -n 's/^Submitted batch job \([0-9]*\)$/\1/p' "$work/submitted"; }

take_recipes() {
  local script
  script=$(doc_block '#SBATCH --job-name=trunvex')
  # shellcheck disable=SC2016  # the document's own words
  holds "$script" /archive /converted N=10 --array=0-9 '--shard "$SLURM_ARRAY_TASK_ID/$N"'
  for_this_stage "$script" >"$work/job/trunvex.sbatch"
  for_this_stage "$(doc_block 'sbatch --wait trunvex.sbatch')" >"$work/submit.sh"
  doc_block 'sbatch --wait --array=' >"$work/retry.sh"
  grep -q -- '--array=3 ' "$work/retry.sh" || fail "the retry recipe no longer retries task 3"
}
run_array() {
  submit "$(cat "$work/submit.sh")"
  cat "$work/submitted"
  job_id >"$work/first-job"
  [ -s "$work/first-job" ]
  cp -r "$converted/reports" "$work/first"
}
run_retry() {
  local k=$1
  avi_snapshot >"$work/avis-before-retry"
  submit "$(for_this_stage "$(sed "s/--array=3 /--array=$k /" "$work/retry.sh")")"
  cat "$work/submitted"
  job_id >"$work/retry-job"
  [ -s "$work/retry-job" ]
}

make_work
mkdir -p "$work/job"
chown "$job_user" "$work/job"
must "the recipes are in docs/scale.md" take_recipes
make_archive
must "a single run converts the archive as the reference" single_run
start_cluster
must "the document's batch script runs as a 3-task array" run_array
check "every recording is converted exactly once" converted_once
check "the shares' AVIs are the single run's, and none is partial" same_avis_as_single
check "trunvex-cli --verify finds each of these AVIs exact" avis_verified
check "the joined reports name every failure" failures_named
check "the joined reports are the single run's, but for wall_seconds" same_report_as_single
check "each task's exit status tells whether its share failed" \
  statuses_tell "$(task_statuses "$(cat "$work/first-job")")"
retried=$(share_to_retry)
must "the document's retry runs task $retried again" run_retry "$retried"
check "the retry redoes only what failed, in the same share" retry_redid_only_failures "$retried"
check "the joined reports after the retry differ from a single run's only as documented" \
  resumed_report_as_single
check "the retried task's exit status tells that its share still fails" \
  statuses_tell "$(task_statuses "$(cat "$work/retry-job")")"
