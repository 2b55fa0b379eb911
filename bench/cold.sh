#!/usr/bin/env bash
# Cold disk: every run starts with empty caches (sync; echo 3 > /proc/sys/vm/drop_caches,
# as root), on the small-file trees (SMALL_FILES slots per side, 200,000 by default):
#   cold-age:    tavrik-cli compare --age    vs  16 parallel finds; find -printf
#   cold-binary: tavrik-cli compare --binary vs  16 parallel finds then cats of every
#                file; rsync -rnc
# Runs of the tools take turns; the report gives medians of REPS.
# Usage: cold.sh [age] [binary]   (default: both)
# Settings: PAR=16 and those of lib.sh. Dropping the caches slows everything else running
# on the machine for a while.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
: "${PAR:=16}"
bench_begin

parts=("$@")
[ ${#parts[@]} -eq 0 ] && parts=(age binary)
want() { local p; for p in "${parts[@]}"; do [ "$p" = "$1" ] && return 0; done; return 1; }

manifest_value() {
  python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["expect"][sys.argv[2]])' "$1" "$2"
}

if [ "$(id -u)" -eq 0 ]; then
  drop='sync; echo 3 > /proc/sys/vm/drop_caches'
else
  drop="sync; sudo sh -c 'echo 3 > /proc/sys/vm/drop_caches'"
fi
bash -c "$drop" || { log "cold: cannot drop the caches (needs root or sudo)"; exit 1; }

gen_small
T="$SMALL_TREES"
L="$T/L" R="$T/R" M="$T/manifest.json"
for mode in age binary; do
  want "$mode" || continue
  G="cold-$mode"
  fact $G desc "tavrik-cli compare --$mode with empty caches before every run, $SMALL_FILES file slots per side"
  fact $G rows "$(manifest_value "$M" rows)"
  fact $G path_bytes "$(manifest_value "$M" path_bytes)"
  log "$G: check run"
  bash -c "$drop"
  "$TAVRIK_CLI" compare --$mode "$L" "$R" >"$OUT_DIR/check-$G.out" 2>"$OUT_DIR/check-$G.err" || true
  check $G tavrik check-marks "$OUT_DIR/check-$G.out" "$M" $mode
  log "$G: timed runs, taking turns, each after dropping the caches"
  if [ $mode = age ]; then
    others=(--tool pfind "$PAR x find -printf of L R" "PAR=$PAR '$BENCH_ROOT/par.sh' find '$L' '$R'"
      --tool find "find L R -printf '%T@ %s\n'" "find '$L' '$R' -printf '%T@ %s\n'")
  else
    others=(--tool pcat "$PAR x find, then $PAR x cat of every file" "PAR=$PAR '$BENCH_ROOT/par.sh' cat '$L' '$R'"
      --tool rsync-rnc "rsync -rnc L/ R/" "rsync -rnc '$L/' '$R/'")
  fi
  # The limit first, the peer second: without peers only the limit stays.
  [ "$SKIP_PEERS" = 1 ] && others=("${others[@]:0:4}")
  mapfile -d '' base < <(base_tool "tavrik-cli compare --$mode L R" compare --$mode "$L" "$R")
  "${BPY[@]}" alternate --results "$BENCH_RESULTS" --group $G --reps "$REPS" \
    --prepare "$drop" --stderr "$OUT_DIR/last-$G.err" --ok 0,1 \
    --tool tavrik "tavrik-cli compare --$mode L R" "'$TAVRIK_CLI' compare --$mode '$L' '$R'" \
    "${base[@]}" "${others[@]}" >&2
done

bench_end
