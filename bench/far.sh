#!/usr/bin/env bash
# A far folder where its own far end does the work, against rsync with its daemon at the
# far end and against Tavrik over an sshfs share. Three servers sit behind the delay proxy,
# each direction held FAR_DELAY_MS and, per round, capped at each rate of FAR_MBIT (0 is
# no cap):
#   - `tavrik-cli serve`, reached through a stand-in for ssh (socat to the proxy), so
#     `tavrik-cli ... L bench:/path/R --ssh=STANDIN` runs exactly as over ssh;
#   - an rsync daemon, reached as rsync://127.0.0.1:PORT/far/path;
#   - sftp-server for sshfs, mounted afresh before every run.
# The near tree L is local, the far tree R behind the link. Per round:
#   far-age:    tavrik-cli compare --age   vs  rsync -rn -i    vs  the same compare over sshfs
#   far-binary: tavrik-cli compare --binary vs rsync -rnc -i   vs  the same compare over sshfs
#   far-sync:   tavrik-cli sync L R (newer wins both ways), both trees restored before each
#               run  vs  rsync -a --update --existing there and back  vs  the sync over sshfs
# Runs of the tools take turns; the report gives medians of REPS.
# Usage: far.sh [age] [binary] [sync]   (default: all three)
# Settings: REMOTE_FILES=6000 (file slots per side), FAR_DELAY_MS=2, FAR_MBIT="0 100",
# FAR_SSHFS=1 (0 leaves the sshfs runs out), and those of lib.sh.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
: "${REMOTE_FILES:=6000}"
: "${FAR_DELAY_MS:=2}"
: "${FAR_MBIT:=0 100}"
: "${FAR_SSHFS:=1}"
SFTP_SERVER=/usr/lib/openssh/sftp-server

far_deps() {
  local missing=()
  command -v socat >/dev/null || missing+=(socat)
  command -v rsync >/dev/null || missing+=(rsync)
  if [ "$FAR_SSHFS" = 1 ]; then
    command -v sshfs >/dev/null || missing+=(sshfs)
    [ -x "$SFTP_SERVER" ] || missing+=(openssh-sftp-server)
    command -v fusermount3 >/dev/null || command -v fusermount >/dev/null || missing+=(fuse3)
  fi
  install_missing "${missing[@]}"
  [ "$FAR_SSHFS" = 1 ] && need_fuse far
  return 0
}
far_deps
bench_begin

