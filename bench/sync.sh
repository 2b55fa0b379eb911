#!/usr/bin/env bash
# Synchronisation: tavrik-cli sync L R against rsync -a L/ R/ and against cp -a of just the
# changed files, each run on a fresh copy of the sync trees (copied with
# cp -a --reflink=auto and flushed before the run, outside the timed region). With BASE_CLI
# set, the runs of this build and of the base take turns; SKIP_PEERS=1 leaves rsync and cp out.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bench_begin

gen_sync
T="$SYNC_TREES"
M="$T/manifest.json"
W="$BENCH_DIR/sync-work"
WL="$W/L"
WR="$W/R"
G=sync
read -r rows path_bytes copies < <(python3 -c '
import json, sys
e = json.load(open(sys.argv[1]))["expect"]
print(e["rows"], e["path_bytes"], e["sync_copies"])' "$M")
fact $G desc "tavrik-cli sync vs rsync -a vs cp -a of the $copies changed files, $SYNC_FILES file slots per side"
fact $G rows "$rows"
fact $G path_bytes "$path_bytes"
fact $G note "work trees made fresh before each run by SYNC_RESET=${SYNC_RESET:-copy}"

# Before every run the work trees are made fresh, outside the timed region:
#   SYNC_RESET=copy     (default) a new copy of both trees with cp -a --reflink=auto; the
#                       previous copy is renamed away and deleted while the new one is made
#   SYNC_RESET=restore  the work trees are put back with rsync -a --delete from the
#                       untouched originals: much quicker where deleting many files is slow
#                       (on file systems without reflinks the copy is a full copy too)
# Either way the dirty pages are written out before the run starts.
: "${SYNC_RESET:=copy}"
fresh_copy() {
  set -e
  if [ "$SYNC_RESET" = restore ] && [ -d "$WL" ] && [ -d "$WR" ]; then
    rsync -a --delete "$T/L/" "$WL/"
    rsync -a --delete "$T/R/" "$WR/"
  else
    rm -rf "$W.old"
    if [ -e "$W" ]; then mv -T "$W" "$W.old"; fi
    rm -rf "$W.old" &
    mkdir -p "$W"
    cp -a --reflink=auto "$T/L" "$WL"
    cp -a --reflink=auto "$T/R" "$WR"
    wait
  fi
  sync
}
export -f fresh_copy
export W WL WR T SYNC_RESET
prepare=fresh_copy
verify=$(printf '%q ' "${BPY[@]}" check-sync "$WL" "$WR" "$M")

warm "$T/L" "$T/R"
log "sync: check run"
bash -c fresh_copy
"$TAVRIK_CLI" sync "$WL" "$WR" >"$OUT_DIR/check-sync.out" 2>"$OUT_DIR/check-sync.err" || true
check $G tavrik check-sync "$WL" "$WR" "$M" "$OUT_DIR/check-sync.out"

log "sync: timed runs (each on a fresh copy)"
if [ -n "$BASE_CLI" ]; then
  mapfile -d '' base < <(base_tool "tavrik-cli sync L R" sync "$WL" "$WR")
  "${BPY[@]}" alternate --results "$BENCH_RESULTS" --group $G --reps "$REPS" \
    --prepare "$prepare" --verify "$verify" --stderr "$OUT_DIR/last-$G.err" \
    --tool tavrik "tavrik-cli sync L R" "'$TAVRIK_CLI' sync '$WL' '$WR'" "${base[@]}" >&2
else
  measure $G tavrik "tavrik-cli sync L R" --prepare "$prepare" --verify "$verify" -- \
    "$TAVRIK_CLI" sync "$WL" "$WR"
fi
if [ "$SKIP_PEERS" != 1 ]; then
  measure $G rsync-a "rsync -a L/ R/" --prepare "$prepare" --verify "$verify" -- \
    rsync -a "$WL/" "$WR/"
  measure $G cp-changed "cp -a --parents (changed files only)" --prepare "$prepare" --verify "$verify" -- \
    bash -c 'cd "$1" && xargs -0 -a "$2" cp -a --parents -t "$3" --' _ "$WL" "$T/changed.lst" "$WR"
  if rsync --help 2>/dev/null | grep -c -- '--fsync' >/dev/null; then
    # Not a target: the same copies written through to the disk, for a sync that does so.
    measure $G rsync-a-fsync "rsync -a --fsync L/ R/ (for reference)" --prepare "$prepare" \
      --verify "$verify" -- rsync -a --fsync "$WL/" "$WR/"
  fi
fi
rm -rf "$W" "$W.old"

bench_end
