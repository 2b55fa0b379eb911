#!/usr/bin/env bash
# Where every file costs round trips: the trees on an sshfs share, served by sftp-server
# behind socat (nodelay) and a proxy that holds each direction REMOTE_DELAY_MS, mounted
# afresh (default cache options) before every run:
#   remote-age:    tavrik-cli compare --age   vs  16 parallel finds; rsync -rn
#   remote-binary: tavrik-cli compare --binary vs  16 parallel cats of every file; rsync -rnc
#   remote-sync:   tavrik-cli sync L R (L local, R on the share, both restored before each
#                  run)  vs  16 parallel finds plus 16 parallel cp -p of the changed files;
#                  rsync -a --update --existing run both ways
#   remote-move:   tavrik-cli sync --two-way L R after a folder of REMOTE_MOVE_FILES files
#                  was renamed on L (R on the share, in line with L and their common state
#                  before)  vs  the copy of that folder onto the share as it is made today
#                  (tavrik-cli sync --copy-new into an empty folder); target: under a quarter
# Runs of the tools take turns; the report gives medians of REPS.
# Usage: remote.sh [age] [binary] [sync] [move]   (default: age, binary and sync)
# Settings: REMOTE_FILES=6000 (file slots per side), REMOTE_DELAY_MS=1, PAR=16, and those of
# lib.sh.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
: "${REMOTE_FILES:=6000}"
: "${REMOTE_DELAY_MS:=1}"
: "${PAR:=16}"
: "${REMOTE_MOVE_FILES:=10000}"
SFTP_SERVER=/usr/lib/openssh/sftp-server

remote_deps() {
  local missing=()
  command -v sshfs >/dev/null || missing+=(sshfs)
  command -v socat >/dev/null || missing+=(socat)
  [ -x "$SFTP_SERVER" ] || missing+=(openssh-sftp-server)
  command -v fusermount3 >/dev/null || command -v fusermount >/dev/null || missing+=(fuse3)
  install_missing "${missing[@]}"
  need_fuse remote
}
remote_deps
bench_begin

