#!/usr/bin/env python3
"""Builds pairs of folder trees (L and R) for the benchmarks, deterministically from a seed.

Workloads:
  small  N small files per side in nested folders, with a few percent of the pairs changed
         (content, size, modification time either way, letter case of the name) and some
         left-only and right-only files.
  big    COUNT files of MB MiB per side, written in full (no holes), each pair differing
         in its first or its last byte.
  sync   N small files per side where a few percent of the left files are newer than their
         right partners (and differ in content), plus right-only files (left-only ones on
         request); the newer left files are listed in changed.lst (NUL-separated, relative
         to L): the set both the sync and rsync -a copy.

Each workload goes to DEST/L and DEST/R with DEST/manifest.json holding the expected
figures (rows, marks of both comparison modes, what diff and rsync must report, path bytes).
A DEST whose manifest has the same parameters is kept as it is.

Only the Python standard library is used.
"""

import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import time
from multiprocessing import Pool

BASE_MTIME = 1_700_000_000  # Nov 2023; every file gets a whole-second time after it
POOL_BYTES = 32 << 20  # random bytes that file contents are cut from
MAX_SMALL = 32768

WORDS = [
    "bericht", "daten", "notiz", "bild", "protokoll", "config", "index", "liste", "entwurf",
    "tabelle", "vorlage", "archiv", "modul", "test", "skizze", "kapitel", "rechnung", "brief",
]
UMLAUT_WORDS = [
    "Grüße", "Übersicht", "Änderungen", "Ölpreise", "Straße", "Bücher", "Käse", "Größe",
    "Früchte", "Märchen", "Tür", "Überweisung", "Äpfel", "Öffnungszeiten",
]
DIR_WORDS = ["projekt", "quellen", "dokumente", "bilder", "daten", "sicherung", "arbeit"]
UMLAUT_DIRS = ["Entwürfe", "Übersichten", "Fälle", "Prüfungen", "Gebäude"]
EXTS = [".txt", ".dat", ".c", ".h", ".json", ".csv", ".log", ".xml", ".png", ".md"]

# Filled before the worker pool forks, so every worker shares them.
G = {}


def random_pool(seed):
    return memoryview(random.Random(f"pool-{seed}").randbytes(POOL_BYTES + MAX_SMALL + 1))


def small_size(rng):
    # Skewed towards small files: median 4 KiB, mean 8 KiB, at most 32 KiB.
    return min(MAX_SMALL, int((MAX_SMALL + 1) * rng.random() ** 3))


def newer_delta(rng):
    # Half of the time differences are a few seconds only, half are days.
    if rng.random() < 0.5:
        return rng.randint(1, 59)
    return rng.randint(1, 400) * 86400 + rng.randint(0, 86399)


def stepped(seconds, step):
    # Whole multiples of a medium's time step (FAT: 2 s), so the medium stores them as given.
    return seconds - seconds % step


def case_variant(name):
    stem, ext = os.path.splitext(name)
    return stem[0].swapcase() + stem[1:] + ext.upper()


def write_file(dir_fd, name, data, mtime):
    fd = os.open(name.encode("utf-8"), os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC,
                 0o644, dir_fd=dir_fd)
    try:
        view = memoryview(data)
        while view:
            n = os.write(fd, view)
            view = view[n:]
        ns = mtime * 1_000_000_000
        os.utime(fd, ns=(ns, ns))
    finally:
        os.close(fd)


# ---------------------------------------------------------------------------------------
# Folder layout shared by the small and the sync workloads


def plan_folders(rng, n_slots, umlaut_dir_pct):
    """Depth-first list of (relative folder, file slots, seed) holding n_slots in total.

    Top-level folders hold a handful of files, deeper ones 50-200; folders go down to four
    levels, so a relative file path has two to five components.
    """
    folders = []
    remaining = [n_slots]
    serial = [0]

    def folder_name(depth):
        serial[0] += 1
        if rng.random() * 100 < umlaut_dir_pct:
            return f"{rng.choice(UMLAUT_DIRS)}_{serial[0]}"
        return f"{rng.choice(DIR_WORDS)}_{serial[0]:04d}" if depth == 1 else f"{rng.choice(WORDS)}_{serial[0]}"

    def visit(path, depth):
        if remaining[0] <= 0:
            return
        k = rng.randint(0, 5) if depth == 1 else rng.randint(50, 200)
        k = min(k, remaining[0])
        remaining[0] -= k
        folders.append((path, k, rng.getrandbits(64)))
        if depth == 1:
            children = rng.randint(4, 10)
        elif depth == 2:
            children = rng.choice([0, 1, 2, 3])
        elif depth == 3:
            children = rng.choice([0, 0, 0, 1, 2])
        else:
            children = 0
        for _ in range(children):
            visit(path + "/" + folder_name(depth + 1), depth + 1)

    while remaining[0] > 0:
        visit(folder_name(1), 1)
    return folders


