# shellcheck shell=bash disable=SC2154,SC2016  # build is set by the stage; jq is not the shell
# Shared by the scale-out stages (sourced, not run): checks that count, the recipes taken out
# of docs/scale.md, an archive that holds every kind of failure, and the comparisons with a
# single run of the same archive.
#
# The recipes are run as docs/scale.md writes them, with these substitutions only: the paths
# /archive and /converted become this stage's folders, and where a recipe cuts the archive into
# ten shares (N=10, --array=0-9) it cuts it into three. trunvex-cli is the one on the PATH, as
# the document asks: this build's, copied where the job's user can run it. The jobs run as
# `nobody`, so that a folder made unreadable is unreadable to them, as it is on a real cluster.

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
doc=$repo/docs/scale.md
job_user=nobody
# shellcheck source=tools/checks.sh
. "$repo/tools/checks.sh"

# doc_block TEXT: the one fenced block of docs/scale.md holding a line with TEXT, without the
# fences and without the indentation of a block inside a list item.
doc_block() {
  awk -v want="$1" '
    /^ *```/ {
      if (open) {
        if (hit) { found++; text = body }
        open = 0
      } else {
        open = 1; hit = 0; body = ""
        indent = match($0, /[^ ]/) - 1
      }
      next
    }
    open {
      line = $0
      if (substr(line, 1, indent) ~ /^ *$/) line = substr(line, indent + 1)
      body = body line "\n"
      if (index(line, want)) hit = 1
    }
    END {
      if (found != 1) {
        printf "docs/scale.md: %d fenced blocks hold \"%s\", not one\n", found, want > "/dev/stderr"
        exit 1
      }
      printf "%s", text
    }' "$doc"
}

# holds TEXT PART...: fails unless every PART is in TEXT (the document changed under the stage,
# which must then change with it).
holds() {
  local text=$1 part
  shift
  for part in "$@"; do
    [[ $text == *"$part"* ]] || fail "the recipe no longer holds \"$part\":"$'\n'"$text" || return
  done
}
# for_this_stage TEXT: a recipe with the stage's folders, and three shares instead of ten.
for_this_stage() {
  local text=$1
  text=${text//\/archive/$archive}
  text=${text//\/converted/$converted}
  text=${text//N=10/N=3}
  text=${text//--array=0-9/--array=0-2}
  printf '%s\n' "$text"
}

# as_job_user COMMAND...: runs it as the jobs' user, with this build's trunvex-cli first on the
# PATH and a home of its own; no standard input, as in CI.
as_job_user() {
  runuser -u "$job_user" -- env HOME="$work/home" PATH="$work/bin:$PATH" "$@" </dev/null
}

# A place for everything the stage makes, reachable by the jobs' user; removed on every way out
# by the stage's own cleanup, which calls unmount_failing_source first.
make_work() {
  work=$(mktemp -d)
  chmod 755 "$work"
  archive=$work/archive
  converted=$work/converted
  single_report=$work/single/reports/report.jsonl
  mkdir -p "$work/bin" "$work/home"
  cp "$build/src/cli/trunvex-cli" "$work/bin/"
  chown "$job_user" "$work/home"
}

# The archive: six recordings that convert (two codecs, both extensions, three folder levels),
# one with no frames, one in a folder the jobs' user cannot read and, where this machine has
# loop devices, one whose read fails halfway. expected_failures lists "source exit_status reason"
# for what must fail, sorted.
make_archive() {
  local mk=$build/tools/mkrecording/trunvex-mkrecording
  mkdir -p "$archive"/{cam1/day1,cam1/day2,cam2,locked,zz}
  "$mk" --size 160x120 --seconds 1 --out "$archive/cam1/day1/0900.264" >/dev/null
  "$mk" --video mpeg4 --size 160x120 --seconds 1 --audio pcm16 \
    --out "$archive/cam1/day2/0900.264" >/dev/null
  "$mk" --video h264-annexb --size 176x144 --seconds 1 --audio alaw \
    --out "$archive/cam2/front.mp4" >/dev/null
  # Recordings cut short still convert, each to an AVI of its own.
  cut_copy "$archive/cam1/day1/0900.264" "$archive/cam1/day1/1000.264"
  cut_copy "$archive/cam2/front.mp4" "$archive/cam2/rear.264"
  cut_copy "$archive/cam1/day2/0900.264" "$archive/zz/last.264"
  head -c 4096 /dev/zero >"$archive/cam2/blank.264"
  cp "$archive/cam1/day1/0900.264" "$archive/locked/0900.264"
  expected_failures="$archive/cam2/blank.264 3 null"$'\n'"$archive/locked 5 Permission denied"
  chmod -R a+rX "$archive"
  chmod 000 "$archive/locked"
  if failing_source_possible; then
    mount_failing_source "$archive/failing"
    expected_failures+=$'\n'"$archive/failing/0900.264 1 Input/output error"
  fi
  expected_failures=$(sort <<<"$expected_failures")
}
failing_source_possible() {
  if command -v losetup mkfs.ext4 filefrag >/dev/null && losetup -f >/dev/null 2>&1; then
    return 0
  fi
  skip "a source whose read fails halfway: no loop device or ext4 tools here"
  return 1
}
cut_copy() { head -c $(($(stat -c %s "$1") * 2 / 3)) "$1" >"$2"; }

# mount_failing_source DIR: DIR becomes a small ext4 file system on a loop device, holding a
# recording whose second half lies past the end of the device, so that reading it fails halfway
# with EIO, as a failing card does.
mount_failing_source() {
  local dir=$1 image=$work/failing.img recording=$1/0900.264 extent
  truncate -s 16M "$image"
  mkfs.ext4 -q -F -b 4096 "$image"
  loop_device=$(losetup -f --show "$image")
  mkdir -p "$dir"
  mount "$loop_device" "$dir"
  failing_dir=$dir
  rmdir "$dir/lost+found"
  "$build/tools/mkrecording/trunvex-mkrecording" --video mpeg4 --size 320x240 --seconds 4 \
    --bitrate 6M --out "$recording" >/dev/null
  chmod 755 "$dir"
  chmod 644 "$recording"
  # Mounted again, nothing of the recording is left in memory: every read goes to the device.
  umount "$dir"
  mount -o ro "$loop_device" "$dir"
  extent=$(filefrag -v "$recording" | awk '$1 == "0:" { sub(/\.\./, "", $4); sub(/:/, "", $6);
                                                       print $4 + int($6 / 2) }')
  truncate -s $((extent * 4096)) "$image"
  losetup -c "$loop_device"
  if cat "$recording" >/dev/null 2>&1; then
    fail "the recording on $loop_device still reads whole"
  fi
}
unmount_failing_source() {
  if [ -n "${failing_dir:-}" ]; then umount "$failing_dir" || umount -l "$failing_dir" || true; fi
  if [ -n "${loop_device:-}" ]; then losetup -d "$loop_device" || true; fi
  failing_dir=
  loop_device=
}

# The reference: the whole archive converted by one process with the recipes' options; its AVIs
# and report are moved to $work/single, so that the shares then write the very same paths.
single_run() {
  mkdir -p "$converted/reports"
  chown -R "$job_user" "$converted"
  as_job_user trunvex-cli -q -r "$archive" --output-dir "$converted" --skip-existing --fsync \
    --report "$converted/reports/report.jsonl" 2>/dev/null || true
  mv "$converted" "$work/single"
  mkdir -p "$converted"
  chown "$job_user" "$converted"
  [ -s "$single_report" ]
}

# Each share's report, joined in shard order, as the document joins them.
joined() { for k in 0 1 2; do cat "$converted/reports/report-$k.jsonl"; done; }

# Every recording the single run converted was converted by exactly one share, and nothing else.
converted_once() {
  diff <(joined | jq -r 'select(.outcome == "converted") | .source' | sort) \
    <(jq -r 'select(.outcome == "converted") | .source' "$single_report" | sort)
}
# The shares wrote the single run's AVIs byte for byte and nothing else (no partial or temporary
# file), and neither wrote an AVI for a source that failed.
same_avis_as_single() {
  diff -r --exclude=reports --exclude=report.jsonl "$work/single" "$converted"
  local source avi
  while read -r source _; do
    avi=${source#"$archive"}
    avi=$converted${avi%.*}.avi
    [ ! -e "$avi" ] || fail "an AVI for a source that failed: $avi"
  done <<<"$expected_failures"
}
# trunvex-cli --verify finds every AVI the shares made to be exactly what this build makes of
# its recording.
avis_verified() {
  as_job_user trunvex-cli -q --verify -r "$archive" --output-dir "$converted" \
    --report "$work/home/verify.jsonl" 2>/dev/null || true
  diff <(jq -r 'select(.outcome == "verified") | .source' "$work/home/verify.jsonl") \
    <(jq -r 'select(.outcome == "converted") | .source' "$single_report")
}
# The joined reports name every failure, with its status and the system's reason, once.
failures_named() {
  diff <(joined | jq -r 'select(.outcome == "failed") | "\(.source) \(.exit_status) \(.reason)"' |
    sort) <(printf '%s\n' "$expected_failures")
}
# The joined reports are the single run's, but for the time each conversion took.
same_report_as_single() {
  diff <(joined | jq -c 'del(.wall_seconds)') <(jq -c 'del(.wall_seconds)' "$single_report")
}
# What docs/scale.md says a skipped line of a resumed share may differ in from the single run's
# line, as a jq filter that deletes them: the `names` after "only in" in its paragraph on
# resumed shares (`video[].frames`: in every video stream).
resumed_fields() {
  awk '/^- A share that was run again/ { on = 1; print; next }
       on && /^(- |$)/ { exit }
       on' "$doc" | tr '\n' ' ' | sed 's/.* only in //; s/\. .*//' |
    { grep -o '`[a-z_]*\(\[\]\)\?\(\.[a-z_]*\)*`' || true; } | tr -d '`' | sed 's/^/./' |
    paste -s -d, | sed 's/.*/del(&)/'
}
# After a retry, the joined reports are the single run's but in what the document names, and
# only in the lines of recordings the retry found converted.
resumed_report_as_single() {
  local fields skipped normal
  fields=$(resumed_fields)
  [ -n "$fields" ] || fail "docs/scale.md names no field that a resumed share changes"
  skipped=$(joined | jq -s -c 'map(select(.outcome == "skipped") | .source)')
  [ "$skipped" != "[]" ] || fail "the retry skipped nothing"
  normal="if (.source | IN(\$skipped[])) then $fields else del(.wall_seconds) end"
  diff <(joined | jq -c --argjson skipped "$skipped" "$normal") \
    <(jq -c --argjson skipped "$skipped" "$normal" "$single_report")
}
# statuses_tell "K STATUS"...: each share ended with the status of its first failure, 0 without.
statuses_tell() {
  local k status expected
  while read -r k status; do
    expected=$(jq -s 'map(select(.outcome == "failed")) | .[0].exit_status // 0' \
      "$converted/reports/report-$k.jsonl")
    [ "$status" = "$expected" ] || fail "share $k ended with status $status, its report: $expected"
  done <<<"$1"
}

