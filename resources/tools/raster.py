"""A tiny anti-aliasing rasteriser and PNG/ICO writer (Python standard library only).

Shapes are polygons filled with the non-zero rule; a fill is the union of its polygons.
Coverage is exact across a scanline and sampled `ss` times down each pixel.
"""
import math
import os
import struct
import subprocess
import tempfile
import zlib
from array import array


def hexrgb(text, alpha=1.0):
    text = text.lstrip("#")
    return (int(text[0:2], 16), int(text[2:4], 16), int(text[4:6], 16), alpha)


def mix(c1, c2, t):
    return tuple(a + (b - a) * t for a, b in zip(c1, c2))


# --- shapes (lists of polygons) -------------------------------------------------------

def rect(x0, y0, x1, y1):
    return [[(x0, y0), (x1, y0), (x1, y1), (x0, y1)]]


def circle(cx, cy, r, n=None):
    n = n or max(12, int(2 * math.pi * r / 1.5))
    return [[(cx + r * math.cos(2 * math.pi * k / n), cy + r * math.sin(2 * math.pi * k / n))
             for k in range(n)]]


def rrect(x0, y0, x1, y1, r):
    if r <= 0:
        return rect(x0, y0, x1, y1)
    pts, n = [], max(3, int(r * 2))
    for cx, cy, start in ((x1 - r, y0 + r, -90), (x1 - r, y1 - r, 0),
                          (x0 + r, y1 - r, 90), (x0 + r, y0 + r, 180)):
        for k in range(n + 1):
            a = math.radians(start + 90 * k / n)
            pts.append((cx + r * math.cos(a), cy + r * math.sin(a)))
    return [pts]


def stroke(points, width, round_ends=True):
    """A polyline of the given width with round joins (and round ends)."""
    r, polys = width / 2, []
    for (x0, y0), (x1, y1) in zip(points, points[1:]):
        length = math.hypot(x1 - x0, y1 - y0) or 1
        nx, ny = -(y1 - y0) / length * r, (x1 - x0) / length * r
        polys.append([(x0 + nx, y0 + ny), (x1 + nx, y1 + ny),
                      (x1 - nx, y1 - ny), (x0 - nx, y0 - ny)])
    joints = points if round_ends else points[1:-1]
    for x, y in joints:
        polys += circle(x, y, r, max(8, int(width * 3)))
    return polys


def _area(poly):
    return sum(x0 * y1 - x1 * y0 for (x0, y0), (x1, y1) in zip(poly, poly[1:] + poly[:1]))


# --- the image ----------------------------------------------------------------------------

class Image:
    def __init__(self, w, h, color=(0, 0, 0, 0)):
        self.w, self.h = w, h
        self.ch = [array("d", [float(v)]) * (w * h) for v in color]  # r, g, b 0..255; a 0..1

    def get(self, x, y):
        i = y * self.w + x
        return tuple(c[i] for c in self.ch)

    def put(self, x, y, color):
        i = y * self.w + x
        for c, v in zip(self.ch, color):
            c[i] = v

    def blend(self, i, color, cover):
        r, g, b, a = self.ch
        sa = color[3] * cover
        da = a[i]
        oa = sa + da * (1 - sa)
        if oa <= 0:
            return
        k = da * (1 - sa)
        r[i] = (color[0] * sa + r[i] * k) / oa
        g[i] = (color[1] * sa + g[i] * k) / oa
        b[i] = (color[2] * sa + b[i] * k) / oa
        a[i] = oa

    def fill(self, polys, paint, ss=4):
        """Fills the union of polys with a colour or a function (x, y) -> colour."""
        polys = [p if _area(p) >= 0 else p[::-1] for p in polys if len(p) >= 3]
        edges = []
        for p in polys:
            for (x0, y0), (x1, y1) in zip(p, p[1:] + p[:1]):
                if y0 == y1:
                    continue
                wind = 1 if y1 > y0 else -1
                if y0 > y1:
                    x0, y0, x1, y1 = x1, y1, x0, y0
                edges.append((y0, y1, x0, (x1 - x0) / (y1 - y0), wind))
        if not edges:
            return
        xs = [x for p in polys for x, _ in p]
        x_lo, x_hi = max(0, int(min(xs))), min(self.w, math.ceil(max(xs)))
        y_lo = max(0, int(min(e[0] for e in edges)))
        y_hi = min(self.h, math.ceil(max(e[1] for e in edges)))
        edges.sort()
        nxt, active = 0, []
        for row in range(y_lo, y_hi):
            while nxt < len(edges) and edges[nxt][0] < row + 1:
                active.append(edges[nxt])
                nxt += 1
            active = [e for e in active if e[1] > row]
            cov = [0.0] * (x_hi - x_lo + 1)
            for k in range(ss):
                sy = row + (k + 0.5) / ss
                hits = sorted((x0 + (sy - y0) * dx, wind)
                              for y0, y1, x0, dx, wind in active if y0 <= sy < y1)
                winding = 0
                for x, wind in hits:
                    if winding == 0:
                        start = x
                    winding += wind
                    if winding == 0:
                        _span(cov, start, x, x_lo, x_hi, 1 / ss)
            for j, c in enumerate(cov):
                if c > 0.001:
                    x = x_lo + j
                    color = paint(x + 0.5, row + 0.5) if callable(paint) else paint
                    self.blend(row * self.w + x, color, min(c, 1.0))

    def map(self, fn):
        """Replaces every pixel's colour by fn(x, y, (r, g, b, a))."""
        for y in range(self.h):
            for x in range(self.w):
                self.put(x, y, fn(x, y, self.get(x, y)))

    # --- output -----------------------------------------------------------------------------

    def png_bytes(self):
        r, g, b, a = self.ch
        opaque = min(a) >= 1.0
        raw = bytearray()
        for y in range(self.h):
            raw.append(0)
            for i in range(y * self.w, (y + 1) * self.w):
                px = (r[i], g[i], b[i]) if opaque else (r[i], g[i], b[i], a[i] * 255)
                raw.extend(max(0, min(255, round(v))) for v in px)

        def chunk(kind, data):
            body = kind + data
            return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

        header = struct.pack(">IIBBBBB", self.w, self.h, 8, 2 if opaque else 6, 0, 0, 0)
        return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
                + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))

    def save_png(self, path):
        with open(path, "wb") as f:
            f.write(self.png_bytes())

    def save_jpeg(self, path, quality=85):
        with tempfile.TemporaryDirectory() as tmp:
            src = os.path.join(tmp, "in.png")
            self.save_png(src)
            subprocess.run(["convert", src, "-strip", "-sampling-factor", "2x2",
                            "-quality", str(quality), path], check=True)


def _span(cov, a, b, lo, hi, weight):
    a, b = max(a, lo), min(b, hi)
    if b <= a:
        return
    ia, ib = int(a), int(b)
    if ia == ib:
        cov[ia - lo] += (b - a) * weight
        return
    cov[ia - lo] += (ia + 1 - a) * weight
    for i in range(ia + 1 - lo, ib - lo):
        cov[i] += weight
    cov[ib - lo] += (b - ib) * weight


def save_ico(path, images):
    """An .ico whose entries are PNG images (one per size)."""
    blobs = [im.png_bytes() for im in images]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for im, blob in zip(images, blobs):
        out += struct.pack("<BBBBHHII", im.w % 256, im.h % 256, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
    with open(path, "wb") as f:
        f.write(out + b"".join(blobs))
