#!/usr/bin/env bash
# The GNU parallel recipe of docs/scale.md, on this machine (--sshlogin :), over an archive that
# holds an unreadable folder, a recording with no frames and one whose read fails halfway; then
# the document's retry of the failed shares (parallel --resume-failed). Held to a single run of
# the same archive. And the Kubernetes manifest, which stays on paper: it must parse and cut the
# archive as the other recipes do. Needs root (it mounts the failing source and runs the shares
# as nobody). Ends with the line "parallel: N passed, M failed".
#   tests/scale/parallel_stage.sh BUILD_DIR
set -euo pipefail
build=$(realpath "${1:?usage: $0 BUILD_DIR}")
# shellcheck source=tests/scale/support.sh
. "$(dirname "$0")/support.sh"

finish() {
  local status=$?
  unmount_failing_source
  [ -z "${work:-}" ] || rm -rf "$work"
  if [ "$status" -ne 0 ] && [ "$last_status" -eq 0 ]; then
    echo "FAIL the stage stopped early (status $status)"
    failed=$((failed + 1))
  fi
  echo "parallel: $passed passed, $failed failed"
  [ "$failed" -eq 0 ] || exit 1
}
trap finish EXIT

# The document's three ssh hosts become this machine, three times over.
take_recipe() {
  local recipe
  recipe=$(doc_block 'parallel --will-cite')
  # shellcheck disable=SC2016  # the document's own words
  holds "$recipe" /archive /converted N=3 '--sshlogin alpha,bravo,charlie' '--shard {}/$N' \
    '--joblog /converted/reports/joblog.txt' 'parallel --will-cite '
  recipe=$(for_this_stage "$recipe")
  printf '%s\n' "${recipe//--sshlogin alpha,bravo,charlie/--sshlogin :}" >"$work/recipe.sh"
  # "parallel --resume-failed --joblog ... with the same arguments runs the failed shares again"
  sed 's/parallel --will-cite /parallel --will-cite --resume-failed /' "$work/recipe.sh" \
    >"$work/retry.sh"
}
run_shares() {
  as_job_user timeout 120 bash "$work/recipe.sh" || true
  cp -r "$converted/reports" "$work/first"
}
# joblog_statuses [FROM_LINE]: "K STATUS" for each share the joblog records from that line on.
joblog_statuses() {
  tail -n +"${1:-2}" "$converted/reports/joblog.txt" |
    awk -F'\t' 'match($9, /--shard [0-9]+\//) { print substr($9, RSTART + 8, RLENGTH - 9), $7 }' |
    sort
}
failed_shares() { awk '$2 != 0 { print $1 }' "$work/first-statuses"; }
run_retry() {
  avi_snapshot >"$work/avis-before-retry"
  joblog_statuses >"$work/first-statuses"
  wc -l <"$converted/reports/joblog.txt" >"$work/joblog-lines"
  as_job_user timeout 120 bash "$work/retry.sh" || true
}
# The retry ran again exactly the shares that had failed, and they redid only what failed.
retried_only_failures() {
  diff <(joblog_statuses "$(($(cat "$work/joblog-lines") + 1))" | awk '{ print $1 }') \
    <(failed_shares)
  # shellcheck disable=SC2046  # one argument per share
  retry_redid_only_failures $(failed_shares)
}

# The manifest parses, is an Indexed Job of as many completions as the N of its --shard, gives
# each pod its index as K, and is joined with the same N.
manifest_cuts_as_documented() {
  local join_n
  join_n=$(doc_block 'kubectl wait' | sed -n 's/^N=\([0-9]*\)$/\1/p')
  # shellcheck disable=SC2016  # Python, not the shell
  doc_block 'kind: Job' | python3 -c '
import re, sys, yaml
job = yaml.safe_load(sys.stdin)
spec = job["spec"]
assert job["apiVersion"] == "batch/v1" and job["kind"] == "Job", "not a batch/v1 Job"
assert spec["completionMode"] == "Indexed", "not an Indexed Job"
n = spec["completions"]
assert 0 < spec["parallelism"] <= n, "parallelism beyond completions"
pod = spec["template"]["spec"]
assert pod["restartPolicy"] == "OnFailure", "a failed pod is not retried in place"
command = " ".join(pod["containers"][0]["command"] + pod["containers"][0]["args"])
shard = re.search(r"--shard \$JOB_COMPLETION_INDEX/(\d+)\b", command)
assert shard and int(shard.group(1)) == n, "--shard K/N does not take N from completions"
assert "report-$JOB_COMPLETION_INDEX.jsonl" in command, "the report is not named by the index"
for option in ("--skip-existing", "--fsync"):
    assert option in command, option + " is missing"
assert int(sys.argv[1]) == n, "the reports are joined for another N"
' "$join_n"
}

[ "$(id -u)" -eq 0 ] || {
  skip "the GNU parallel stage: it needs root"
  exit 0
}
make_work
must "the recipe is in docs/scale.md" take_recipe
make_archive
must "a single run converts the archive as the reference" single_run
must "the document's recipe runs three shares" run_shares
check "every recording is converted exactly once" converted_once
check "the shares' AVIs are the single run's, and none is partial" same_avis_as_single
check "trunvex-cli --verify finds each of these AVIs exact" avis_verified
check "the joined reports name every failure" failures_named
check "the joined reports are the single run's, but for wall_seconds" same_report_as_single
check "each share's exit status tells whether it failed" statuses_tell "$(joblog_statuses)"
must "the document's retry runs the failed shares again" run_retry
check "the retry redoes only what failed, in the same shares" retried_only_failures
check "the joined reports after the retry differ from a single run's only as documented" \
  resumed_report_as_single
check "the Kubernetes manifest parses and cuts the archive into the same N shares" \
  manifest_cuts_as_documented
