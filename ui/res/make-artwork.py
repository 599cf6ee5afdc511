#!/usr/bin/python3
"""Draws the window's skin: backgrounds, button states, progress bars, the
scroll bar and the icon, as PNG files next to this script.

Run it again after changing a colour or a shape and commit its output; the
build only compiles the PNG files into the program's resources.

Pixels in the key colour RGB(232,5,246) are cut out of the window and the
main buttons at run time, so every shaped image is drawn with hard edges
against that colour: anti-aliased edges are blended with the panel colour
they sit on instead of with the key colour (which would leave a pink fringe).

Needs python3-pil and fonts-wqy-microhei.
"""

import math
import os
import random

from PIL import Image, ImageDraw, ImageFilter, ImageFont

HERE = os.path.dirname(os.path.abspath(__file__))
KEY = (232, 5, 246)
SCALE = 4  # shapes are drawn this many times larger, then reduced

WIDTH = 411
COLLAPSED_HEIGHT = 307
EXPANDED_HEIGHT = COLLAPSED_HEIGHT + 78

CAPTION = (17, 27, 41)
PANEL_TOP = (26, 40, 58)
PANEL_BOTTOM = (20, 31, 46)
PANEL_LINE = (52, 74, 98)
FIELD = (238, 232, 222)
FIELD_BORDER = (150, 160, 172)
GOLD = (226, 178, 96)

FONT_PATHS = [
    "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc",
    "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc",
]


def font(size):
    for path in FONT_PATHS:
        if os.path.exists(path):
            return ImageFont.truetype(path, size)
    raise SystemExit("make-artwork: no CJK font found (install fonts-wqy-microhei)")


def lerp(a, b, t):
    return tuple(int(round(x + (y - x) * t)) for x, y in zip(a, b))


def vertical_gradient(size, top, bottom):
    w, h = size
    img = Image.new("RGB", size)
    draw = ImageDraw.Draw(img)
    for y in range(h):
        draw.line([(0, y), (w, y)], fill=lerp(top, bottom, y / max(1, h - 1)))
    return img


def coverage(size, paint):
    """A coverage mask of what `paint(draw, scale)` draws, anti-aliased by supersampling."""
    w, h = size
    big = Image.new("L", (w * SCALE, h * SCALE), 0)
    paint(ImageDraw.Draw(big), SCALE)
    return big.resize(size, Image.LANCZOS)


def keyed(image, mask, under):
    """Pixels of `image` where `mask` covers at least half, blended with the
    colour `under` at partial coverage; key colour everywhere else."""
    out = Image.new("RGB", image.size, KEY)
    px, mp, op = image.load(), mask.load(), out.load()
    for y in range(image.size[1]):
        for x in range(image.size[0]):
            a = mp[x, y] / 255.0
            if a >= 0.5:
                op[x, y] = lerp(under, px[x, y], min(1.0, a))
    return out


def rounded(draw, box, radius, s, **kw):
    x0, y0, x1, y1 = box
    draw.rounded_rectangle([x0 * s, y0 * s, x1 * s - 1, y1 * s - 1], radius=radius * s, **kw)


def text_centered(draw, box, text, fnt, fill, shadow=None):
    x0, y0, x1, y1 = box
    l, t, r, b = draw.textbbox((0, 0), text, font=fnt)
    x = x0 + (x1 - x0 - (r - l)) / 2 - l
    y = y0 + (y1 - y0 - (b - t)) / 2 - t
    if shadow:
        draw.text((x + 1, y + 1), text, font=fnt, fill=shadow)
    draw.text((x, y), text, font=fnt, fill=fill)


# --- the banner: a harbour in the fog at dusk --------------------------------

def ridge(width, base, amplitude, seed, roughness=6):
    rnd = random.Random(seed)
    points = []
    phases = [rnd.uniform(0, math.tau) for _ in range(roughness)]
    for x in range(width + 1):
        y = base
        for k, ph in enumerate(phases, start=1):
            y -= amplitude / k * (0.5 + 0.5 * math.sin(x / (60.0 / k) + ph))
        points.append((x, y))
    return points