def open_dirs(rel):
    fds = []
    for side in ("L", "R"):
        path = os.path.join(G["dest"], side, rel)
        os.makedirs(path.encode("utf-8"), exist_ok=True)
        fds.append(os.open(path.encode("utf-8"), os.O_RDONLY | os.O_DIRECTORY))
    return fds


def pick(rng, table):
    x = rng.random() * 100
    for kind, pct in table:
        if x < pct:
            return kind
        x -= pct
    return "same"


def file_name(rng, j, umlaut_pct, force_umlaut=False):
    if force_umlaut or rng.random() * 100 < umlaut_pct:
        stem = rng.choice(UMLAUT_WORDS)
    else:
        stem = rng.choice(WORDS)
    return f"{stem}_{j:04d}{rng.choice(EXTS)}"


def new_counts():
    return {"files_left": 0, "files_right": 0, "bytes_left": 0, "bytes_right": 0,
            "path_bytes_left": 0, "path_bytes_right": 0, "umlaut_names": 0, "kinds": {},
            "size_left_smaller": 0, "size_left_bigger": 0}


def account(c, rel, lname, rname, lsize, rsize):
    if lname is not None:
        c["files_left"] += 1
        c["bytes_left"] += lsize
        c["path_bytes_left"] += len(f"{rel}/{lname}".encode("utf-8"))
    if rname is not None:
        c["files_right"] += 1
        c["bytes_right"] += rsize
        c["path_bytes_right"] += len(f"{rel}/{rname}".encode("utf-8"))
    if any(ord(ch) > 127 for ch in (lname or rname)):
        c["umlaut_names"] += 1


def write_pair(c, rel, kind, left, right):
    """Writes the files of one slot (a side whose name is None has none) and counts them."""
    for fd, name, data, mtime in (left, right):
        if name is not None:
            write_file(fd, name, data, mtime)
    c["kinds"][kind] = c["kinds"].get(kind, 0) + 1
    account(c, rel, left[1], right[1], len(left[2]), len(right[2]))


def gen_small_folder(job):
    rel, k, seed = job
    rng = random.Random(seed)
    pool = G["pool"]
    args = G["args"]
    table = [("content", args.content_pct), ("size", args.size_pct),
             ("lnewer", args.lnewer_pct), ("rnewer", args.rnewer_pct),
             ("case", args.case_pct), ("lonly", args.lonly_pct), ("ronly", args.ronly_pct)]
    lfd, rfd = open_dirs(rel)
    c = new_counts()
    try:
        for j in range(k):
            kind = pick(rng, table)
            force_umlaut = kind == "case" and rng.random() < 0.2
            name = file_name(rng, j, args.umlaut_pct, force_umlaut)
            size = small_size(rng)
            off = rng.randrange(POOL_BYTES)
            mtime = BASE_MTIME + rng.randrange(365 * 86400)
            data = pool[off:off + size]
            lname, rname, ldata, rdata, lt, rt = name, name, data, data, mtime, mtime
            if kind == "content":
                if size == 0:
                    size = 1 + rng.randrange(MAX_SMALL)
                    ldata = pool[off:off + size]
                changed = bytearray(ldata)
                changed[rng.randrange(size)] ^= 0xFF
                rdata = changed
            elif kind == "size":
                rsize = size
                while rsize == size:
                    rsize = small_size(rng)
                rdata = pool[off:off + rsize]
                c["size_left_smaller" if size < rsize else "size_left_bigger"] += 1
            elif kind == "lnewer":
                lt = mtime + newer_delta(rng)
            elif kind == "rnewer":
                rt = mtime + newer_delta(rng)
            elif kind == "case":
                rname = case_variant(name)
            elif kind == "lonly":
                rname = None
            elif kind == "ronly":
                lname = None
            write_pair(c, rel, kind, (lfd, lname, ldata, lt), (rfd, rname, rdata, rt))
    finally:
        os.close(lfd)
        os.close(rfd)
    return c, []


