#!/usr/bin/python3
# Draws the program's artwork (signal icons, tool-bar images, arrows, application icon, busy animation) into ../images.
#
# The generated files are committed; the build never runs this. It needs Debian's python3-pil:
#   apt-get install python3-pil && src/app/resources/tools/make_artwork.py
import os
import sys

from PIL import Image, ImageDraw

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "images")
SS = 4  # supersampling: everything is drawn this many times larger, then scaled down smoothly

# The warm gold family the "Auric" style is built on.
GOLD_LIGHT = (250, 222, 130, 255)
GOLD = (222, 170, 60, 255)
GOLD_DEEP = (160, 112, 24, 255)
BRONZE = (92, 66, 22, 255)
INK = (48, 34, 12, 255)
EMPTY_FILL = (120, 104, 80, 90)
EMPTY_EDGE = (96, 82, 60, 200)
RED = (214, 40, 28, 255)
RED_DARK = (120, 16, 10, 255)
GREEN = (70, 190, 70, 255)
GREEN_DARK = (20, 90, 24, 255)
ORANGE = (240, 130, 40, 255)
ORANGE_DARK = (130, 58, 12, 255)


def canvas(size):
    return Image.new("RGBA", (size * SS, size * SS), (0, 0, 0, 0))


def finish(img, size, name):
    img.resize((size, size), Image.LANCZOS).save(os.path.join(OUT, name), optimize=True)


def s(v):
    return int(round(v * SS))


def vertical_gradient(draw, box, top, bottom):
    x0, y0, x1, y1 = box
    h = max(1, y1 - y0)
    for y in range(y0, y1):
        t = (y - y0) / h
        c = tuple(int(top[i] + (bottom[i] - top[i]) * t) for i in range(4))
        draw.line([(x0, y), (x1 - 1, y)], fill=c)


def bar(draw, x, y, w, h, filled):
    box = (s(x), s(y), s(x + w), s(y + h))
    if filled:
        vertical_gradient(draw, box, GOLD_LIGHT, GOLD_DEEP)
        draw.rectangle(box, outline=INK, width=s(1))
    else:
        draw.rectangle(box, fill=EMPTY_FILL, outline=EMPTY_EDGE, width=s(1))


def signal_icon(filled, crossed, name):
    img = canvas(48)
    d = ImageDraw.Draw(img)
    # five bars rising to the right, on a common base line
    for i in range(5):
        h = 9 + 8 * i
        bar(d, 4 + i * 8.4, 44 - h, 6.2, h, i < filled)
    if crossed:
        w = s(4.5)
        d.line([(s(8), s(10)), (s(40), s(42))], fill=RED_DARK, width=w + s(2))
        d.line([(s(40), s(10)), (s(8), s(42))], fill=RED_DARK, width=w + s(2))
        d.line([(s(8), s(10)), (s(40), s(42))], fill=RED, width=w)
        d.line([(s(40), s(10)), (s(8), s(42))], fill=RED, width=w)
    finish(img, 48, name)


def arrow(up, fill, edge, name):
    img = canvas(32)
    d = ImageDraw.Draw(img)
    pts = [(16, 3), (29, 16), (21, 16), (21, 29), (11, 29), (11, 16), (3, 16)]
    if not up:
        pts = [(x, 32 - y) for x, y in pts]
    d.polygon([(s(x), s(y)) for x, y in pts], fill=fill, outline=edge)
    d.line([(s(x), s(y)) for x, y in pts + [pts[0]]], fill=edge, width=s(1.5), joint="curve")
    # a light stripe down the shaft gives the arrow some body
    y0, y1 = (17, 27) if up else (5, 15)
    d.line([(s(14), s(y0)), (s(14), s(y1))], fill=(255, 255, 255, 90), width=s(2))
    finish(img, 32, name)


def emblem(size, name, with_plate):
    """The tower with its waves: the first tool button and the application icon."""
    img = canvas(size)
    d = ImageDraw.Draw(img)
    k = size / 32.0
    if with_plate:
        d.rounded_rectangle((s(1 * k), s(1 * k), s(31 * k), s(31 * k)), radius=s(6 * k), fill=(58, 42, 16, 255),
                            outline=GOLD_DEEP, width=s(1.2 * k))
    # mast
    d.polygon([(s(16 * k), s(11 * k)), (s(21.5 * k), s(29 * k)), (s(10.5 * k), s(29 * k))], outline=GOLD_LIGHT,
              width=s(1.6 * k))
    d.line([(s(16 * k), s(11 * k)), (s(16 * k), s(29 * k))], fill=GOLD, width=s(1.2 * k))
    d.line([(s(12.3 * k), s(23 * k)), (s(19.7 * k), s(23 * k))], fill=GOLD, width=s(1.2 * k))
    d.line([(s(13.9 * k), s(17 * k)), (s(18.1 * k), s(17 * k))], fill=GOLD, width=s(1.2 * k))
    d.ellipse((s(13.6 * k), s(6.6 * k), s(18.4 * k), s(11.4 * k)), fill=GOLD_LIGHT, outline=INK, width=s(0.8 * k))
    # waves on both sides
    for r, w in ((6.0, 1.6), (10.0, 1.6)):
        box = (s((16 - r) * k), s((9 - r) * k), s((16 + r) * k), s((9 + r) * k))
        d.arc(box, start=-50, end=50, fill=GOLD, width=s(w * k))
        d.arc(box, start=130, end=230, fill=GOLD, width=s(w * k))
    finish(img, size, name)