parts=("$@")
[ ${#parts[@]} -eq 0 ] && parts=(age binary sync)
want() { local p; for p in "${parts[@]}"; do [ "$p" = "$1" ] && return 0; done; return 1; }

FWORK="$BENCH_DIR/far"
MNT="$FWORK/mnt"
STANDIN="$FWORK/ssh-standin"
mkdir -p "$MNT"
PIDS=()

# behind_proxy MBIT COMMAND...: starts COMMAND (which listens on $SPORT) and a proxy in
# front of it; sets PPORT.
behind_proxy() {
  local mbit=$1 ready="$FWORK/proxy.ready"
  shift
  "$@" 2>>"$OUT_DIR/far-server.err" &
  PIDS+=($!)
  PPORT=$(free_port)
  rm -f "$ready"
  python3 "$BENCH_ROOT/delay_proxy.py" --listen "$PPORT" --to "$SPORT" --delay-ms "$FAR_DELAY_MS" \
    --mbit "$mbit" --ready "$ready" 2>>"$OUT_DIR/far-proxy.err" &
  PIDS+=($!)
  local i
  for i in $(seq 100); do [ -e "$ready" ] && break; sleep 0.05; done
  [ -e "$ready" ] || { log "far: the delay proxy did not start"; exit 1; }
}

far_umount() { fuse_umount "$MNT"; }

servers_stop() {
  far_umount
  local pid
  for pid in "${PIDS[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  PIDS=()
}
trap servers_stop EXIT

# servers_start MBIT: the three servers, each behind its own proxy at that rate.
servers_start() {
  servers_stop
  local mbit=$1
  SPORT=$(free_port)
  behind_proxy "$mbit" socat "TCP-LISTEN:$SPORT,bind=127.0.0.1,reuseaddr,fork,nodelay" \
    "EXEC:$TAVRIK_CLI serve"
  printf '#!/bin/sh\n# stands in for ssh: whatever host and command, the far end behind the proxy\nexec socat - TCP:127.0.0.1:%s,nodelay\n' \
    "$PPORT" >"$STANDIN"
  chmod +x "$STANDIN"
  SPORT=$(free_port)
  printf 'use chroot = no\nuid = root\ngid = root\n[far]\npath = /\nread only = no\n' >"$FWORK/rsyncd.conf"
  behind_proxy "$mbit" rsync --daemon --no-detach --address=127.0.0.1 --port="$SPORT" \
    --config="$FWORK/rsyncd.conf"
  RSYNC_URL="rsync://127.0.0.1:$PPORT/far"
  if [ "$FAR_SSHFS" = 1 ]; then
    SPORT=$(free_port)
    behind_proxy "$mbit" socat "TCP-LISTEN:$SPORT,bind=127.0.0.1,reuseaddr,fork,nodelay" \
      "EXEC:$SFTP_SERVER"
    SSHFS_PORT=$PPORT
  fi
  export STANDIN RSYNC_URL SSHFS_PORT MNT FAR_SSHFS
}

# A fresh mount of / at $MNT through the proxy before every run (of every tool, so each
# run finds the same state): nothing cached from an earlier run.
far_mount() {
  far_umount
  sshfs -o directport="$SSHFS_PORT" "localhost:/" "$MNT"
}
export -f fuse_umount far_umount far_mount

manifest_value() {
  python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["expect"][sys.argv[2]])' "$1" "$2"
}

rate_name() { [ "$1" = 0 ] && echo unlimited || echo "$1 Mbit/s"; }
rate_tag() { [ "$1" = 0 ] && echo "" || echo "-$1m"; }

for mbit in $FAR_MBIT; do
  servers_start "$mbit"
  rn=$(rate_name "$mbit")
  if want age || want binary; then
    T="$BENCH_DIR/small-$REMOTE_FILES-s$SEED"
    "${GEN[@]}" small "$T" --files "$REMOTE_FILES" --seed "$SEED" --jobs "$GEN_JOBS" >&2
    M="$T/manifest.json"
    L="$T/L" R="$T/R"
    for mode in age binary; do
      want "$mode" || continue
      G="far-$mode$(rate_tag "$mbit")"
      fact $G desc "compare --$mode, L local, R behind the proxy ($FAR_DELAY_MS ms each way, $rn), $REMOTE_FILES file slots per side"
      fact $G rows "$(manifest_value "$M" rows)"
      log "$G: check run"
      "$TAVRIK_CLI" compare --$mode --ssh="$STANDIN" "$L" "bench:$R" >"$OUT_DIR/check-$G.out" 2>"$OUT_DIR/check-$G.err" || true
      check $G tavrik check-marks "$OUT_DIR/check-$G.out" "$M" $mode
      if [ $mode = age ]; then flags=-rn; else flags=-rnc; fi
      tools=(--tool tavrik "tavrik-cli compare --$mode L host:R (far end)"
        "'$TAVRIK_CLI' compare --$mode --ssh='$STANDIN' '$L' 'bench:$R'")
      [ "$SKIP_PEERS" = 1 ] ||
        tools+=(--tool rsync "rsync $flags -i L/ rsync://R/ (daemon)" "rsync $flags -i '$L/' '$RSYNC_URL$R/'")
      [ "$FAR_SSHFS" = 1 ] &&
        tools+=(--tool sshfs "tavrik-cli compare --$mode L R (R over sshfs)"
          "'$TAVRIK_CLI' compare --$mode '$L' '$MNT$R'")
      prep=()
      [ "$FAR_SSHFS" = 1 ] && prep=(--prepare far_mount)
      log "$G: timed runs, taking turns"
      "${BPY[@]}" alternate --results "$BENCH_RESULTS" --group $G --reps "$REPS" "${prep[@]}" \
        --stderr "$OUT_DIR/last-$G.err" --ok 0,1 "${tools[@]}" >&2
    done
  fi
  if want sync; then
    G="far-sync$(rate_tag "$mbit")"
    T="$BENCH_DIR/sync-$REMOTE_FILES-s$SEED"
    "${GEN[@]}" sync "$T" --files "$REMOTE_FILES" --seed "$SEED" --jobs "$GEN_JOBS" >&2
    M="$T/manifest.json"
    WL="$FWORK/sync-L" WR="$FWORK/sync-R"
    mkdir -p "$WL" "$WR"
    fact $G desc "sync L R (newer wins both ways), L local, R behind the proxy ($FAR_DELAY_MS ms each way, $rn), $REMOTE_FILES file slots per side, $(manifest_value "$M" sync_copies) changed files"
    fact $G rows "$(manifest_value "$M" rows)"
    export T WL WR
    sync_prepare() {
      set -e
      far_umount
      rsync -a --delete "$T/L/" "$WL/"
      rsync -a --delete "$T/R/" "$WR/"
      sync
      if [ "$FAR_SSHFS" = 1 ]; then far_mount; fi
    }
    export -f sync_prepare
    verify=$(printf '%q ' "${BPY[@]}" check-sync "$WL" "$WR" "$M")
    log "$G: check run"
    bash -c sync_prepare
    "$TAVRIK_CLI" sync --ssh="$STANDIN" "$WL" "bench:$WR" >"$OUT_DIR/check-$G.out" 2>"$OUT_DIR/check-$G.err" || true
    check $G tavrik check-sync "$WL" "$WR" "$M" "$OUT_DIR/check-$G.out"
    tools=(--tool tavrik "tavrik-cli sync L host:R (far end)"
      "'$TAVRIK_CLI' sync --ssh='$STANDIN' '$WL' 'bench:$WR'")
    [ "$SKIP_PEERS" = 1 ] ||
      tools+=(--tool rsync "rsync -a --update --existing, both ways (daemon)"
        "rsync -a --update --existing '$WL/' '$RSYNC_URL$WR/' && rsync -a --update --existing '$RSYNC_URL$WR/' '$WL/'")
    [ "$FAR_SSHFS" = 1 ] &&
      tools+=(--tool sshfs "tavrik-cli sync L R (R over sshfs)"
        "'$TAVRIK_CLI' sync '$WL' '$MNT$WR'")
    log "$G: timed runs, taking turns (each on restored trees)"
    "${BPY[@]}" alternate --results "$BENCH_RESULTS" --group $G --reps "$REPS" \
      --prepare sync_prepare --verify "$verify" --stderr "$OUT_DIR/last-$G.err" "${tools[@]}" >&2
  fi
  servers_stop
done
bench_end