def gen_sync_folder(job):
    rel, k, seed = job
    rng = random.Random(seed)
    pool = G["pool"]
    args = G["args"]
    table = [("lnewer", args.lnewer_pct), ("lonly", args.lonly_pct), ("ronly", args.ronly_pct)]
    lfd, rfd = open_dirs(rel)
    c = new_counts()
    changed = []
    try:
        for j in range(k):
            kind = pick(rng, table)
            name = file_name(rng, j, args.umlaut_pct)
            size = small_size(rng)
            off = rng.randrange(POOL_BYTES)
            mtime = stepped(BASE_MTIME + rng.randrange(365 * 86400), args.time_step)
            data = pool[off:off + size]
            lname, rname, ldata, rdata, lt = name, name, data, data, mtime
            if kind == "lnewer":
                # The left file is a newer version: other content, half of the time
                # another size, and a later time (sometimes only seconds later).
                lsize = small_size(rng) if rng.random() < 0.5 else size
                loff = rng.randrange(POOL_BYTES)
                ldata = pool[loff:loff + lsize]
                lt = mtime + max(args.time_step, stepped(newer_delta(rng), args.time_step))
                changed.append(f"{rel}/{name}")
            elif kind == "lonly":
                rname = None
            elif kind == "ronly":
                lname = None
            write_pair(c, rel, kind, (lfd, lname, ldata, lt), (rfd, rname, rdata, mtime))
    finally:
        os.close(lfd)
        os.close(rfd)
    return c, changed


def merge(total, c):
    for key, value in c.items():
        if key == "kinds":
            for kind, n in value.items():
                total["kinds"][kind] = total["kinds"].get(kind, 0) + n
        else:
            total[key] += value


def run_folders(folders, worker, jobs):
    total = new_counts()
    changed = []
    done = 0
    n_slots = sum(k for _, k, _ in folders)
    last = time.monotonic()
    with Pool(processes=jobs) as pool:
        for c, ch in pool.imap(worker, folders, chunksize=8):
            merge(total, c)
            changed.extend(ch)
            done += sum(c["kinds"].values())
            if time.monotonic() - last > 5:
                last = time.monotonic()
                print(f"  ... {done:,} of {n_slots:,} file slots", flush=True)
    return total, changed


def small_expectations(t):
    k = lambda name: t["kinds"].get(name, 0)
    pairs = t["files_left"] - k("lonly")
    return {
        "rows": pairs + k("lonly") + k("ronly"),
        "pairs": pairs,
        "left_only": k("lonly"),
        "right_only": k("ronly"),
        "marks_age": {
            "=": k("same") + k("content") + k("size") + k("case"),
            "-->": k("lnewer"), "<--": k("rnewer"),
            "? -->": k("lonly"), "? <--": k("ronly"),
        },
        "marks_binary": {
            "=": k("same") + k("lnewer") + k("rnewer") + k("case"),
            "<>": k("content"), "<": t["size_left_smaller"], ">": t["size_left_bigger"],
            "?": k("lonly") + k("ronly"),
        },
        # diff is case-sensitive: a case pair shows up as two "Only in" lines.
        "diff_differ": k("content") + k("size"),
        "diff_only": k("lonly") + k("ronly") + 2 * k("case"),
        # rsync's quick check (size and time) misses same-size, same-time content changes.
        "rsync_rn_files": k("size") + k("lnewer") + k("rnewer") + k("lonly") + k("case"),
        "rsync_rnc_files": k("content") + k("size") + k("lonly") + k("case"),
    }


def sync_expectations(t):
    k = lambda name: t["kinds"].get(name, 0)
    pairs = t["files_left"] - k("lonly")
    rows = pairs + k("lonly") + k("ronly")
    return {
        "rows": rows,
        "pairs": pairs,
        "left_only": k("lonly"),
        "right_only": k("ronly"),
        "marks_age": {"=": k("same"), "-->": k("lnewer"), "? -->": k("lonly"),
                      "? <--": k("ronly")},
        # The sync acts on "-->" rows only here (orphans carry "? -->"/"? <--").
        "sync_copies": k("lnewer"),
        "rows_after_sync": rows - k("lnewer"),
        "rsync_a_files": k("lnewer") + k("lonly"),
    }


# ---------------------------------------------------------------------------------------
# Big files

