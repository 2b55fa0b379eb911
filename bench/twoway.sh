#!/usr/bin/env bash
# The age comparison with and without two-way, on the small-file trees (SMALL_FILES slots per
# side): wall time and peak memory of `tavrik-cli compare --age L R` against
# `tavrik-cli compare --age --two-way L R` under a trusted common state (written for the
# trees by state_seed.py, removed again at the end). The two commands run in turn, REPS times
# each (at least five); the report gives both medians and their ratios.
# Then the same for the sync of a pair in line (the left tree and a copy of it made of hard
# links, so nothing is copied): `tavrik-cli sync L R` against `tavrik-cli sync --two-way L R`.
# Targets: time ratio at most 1.10, memory ratio at most 1.30, for each.
# Usage: twoway.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bench_begin
[ "$REPS" -lt 5 ] && REPS=5

gen_small
L="$SMALL_TREES/L"
R="$SMALL_TREES/R"
G=twoway
seed=(python3 "$BENCH_ROOT/state_seed.py")
SYNC_DIR="$BENCH_DIR/twoway-sync"
trap '"${seed[@]}" remove "$L" "$R"; rm -rf "$SYNC_DIR"' EXIT
"${seed[@]}" write "$L" "$R"
warm "$L" "$R"

log "$G: check runs"
plain=("$TAVRIK_CLI" compare --age "$L" "$R")
twoway=("$TAVRIK_CLI" compare --age --two-way "$L" "$R")
"${plain[@]}" >"$OUT_DIR/check-$G-plain.out" 2>&1 || true
"${twoway[@]}" >"$OUT_DIR/check-$G-twoway.out" 2>&1 || true
# Under an untrusted state the two-way run would only time the plain marks: it says so, and
# its files of one side stay orphans ("? -->"), which a trusted state calls new ("-->").
if grep -q "noch keinen gemeinsamen Stand" "$OUT_DIR/check-$G-twoway.out" ||
  grep -qP '\t\? (-->|<--)\t' "$OUT_DIR/check-$G-twoway.out"; then
  log "$G: the seeded state is not trusted; see $OUT_DIR/check-$G-twoway.out"
  exit 1
fi
if grep -qi "unknown option\|unbekannte Option" "$OUT_DIR/check-$G-twoway.out"; then
  log "$G: $TAVRIK_CLI has no --two-way"
  exit 1
fi

# run NAME CMD...: one timed run, "seconds peak-KiB" appended to the figures of NAME.
run() {
  local name=$1
  shift
  local rc=0
  /usr/bin/time -q -f '%e %M' -o "$OUT_DIR/last-$G.time" "$@" >/dev/null 2>&1 || rc=$?
  [ "$rc" -le 1 ] || { log "$G: $name exited $rc"; exit 1; }
  cat "$OUT_DIR/last-$G.time" >>"$OUT_DIR/$G-$name.fig"
}
: >"$OUT_DIR/$G-plain.fig"
: >"$OUT_DIR/$G-twoway.fig"
log "$G: $REPS timed runs of each, in turn"
for ((i = 0; i < REPS; ++i)); do
  run plain "${plain[@]}"
  run twoway "${twoway[@]}"
done

ratios() {
  python3 - "$OUT_DIR/$G-$1.fig" "$OUT_DIR/$G-$2.fig" "$3" <<'PY'
import statistics, sys
def load(path):
    rows = [line.split() for line in open(path) if line.strip()]
    return [float(r[0]) for r in rows], [int(r[1]) for r in rows]
pt, pm = load(sys.argv[1])
tt, tm = load(sys.argv[2])
what = sys.argv[3]
mpt, mtt = statistics.median(pt), statistics.median(tt)
mpm, mtm = statistics.median(pm), statistics.median(tm)
print(f"{what:<15} plain    median {mpt:7.3f} s  peak {mpm / 1024:8.1f} MiB  runs {' '.join(f'{x:.2f}' for x in pt)}")
print(f"{what:<15} two-way  median {mtt:7.3f} s  peak {mtm / 1024:8.1f} MiB  runs {' '.join(f'{x:.2f}' for x in tt)}")
tr, mr = mtt / mpt, mtm / mpm
print(f"{what}: ratio two-way / plain: time {tr:.3f} (target <= 1.10), memory {mr:.3f} (target <= 1.30)")
PY
}
ratios plain twoway "compare --age" | tee "$OUT_DIR/$G-ratios.txt"

# The sync of a pair in line: the left tree twice, the second made of hard links.
log "$G: sync of a pair in line"
rm -rf "$SYNC_DIR"
mkdir -p "$SYNC_DIR"
cp -al "$L" "$SYNC_DIR/L"
cp -al "$L" "$SYNC_DIR/R"
rm -rf "$SYNC_DIR/L/.tavrik-state" "$SYNC_DIR/R/.tavrik-state"
"${seed[@]}" write "$SYNC_DIR/L" "$SYNC_DIR/R"
plain_sync=("$TAVRIK_CLI" sync "$SYNC_DIR/L" "$SYNC_DIR/R")
twoway_sync=("$TAVRIK_CLI" sync --two-way "$SYNC_DIR/L" "$SYNC_DIR/R")
# The first two-way sync writes the state as this program sees the pair; the runs after it
# find the pair in line.
"${twoway_sync[@]}" >"$OUT_DIR/check-$G-sync.out" 2>&1 || { log "$G: two-way sync failed"; exit 1; }
: >"$OUT_DIR/$G-plain-sync.fig"
: >"$OUT_DIR/$G-twoway-sync.fig"
for ((i = 0; i < REPS; ++i)); do
  run plain-sync "${plain_sync[@]}"
  run twoway-sync "${twoway_sync[@]}"
done
ratios plain-sync twoway-sync "sync in line" | tee -a "$OUT_DIR/$G-ratios.txt"
fact $G desc "compare --age and the sync of a pair in line, with and without --two-way under a trusted state, $SMALL_FILES file slots per side, $REPS runs each in turn"
fact $G ratios "$(grep ratio "$OUT_DIR/$G-ratios.txt" | tr '\n' ' ')"
bench_end
