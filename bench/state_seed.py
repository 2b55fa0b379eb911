#!/usr/bin/env python3
"""Writes the common state of two trees as a two-way sync would have left it, so the bench can
time the age comparison under a trusted state without a sync first.

    state_seed.py write L R     the state in L/.tavrik-state and R/.tavrik-state
    state_seed.py remove L R    removes both state folders again

The state says every pair was in line at the last sync, each side as it is now, except that
of a pair whose files differ now the newer one is taken as changed since (the state holds
the older file's size and time on both sides): the comparison then has work of every kind
but reads no contents. Files of one side only are new. The format and the root's identity
are those core/state/state_file.h and core/state/root_identity.h describe.

Only the Python standard library is used.
"""

import os
import secrets
import shutil
import stat
import sys
import unicodedata

STABLE = {"ext2", "ext3", "ext4", "xfs", "btrfs", "tmpfs", "ramfs", "f2fs", "zfs", "jfs",
          "reiserfs", "nilfs2", "bcachefs"}


def escape(data):
    out = bytearray()
    for b in data:
        if b == 0x25 or b < 0x20 or b == 0x7F:
            out += b"%%%02X" % b
        elif b == 0x20:
            out += b"%20"
        else:
            out.append(b)
    return bytes(out)


def unmount_text(field):
    out = bytearray()
    i = 0
    while i < len(field):
        if field[i:i + 1] == b"\\" and i + 3 < len(field) and field[i + 1:i + 4].isdigit():
            out.append(int(field[i + 1:i + 4], 8))
            i += 4
        else:
            out.append(field[i])
            i += 1
    return bytes(out)


def identity(root):
    fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
    try:
        st = os.fstat(fd)
        path = os.readlink(f"/proc/self/fd/{fd}").encode()
    finally:
        os.close(fd)
    wanted = f"{os.major(st.st_dev)}:{os.minor(st.st_dev)}".encode()
    found = None
    with open("/proc/self/mountinfo", "rb") as f:
        for line in f:
            fields = line.rstrip(b"\n").split(b" ")
            if len(fields) < 5 or fields[2] != wanted:
                continue
            sep = fields.index(b"-", 6)
            found = (unmount_text(fields[3]), unmount_text(fields[4]), fields[sep + 1].decode(),
                     unmount_text(fields[sep + 2]) if sep + 2 < len(fields) else b"")
    if not found:
        sys.exit(f"no mount for {root}")
    mroot, point, fstype, source = found
    uuid = None
    if source.startswith(b"/"):
        try:
            dev = os.stat(source)
            if stat.S_ISBLK(dev.st_mode) and os.path.isdir("/dev/disk/by-uuid"):
                for name in sorted(os.listdir("/dev/disk/by-uuid")):
                    s = os.stat(os.path.join("/dev/disk/by-uuid", name))
                    if stat.S_ISBLK(s.st_mode) and s.st_rdev == dev.st_rdev:
                        uuid = name
                        break
        except OSError:
            pass
    volume = (f"uuid:{uuid}" if uuid else f"dev:{os.major(st.st_dev)}:{os.minor(st.st_dev)}").encode()
    if fstype in STABLE:
        return b"ino " + escape(volume) + b" " + str(st.st_ino).encode(), True
    inside = path if point == b"/" else path[len(point):]
    below = (b"" if mroot == b"/" else mroot) + inside or b"/"
    return b"path " + escape(volume) + b" " + escape(below), False


def files(root):
    """Relative path (bytes) -> stat of every file the scan lists: no dot names, links only
    where they lead to a regular file."""
    out = {}
    base = os.fsencode(root)
    stack = [b""]
    while stack:
        rel = stack.pop()
        with os.scandir(os.path.join(base, rel) if rel else base) as it:
            for e in it:
                if e.name.startswith(b"."):
                    continue
                path = rel + b"/" + e.name if rel else e.name
                if e.is_dir(follow_symlinks=False):
                    stack.append(path)
                    continue
                try:
                    st = os.stat(os.path.join(base, path))
                except OSError:
                    continue
                if stat.S_ISREG(st.st_mode):
                    out[path] = st
    return out


def key(path):
    return unicodedata.normalize("NFC", path.decode("utf-8", "surrogateescape")).casefold()


def write(left, right):
    lf, rf = files(left), files(right)
    rkeys = {key(p): p for p in rf}
    lstate, rstate = {}, {}
    for lp, ls in lf.items():
        rp = rkeys.get(key(lp))
        if rp is None:
            continue
        rs = rf[rp]
        lt = (ls.st_size, ls.st_mtime_ns)
        rt = (rs.st_size, rs.st_mtime_ns)
        if lt != rt:
            # The newer file changed since the state; both held the older one then.
            old = lt if ls.st_mtime_ns <= rs.st_mtime_ns else rt
            lt = rt = old
        lstate[lp] = (lt, ls.st_ino)
        rstate[rp] = (rt, rs.st_ino)
    pair = secrets.token_hex(16).encode()
    generation = secrets.token_hex(16).encode()
    lid, lstable = identity(left)
    rid, rstable = identity(right)
    for root, side, own, peer, stable, state in (
            (left, b"L", lid, rid, lstable, lstate), (right, b"R", rid, lid, rstable, rstate)):
        folder = os.path.join(root, ".tavrik-state")
        os.makedirs(folder, exist_ok=True)
        lines = [b"tavrik-state 1", b"pair " + pair, b"generation " + generation,
                 b"side " + side, b"root " + escape(os.fsencode(os.path.abspath(root))),
                 b"identity " + own, b"peer " + peer, b"shift 0", b"links keep",
                 b"inodes " + (b"1" if stable else b"0")]
        for path in sorted(state):
            (size, ns), ino = state[path]
            lines.append(b"e f %d %d %d %s %s" % (size, ns // 10**9, ns % 10**9,
                                                 str(ino).encode() if stable else b"-",
                                                 escape(path)))
        lines.append(b"end %d" % len(state))
        with open(os.path.join(folder, pair.decode()), "wb") as f:
            f.write(b"\n".join(lines) + b"\n")
    print(f"state of {len(lstate)} pairs written", file=sys.stderr)


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in ("write", "remove"):
        sys.exit(__doc__)
    if sys.argv[1] == "write":
        write(sys.argv[2], sys.argv[3])
    else:
        for root in sys.argv[2:]:
            shutil.rmtree(os.path.join(root, ".tavrik-state"), ignore_errors=True)


if __name__ == "__main__":
    main()