CHUNK = 1 << 20


def gen_big_file(i):
    args = G["args"]
    pool = G["pool"]
    rng = random.Random(f"big-{args.seed}-{i}")
    name = f"gross_{i:02d}.bin"
    size = args.mb << 20
    first = i % 2 == 0  # even files differ in the first byte, odd ones in the last
    mtime = BASE_MTIME + rng.randrange(365 * 86400)
    fds = []
    for side in ("L", "R"):
        path = os.path.join(G["dest"], side, name)
        fds.append(os.open(path.encode("utf-8"), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644))
    try:
        written = 0
        while written < size:
            n = min(CHUNK, size - written)
            off = rng.randrange(POOL_BYTES - CHUNK)
            chunk = pool[off:off + n]
            os.write(fds[0], chunk)
            if (first and written == 0) or (not first and written + n == size):
                other = bytearray(chunk)
                other[0 if first else n - 1] ^= 0xFF
                os.write(fds[1], other)
            else:
                os.write(fds[1], chunk)
            written += n
        ns = mtime * 1_000_000_000
        for fd in fds:
            os.utime(fd, ns=(ns, ns))
    finally:
        for fd in fds:
            os.close(fd)
    return name, size, "first" if first else "last"


# ---------------------------------------------------------------------------------------


def params_of(args):
    keys = {
        "small": ["files", "seed", "content_pct", "size_pct", "lnewer_pct", "rnewer_pct",
                  "case_pct", "lonly_pct", "ronly_pct", "umlaut_pct"],
        "sync": ["files", "seed", "lnewer_pct", "lonly_pct", "ronly_pct", "umlaut_pct"],
        "big": ["count", "mb", "seed"],
    }[args.workload]
    p = {key: getattr(args, key) for key in keys}
    if args.time_step != 1:  # trees made before the setting existed stay valid
        p["time_step"] = args.time_step
    if args.umlaut_dir_pct != 2.0:
        p["umlaut_dir_pct"] = args.umlaut_dir_pct
    p["workload"] = args.workload
    p["generator"] = 3
    return p


def estimate_bytes(args):
    if args.workload == "big":
        return 2 * args.count * (args.mb << 20), 2 * args.count
    # mean size 8 KiB plus about half a 4 KiB block of slack and the inode
    return 2 * args.files * (8192 + 2048 + 512), 2 * args.files


def check_space(args, parent):
    need_bytes, need_inodes = estimate_bytes(args)
    st = os.statvfs(parent)
    free_bytes = st.f_bavail * st.f_frsize
    if need_bytes > free_bytes * 0.9 or need_inodes > st.f_favail * 0.9:
        sys.exit(f"gen_tree: not enough room in {parent}: need about {need_bytes / 2**30:.1f} GiB "
                 f"and {need_inodes:,} inodes, have {free_bytes / 2**30:.1f} GiB and "
                 f"{st.f_favail:,} inodes")


