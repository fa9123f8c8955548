#!/usr/bin/python3
"""Renders examples/sample.png: a 1280 x 960 white page with a dozen text
lines mixing Latin and Chinese, a date, an amount, a code and a phone number,
for the demo host and the pipeline benchmark.

    /usr/bin/python3 examples/make_sample.py [--out PATH]

Needs PIL and a CJK font from Debian's packages (fonts-wqy-zenhei,
fonts-arphic-uming or fonts-noto-cjk).
"""
import argparse
import os
import sys

from PIL import Image, ImageDraw, ImageFont

HERE = os.path.dirname(os.path.abspath(__file__))
FONTS = [
    "/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc",
    "/usr/share/fonts/truetype/arphic/uming.ttc",
    "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc",
]

WIDTH, HEIGHT = 1280, 960

# (text, font size, left x); lines are laid out top to bottom.
LINES = [
    ("Delivery Note", 44, 80),
    ("送货单 编号 DN-2024-0611", 34, 80),
    ("Date: 2024-06-11", 32, 80),
    ("日期：2024年6月11日", 32, 80),
    ("Customer: Harbour Trading Ltd.", 32, 80),
    ("收货人：上海港务贸易有限公司", 32, 80),
    ("Item code: XK-4471-B", 32, 80),
    ("Amount: 12,480.50 CNY", 32, 80),
    ("金额：人民币壹万贰仟肆佰捌拾元伍角", 32, 80),
    ("Phone: +86 21 5555 0199", 32, 80),
    ("电话：021-5555-0199", 32, 80),
    ("Thank you for your business", 30, 80),
]


def find_font():
    for path in FONTS:
        if os.path.exists(path):
            return path
    sys.exit("no CJK font found; install fonts-wqy-zenhei: " + ", ".join(FONTS))


def render(out_path):
    font_path = find_font()
    page = Image.new("RGB", (WIDTH, HEIGHT), "white")
    draw = ImageDraw.Draw(page)
    top = 50
    step = (HEIGHT - 2 * top) // len(LINES)
    for i, (text, size, x) in enumerate(LINES):
        font = ImageFont.truetype(font_path, size)
        y = top + i * step
        draw.text((x, y), text, fill=(0, 0, 0), font=font)
    page.save(out_path)
    return len(LINES)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--out", default=os.path.join(HERE, "sample.png"))
    args = ap.parse_args()
    n = render(args.out)
    print("wrote %s (%d x %d, %d lines)" % (args.out, WIDTH, HEIGHT, n))
    return 0


if __name__ == "__main__":
    sys.exit(main())
