#!/usr/bin/env python3
"""Helpers of the benchmark scripts: timing with peak memory, output checks, the report.

  bench.py measure --results TSV --group G --tool ID --label TEXT --reps N
                   [--prepare SH] [--verify SH] [--ok 0,1] [--stderr FILE] -- CMD...
      Runs CMD N times (standard output to /dev/null), each after the untimed shell
      command --prepare and followed by the untimed check --verify; records the wall times
      and the peak resident set size (from wait4) as one line of TSV.
  bench.py alternate --results TSV --group G --reps N [--prepare SH] [--verify SH]
                   [--ok 0,1] [--stderr FILE] --tool ID LABEL SHELLCMD [--tool ...]
      Like measure for several tools at once, their runs taking turns (A B C A B C ...), so
      a drift of the machine during the group weighs on every tool alike; each command is
      a bash command line, each run follows its own --prepare.
  bench.py measure-reported --results TSV --group G --tool ID --label TEXT --reps N
                   --key KEY -- CMD...
      For a program that times itself and prints "key value" lines: KEY's value is the
      time; the other values are kept for the report.
  bench.py fact --results TSV --group G KEY VALUE
      Records a figure the report needs (rows, path bytes, a description).
  bench.py check-marks OUT MANIFEST age|binary     marks in a compare/sync list
  bench.py check-fill OUT MANIFEST                 rows and pairs of a fill list
  bench.py check-diff OUT MANIFEST                 "differ"/"Only in" lines of diff -rq
  bench.py check-rsync OUT MANIFEST KEY            files rsync itemised (">f" lines)
  bench.py check-sync L R MANIFEST [ROWS_OUT]      the sync copied the changed files
  bench.py report TSV                              the table of figures and ratios
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from collections import Counter

TIME = "/usr/bin/time"

# (group, tool, reference tool, comparison, limit): tool's median / reference's median.
TARGETS = [
    ("fill", "tavrik", "find", "<=", 1.5),
    ("age", "tavrik", "find", "<=", 1.2),
    ("age", "tavrik", "rsync-rn", "<", 1.0),
    ("binary-small", "tavrik", "diff-rq", "<", 1.0),
    ("binary-small", "tavrik", "rsync-rnc", "<=", 1.0),
    ("binary-big", "tavrik", "diff-rq", "<", 1.0),
    ("binary-big", "tavrik", "rsync-rnc", "<=", 1.0),
    ("sync", "tavrik", "rsync-a", "<", 1.0),
    ("sync", "tavrik", "cp-changed", "<=", 1.3),
    ("gui-fill", "gui", "tavrik", "<=", 1.2),
    # Exclusion rules: leaving out a third by folder saves time; rules that leave out
    # nothing cost at most a tenth.
    ("rules", "third", "none", "<", 1.0),
    ("rules", "nothing", "none", "<=", 1.1),
    # Where every file costs round trips (remote) or disk seeks (cold): against the same
    # work done with 16 requests in flight (the limit); the peers are shown, not judged.
    ("remote-age", "tavrik", "pfind", "<=", 1.5),
    ("remote-age", "tavrik", "rsync-rn", "", None),
    ("remote-binary", "tavrik", "pcat", "<=", 1.5),
    ("remote-binary", "tavrik", "rsync-rnc", "", None),
    ("remote-sync", "tavrik", "pfind-pcp", "<=", 2.0),
    ("remote-sync", "tavrik", "rsync-both", "", None),
    ("cold-age", "tavrik", "pfind", "<=", 1.2),
    ("cold-age", "tavrik", "find", "", None),
    ("cold-binary", "tavrik", "pcat", "<=", 1.2),
    ("cold-binary", "tavrik", "rsync-rnc", "", None),
]
# Groups whose tavrik run has a memory target: bytes per row beyond the path bytes.
MEMORY_TARGET = {"fill": 300}


# ---------------------------------------------------------------------------------------
# measuring


def run_shell(cmd):
    return subprocess.run(["bash", "-c", cmd]).returncode


def timed_run(cmd, stderr_path):
    # The peak comes from /usr/bin/time, not from our own wait4: a child started straight
    # from this process inherits its high-water mark (about 15 MiB of Python) through the
    # exec, while time's own footprint is a megabyte or two.
    with tempfile.NamedTemporaryFile("r", prefix="bench-rss-") as rss_file, \
            open(stderr_path or os.devnull, "ab") as err:
        wrapped = [TIME, "-q", "-f", "%M", "-o", rss_file.name] + cmd
        start = time.perf_counter()
        proc = subprocess.run(wrapped, stdout=subprocess.DEVNULL, stderr=err)
        elapsed = time.perf_counter() - start
        text = rss_file.read().split()
    maxrss = int(text[-1]) if text and text[-1].isdigit() else 0
    return elapsed, maxrss, proc.returncode


def cmd_measure(a):
    ok = {int(x) for x in a.ok.split(",")}
    times, rss, statuses, notes = [], [], [], []
    for rep in range(a.reps):
        if a.prepare and run_shell(a.prepare) != 0:
            sys.exit(f"bench: preparing {a.label} failed")
        elapsed, maxrss, status = timed_run(a.cmd, a.stderr)
        times.append(elapsed)
        rss.append(maxrss)
        statuses.append(status)
        if status not in ok:
            notes.append(f"run {rep + 1} exit status {status}")
        if a.verify and run_shell(a.verify) != 0:
            notes.append(f"run {rep + 1} check failed")
    med = statistics.median(times)
    note = "; ".join(notes)
    print(f"  {a.label:<44} min {min(times):8.3f} s  median {med:8.3f} s  "
          f"peak {max(rss) / 1024:8.1f} MiB  ({a.reps} runs){'  ' + note if note else ''}",
          flush=True)
    with open(a.results, "a", encoding="utf-8") as f:
        f.write("\t".join(["time", a.group, a.tool, a.label, str(a.reps), f"{min(times):.4f}",
                           f"{med:.4f}", str(max(rss)), ",".join(map(str, statuses)), note]) + "\n")


def cmd_alternate(a):
    ok = {int(x) for x in a.ok.split(",")}
    runs = {tool_id: dict(times=[], rss=[], statuses=[], notes=[]) for tool_id, _, _ in a.tool}
    for rep in range(a.reps):
        for tool_id, label, cmd in a.tool:
            r = runs[tool_id]
            if a.prepare and run_shell(a.prepare) != 0:
                sys.exit(f"bench: preparing {label} failed")
            elapsed, maxrss, status = timed_run(["bash", "-c", cmd], a.stderr)
            r["times"].append(elapsed)
            r["rss"].append(maxrss)
            r["statuses"].append(status)
            if status not in ok:
                r["notes"].append(f"run {rep + 1} exit status {status}")
            if a.verify and run_shell(a.verify) != 0:
                r["notes"].append(f"run {rep + 1} check failed")
            print(f"    run {rep + 1} {label}: {elapsed:.3f} s", flush=True)
    with open(a.results, "a", encoding="utf-8") as f:
        for tool_id, label, _ in a.tool:
            r = runs[tool_id]
            times, med, note = r["times"], statistics.median(r["times"]), "; ".join(r["notes"])
            print(f"  {label:<44} min {min(times):8.3f} s  median {med:8.3f} s  "
                  f"peak {max(r['rss']) / 1024:8.1f} MiB  ({a.reps} runs, alternating)"
                  f"{'  ' + note if note else ''}", flush=True)
            f.write("\t".join(["time", a.group, tool_id, label, str(a.reps), f"{min(times):.4f}",
                               f"{med:.4f}", str(max(r["rss"])), ",".join(map(str, r["statuses"])),
                               note]) + "\n")


def cmd_measure_reported(a):
    """Runs a program that times itself and prints "key value" lines; the value of
    --key becomes the tool's time, the medians of the other numbers become facts."""
    values = {}
    rss = []
    for rep in range(a.reps):
        with tempfile.NamedTemporaryFile("r", prefix="bench-rss-") as rss_file, \
                open(a.stderr or os.devnull, "ab") as err:
            proc = subprocess.run([TIME, "-q", "-f", "%M", "-o", rss_file.name] + a.cmd,
                                  stdout=subprocess.PIPE, stderr=err)
            text = rss_file.read().split()
        rss.append(int(text[-1]) if text and text[-1].isdigit() else 0)
        for line in proc.stdout.decode("utf-8", "replace").splitlines():
            parts = line.split()
            if len(parts) == 2:
                try:
                    values.setdefault(parts[0], []).append(float(parts[1]))
                except ValueError:
                    pass
    times = values.get(a.key)
    if not times:
        print(f"  {a.label}: no '{a.key}' in the program's output")
        return 1
    med = statistics.median(times)
    print(f"  {a.label:<44} min {min(times):8.3f} s  median {med:8.3f} s  "
          f"peak {max(rss) / 1024:8.1f} MiB  ({len(times)} runs, as the program reports)", flush=True)
    with open(a.results, "a", encoding="utf-8") as f:
        f.write("\t".join(["time", a.group, a.tool, a.label, str(len(times)), f"{min(times):.4f}",
                           f"{med:.4f}", str(max(rss)), "", "time as reported by the program"]) + "\n")
        for key, vals in values.items():
            if key != a.key:
                f.write("\t".join(["fact", a.group, f"check-{key}",
                                   f"{key} (median of {len(vals)}): {statistics.median(vals):g}"]) + "\n")
    return 0