def banner(width, height):
    img = vertical_gradient((width, height), (38, 62, 92), (214, 150, 112))
    sky = ImageDraw.Draw(img, "RGBA")
    # low sun behind the fog
    sun = Image.new("L", (width, height), 0)
    ImageDraw.Draw(sun).ellipse([250, 52, 306, 108], fill=255)
    sun = sun.filter(ImageFilter.GaussianBlur(3))
    img.paste(Image.new("RGB", (width, height), (255, 222, 170)), (0, 0), sun.point(lambda v: int(v * 0.85)))
    glow = Image.new("L", (width, height), 0)
    ImageDraw.Draw(glow).ellipse([200, 20, 356, 140], fill=110)
    glow = glow.filter(ImageFilter.GaussianBlur(30))
    img.paste(Image.new("RGB", (width, height), (255, 200, 150)), (0, 0), glow)

    horizon = int(height * 0.70)
    layers = [
        (horizon - 4, 40, 11, (92, 104, 128, 255)),
        (horizon - 2, 30, 23, (64, 78, 104, 255)),
        (horizon + 2, 22, 37, (40, 54, 78, 255)),
    ]
    for i, (base, amp, seed, colour) in enumerate(layers):
        pts = ridge(width, base, amp, seed)
        sky.polygon(pts + [(width, height), (0, height)], fill=colour)
        fog = Image.new("L", (width, height), 0)
        ImageDraw.Draw(fog).rectangle([0, base - 10 - 4 * i, width, base + 6], fill=90 - 20 * i)
        fog = fog.filter(ImageFilter.GaussianBlur(7))
        img.paste(Image.new("RGB", (width, height), (226, 218, 214)), (0, 0), fog)
        sky = ImageDraw.Draw(img, "RGBA")

    # water with the sun's reflection
    sky.rectangle([0, horizon, width, height], fill=(30, 46, 70, 255))
    rnd = random.Random(5)
    for y in range(horizon + 2, height, 3):
        t = (y - horizon) / (height - horizon)
        for _ in range(6):
            x = rnd.randint(0, width)
            ln = rnd.randint(6, 26)
            sky.line([(x, y), (x + ln, y)], fill=(120, 140, 170, int(90 * (1 - t))))
        spread = 10 + 30 * t
        sky.line([(278 - spread, y), (278 + spread, y)], fill=(255, 214, 160, int(170 * (1 - t))))

    # lighthouse on a rock, with its beam
    rock = [(24, horizon + 6), (40, horizon - 6), (70, horizon - 8), (96, horizon + 6)]
    sky.polygon(rock, fill=(16, 24, 36, 255))
    sky.polygon([(52, horizon - 8), (56, horizon - 46), (64, horizon - 46), (68, horizon - 8)], fill=(232, 226, 214, 255))
    for band in (horizon - 36, horizon - 22):
        sky.polygon([(54, band), (55, band - 5), (65, band - 5), (66, band)], fill=(180, 52, 40, 255))
    sky.rectangle([55, horizon - 54, 65, horizon - 46], fill=(255, 230, 150, 255))
    sky.polygon([(53, horizon - 54), (60, horizon - 62), (67, horizon - 54)], fill=(24, 30, 40, 255))
    beam = Image.new("L", (width, height), 0)
    ImageDraw.Draw(beam).polygon([(62, horizon - 51), (230, horizon - 80), (230, horizon - 40)], fill=70)
    beam = beam.filter(ImageFilter.GaussianBlur(4))
    img.paste(Image.new("RGB", (width, height), (255, 240, 200)), (0, 0), beam)

    # a junk with its sail
    sky = ImageDraw.Draw(img, "RGBA")
    bx, by = 150, horizon + 12
    sky.polygon([(bx - 22, by), (bx + 26, by), (bx + 18, by + 7), (bx - 16, by + 7)], fill=(14, 20, 30, 255))
    sky.line([(bx, by), (bx, by - 34)], fill=(14, 20, 30, 255), width=2)
    sky.polygon([(bx + 2, by - 32), (bx + 20, by - 26), (bx + 18, by - 4), (bx + 2, by - 4)], fill=(70, 46, 40, 255))
    for k in range(5):
        yy = by - 28 + k * 5
        sky.line([(bx + 2, yy), (bx + 19, yy + 1)], fill=(40, 26, 24, 255))

    # the game's name
    title = font(34)
    d = ImageDraw.Draw(img)
    text_centered(d, (150, 14, 400, 64), "雾港长歌", title, (250, 244, 232), shadow=(40, 30, 30))
    text_centered(d, (180, 62, 372, 84), "TIDEWELL · LONG SONG OF THE FOGGY HARBOUR", font(9), (246, 230, 210))
    return img


