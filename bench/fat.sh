#!/usr/bin/env bash
# Synchronisation onto a FAT stick: tavrik-cli sync L R with L local and R on a FAT image
# mounted through fusefat (the user-space driver the real-media tests use). Before every run
# the image is put back from a pristine copy and mounted afresh, as a stick just plugged in,
# and L is restored from the originals. With BASE_CLI set the runs of this build and of the
# base take turns, so the figure is the cost of a change on a stick.
# The trees are the sync workload with ASCII names only (the driver refuses others) and
# times in whole multiples of FAT's two seconds, so the medium stores them as generated.
# Settings: FAT_FILES=2000 (file slots per side), FAT_MB=128 (image size), and those of
# lib.sh.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
: "${FAT_FILES:=2000}"
: "${FAT_MB:=128}"

fat_deps() {
  local missing=()
  command -v fusefat >/dev/null || missing+=(fusefat)
  command -v mkfs.vfat >/dev/null || [ -x /usr/sbin/mkfs.vfat ] || [ -x /sbin/mkfs.vfat ] ||
    missing+=(dosfstools)
  command -v fusermount >/dev/null || command -v fusermount3 >/dev/null || missing+=(fuse3)
  install_missing "${missing[@]}"
  need_fuse fat
}
fat_deps
export PATH="$PATH:/usr/sbin:/sbin"
bench_begin

G=fat-sync
T="$BENCH_DIR/fat-sync-$FAT_FILES-s$SEED"
"${GEN[@]}" sync "$T" --files "$FAT_FILES" --seed "$SEED" --jobs "$GEN_JOBS" \
  --time-step 2 --umlaut-pct 0 --umlaut-dir-pct 0 >&2
M="$T/manifest.json"
FWORK="$BENCH_DIR/fat"
MNT="$FWORK/mnt"
IMG="$FWORK/work.img"
PRISTINE="$FWORK/pristine.img"
WL="$FWORK/L"
WR="$MNT/R"
mkdir -p "$MNT" "$WL"
export T MNT IMG PRISTINE WL OUT_DIR FWORK

fat_umount() {
  if mountpoint -q "$MNT"; then fusermount -u "$MNT" 2>/dev/null || fusermount -uz "$MNT"; fi
  # The driver writes its last changes into the image as it ends: wait for it.
  local pid i
  pid=$(cat "$FWORK/driver.pid" 2>/dev/null || true)
  if [ -n "$pid" ]; then
    for i in $(seq 200); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
    rm -f "$FWORK/driver.pid"
  fi
}
fat_mount() {
  fusefat -f -o rw+ "$IMG" "$MNT" >>"$OUT_DIR/fat-driver.log" 2>&1 &
  echo $! >"$FWORK/driver.pid"
  local i
  for i in $(seq 100); do mountpoint -q "$MNT" && return 0; sleep 0.05; done
  log "fat: fusefat did not mount $IMG"
  return 1
}
# A fresh stick holding the originals: the image put back, L restored, everything written out.
fat_prepare() {
  set -e
  fat_umount
  cp --sparse=always "$PRISTINE" "$IMG"
  rsync -a --delete "$T/L/" "$WL/"
  sync
  fat_mount
}
export -f fat_umount fat_mount fat_prepare
trap fat_umount EXIT

# The pristine image, made once per tree (its manifest kept beside it says for which).
if ! cmp -s "$M" "$FWORK/pristine.manifest.json" 2>/dev/null || [ ! -e "$PRISTINE" ]; then
  log "fat: making a ${FAT_MB} MiB FAT image holding R"
  fat_umount
  rm -f "$IMG" "$PRISTINE" "$FWORK/pristine.manifest.json"
  truncate -s "${FAT_MB}M" "$IMG"
  mkfs.vfat "$IMG" >/dev/null
  fat_mount
  mkdir "$WR"
  # Times, not modes or owners: FAT holds none.
  cp -r --preserve=timestamps "$T/R/." "$WR/"
  fat_umount
  mv "$IMG" "$PRISTINE"
  cp "$M" "$FWORK/pristine.manifest.json"
fi

read -r rows path_bytes copies < <(python3 -c '
import json, sys
e = json.load(open(sys.argv[1]))["expect"]
print(e["rows"], e["path_bytes"], e["sync_copies"])' "$M")
fact $G desc "tavrik-cli sync L R, L local, R on a FAT image through fusefat, $FAT_FILES file slots per side, $copies changed files (each replacing its older copy), fresh mount per run"
fact $G rows "$rows"
fact $G path_bytes "$path_bytes"
verify=$(printf '%q ' "${BPY[@]}" check-sync "$WL" "$WR" "$M")
log "$G: check run"
bash -c fat_prepare
"$TAVRIK_CLI" sync "$WL" "$WR" >"$OUT_DIR/check-$G.out" 2>"$OUT_DIR/check-$G.err" || true
check $G tavrik check-sync "$WL" "$WR" "$M" "$OUT_DIR/check-$G.out"
log "$G: timed runs, taking turns (each on a fresh stick)"
mapfile -d '' base < <(base_tool "tavrik-cli sync L R" sync "$WL" "$WR")
"${BPY[@]}" alternate --results "$BENCH_RESULTS" --group $G --reps "$REPS" \
  --prepare fat_prepare --verify "$verify" --stderr "$OUT_DIR/last-$G.err" \
  --tool tavrik "tavrik-cli sync L R" "'$TAVRIK_CLI' sync '$WL' '$WR'" "${base[@]}" >&2
fat_umount

bench_end
