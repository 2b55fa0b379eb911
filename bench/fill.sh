#!/usr/bin/env bash
# Fill of both columns: tavrik-cli fill L R against find's walk with one stat per entry,
# on the small-file trees; and the peak memory per row beyond the path bytes.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bench_begin

gen_small
L="$SMALL_TREES/L"
R="$SMALL_TREES/R"
M="$SMALL_TREES/manifest.json"
G=fill
rows=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["expect"]["rows"])' "$M")
path_bytes=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["expect"]["path_bytes"])' "$M")
fact $G desc "tavrik-cli fill L R vs find, $SMALL_FILES file slots per side, $rows rows"
fact $G rows "$rows"
fact $G path_bytes "$path_bytes"
fact $G baseline_rss_kb "$(baseline_rss)"

warm "$L" "$R"
log "fill: check runs"
"$TAVRIK_CLI" fill "$L" "$R" >"$OUT_DIR/check-fill.out" 2>"$OUT_DIR/check-fill.err" || true
check $G tavrik check-fill "$OUT_DIR/check-fill.out" "$M"
find "$L" "$R" -printf '%T@ %s\n' >/dev/null

log "fill: timed runs"
measure $G tavrik "tavrik-cli fill L R" -- "$TAVRIK_CLI" fill "$L" "$R"
measure $G find "find L R -printf '%T@ %s\n'" -- find "$L" "$R" -printf '%T@ %s\n'

bench_end