# --- backgrounds ---------------------------------------------------------------

def chevron(draw, cx, cy, up, colour, s=1):
    h = 3 * s
    w = 5 * s
    if up:
        pts = [(cx - w, cy + h), (cx, cy - h), (cx + w, cy + h)]
    else:
        pts = [(cx - w, cy - h), (cx, cy + h), (cx + w, cy - h)]
    draw.line(pts, fill=colour, width=2 * s, joint="curve")


def window_body(height):
    img = vertical_gradient((WIDTH, height), PANEL_TOP, PANEL_BOTTOM)
    d = ImageDraw.Draw(img)
    # caption strip with the product title
    d.rectangle([0, 0, WIDTH, 37], fill=CAPTION)
    d.line([(0, 38), (WIDTH, 38)], fill=PANEL_LINE)
    img.paste(icon_image(22), (10, 8), icon_image(22).split()[3])
    d.text((38, 10), "雾港长歌高速下载器", font=font(14), fill=(236, 240, 246))
    # banner
    img.paste(banner(WIDTH, 160), (0, 39))
    d.line([(0, 199), (WIDTH, 199)], fill=PANEL_LINE)
    # the folder field behind the download folder text
    rounded(d, (252, 206, 370, 229), 3, 1, fill=FIELD, outline=FIELD_BORDER)
    # the progress bar's empty track
    d.rounded_rectangle([10, 243, 298, 257], radius=3, fill=(12, 20, 31), outline=(60, 84, 110))
    d.line([(0, 238), (WIDTH, 238)], fill=(34, 50, 70))
    return img


def collapsed_background():
    img = window_body(COLLAPSED_HEIGHT)
    under = img.copy()
    foot = 292  # the body ends here (its rounded corners start below row 283, where the cut begins)

    def shape(draw, s):
        draw.rounded_rectangle([0, 0, WIDTH * s - 1, foot * s - 1], radius=8 * s, fill=255)
        draw.rectangle([0, 0, WIDTH * s - 1, 200 * s], fill=255)  # square top corners
        draw.rounded_rectangle([182 * s, 270 * s, 222 * s - 1, 306 * s - 1], radius=7 * s, fill=255)

    mask = coverage((WIDTH, COLLAPSED_HEIGHT), shape)
    d = ImageDraw.Draw(img)
    d.rounded_rectangle([186, 283, 217, 303], radius=5, fill=(36, 54, 76))
    chevron(d, 201, 294, False, (182, 204, 218))
    return keyed(img, mask, PANEL_BOTTOM)


def expanded_background():
    img = window_body(EXPANDED_HEIGHT)
    d = ImageDraw.Draw(img)
    d.rectangle([0, 283, WIDTH, EXPANDED_HEIGHT], fill=PANEL_BOTTOM)
    d.rounded_rectangle([186, 283, 217, 303], radius=5, fill=(36, 54, 76))
    chevron(d, 201, 292, True, (182, 204, 218))
    d.line([(0, 310), (WIDTH, 310)], fill=PANEL_LINE)
    d.rectangle([0, 322, WIDTH, EXPANDED_HEIGHT], fill=(255, 255, 255))
    d.rectangle([0, 0, WIDTH - 1, EXPANDED_HEIGHT - 1], outline=(12, 20, 31))
    return img


# --- buttons -------------------------------------------------------------------

MAIN_BUTTON = (85, 32)