def cmd_fact(a):
    with open(a.results, "a", encoding="utf-8") as f:
        f.write("\t".join(["fact", a.group, a.key, a.value]) + "\n")


# ---------------------------------------------------------------------------------------
# checks: print one line, exit 1 when the output does not match the manifest


def load_manifest(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def verdict(what, problems):
    if problems:
        print(f"  CHECK FAILED {what}: " + "; ".join(problems))
        return 1
    print(f"  check ok: {what}")
    return 0


def list_rows(path, line_end):
    with open(path, "rb") as f:
        data = f.read()
    if not data:
        return []
    lines = data.split(line_end)
    if lines and lines[-1] == b"":
        lines.pop()
    return [line.split(b"\t") for line in lines]


def describe(counter):
    return ", ".join(f"'{k}' {v:,}" for k, v in sorted(counter.items()))


def cmd_check_marks(a):
    expect = load_manifest(a.manifest)["expect"]
    rows = list_rows(a.out, b"\r\n")
    problems = []
    if len(rows) != expect["rows"]:
        problems.append(f"{len(rows):,} rows, expected {expect['rows']:,}")
    bad = [r for r in rows if len(r) != 3]
    if bad:
        problems.append(f"{len(bad)} lines without three columns")
    marks = Counter(r[1].decode("utf-8", "replace") for r in rows if len(r) == 3)
    want = Counter({k: v for k, v in expect[f"marks_{a.mode}"].items() if v})
    if marks != want:
        problems.append(f"marks {describe(marks)}; expected {describe(want)}")
    return verdict(f"{a.mode} list, {len(rows):,} rows, marks {describe(marks)}", problems)


def cmd_check_fill(a):
    expect = load_manifest(a.manifest)["expect"]
    rows = list_rows(a.out, b"\n")
    problems = []
    pairs = sum(1 for r in rows if len(r) == 3 and r[0] and r[2])
    left_only = sum(1 for r in rows if len(r) == 3 and r[0] and not r[2])
    right_only = sum(1 for r in rows if len(r) == 3 and not r[0] and r[2])
    got = (len(rows), pairs, left_only, right_only)
    want = (expect["rows"], expect["pairs"], expect["left_only"], expect["right_only"])
    if got != want:
        problems.append("rows/pairs/left-only/right-only {:,}/{:,}/{:,}/{:,}, expected "
                        "{:,}/{:,}/{:,}/{:,}".format(*got, *want))
    return verdict(f"fill list, {len(rows):,} rows ({pairs:,} pairs, {left_only:,} left only, "
                   f"{right_only:,} right only)", problems)


def cmd_check_diff(a):
    expect = load_manifest(a.manifest)["expect"]
    differ = only = other = 0
    with open(a.out, "rb") as f:
        for line in f:
            if line.startswith(b"Files ") and line.rstrip(b"\n").endswith(b" differ"):
                differ += 1
            elif line.startswith(b"Only in "):
                only += 1
            else:
                other += 1
    problems = []
    if (differ, only) != (expect["diff_differ"], expect["diff_only"]):
        problems.append(f"expected {expect['diff_differ']:,} differ and "
                        f"{expect['diff_only']:,} only-in lines")
    if other:
        problems.append(f"{other} other lines")
    return verdict(f"diff -rq: {differ:,} differ, {only:,} only in", problems)


def cmd_check_rsync(a):
    expect = load_manifest(a.manifest)["expect"]
    with open(a.out, "rb") as f:
        files = sum(1 for line in f if line.startswith(b">f"))
    problems = []
    if files != expect[a.key]:
        problems.append(f"expected {expect[a.key]:,}")
    return verdict(f"rsync itemised {files:,} files to transfer", problems)


def cmd_check_sync(a):
    m = load_manifest(a.manifest)
    expect = m["expect"]
    changed_path = os.path.join(os.path.dirname(a.manifest), "changed.lst")
    with open(changed_path, "rb") as f:
        changed = [p for p in f.read().split(b"\0") if p]
    copied = 0
    for rel in changed:
        try:
            ls = os.stat(os.path.join(a.left.encode(), rel))
            rs = os.stat(os.path.join(a.right.encode(), rel))
        except OSError:
            continue
        if ls.st_size != rs.st_size or int(ls.st_mtime) != int(rs.st_mtime):
            continue
        with open(os.path.join(a.left.encode(), rel), "rb") as lf, \
                open(os.path.join(a.right.encode(), rel), "rb") as rf:
            if lf.read() == rf.read():
                copied += 1
    leftovers = 0
    right_files = 0
    for root in (a.left, a.right):
        for dirpath, dirnames, filenames in os.walk(root.encode()):
            leftovers += sum(1 for n in filenames + dirnames if n.startswith(b"."))
            if root == a.right:
                right_files += len(filenames)
    problems = []
    if copied != len(changed):
        problems.append(f"only {copied:,} of {len(changed):,} changed files arrived")
    if leftovers:
        problems.append(f"{leftovers} names beginning with '.' left behind")
    want_right = m["counts"]["files_right"] + expect["left_only"]
    if right_files not in (want_right, m["counts"]["files_right"]):
        problems.append(f"right side holds {right_files:,} files, expected "
                        f"{m['counts']['files_right']:,} (+{expect['left_only']:,} left-only)")
    what = f"sync result: {copied:,} of {len(changed):,} changed files in line"
    if a.rows_out:
        # Only rows still marked for copying are a fault here; how many of the other rows
        # stay in the list is the sync's business, so it is reported, not judged.
        rows = list_rows(a.rows_out, b"\r\n")
        marks = Counter(r[1].decode("utf-8", "replace") for r in rows if len(r) == 3)
        what += (f", {len(rows):,} rows left in the list ({describe(marks) or 'none'}; "
                 f"{expect['rows_after_sync']:,} were not marked for copying)")
        if marks.get("-->", 0) or marks.get("<--", 0):
            problems.append("rows still marked for copying")
    return verdict(what, problems)


# ---------------------------------------------------------------------------------------
# report


def fmt_mb(kb):
    return f"{kb / 1024:.1f}"


def cmd_report(a):
    times = {}
    order = []
    facts = {}
    with open(a.results, encoding="utf-8") as f:
        for line in f:
            cols = line.rstrip("\n").split("\t")
            if cols[0] == "time":
                _, group, tool, label, reps, tmin, tmed, rss, statuses, note = (cols + [""])[:10]
                times[(group, tool)] = dict(label=label, reps=int(reps), min=float(tmin),
                                            median=float(tmed), rss=int(rss), note=note)
                if group not in order:
                    order.append(group)
            elif cols[0] == "fact":
                facts.setdefault(cols[1], {})[cols[2]] = cols[3]
                if cols[1] not in order:
                    order.append(cols[1])
    out = []
    header = f"  {'tool':<44} {'min s':>9} {'median s':>9} {'peak MiB':>9}"
    for group in order:
        gf = facts.get(group, {})
        out.append("")
        out.append(f"[{group}] {gf.get('desc', '')}")
        if any(g == group for g, _ in times):
            out.append(header)
        for (g, tool), t in times.items():
            if g != group:
                continue
            line = f"  {t['label']:<44} {t['min']:9.3f} {t['median']:9.3f} {fmt_mb(t['rss']):>9}"
            if t["note"]:
                line += f"  ({t['note']})"
            out.append(line)
        for g, tool, ref, op, limit in TARGETS:
            if g != group or (g, tool) not in times or (g, ref) not in times:
                continue
            mine, theirs = times[(g, tool)], times[(g, ref)]
            ratio = mine["median"] / theirs["median"] if theirs["median"] > 0 else float("inf")
            if limit is None:
                out.append(f"  ratio {tool} / {ref}: {ratio:5.2f} (min/min "
                           f"{mine['min'] / max(theirs['min'], 1e-9):5.2f})   peer, no target")
                continue
            good = ratio <= limit if op == "<=" else ratio < limit
            out.append(f"  ratio {tool} / {ref}: {ratio:5.2f} (min/min "
                       f"{mine['min'] / max(theirs['min'], 1e-9):5.2f})   target {op} {limit}   "
                       f"{'met' if good else 'MISSED'}")
        if (group, "tavrik") in times and (group, "base") in times:
            # BASE_CLI: another build of the same program, timed in turn with this one.
            mine, base = times[(group, "tavrik")], times[(group, "base")]
            out.append(f"  ratio tavrik / base: {mine['median'] / max(base['median'], 1e-9):5.3f} "
                       f"(min/min {mine['min'] / max(base['min'], 1e-9):5.3f})   this build "
                       f"against BASE_CLI")
        if (group, "tavrik") in times and int(gf.get("rows", 0)) >= 1000:
            rows = int(gf["rows"])
            path_bytes = int(gf.get("path_bytes", 0))
            peak = times[(group, "tavrik")]["rss"] * 1024
            per_row = (peak - path_bytes) / rows if rows else 0
            line = (f"  memory: peak {peak / 2**20:.1f} MiB for {rows:,} rows, path bytes "
                    f"{path_bytes / 2**20:.1f} MiB -> {per_row:.0f} bytes/row beyond the paths")
            if "baseline_rss_kb" in gf:
                base = int(gf["baseline_rss_kb"]) * 1024
                line += f" ({(peak - base - path_bytes) / rows:.0f} without the {base / 2**20:.1f} MiB empty-run baseline)"
            if group in MEMORY_TARGET:
                limit = MEMORY_TARGET[group]
                line += f"   target < {limit}   {'met' if per_row < limit else 'MISSED'}"
            out.append(line)
        for key, value in sorted(gf.items()):
            if key.startswith("check") or key == "note":
                out.append(f"  {value}")
    print("\n".join(out))


# ---------------------------------------------------------------------------------------


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = ap.add_subparsers(dest="command", required=True)
    p = sub.add_parser("measure")
    p.add_argument("--results", required=True)
    p.add_argument("--group", required=True)
    p.add_argument("--tool", required=True)
    p.add_argument("--label", required=True)
    p.add_argument("--reps", type=int, default=3)
    p.add_argument("--prepare")
    p.add_argument("--verify")
    p.add_argument("--ok", default="0")
    p.add_argument("--stderr")
    p.add_argument("cmd", nargs=argparse.REMAINDER)
    p = sub.add_parser("alternate")
    p.add_argument("--results", required=True)
    p.add_argument("--group", required=True)
    p.add_argument("--reps", type=int, default=3)
    p.add_argument("--prepare")
    p.add_argument("--verify")
    p.add_argument("--ok", default="0")
    p.add_argument("--stderr")
    p.add_argument("--tool", nargs=3, action="append", required=True,
                   metavar=("ID", "LABEL", "SHELLCMD"))
    p = sub.add_parser("measure-reported")
    p.add_argument("--results", required=True)
    p.add_argument("--group", required=True)
    p.add_argument("--tool", required=True)
    p.add_argument("--label", required=True)
    p.add_argument("--reps", type=int, default=3)
    p.add_argument("--key", required=True)
    p.add_argument("--stderr")
    p.add_argument("cmd", nargs=argparse.REMAINDER)
    p = sub.add_parser("fact")
    p.add_argument("--results", required=True)
    p.add_argument("--group", required=True)
    p.add_argument("key")
    p.add_argument("value")
    p = sub.add_parser("check-marks")
    p.add_argument("out")
    p.add_argument("manifest")
    p.add_argument("mode", choices=["age", "binary"])
    p = sub.add_parser("check-fill")
    p.add_argument("out")
    p.add_argument("manifest")
    p = sub.add_parser("check-diff")
    p.add_argument("out")
    p.add_argument("manifest")
    p = sub.add_parser("check-rsync")
    p.add_argument("out")
    p.add_argument("manifest")
    p.add_argument("key")
    p = sub.add_parser("check-sync")
    p.add_argument("left")
    p.add_argument("right")
    p.add_argument("manifest")
    p.add_argument("rows_out", nargs="?")
    p = sub.add_parser("report")
    p.add_argument("results")
    a = ap.parse_args()
    if a.command in ("measure", "measure-reported"):
        if a.cmd and a.cmd[0] == "--":
            a.cmd = a.cmd[1:]
        if not a.cmd:
            ap.error(f"{a.command} needs a command after --")
        return cmd_measure(a) if a.command == "measure" else cmd_measure_reported(a)
    handlers = {"fact": cmd_fact, "alternate": cmd_alternate, "check-marks": cmd_check_marks, "check-fill": cmd_check_fill,
                "check-diff": cmd_check_diff, "check-rsync": cmd_check_rsync,
                "check-sync": cmd_check_sync, "report": cmd_report}
    return handlers[a.command](a)


if __name__ == "__main__":
    sys.exit(main() or 0)
