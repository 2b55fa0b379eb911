#!/usr/bin/env bash
# Exclusion rules in the age comparison, on the small-file trees, the three runs taking
# turns (RULE_REPS runs each, 5 by default):
#   none:    tavrik-cli compare --age L R without rules
#   third:   rules that leave out a third of the files by folder: must be faster than none
#   nothing: 10 rules of each kind that leave out nothing: at most 1.1 x none
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bench_begin

: "${RULE_REPS:=5}"
gen_small
L="$SMALL_TREES/L"
R="$SMALL_TREES/R"
G=rules
RULES="$OUT_DIR/rules"
mkdir -p "$RULES"

# third: folders of the second level, in name order, until they hold a third of the
# left's files; nothing: names that are in no tree, each kind of rule ten times.
python3 - "$L" "$RULES" <<'PY'
import os, sys
left, out = sys.argv[1], sys.argv[2]
tops = sorted(e.name for e in os.scandir(left) if e.is_dir())
seconds = sorted(t + "/" + e.name for t in tops for e in os.scandir(os.path.join(left, t))
                 if e.is_dir())
count = lambda rel: sum(len(f) for _, _, f in os.walk(os.path.join(left, rel)))
total = sum(len(f) for _, _, f in os.walk(left))
taken, lines = 0, []
for folder in seconds:
    if taken * 3 >= total:
        break
    lines.append(f"/{folder}/")
    taken += count(folder)
open(os.path.join(out, "third"), "w").write("\n".join(lines) + "\n")
print(f"rules: third leaves out {len(lines)} folders, {taken} of {total} left files",
      file=sys.stderr)
inside = tops[0]
kinds = [
    "zz_nope_{i}.tmp",             # a plain name
    "*.zznope{i}",                 # a suffix
    "zznope{i}_*",                 # a prefix
    "zz?nope[0-9]_{i}*.bak",       # any other pattern of a name
    "zznope_dir{i}/",              # folders only
    "/zznope{i}/deeper",           # anchored at the root
    "**/zznope{i}/x",              # at any depth, two names
    "zznope{i}/**",                # everything inside
    inside + "/**/zznope{i}.c",    # any depth inside a folder that exists
    "!zznope_keep{i}.txt",         # taken back
]
rules = [k.format(i=i) for k in kinds for i in range(10)]
open(os.path.join(out, "nothing"), "w").write("\n".join(rules) + "\n")
PY

base=("$TAVRIK_CLI" compare --age --no-user-rules)
fact $G desc "tavrik-cli compare --age L R with rules, $SMALL_FILES file slots per side, $RULE_REPS runs each"
warm "$L" "$R"
log "rules: check runs"
"${base[@]}" "$L" "$R" >"$OUT_DIR/check-rules-none.out" 2>/dev/null || true
"${base[@]}" --exclude-from="$RULES/third" "$L" "$R" >"$OUT_DIR/check-rules-third.out" \
  2>"$OUT_DIR/check-rules-third.err" || true
"${base[@]}" --exclude-from="$RULES/nothing" "$L" "$R" >"$OUT_DIR/check-rules-nothing.out" \
  2>"$OUT_DIR/check-rules-nothing.err" || true
verdict=$(python3 - "$OUT_DIR" "$RULES/third" <<'PY'
import sys
out, third = sys.argv[1], sys.argv[2]
rows = lambda n: open(f"{out}/check-rules-{n}.out", encoding="utf-8", errors="surrogateescape",
                      newline="").read().split("\r\n")
none, cut, same = rows("none"), rows("third"), rows("nothing")
folders = {l.strip().strip("/") for l in open(third) if l.strip()}
inside = lambda name: "/".join(name.split("/")[:2]) in folders
bad = [r for r in cut if any(inside(n) for n in r.split("\t")[::2] if n)]
ok = same == none and not bad and set(cut) <= set(none)
print(f"{'ok' if ok else 'CHECK FAILED'}: nothing lists all {len(none) - 1} rows"
      f"{'' if same == none else ' NOT'}; third lists {len(cut) - 1}, none of them in an excluded folder"
      f"{'' if not bad else f' ({len(bad)} ARE)'}")
PY
)
log "$verdict"
log "rules: $(grep -h "left out by" "$OUT_DIR/check-rules-third.err" "$OUT_DIR/check-rules-nothing.err" | tr "\n" " ")"
fact $G check "$verdict"

log "rules: timed runs"
"${BPY[@]}" alternate --results "$BENCH_RESULTS" --group $G --reps "$RULE_REPS" --ok 0,1 \
  --stderr "$OUT_DIR/last-$G.err" \
  --tool none "compare --age, no rules" "${base[*]} '$L' '$R'" \
  --tool third "compare --age, a third left out by folder" \
  "${base[*]} --exclude-from='$RULES/third' '$L' '$R'" \
  --tool nothing "compare --age, 100 rules leaving out nothing" \
  "${base[*]} --exclude-from='$RULES/nothing' '$L' '$R'" >&2

bench_end