MAIN_STATES = {
    # state: (top colour, bottom colour, text colour, offset)
    "normal": ((236, 160, 66), (196, 104, 28), (255, 255, 255), 0),
    "hover": ((250, 186, 92), (218, 124, 40), (255, 255, 255), 0),
    "pressed": ((176, 92, 24), (206, 126, 52), (248, 236, 222), 1),
    "disabled": ((104, 112, 122), (82, 88, 98), (170, 176, 184), 0),
}

INSTALL_STATES = {
    "normal": ((96, 196, 120), (40, 142, 74), (255, 255, 255), 0),
    "hover": ((120, 218, 140), (52, 164, 88), (255, 255, 255), 0),
    "pressed": ((34, 120, 62), (70, 160, 96), (236, 248, 238), 1),
    "disabled": ((104, 112, 122), (82, 88, 98), (170, 176, 184), 0),
}


def main_button(label, look):
    top, bottom, ink, offset = look
    w, h = MAIN_BUTTON
    face = vertical_gradient((w, h), top, bottom)
    d = ImageDraw.Draw(face, "RGBA")
    d.line([(4, 1), (w - 5, 1)], fill=(255, 255, 255, 70))  # glossy top edge
    text_centered(d, (offset, offset, w + offset, h + offset), label, font(15), ink, shadow=(0, 0, 0, 90))
    mask = coverage((w, h), lambda dr, s: dr.rounded_rectangle([0, 0, w * s - 1, h * s - 1], radius=7 * s, fill=255))
    return keyed(face, mask, PANEL_BOTTOM)


def small_button(size, draw_glyph, look, under):
    w, h = size
    base, ink = look
    img = Image.new("RGB", size, under)
    d = ImageDraw.Draw(img)
    if base is not None:
        d.rounded_rectangle([0, 0, w - 1, h - 1], radius=4, fill=base)
    big = Image.new("L", (w * SCALE, h * SCALE), 0)
    draw_glyph(ImageDraw.Draw(big), SCALE, w, h)
    glyph = big.resize(size, Image.LANCZOS)
    img.paste(Image.new("RGB", size, ink), (0, 0), glyph)
    return img


def glyph_minimise(d, s, w, h):
    d.line([(7 * s, 13 * s), ((w - 7) * s, 13 * s)], fill=255, width=2 * s)


def glyph_close(d, s, w, h):
    d.line([(8 * s, 8 * s), ((w - 8) * s, (h - 8) * s)], fill=255, width=2 * s)
    d.line([((w - 8) * s, 8 * s), (8 * s, (h - 8) * s)], fill=255, width=2 * s)


def glyph_settings(d, s, w, h):
    cx, cy = w / 2 * s, h / 2 * s
    for k in range(8):
        a = k * math.tau / 8
        d.line([(cx + math.cos(a) * 4 * s, cy + math.sin(a) * 4 * s),
                (cx + math.cos(a) * 8 * s, cy + math.sin(a) * 8 * s)], fill=255, width=int(2.4 * s))
    d.ellipse([cx - 6 * s, cy - 6 * s, cx + 6 * s, cy + 6 * s], fill=255)
    d.ellipse([cx - 2.5 * s, cy - 2.5 * s, cx + 2.5 * s, cy + 2.5 * s], fill=0)


def glyph_folder(d, s, w, h):
    d.rounded_rectangle([5 * s, 8 * s, 11 * s, 11 * s], radius=s, fill=255)
    d.rounded_rectangle([5 * s, 10 * s, 21 * s, 20 * s], radius=1.5 * s, fill=255)
    d.line([(8 * s, 14 * s), (18 * s, 14 * s)], fill=0, width=s)


CAPTION_LOOKS = {
    "normal": (None, (190, 204, 220)),
    "hover": ((44, 62, 86), (255, 255, 255)),
    "pressed": ((30, 44, 62), (210, 220, 232)),
}

CLOSE_LOOKS = {
    "normal": (None, (190, 204, 220)),
    "hover": ((200, 60, 50), (255, 255, 255)),
    "pressed": ((160, 40, 34), (240, 220, 220)),
}

