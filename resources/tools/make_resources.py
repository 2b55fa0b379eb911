#!/usr/bin/env python3
"""Draws Tavrik's pictures and writes them into resources/.

    python3 resources/tools/make_resources.py

Every picture is drawn here from scratch; running the script again reproduces the files
byte for byte (the JPEG needs ImageMagick's `convert`).
"""
import math
import os
import random
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from raster import Image, circle, hexrgb, mix, rect, rrect, save_ico, stroke  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# The mouse pointer's hot spot: the free end of the cable.
POINTER_HOT_SPOT = (1, 1)

WHITE = hexrgb("ffffff")
BLACK = hexrgb("000000")
CLEAR = (0, 0, 0, 0)


def vertical(top, bottom, y0, y1):
    """A paint running from colour top at y0 to bottom at y1."""
    return lambda x, y: mix(top, bottom, min(1, max(0, (y - y0) / (y1 - y0))))


def arrow(x_tail, x_tip, y, shaft, head_w, head_len):
    d = 1 if x_tip > x_tail else -1
    xb = x_tip - d * head_len
    return [[(x_tail, y - shaft / 2), (xb, y - shaft / 2), (xb, y - head_w / 2), (x_tip, y),
             (xb, y + head_w / 2), (xb, y + shaft / 2), (x_tail, y + shaft / 2)]]


def outlined(img, polys, paint, edge, width):
    """Fills polys with paint over a darker outline of the given width."""
    outline = []
    for p in polys:
        outline += stroke(p + p[:1], width)
    img.fill(outline + polys, edge, ss=8)
    img.fill(polys, paint, ss=8)


# --- program icon: two columns with arrows to and fro -----------------------------------

def program_icon(size, canvas=None):
    """Two file columns with arrows to and fro; the 16-pixel version is pixel-aligned.
    canvas: draw the 32-pixel design on it instead (an object with fill, such as a scaled
    view of a larger image)."""
    img = canvas or Image(size, size, CLEAR)
    orange = vertical(hexrgb("ffc04d"), hexrgb("f07c12"), 0, size)
    if size < 32:
        img.fill(rrect(0, 0, 16, 16, 3), hexrgb("1a3a7c"), ss=8)
        img.fill(rrect(1, 1, 15, 15, 2),
                 vertical(hexrgb("3f86e0"), hexrgb("1f4fa8"), 1, 15), ss=8)
        for x0 in (2, 9):
            img.fill(rect(x0, 2, x0 + 5, 14), hexrgb("f4f7fc"), ss=8)
        img.fill(arrow(3, 14, 6, 2, 6, 3), hexrgb("f39419"), ss=8)
        img.fill(arrow(13, 2, 11, 2, 6, 3), hexrgb("f39419"), ss=8)
        return img
    img.fill(rrect(0.5, 0.5, 31.5, 31.5, 6), hexrgb("1a3a7c"), ss=8)
    img.fill(rrect(1.5, 1.5, 30.5, 30.5, 5),
             vertical(hexrgb("3f86e0"), hexrgb("1f4fa8"), 2, 30), ss=8)
    for x0 in (5, 19):
        img.fill(rrect(x0, 4, x0 + 8, 28, 1.5), vertical(WHITE, hexrgb("dbe4f2"), 4, 28), ss=8)
        for y, w in ((6, 6), (24, 5), (26, 3)):
            img.fill(rect(x0 + 1, y, x0 + 1 + w, y + 1), hexrgb("8a9bb8"), ss=8)
    edge = hexrgb("7a3a00")
    outlined(img, arrow(6, 27, 12, 3, 7, 5), orange, edge, 1.5)
    outlined(img, arrow(26, 5, 19, 3, 7, 5), orange, edge, 1.5)
    return img


# --- info window icon: a white "i" on a blue disc ---------------------------------------

def info_icon(size):
    s = size / 32
    img = Image(size, size, CLEAR)
    img.fill(circle(16 * s, 16 * s, 15.5 * s), hexrgb("1a3a7c"), ss=8)
    img.fill(circle(16 * s, 16 * s, 14.5 * s),
             vertical(hexrgb("4a92ea"), hexrgb("1f4fa8"), 2 * s, 30 * s), ss=8)
    if size >= 32:
        parts = circle(16, 8.5, 2.6) + rect(12, 13, 18, 15) + rect(14.5, 13, 18, 23) \
            + rect(12, 23, 20, 25)
    else:
        parts = rect(7, 3, 9, 5) + rect(6, 6, 9, 7) + rect(7, 6, 9, 12) + rect(6, 11, 10, 13)
    img.fill(parts, WHITE, ss=8)
    return img


# --- the magazine logo: an abstract red and white mark ----------------------------------

