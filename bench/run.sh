#!/usr/bin/env bash
# All benchmarks in one run, on the same trees, with one report.
# Usage: bench/run.sh [--smoke] [fill] [compare] [sync] [gui] [rules] [remote] [cold] [fat]
#   default: fill compare sync gui rules (the warm regression check); remote (an sshfs share
#   with a delay), cold (caches dropped before every run) and fat (a sync onto a FAT image
#   through fusefat) only when named
#   --smoke  a quick small configuration (20,000 files, 2 x 16 MiB, sync work trees
#            restored rather than copied, 600 remote files, 600 FAT files) unless the
#            variables are set
# Settings: see bench/lib.sh (SMALL_FILES, SYNC_FILES, BIG_FILES, BIG_MB, REPS, BENCH_DIR, ...).
parts=()
for arg in "$@"; do
  case $arg in
    --smoke)
      : "${SMALL_FILES:=20000}" "${SYNC_FILES:=20000}" "${BIG_FILES:=2}" "${BIG_MB:=16}"
      : "${SYNC_RESET:=restore}" "${REMOTE_FILES:=600}" "${FAT_FILES:=600}"
      export SMALL_FILES SYNC_FILES BIG_FILES BIG_MB SYNC_RESET REMOTE_FILES FAT_FILES ;;
    fill | compare | sync | gui | rules | remote | cold | fat) parts+=("$arg") ;;
    -h | --help) sed -n '2,11p' "$0"; exit 0 ;;
    *) echo "run.sh: unknown argument $arg" >&2; exit 64 ;;
  esac
done
[ ${#parts[@]} -eq 0 ] && parts=(fill compare sync gui rules)

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bench_begin
bench_space_check() {
  # Rough need: small and sync trees about 21 KiB per file slot (both sides, sync also
  # its work copy), big trees 2 x BIG_FILES x BIG_MB.
  local need_kb=$(( (SMALL_FILES * 21) + (SYNC_FILES * 42) + (2 * BIG_FILES * BIG_MB * 1024) ))
  local have_kb
  have_kb=$(df -k --output=avail "$BENCH_DIR" | tail -1)
  log "disk: need up to about $((need_kb / 1048576)) GiB for the trees, $((have_kb / 1048576)) GiB free in $BENCH_DIR"
  if [ "$need_kb" -gt "$have_kb" ]; then log "not enough room"; exit 1; fi
}
bench_space_check
export BENCH_NESTED=1 SMALL_FILES SYNC_FILES BIG_FILES BIG_MB REPS SEED BENCH_DIR OUT_DIR \
  BUILD_DIR TAVRIK_CLI GEN_JOBS
[ -n "${REMOTE_FILES:-}" ] && export REMOTE_FILES
[ -n "${REMOTE_DELAY_MS:-}" ] && export REMOTE_DELAY_MS
[ -n "${PAR:-}" ] && export PAR
[ -n "${FAT_FILES:-}" ] && export FAT_FILES
[ -n "${FAT_MB:-}" ] && export FAT_MB
for part in "${parts[@]}"; do
  case $part in
    fill) "$BENCH_ROOT/fill.sh" ;;
    compare) "$BENCH_ROOT/compare.sh" ;;
    sync) "$BENCH_ROOT/sync.sh" ;;
    gui) "$BENCH_ROOT/gui_fill.sh" ;;
    rules) "$BENCH_ROOT/rules.sh" ;;
    remote) "$BENCH_ROOT/remote.sh" ;;
    cold) "$BENCH_ROOT/cold.sh" ;;
    fat) "$BENCH_ROOT/fat.sh" ;;
  esac
done
BENCH_NESTED=0
bench_end