FOLDER_LOOKS = {
    "normal": ((60, 84, 110), (236, 240, 246)),
    "hover": ((84, 112, 144), (255, 255, 255)),
    "pressed": ((40, 58, 80), (210, 220, 232)),
    "disabled": ((44, 56, 70), (110, 120, 132)),
}


# --- progress bars, scroll bar, icon -------------------------------------------

def progress_bar(top, bottom, stripe):
    w, h = 286, 12
    img = vertical_gradient((w, h), top, bottom)
    d = ImageDraw.Draw(img, "RGBA")
    for x in range(-h, w, 10):
        d.polygon([(x, h), (x + 5, h), (x + 5 + h, 0), (x + h, 0)], fill=stripe)
    d.line([(0, 1), (w, 1)], fill=(255, 255, 255, 80))
    d.line([(0, h - 1), (w, h - 1)], fill=(0, 0, 0, 50))
    return img


DESKTOP_ICON_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)


def icon_image(size):
    big = size * SCALE
    img = Image.new("RGBA", (big, big), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)
    r = big // 5
    d.rounded_rectangle([0, 0, big - 1, big - 1], radius=r, fill=(24, 44, 70, 255))
    d.rounded_rectangle([big * 0.06, big * 0.06, big * 0.94, big * 0.94], radius=r * 0.8, fill=(34, 70, 104, 255))
    # a wave under a downward arrow
    for k, colour in enumerate([(120, 190, 230, 255), (80, 150, 200, 255)]):
        pts = [(x, big * (0.72 + 0.08 * k) + math.sin(x / big * math.tau * 1.5) * big * 0.04)
               for x in range(int(big * 0.12), int(big * 0.88))]
        d.line(pts, fill=colour, width=max(1, big // 22))
    d.rectangle([big * 0.43, big * 0.18, big * 0.57, big * 0.46], fill=GOLD + (255,))
    d.polygon([(big * 0.28, big * 0.44), (big * 0.72, big * 0.44), (big * 0.5, big * 0.66)], fill=GOLD + (255,))
    return img.resize((size, size), Image.LANCZOS)


def save(img, name):
    img.save(os.path.join(HERE, name), optimize=True)


def main():
    save(collapsed_background(), "bg_collapsed.png")
    save(expanded_background(), "bg_expanded.png")
    for role, label in (("start", "开始下载"), ("pause", "暂停"), ("continue", "继续")):
        for state, look in MAIN_STATES.items():
            save(main_button(label, look), f"btn_{role}_{state}.png")
    for state, look in INSTALL_STATES.items():
        save(main_button("安装", look), f"btn_install_{state}.png")
    for state, look in FOLDER_LOOKS.items():
        save(small_button((26, 26), glyph_folder, look, PANEL_TOP), f"btn_folder_{state}.png")
    for role, glyph, looks in (("settings", glyph_settings, CAPTION_LOOKS),
                               ("minimise", glyph_minimise, CAPTION_LOOKS),
                               ("close", glyph_close, CLOSE_LOOKS)):
        for state, look in looks.items():
            save(small_button((25, 25), glyph, look, CAPTION), f"btn_{role}_{state}.png")
    save(progress_bar((255, 190, 92), (214, 112, 30), (255, 255, 255, 34)), "progress_download.png")
    save(progress_bar((120, 214, 150), (38, 140, 84), (255, 255, 255, 34)), "progress_verify.png")
    save(vertical_gradient((3, 16), (214, 220, 228), (214, 220, 228)), "scroll_track.png")
    thumb = vertical_gradient((3, 49), (120, 136, 156), (86, 102, 124))
    save(thumb, "scroll_thumb.png")
    save(icon_image(64), "icon.png")
    save(icon_image(256), "icon256.png")
    # The desktop icon in the sizes the hicolor theme looks up; drawn at each
    # size (not scaled from one bitmap) so the small ones stay crisp.
    for size in DESKTOP_ICON_SIZES:
        folder = os.path.join(HERE, "icons", f"{size}x{size}")
        os.makedirs(folder, exist_ok=True)
        save(icon_image(size), os.path.join("icons", f"{size}x{size}", "tidewell.png"))


if __name__ == "__main__":
    main()