def logo():
    w, h = 660, 856
    img = Image(w, h, WHITE)
    img.fill(rect(0, 0, w, h), vertical(hexrgb("d6182f"), hexrgb("a80c24"), 0, h))
    img.fill(rect(26, 26, w - 26, h - 26), WHITE)           # white frame ...
    field = vertical(hexrgb("d3172f"), hexrgb("ad0d25"), 44, h)
    img.fill(rect(44, 44, w - 44, h - 44), field)
    cx, cy, r = w / 2, 330, 214
    img.fill(circle(cx, cy, r), WHITE)                       # ... a rising sun ...
    y, gap = cy + 28, 12
    while y < cy + r:                                        # cut by widening bands
        img.fill(rect(cx - r - 2, y, cx + r + 2, y + gap), field)
        y += gap + 22
        gap += 7
    img.fill(rect(96, 604, w - 96, 676), WHITE)              # ... over a bold bar
    img.fill(rect(96, 708, w - 96, 726), WHITE)              # and two lines of "text"
    img.fill(rect(96, 752, 430, 770), WHITE)
    return img


# --- mouse pointer: a computer mouse on its cable, two colours ---------------------------

def pointer():
    n = 32
    body = set()
    cx, cy, a, b = 21.5, 21.5, 7.6, 9.8
    for y in range(n):
        for x in range(n):
            if abs((x + 0.5 - cx) / a) ** 2.6 + abs((y + 0.5 - cy) / b) ** 2.6 <= 1:
                body.add((x, y))
    top = min(y for _, y in body)
    black = {p for p in body if any((p[0] + dx, p[1] + dy) not in body
                                    for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)))}
    split = top + 7                                           # the buttons
    black |= {(x, split) for x, y in body if y == split}
    black |= {(21, y) for y in range(top, split)} | {(22, y) for y in range(top, split)}
    # The cable: a smooth curve from the mouse's nose to the hot spot.
    hx, hy = POINTER_HOT_SPOT
    p0, p1, p2, p3 = (21.5, top - 0.5), (21.5, 4.0), (9.0, 14.0), (hx + 0.5, hy + 0.5)
    path = []
    for k in range(801):
        t = k / 800
        u = 1 - t
        x = u ** 3 * p0[0] + 3 * u * u * t * p1[0] + 3 * u * t * t * p2[0] + t ** 3 * p3[0]
        y = u ** 3 * p0[1] + 3 * u * u * t * p1[1] + 3 * u * t * t * p2[1] + t ** 3 * p3[1]
        if not path or path[-1] != (int(x), int(y)):
            path.append((int(x), int(y)))
    thin = path[:1]                                           # drop the corner pixels of
    for i in range(1, len(path) - 1):                         # L-shaped steps: one pixel wide
        if max(abs(thin[-1][0] - path[i + 1][0]), abs(thin[-1][1] - path[i + 1][1])) > 1:
            thin.append(path[i])
    plug = {(hx, hy), (hx + 1, hy), (hx, hy + 1), (hx + 1, hy + 1), (hx + 2, hy + 2)}
    cable = set(thin + path[-1:]) | plug
    black |= cable
    img = Image(n, n, CLEAR)
    for x, y in body:
        img.put(x, y, WHITE)
    for x, y in cable:                                        # a white rim keeps the cable
        for dx in (-1, 0, 1):                                 # visible on dark ground
            for dy in (-1, 0, 1):
                q = (x + dx, y + dy)
                if 0 <= q[0] < n and 0 <= q[1] < n and q not in black and q not in body:
                    img.put(q[0], q[1], WHITE)
    for x, y in black:
        img.put(x, y, BLACK)
    return img


# --- info picture: an orange-toned circuit board --------------------------------------

DIRS = [(1, 0), (1, 1), (0, 1), (-1, 1), (-1, 0), (-1, -1), (0, -1), (1, -1)]


class Router:
    """Random traces on a 6-pixel grid that never touch or cross each other."""

    def __init__(self, cols, rows, rng):
        self.cols, self.rows, self.rng = cols, rows, rng
        self.taken, self.mids, self.traces = set(), set(), []

    def inside(self, p):
        return 0 <= p[0] < self.cols and 0 <= p[1] < self.rows

    def block(self, i0, j0, i1, j1):
        self.taken |= {(i, j) for i in range(i0, i1 + 1) for j in range(j0, j1 + 1)}

    def walk(self, start, d0, max_len, via_at_start=False):
        """Leads a trace from start, heading within 45 degrees of direction d0."""
        path, d, p, off_board = [start], d0, start, False
        self.taken.add(start)
        for _ in range(max_len):
            turn = [(d + t) % 8 for t in (-1, 1) if (d + t - d0) % 8 in (0, 1, 7)]
            self.rng.shuffle(turn)
            options = turn + [d] if self.rng.random() < 0.12 else [d] + turn
            for nd in options:
                dx, dy = DIRS[nd]
                q, mid = (p[0] + dx, p[1] + dy), (2 * p[0] + dx, 2 * p[1] + dy)
                if not self.inside(q):
                    if nd == d and len(path) > 3:
                        path.append((p[0] + 2 * dx, p[1] + 2 * dy))
                        off_board = True
                    continue
                if q in self.taken or (dx and dy and mid in self.mids):
                    continue
                self.taken.add(q)
                if dx and dy:
                    self.mids.add(mid)
                path.append(q)
                p, d = q, nd
                break
            else:
                break
            if off_board:
                break
        if via_at_start and len(path) < 4 and not off_board:
            self.taken -= set(path)                           # too short to look like wiring
            return
        self.traces.append((path, via_at_start, not off_board and len(path) > 1))