# avi_snapshot: every AVI with its inode, size and time, to tell whether a retry rewrote one.
avi_snapshot() { find "$converted" -name '*.avi' -printf '%P %i %s %T@\n' | sort; }
# retry_redid_only_failures K...: each retried share's new report lists the same recordings as
# its first (the same share of the same N); the ones converted then are skipped now, the failed
# ones were tried again and failed the same way; no AVI was written again.
retry_redid_only_failures() {
  local k
  for k in "$@"; do
    diff <(jq -c '{source, outcome: (if .outcome == "converted" then "skipped" else .outcome end),
                  exit_status}' "$work/first/report-$k.jsonl") \
      <(jq -c '{source, outcome, exit_status}' "$converted/reports/report-$k.jsonl")
  done
  diff "$work/avis-before-retry" <(avi_snapshot)
}
# The share whose first report holds the failure a retry can hope to cure (the failing read).
share_to_retry() {
  local k
  for k in 0 1 2; do
    if jq -e -s 'any(.outcome == "failed" and .exit_status == 1)' \
      "$converted/reports/report-$k.jsonl" >/dev/null; then
      echo "$k"
      return
    fi
  done
  for k in 0 1 2; do
    if jq -e -s 'any(.outcome == "failed")' "$converted/reports/report-$k.jsonl" >/dev/null; then
      echo "$k"
      return
    fi
  done
  fail "no share failed"
}