def report_image(name):
    img = canvas(32)
    d = ImageDraw.Draw(img)
    # a sheet with a folded corner
    sheet = [(5, 2), (21, 2), (27, 8), (27, 30), (5, 30)]
    d.polygon([(s(x), s(y)) for x, y in sheet], fill=(252, 244, 222, 255), outline=BRONZE)
    d.line([(s(x), s(y)) for x, y in sheet + [sheet[0]]], fill=BRONZE, width=s(1.2))
    d.polygon([(s(21), s(2)), (s(21), s(8)), (s(27), s(8))], fill=(226, 206, 160, 255), outline=BRONZE)
    # a small histogram on it
    for i, h in enumerate((6, 11, 16, 9)):
        x = 8.5 + i * 4.4
        box = (s(x), s(27 - h), s(x + 3.2), s(27))
        vertical_gradient(d, box, GOLD_LIGHT, GOLD_DEEP)
        d.rectangle(box, outline=INK, width=s(0.6))
    d.line([(s(7.5), s(27.4)), (s(25), s(27.4))], fill=INK, width=s(0.8))
    finish(img, 32, name)


def ping_image(name):
    img = canvas(32)
    d = ImageDraw.Draw(img)
    # the far end: a globe
    d.ellipse((s(14), s(6), s(30), s(22)), fill=(70, 140, 200, 255), outline=(20, 50, 90, 255), width=s(1.2))
    d.arc((s(18), s(6), s(26), s(22)), start=0, end=360, fill=(200, 230, 255, 200), width=s(0.8))
    d.line([(s(14.5), s(14)), (s(29.5), s(14))], fill=(200, 230, 255, 200), width=s(0.8))
    d.line([(s(22), s(6.5)), (s(22), s(21.5))], fill=(200, 230, 255, 200), width=s(0.8))
    # our end: a sender with echo arcs travelling to the globe
    d.ellipse((s(2), s(21), s(9), s(28)), fill=GOLD, outline=INK, width=s(1))
    for r in (6, 10):
        d.arc((s(5.5 - r), s(24.5 - r), s(5.5 + r), s(24.5 + r)), start=-80, end=-10, fill=GOLD_DEEP, width=s(1.8))
    finish(img, 32, name)


def busy_animation(name):
    """84 x 9, transparent: a bright gold run sweeping across a row of dim cells, looping."""
    w, h = 84, 9
    cells, cw, gap = 12, 6, 1
    # palette: 0 transparent, 1 outline, 2..6 dim to bright gold
    pal = [0, 0, 0, 60, 44, 16]
    shades = [(96, 78, 40), (140, 104, 40), (190, 140, 50), (228, 180, 70), (255, 226, 130)]
    for c in shades:
        pal += list(c)
    pal += [0] * (768 - len(pal))
    frames = []
    steps = cells + 4
    for f in range(steps):
        img = Image.new("P", (w, h), 0)
        img.putpalette(pal)
        d = ImageDraw.Draw(img)
        for i in range(cells):
            x0 = i * (cw + gap)
            dist = f - i  # the head is at cell f; a tail of three cells follows it
            shade = 2
            if 0 <= dist < 4:
                shade = 6 - dist
            d.rectangle((x0, 1, x0 + cw - 1, h - 2), fill=shade, outline=1)
        frames.append(img)
    frames[0].save(os.path.join(OUT, name), save_all=True, append_images=frames[1:], duration=70, loop=0,
                   transparency=0, disposal=2, optimize=False)


def main():
    os.makedirs(OUT, exist_ok=True)
    for n in range(6):
        signal_icon(n, False, "signal%d.png" % n)
    signal_icon(0, True, "signal6.png")
    emblem(32, "toolbar0.png", False)
    report_image("toolbar1.png")
    ping_image("toolbar2.png")
    arrow(True, ORANGE, ORANGE_DARK, "arrow_up.png")
    arrow(False, GREEN, GREEN_DARK, "arrow_down.png")
    for size in (16, 22, 24, 32, 48, 64, 128, 256):  # the hicolor theme's usual sizes
        emblem(size, "cdma-monitor-%d.png" % size, True)
    busy_animation("busy.gif")
    return 0


if __name__ == "__main__":
    sys.exit(main())