parts=("$@")
[ ${#parts[@]} -eq 0 ] && parts=(age binary sync)
want() { local p; for p in "${parts[@]}"; do [ "$p" = "$1" ] && return 0; done; return 1; }

RWORK="$BENCH_DIR/remote"
MNT="$RWORK/mnt"
mkdir -p "$MNT"
SERVER_PID= PROXY_PID=

remote_umount() { fuse_umount "$MNT"; }

# A fresh mount of $SHARE at $MNT through the proxy: nothing cached from an earlier run.
remote_mount() {
  remote_umount
  sshfs -o directport="$PROXY_PORT" "localhost:$SHARE" "$MNT"
}

# server_start FOLDER [sftp-server options]: socat + sftp-server behind the delay proxy.
server_start() {
  server_stop
  SHARE=$1
  shift
  local sport ready="$RWORK/proxy.ready"
  sport=$(free_port)
  PROXY_PORT=$(free_port)
  socat "TCP-LISTEN:$sport,bind=127.0.0.1,reuseaddr,fork,nodelay" \
    "EXEC:$SFTP_SERVER $*" 2>>"$OUT_DIR/remote-socat.err" &
  SERVER_PID=$!
  rm -f "$ready"
  python3 "$BENCH_ROOT/delay_proxy.py" --listen "$PROXY_PORT" --to "$sport" \
    --delay-ms "$REMOTE_DELAY_MS" --ready "$ready" 2>>"$OUT_DIR/remote-proxy.err" &
  PROXY_PID=$!
  local i
  for i in $(seq 100); do [ -e "$ready" ] && break; sleep 0.05; done
  [ -e "$ready" ] || { log "remote: the delay proxy did not start"; exit 1; }
  export SHARE PROXY_PORT MNT
}

server_stop() {
  remote_umount
  local pid
  for pid in $PROXY_PID $SERVER_PID; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  PROXY_PID= SERVER_PID=
}
trap server_stop EXIT
export -f fuse_umount remote_umount remote_mount

# round trip as sshfs sees it: time of one stat of a missing name on a fresh mount
rtt_fact() {
  local g=$1
  remote_mount
  local ms
  ms=$(python3 -c '
import os, sys, time
p = os.path.join(sys.argv[1], "no-such-name")
best = 1e9
for i in range(20):
    t = time.perf_counter()
    try: os.stat(p + str(i))
    except OSError: pass
    best = min(best, time.perf_counter() - t)
print(f"{best * 1000:.2f}")' "$MNT")
  fact "$g" note "round trip of one lookup on the mount (best of 20): $ms ms; proxy delay $REMOTE_DELAY_MS ms each way"
  remote_umount
}

manifest_value() {
  python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["expect"][sys.argv[2]])' "$1" "$2"
}

if want age || want binary; then
  T="$BENCH_DIR/small-$REMOTE_FILES-s$SEED"
  "${GEN[@]}" small "$T" --files "$REMOTE_FILES" --seed "$SEED" --jobs "$GEN_JOBS" >&2
  M="$T/manifest.json"
  server_start "$T" -R  # read-only: no run may change the originals
  L="$MNT/L" R="$MNT/R"
  for mode in age binary; do
    want "$mode" || continue
    G="remote-$mode"
    fact $G desc "tavrik-cli compare --$mode on an sshfs share ($REMOTE_DELAY_MS ms each way), $REMOTE_FILES file slots per side, fresh mount per run"
    fact $G rows "$(manifest_value "$M" rows)"
    fact $G path_bytes "$(manifest_value "$M" path_bytes)"
    [ $mode = age ] && rtt_fact $G
    log "$G: check run"
    remote_mount
    "$TAVRIK_CLI" compare --$mode "$L" "$R" >"$OUT_DIR/check-$G.out" 2>"$OUT_DIR/check-$G.err" || true
    check $G tavrik check-marks "$OUT_DIR/check-$G.out" "$M" $mode
    log "$G: timed runs, taking turns"
    if [ $mode = age ]; then
      peer=(--tool rsync-rn "rsync -rn --itemize-changes L/ R/" "rsync -rn --itemize-changes '$L/' '$R/'")
      limit=(--tool pfind "$PAR x find -printf of L R" "PAR=$PAR '$BENCH_ROOT/par.sh' find '$L' '$R'")
    else
      peer=(--tool rsync-rnc "rsync -rnc L/ R/" "rsync -rnc '$L/' '$R/'")
      limit=(--tool pcat "$PAR x find, then $PAR x cat of every file" "PAR=$PAR '$BENCH_ROOT/par.sh' cat '$L' '$R'")
    fi
    [ "$SKIP_PEERS" = 1 ] && peer=()
    mapfile -d '' base < <(base_tool "tavrik-cli compare --$mode L R" compare --$mode "$L" "$R")
    "${BPY[@]}" alternate --results "$BENCH_RESULTS" --group $G --reps "$REPS" \
      --prepare remote_mount --stderr "$OUT_DIR/last-$G.err" --ok 0,1 \
      --tool tavrik "tavrik-cli compare --$mode L R" "'$TAVRIK_CLI' compare --$mode '$L' '$R'" \
      "${base[@]}" "${limit[@]}" "${peer[@]}" >&2
  done
  server_stop
fi

if want sync; then
  G=remote-sync
  T="$BENCH_DIR/sync-$REMOTE_FILES-s$SEED"
  "${GEN[@]}" sync "$T" --files "$REMOTE_FILES" --seed "$SEED" --jobs "$GEN_JOBS" >&2
  M="$T/manifest.json"
  WL="$RWORK/sync-L"
  SHARE_DIR="$RWORK/sync-share"
  mkdir -p "$WL" "$SHARE_DIR/R"
  read -r rows path_bytes copies < <(python3 -c '
import json, sys
e = json.load(open(sys.argv[1]))["expect"]
print(e["rows"], e["path_bytes"], e["sync_copies"])' "$M")
  fact $G desc "tavrik-cli sync L R, L local, R on an sshfs share ($REMOTE_DELAY_MS ms each way), $REMOTE_FILES file slots per side, $copies changed files, fresh mount per run"
  fact $G rows "$rows"
  fact $G path_bytes "$path_bytes"
  server_start "$SHARE_DIR"
  WR="$MNT/R"
  export T WL SHARE_DIR
  # Both sides back to the originals (the right one straight in the served folder, not
  # through the mount), written out, then a fresh mount.
  sync_prepare() {
    set -e
    rsync -a --delete "$T/L/" "$WL/"
    rsync -a --delete "$T/R/" "$SHARE_DIR/R/"
    sync
    remote_mount
  }
  export -f sync_prepare
  verify=$(printf '%q ' "${BPY[@]}" check-sync "$WL" "$WR" "$M")
  log "$G: check run"
  bash -c sync_prepare
  "$TAVRIK_CLI" sync "$WL" "$WR" >"$OUT_DIR/check-$G.out" 2>"$OUT_DIR/check-$G.err" || true
  check $G tavrik check-sync "$WL" "$WR" "$M" "$OUT_DIR/check-$G.out"
  log "$G: timed runs, taking turns (each on restored trees)"
  peer=(--tool rsync-both "rsync -a --update --existing, both ways"
    "rsync -a --update --existing '$WL/' '$WR/' && rsync -a --update --existing '$WR/' '$WL/'")
  [ "$SKIP_PEERS" = 1 ] && peer=()
  mapfile -d '' base < <(base_tool "tavrik-cli sync L R" sync "$WL" "$WR")
  "${BPY[@]}" alternate --results "$BENCH_RESULTS" --group $G --reps "$REPS" \
    --prepare sync_prepare --verify "$verify" --stderr "$OUT_DIR/last-$G.err" \
    --tool tavrik "tavrik-cli sync L R" "'$TAVRIK_CLI' sync '$WL' '$WR'" "${base[@]}" \
    --tool pfind-pcp "$PAR x find of L R, then $PAR x cp -p" \
    "PAR=$PAR '$BENCH_ROOT/par.sh' find '$WL' '$WR' >/dev/null && PAR=$PAR '$BENCH_ROOT/par.sh' cp '$WL' '$WR' '$T/changed.lst'" \
    "${peer[@]}" >&2
  server_stop
fi

if want move; then
  G=remote-move
  MW="$RWORK/move"
  export ML="$MW/L" MS="$MW/share" SNAP="$MW/snap"
  rm -rf "$MW"
  mkdir -p "$ML/old" "$MS/R" "$MS/copy" "$SNAP"
  python3 - "$ML/old" "$REMOTE_MOVE_FILES" "$SEED" <<'PY'
import os, random, sys
folder, n, seed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rnd = random.Random(seed)
for i in range(n):
    path = os.path.join(folder, f"f{i:06d}.dat")
    with open(path, "wb") as f:
        f.write(rnd.randbytes(100 + rnd.randrange(4000)))
    os.utime(path, (1700000000 + i, 1700000000 + i))
PY
  fact $G desc "a folder of $REMOTE_MOVE_FILES files renamed on L: tavrik-cli sync --two-way L R with R on an sshfs share ($REMOTE_DELAY_MS ms each way) against the copy of the folder onto the share, fresh mount per run"
  fact $G rows "$REMOTE_MOVE_FILES"
  server_start "$MS"
  # The pair in line and with its common state, kept as the snapshot every run starts from.
  log "$G: the first sync and the common state"
  remote_mount
  "$TAVRIK_CLI" sync --copy-new --quiet "$ML" "$MNT/R"
  "$TAVRIK_CLI" sync --two-way --quiet "$ML" "$MNT/R"
  remote_umount
  rsync -a --delete "$ML/.tavrik-state/" "$SNAP/L-state/"
  rsync -a --delete "$MS/R/" "$SNAP/R/"
  # L's files keep their inodes, as after a user's own rename: the folder goes back by a
  # rename, its state from the snapshot.
  move_prepare() {
    set -e
    if [ -d "$ML/new" ]; then mv "$ML/new" "$ML/old"; fi
    rsync -a --delete "$SNAP/L-state/" "$ML/.tavrik-state/"
    rsync -a --delete "$SNAP/R/" "$MS/R/"
    rm -rf "$MS/copy"
    mkdir "$MS/copy"
    mv "$ML/old" "$ML/new"
    sync
    remote_mount
  }
  export -f move_prepare
  log "$G: check run"
  bash -c move_prepare
  "$TAVRIK_CLI" sync --two-way "$ML" "$MNT/R" >"$OUT_DIR/check-$G.out" 2>"$OUT_DIR/check-$G.err" || true
  moved=$(find "$MS/R/new" -type f | wc -l)
  if [ "$moved" = "$REMOTE_MOVE_FILES" ] && [ ! -e "$MS/R/old" ]; then
    fact $G check "ok: the folder is renamed on the share, $moved files"
  else
    fact $G check "FAILED: $moved files under new/ on the share; see $OUT_DIR/check-$G.err"
  fi
  log "$G: timed runs, taking turns (each on restored trees)"
  "${BPY[@]}" alternate --results "$BENCH_RESULTS" --group $G --reps "$REPS" \
    --prepare move_prepare --stderr "$OUT_DIR/last-$G.err" \
    --tool tavrik-move "tavrik-cli sync --two-way L R (folder renamed)" \
    "'$TAVRIK_CLI' sync --two-way --quiet '$ML' '$MNT/R'" \
    --tool tavrik-copy "tavrik-cli sync --copy-new of the folder onto the share" \
    "'$TAVRIK_CLI' sync --copy-new --quiet '$ML/new' '$MNT/copy'" >&2
  server_stop
fi

bench_end