def summary(m):
    p = m["params"]
    e = m["expect"]
    lines = [f"{m['dest']}: {p['workload']} workload, seed {p['seed']}, generated in "
             f"{m['seconds']:.1f} s"]
    c = m.get("counts", {})
    if p["workload"] == "big":
        lines.append(f"  {p['count']} files of {p['mb']} MiB per side, differing in the "
                     f"first byte (even numbers) or the last byte (odd numbers)")
    else:
        lines.append(f"  left {c['files_left']:,} files ({c['bytes_left'] / 2**20:,.0f} MiB), "
                     f"right {c['files_right']:,} files ({c['bytes_right'] / 2**20:,.0f} MiB), "
                     f"{m['folders']:,} folders per side, {c['umlaut_names']} umlaut names")
        lines.append("  kinds: " + ", ".join(f"{k} {v:,}" for k, v in sorted(c["kinds"].items())))
        lines.append(f"  path bytes (relative): left {c['path_bytes_left']:,}, "
                     f"right {c['path_bytes_right']:,}")
    lines.append(f"  expected rows {e['rows']:,}")
    for key in ("marks_age", "marks_binary"):
        if key in e:
            lines.append(f"  {key}: " + ", ".join(f"'{k}' {v:,}" for k, v in e[key].items()))
    rest = {k: v for k, v in e.items() if not isinstance(v, dict) and k != "rows"}
    lines.append("  " + ", ".join(f"{k} {v:,}" for k, v in rest.items()))
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("workload", choices=["small", "big", "sync"])
    ap.add_argument("dest", help="folder to create (gets L/, R/ and manifest.json)")
    ap.add_argument("--files", type=int, default=200_000, help="file slots per workload (small, sync)")
    ap.add_argument("--count", type=int, default=12, help="number of big files per side")
    ap.add_argument("--mb", type=int, default=256, help="size of each big file in MiB")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--content-pct", type=float, default=2.0)
    ap.add_argument("--size-pct", type=float, default=2.0)
    ap.add_argument("--lnewer-pct", type=float, default=None,
                    help="left newer (default 1.5 for small, 3 for sync)")
    ap.add_argument("--rnewer-pct", type=float, default=1.5)
    ap.add_argument("--case-pct", type=float, default=1.0)
    ap.add_argument("--lonly-pct", type=float, default=None,
                    help="left-only files (default 1 for small, 0 for sync)")
    ap.add_argument("--ronly-pct", type=float, default=1.0)
    ap.add_argument("--umlaut-pct", type=float, default=0.5)
    ap.add_argument("--umlaut-dir-pct", type=float, default=2.0)
    ap.add_argument("--time-step", type=int, default=1,
                    help="sync: times and time differences in whole multiples of this many "
                         "seconds (2 for a FAT medium)")
    ap.add_argument("--jobs", type=int, default=max(1, min(4, os.cpu_count() or 1)))
    ap.add_argument("--force", action="store_true", help="regenerate even if the manifest matches")
    args = ap.parse_args()
    if args.lnewer_pct is None:
        args.lnewer_pct = 3.0 if args.workload == "sync" else 1.5
    if args.lonly_pct is None:
        args.lonly_pct = 0.0 if args.workload == "sync" else 1.0

    dest = os.path.abspath(args.dest)
    manifest_path = os.path.join(dest, "manifest.json")
    params = params_of(args)
    if not args.force and os.path.exists(manifest_path):
        with open(manifest_path, encoding="utf-8") as f:
            old = json.load(f)
        if old.get("params") == params:
            print("reusing " + summary(old))
            return
    parent = os.path.dirname(dest)
    os.makedirs(parent, exist_ok=True)
    check_space(args, parent)
    partial = dest + ".partial"
    for path in (partial, dest):
        if os.path.lexists(path):
            subprocess.run(["rm", "-rf", "--", path], check=True)
    os.makedirs(os.path.join(partial, "L"))
    os.makedirs(os.path.join(partial, "R"))

    start = time.monotonic()
    G["args"] = args
    G["dest"] = partial
    G["pool"] = random_pool(args.seed)
    manifest = {"params": params, "dest": dest}
    if args.workload == "big":
        with Pool(processes=min(args.jobs, args.count) or 1) as pool:
            files = pool.map(gen_big_file, range(args.count))
        manifest["files"] = [{"name": n, "size": s, "differs_in": d} for n, s, d in files]
        manifest["expect"] = {
            "rows": args.count, "pairs": args.count, "left_only": 0, "right_only": 0,
            "marks_age": {"=": args.count},
            "marks_binary": {"<>": args.count},
            "diff_differ": args.count, "diff_only": 0,
            "rsync_rnc_files": args.count,
            "path_bytes": 2 * sum(len(n) for n, _, _ in files),
        }
    else:
        rng = random.Random(f"{args.workload}-{args.seed}")
        folders = plan_folders(rng, args.files, args.umlaut_dir_pct)
        worker = gen_small_folder if args.workload == "small" else gen_sync_folder
        counts, changed = run_folders(folders, worker, args.jobs)
        manifest["folders"] = len(folders)
        manifest["counts"] = counts
        expect = small_expectations(counts) if args.workload == "small" else sync_expectations(counts)
        expect["path_bytes"] = counts["path_bytes_left"] + counts["path_bytes_right"]
        manifest["expect"] = expect
        if args.workload == "sync":
            with open(os.path.join(partial, "changed.lst"), "wb") as f:
                for rel in changed:
                    f.write(rel.encode("utf-8") + b"\0")
    manifest["seconds"] = time.monotonic() - start
    with open(os.path.join(partial, "manifest.json"), "w", encoding="utf-8") as f:
        json.dump(manifest, f, indent=1, ensure_ascii=False)
    os.rename(partial, dest)
    print("generated " + summary(manifest))


if __name__ == "__main__":
    main()
