#!/usr/bin/env bash
# Age and binary comparison against the peer tools, on the small-file trees and on the
# big-file trees:
#   age:          tavrik-cli compare --age   vs  find -printf (stat limit), rsync -rn -i
#   binary-small: tavrik-cli compare --binary vs  diff -rq, rsync -rnc
#   binary-big:   the same on BIG_FILES files of BIG_MB MiB per side
# Usage: compare.sh [age] [binary-small] [binary-big]   (default: all three)
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bench_begin

parts=("$@")
[ ${#parts[@]} -eq 0 ] && parts=(age binary-small binary-big)
want() { local p; for p in "${parts[@]}"; do [ "$p" = "$1" ] && return 0; done; return 1; }

manifest_value() {
  python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["expect"][sys.argv[2]])' "$1" "$2"
}

# compare_binary GROUP TREES DESC
compare_binary() {
  local G=$1 T=$2 desc=$3
  local L="$T/L" R="$T/R" M="$T/manifest.json"
  fact "$G" desc "$desc"
  fact "$G" rows "$(manifest_value "$M" rows)"
  fact "$G" path_bytes "$(manifest_value "$M" path_bytes)"
  warm "$L" "$R"
  log "$G: check runs"
  "$TAVRIK_CLI" compare --binary "$L" "$R" >"$OUT_DIR/check-$G.out" 2>"$OUT_DIR/check-$G.err" || true
  check "$G" tavrik check-marks "$OUT_DIR/check-$G.out" "$M" binary
  diff -rq "$L" "$R" >"$OUT_DIR/check-$G-diff.out" 2>&1 || true
  check "$G" diff check-diff "$OUT_DIR/check-$G-diff.out" "$M"
  rsync -rnc --itemize-changes "$L/" "$R/" >"$OUT_DIR/check-$G-rsync.out" 2>&1 || true
  check "$G" rsync check-rsync "$OUT_DIR/check-$G-rsync.out" "$M" rsync_rnc_files
  log "$G: timed runs"
  measure "$G" tavrik "tavrik-cli compare --binary L R" --ok 0,1 -- "$TAVRIK_CLI" compare --binary "$L" "$R"
  measure "$G" diff-rq "diff -rq L R" --ok 0,1 -- diff -rq "$L" "$R"
  measure "$G" rsync-rnc "rsync -rnc L/ R/" -- rsync -rnc "$L/" "$R/"
}

if want age || want binary-small; then gen_small; fi

if want age; then
  G=age
  L="$SMALL_TREES/L"
  R="$SMALL_TREES/R"
  M="$SMALL_TREES/manifest.json"
  fact $G desc "tavrik-cli compare --age vs find and rsync -rn, $SMALL_FILES file slots per side"
  fact $G rows "$(manifest_value "$M" rows)"
  fact $G path_bytes "$(manifest_value "$M" path_bytes)"
  warm "$L" "$R"
  log "age: check runs"
  "$TAVRIK_CLI" compare --age "$L" "$R" >"$OUT_DIR/check-age.out" 2>"$OUT_DIR/check-age.err" || true
  check $G tavrik check-marks "$OUT_DIR/check-age.out" "$M" age
  rsync -rn --itemize-changes "$L/" "$R/" >"$OUT_DIR/check-age-rsync.out" 2>&1 || true
  check $G rsync check-rsync "$OUT_DIR/check-age-rsync.out" "$M" rsync_rn_files
  find "$L" "$R" -printf '%T@ %s\n' >/dev/null
  log "age: timed runs"
  measure $G tavrik "tavrik-cli compare --age L R" --ok 0,1 -- "$TAVRIK_CLI" compare --age "$L" "$R"
  measure $G find "find L R -printf '%T@ %s\n'" -- find "$L" "$R" -printf '%T@ %s\n'
  measure $G rsync-rn "rsync -rn --itemize-changes L/ R/" -- rsync -rn --itemize-changes "$L/" "$R/"
fi

if want binary-small; then
  compare_binary binary-small "$SMALL_TREES" \
    "tavrik-cli compare --binary vs diff -rq and rsync -rnc, $SMALL_FILES file slots per side"
fi

if want binary-big; then
  gen_big
  compare_binary binary-big "$BIG_TREES" \
    "tavrik-cli compare --binary vs diff -rq and rsync -rnc, $BIG_FILES x $BIG_MB MiB per side"
fi

bench_end
