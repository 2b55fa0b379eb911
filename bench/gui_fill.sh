#!/usr/bin/env bash
# Fill through the window against tavrik-cli fill on the same small-file trees (target: at
# most 1.2x). Two ways in, both optional; without either the script says so and does nothing:
#   GUI_BENCH=path/to/tavrik-gui-bench  a program that fills both columns in the window and
#       prints "key value" lines, among them fill_total_s (and sort_s, scroll_frame_ms, ...);
#       it runs on the offscreen platform unless QT_QPA_PLATFORM is set.
#   GUI_FILL_CMD='...{L}...{R}...'      any command that fills both columns in the window and
#       ends by itself; its whole run is timed.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

if [ -z "${GUI_BENCH:-}" ] && [ -z "${GUI_FILL_CMD:-}" ]; then
  log "gui-fill: skipped (set GUI_BENCH or GUI_FILL_CMD, see the head of bench/gui_fill.sh)"
  if [ -n "${BENCH_RESULTS:-}" ]; then
    fact gui-fill desc "skipped: neither GUI_BENCH nor GUI_FILL_CMD set"
  fi
  exit 0
fi
bench_begin
gen_small
L="$SMALL_TREES/L"
R="$SMALL_TREES/R"
G=gui-fill
fact $G desc "fill through the window vs tavrik-cli fill, $SMALL_FILES file slots per side"
warm "$L" "$R"
"$TAVRIK_CLI" fill "$L" "$R" >/dev/null
if [ -n "${GUI_BENCH:-}" ]; then
  export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
  "${BPY[@]}" measure-reported --results "$BENCH_RESULTS" --group $G --tool gui \
    --label "window fill ($(basename "$GUI_BENCH"))" --reps "$REPS" --key fill_total_s \
    --stderr "$OUT_DIR/last-$G-gui.err" -- "$GUI_BENCH" "$L" "$R" >&2 ||
    log "gui-fill: $GUI_BENCH did not report fill_total_s"
else
  cmd=${GUI_FILL_CMD//\{L\}/$L}
  cmd=${cmd//\{R\}/$R}
  bash -c "$cmd" >/dev/null 2>&1 || log "gui-fill: the check run of the GUI command failed"
  measure $G gui "window fill (GUI_FILL_CMD)" -- bash -c "$cmd"
fi
measure $G tavrik "tavrik-cli fill L R" -- "$TAVRIK_CLI" fill "$L" "$R"
bench_end