def circuit_board():
    w, h, cell, off = 157, 552, 6, 3
    rng = random.Random(1505)
    router = Router((w - off) // cell + 1, (h - off) // cell + 1, rng)

    def at(i, j):
        return off + i * cell, off + j * cell

    # Chips (grid box, pin sides) and small two-pad parts (grid point, horizontal?).
    chips = [((4, 9, 12, 17), "lrtb"), ((5, 29, 10, 40), "lr"), ((3, 52, 12, 55), "tb"),
             ((15, 72, 22, 79), "lrtb")]
    parts, pins = [], []
    for (i0, j0, i1, j1), sides in chips:
        router.block(i0 - 1, j0 - 1, i1 + 1, j1 + 1)
        for side in sides:
            if side in "lr":
                i, d = (i0 - 1, 4) if side == "l" else (i1 + 1, 0)
                pins += [((i, j), d) for j in range(j0 + 1, j1)]
            else:
                j, d = (j0 - 1, 6) if side == "t" else (j1 + 1, 2)
                pins += [((i, j), d) for i in range(i0 + 1, i1)]
    for i, j in ((15, 20), (2, 24), (13, 33), (16, 45), (5, 64), (2, 44), (19, 58), (8, 86)):
        horizontal = (i + j) % 2 == 0
        i1, j1 = (i + 1, j) if horizontal else (i, j + 1)
        if all(p not in router.taken for p in ((i, j), (i1, j1))):
            parts.append(((i, j), (i1, j1), horizontal, len(parts) % 3 == 0))
            router.block(i - 1, j - 1, i1 + 1, j1 + 1)
    hole = (21, 86)
    router.block(hole[0] - 2, hole[1] - 2, hole[0] + 2, hole[1] + 2)
    crystal = (17, 5, 21, 7)
    router.block(crystal[0] - 1, crystal[1] - 1, crystal[2] + 1, crystal[3] + 1)

    rng.shuffle(pins)
    for start, d in pins:
        router.taken.discard(start)
        router.walk(start, d, 4 + int(rng.random() * 30))
    for a, b, horizontal, _ in parts:
        for p, d in ((a, 4 if horizontal else 6), (b, 0 if horizontal else 2)):
            q = (p[0] + DIRS[d][0], p[1] + DIRS[d][1])
            if router.inside(q) and q not in router.taken:
                router.walk(q, d, 3 + int(rng.random() * 20), via_at_start=False)
    for _ in range(300):
        p = (int(rng.random() * router.cols), int(rng.random() * router.rows))
        if p not in router.taken:
            router.walk(p, int(rng.random() * 8), 3 + int(rng.random() * 25), via_at_start=True)

    # Board and copper.
    img = Image(w, h, CLEAR)
    img.fill(rect(0, 0, w, h), vertical(hexrgb("8c3c10"), hexrgb("6a2a08"), 0, h))
    lines = [[at(*p) for p in path] for path, _, _ in router.traces if len(path) > 1]
    img.fill([p for ln in lines for p in stroke([(x + 0.7, y + 0.9) for x, y in ln], 3.0)],
             hexrgb("2a0c00", 0.45))
    img.fill([p for ln in lines for p in stroke(ln, 2.2)], hexrgb("c9661d"))
    img.fill([p for ln in lines for p in stroke([(x - 0.5, y - 0.5) for x, y in ln], 0.8)],
             hexrgb("f4b060", 0.55))
    vias = [path[0] for path, start, _ in router.traces if start] + \
           [path[-1] for path, _, end in router.traces if end]
    gold, hole_dark = hexrgb("f6bf5e"), hexrgb("260e02")
    img.fill([c for p in vias for c in circle(*at(*p), 2.7)], gold)
    img.fill([c for p in vias for c in circle(*at(*p), 1.1)], hole_dark)
    img.fill(circle(*at(*hole), 9), gold)
    img.fill(circle(*at(*hole), 5.5), hole_dark)

    # Silkscreen outlines, then the parts themselves.
    silk = hexrgb("f8e6c6", 0.85)
    boxes = [(at(i0, j0)[0] - 4.5, at(i0, j0)[1] - 4.5,
              at(i1, j1)[0] + 4.5, at(i1, j1)[1] + 4.5) for (i0, j0, i1, j1), _ in chips]
    for a, b, horizontal, _ in parts:
        (xa, ya), (xb, yb) = at(*a), at(*b)
        boxes.append((xa - 3.5, ya - 3.5, xb + 3.5, yb + 3.5))
    cx0, cy0 = at(crystal[0], crystal[1])
    cx1, cy1 = at(crystal[2], crystal[3])
    boxes.append((cx0 - 3, cy0 - 3, cx1 + 3, cy1 + 3))
    outline = []
    for x0, y0, x1, y1 in boxes:
        outline += stroke([(x0, y0), (x1, y0), (x1, y1), (x0, y1), (x0, y0)], 0.8)
    img.fill(outline, silk)
    ring = circle(*at(*hole), 11.5, 48)[0]
    img.fill(stroke(ring + ring[:1], 0.8), silk)

    pin_metal = hexrgb("e2cfb0")
    for (i0, j0, i1, j1), sides in chips:
        x0, y0 = at(i0, j0)
        x1, y1 = at(i1, j1)
        x0, y0, x1, y1 = x0 - 2, y0 - 2, x1 + 2, y1 + 2
        metal = []
        for (pi, pj), d in pins:
            px, py = at(pi, pj)
            if x0 - 7 < px < x1 + 7 and y0 - 7 < py < y1 + 7:
                tip = (px - DIRS[d][0] * 5, py - DIRS[d][1] * 5)
                metal += stroke([(px, py), tip], 2.2, round_ends=False)
        img.fill(metal, pin_metal)
        img.fill(rect(x0 + 2, y0 + 2.5, x1 + 2.5, y1 + 3), hexrgb("1a0800", 0.5))
        img.fill(rrect(x0, y0, x1, y1, 1.5), vertical(hexrgb("3a2c24"), hexrgb("1c1410"), y0, y1))
        img.fill(rect(x0 + 1, y0 + 0.6, x1 - 1, y0 + 1.4), hexrgb("8a6a52", 0.8))
        img.fill(circle(x0 + 4.5, y0 + 4.5, 1.6), hexrgb("0e0806"))
    body = {True: hexrgb("caa070"), False: hexrgb("1e1612")}
    for a, b, horizontal, capacitor in parts:
        (xa, ya), (xb, yb) = at(*a), at(*b)
        img.fill(rect(xa - 1.5, ya - 1, xb + 3.5, yb + 4), hexrgb("1a0800", 0.45))
        img.fill(rect(xa - 2.5, ya - 2.5, xb + 2.5, yb + 2.5), pin_metal)
        if horizontal:
            img.fill(rect(xa + 0.5, ya - 2.5, xb - 0.5, yb + 2.5), body[capacitor])
        else:
            img.fill(rect(xa - 2.5, ya + 0.5, xb + 2.5, yb - 0.5), body[capacitor])
    img.fill(rrect(cx0 - 1, cy0 - 1, cx1 + 1, cy1 + 1, 5), hexrgb("d8cbb8"))
    img.fill(rrect(cx0 + 1, cy0 + 1, cx1 - 1, cy1 - 1, 3.5),
             vertical(hexrgb("fff4e0"), hexrgb("b8a890"), cy0, cy1))

    # Warm light from the upper left, a soft vignette and a little grain, like a photograph.
    def light(x, y, c):
        glow = math.exp(-((x - 40) ** 2 + (y - 150) ** 2) / 30000)
        edge = min(x, w - x, y, h - y)
        shade = (0.72 + 0.5 * glow) * (0.8 + 0.2 * min(1, edge / 25))
        grain = (rng.random() - 0.5) * 10
        return (c[0] * shade * 1.06 + grain, c[1] * shade * 0.94 + grain,
                c[2] * shade * 0.8 + grain, 1)

    img.map(light)
    return img


def main():
    def out(*parts):
        path = os.path.join(ROOT, *parts)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        return path

    icons = [program_icon(32), program_icon(16)]
    icons[0].save_png(out("icons", "tavrik-32.png"))
    icons[1].save_png(out("icons", "tavrik-16.png"))
    save_ico(out("icons", "tavrik.ico"), icons[::-1])
    info_icon(32).save_png(out("icons", "info-32.png"))
    info_icon(16).save_png(out("icons", "info-16.png"))
    logo().save_png(out("pictures", "logo.png"))
    pointer().save_png(out("cursors", "mouse.png"))
    circuit_board().save_jpeg(out("pictures", "info.jpg"), quality=85)
    print("mouse pointer hot spot:", POINTER_HOT_SPOT)


if __name__ == "__main__":
    main()
