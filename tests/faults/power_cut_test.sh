#!/bin/bash
# A power cut right after a conversion, on a real ext4 file system: the file system's image is
# copied before its dirty pages are written back (they wait 30 s; the journal commits each
# second here), repaired as after a reboot and mounted. Without --fsync the new AVI may be
# missing, empty or cut there, and a resume must convert it again rather than skip it; with
# --fsync the AVI is whole. Needs root, loop devices, mkfs.ext4 and e2fsck; skipped (77)
# without them.
set -u
cli=$1
source=$2
work=$3

skip() { echo "skipped: $*"; exit 77; }
fail() { echo "FAILED: $*"; exit 1; }
[ "$(id -u)" = 0 ] || skip "not root"
for tool in mkfs.ext4 e2fsck losetup mount umount; do
    command -v "$tool" >/dev/null || skip "$tool is missing"
done

rm -rf "$work"
mkdir -p "$work/disk" "$work/copy"
mounted=()
cleanup() {
    for m in "${mounted[@]}"; do umount "$m" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
mkfs.ext4 -q -F "$work/disk.img" 64M >/dev/null 2>&1 || skip "mkfs.ext4 failed"
mount -o loop,commit=1 "$work/disk.img" "$work/disk" 2>/dev/null || skip "cannot mount a loop device"
mounted+=("$work/disk")

# Converts onto the disk, lets the journal commit the new name, then copies the disk as the
# power cut would leave it, repaired and mounted at $work/copy.
cut_power_after() {
    "$cli" -q "$@" || fail "conversion $* failed"
    sleep 2
    cp "$work/disk.img" "$work/snapshot.img"
    e2fsck -fy "$work/snapshot.img" >/dev/null 2>&1
    [ $? -le 1 ] || fail "the snapshot could not be repaired"
    mount -o loop "$work/snapshot.img" "$work/copy" || fail "cannot mount the snapshot"
    mounted+=("$work/copy")
}

unmount_copy() {
    umount "$work/copy"
    unset 'mounted[1]'
}

# Without --fsync: whatever the snapshot holds, the resume leaves the whole AVI.
cut_power_after "$source" "$work/disk/plain.avi"
if [ -e "$work/copy/plain.avi" ]; then
    echo "after the cut without --fsync: $(stat -c %s "$work/copy/plain.avi") of $(stat -c %s "$work/disk/plain.avi") bytes"
else
    echo "after the cut without --fsync: no AVI"
fi
"$cli" -q --verify "$source" "$work/copy/plain.avi" >/dev/null 2>&1
was_whole=$?
"$cli" -q --skip-existing --report "$work/resume.jsonl" "$source" "$work/copy/plain.avi" ||
    fail "the resume failed"
if [ "$was_whole" != 0 ] && grep -q '"outcome":"skipped"' "$work/resume.jsonl"; then
    fail "the resume skipped an AVI that was not whole: $(cat "$work/resume.jsonl")"
fi
"$cli" -q --verify "$source" "$work/copy/plain.avi" || fail "the resumed AVI is not whole"
unmount_copy

# With --fsync: the AVI is whole in the snapshot.
cut_power_after --fsync "$source" "$work/disk/durable.avi"
"$cli" -q --verify "$source" "$work/copy/durable.avi" || fail "--fsync left an AVI that is not whole"
unmount_copy
echo "passed"
