#!/usr/bin/env python3
"""Draws the program icon for the desktop's icon theme and writes it into resources/hicolor/.

    python3 resources/tools/make_desktop_icons.py

The larger sizes and the SVG repeat the 32-pixel design of make_resources.py, scaled; the
16-pixel icon is that script's own pixel-aligned one. The output is the same every run.
"""
import os
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from make_resources import ROOT, program_icon  # noqa: E402
from raster import Image  # noqa: E402

ICON_NAME = "org.example.tavrik"
SIZES = (16, 22, 24, 32, 48, 64, 128, 256)


class Scaled:
    """Draws on img in the coordinates of a 32-pixel icon."""

    def __init__(self, img, scale):
        self.img, self.s = img, scale

    def fill(self, polys, paint, ss=4):
        s = self.s
        polys = [[(x * s, y * s) for x, y in p] for p in polys]
        if callable(paint):
            inner = paint
            paint = lambda x, y: inner(x / s, y / s)  # noqa: E731
        self.img.fill(polys, paint, ss=ss)


def icon(size):
    if size in (16, 32):
        return program_icon(size)
    img = Image(size, size, (0, 0, 0, 0))
    program_icon(32, Scaled(img, size / 32))
    return img


# The same shapes as program_icon(32), as SVG.
SVG = """<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" width="32" height="32" viewBox="0 0 32 32">
  <defs>
    <linearGradient id="ground" x1="0" y1="2" x2="0" y2="30" gradientUnits="userSpaceOnUse">
      <stop offset="0" stop-color="#3f86e0"/>
      <stop offset="1" stop-color="#1f4fa8"/>
    </linearGradient>
    <linearGradient id="sheet" x1="0" y1="4" x2="0" y2="28" gradientUnits="userSpaceOnUse">
      <stop offset="0" stop-color="#ffffff"/>
      <stop offset="1" stop-color="#dbe4f2"/>
    </linearGradient>
    <linearGradient id="arrow" x1="0" y1="0" x2="0" y2="32" gradientUnits="userSpaceOnUse">
      <stop offset="0" stop-color="#ffc04d"/>
      <stop offset="1" stop-color="#f07c12"/>
    </linearGradient>
  </defs>
  <rect x="0.5" y="0.5" width="31" height="31" rx="6" fill="#1a3a7c"/>
  <rect x="1.5" y="1.5" width="29" height="29" rx="5" fill="url(#ground)"/>
{columns}
{arrows}
</svg>
"""


def arrow_points(x_tail, x_tip, y, shaft, head_w, head_len):
    d = 1 if x_tip > x_tail else -1
    xb = x_tip - d * head_len
    pts = [(x_tail, y - shaft / 2), (xb, y - shaft / 2), (xb, y - head_w / 2), (x_tip, y),
           (xb, y + head_w / 2), (xb, y + shaft / 2), (x_tail, y + shaft / 2)]
    return " ".join("%g,%g" % p for p in pts)


def svg():
    columns = []
    for x0 in (5, 19):
        columns.append('  <rect x="%g" y="4" width="8" height="24" rx="1.5" fill="url(#sheet)"/>'
                       % x0)
        for y, w in ((6, 6), (24, 5), (26, 3)):
            columns.append('  <rect x="%g" y="%g" width="%g" height="1" fill="#8a9bb8"/>'
                           % (x0 + 1, y, w))
    arrows = []
    for args in ((6, 27, 12, 3, 7, 5), (26, 5, 19, 3, 7, 5)):
        pts = arrow_points(*args)
        arrows.append('  <polygon points="%s" fill="#7a3a00" stroke="#7a3a00" stroke-width="1.5" '
                      'stroke-linejoin="round"/>' % pts)
        arrows.append('  <polygon points="%s" fill="url(#arrow)"/>' % pts)
    return SVG.format(columns="\n".join(columns), arrows="\n".join(arrows))


def main():
    base = os.path.join(ROOT, "hicolor")
    for size in SIZES:
        folder = os.path.join(base, "%dx%d" % (size, size), "apps")
        os.makedirs(folder, exist_ok=True)
        icon(size).save_png(os.path.join(folder, ICON_NAME + ".png"))
    folder = os.path.join(base, "scalable", "apps")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, ICON_NAME + ".svg"), "w") as f:
        f.write(svg())


if __name__ == "__main__":
    main()
