#!/usr/bin/python3
"""Renders a held-out evaluation set of page images with ground truth.

Pages of 4-12 lines, some turned, partly in the held-out font, from a seed
the training never uses. Output:
  <out>/<name>.png   BGR as written by cv2.imwrite (.jpg with --jpeg-quality)
  <out>/gt.tsv       name<TAB>x0,y0,x1,y1,x2,y2,x3,y3<TAB>text
Corners are clockwise from the top-left of the text line, in pixels.
"""
import argparse
import os
import sys

import cv2
import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import textgen  # noqa: E402

SIZES = [(640, 480), (800, 600), (960, 720), (1024, 768), (1280, 960), (720, 960), (960, 1280)]


def render(out_dir, pages, seed, held_out_prob=0.5, jpeg_quality=0):
    os.makedirs(out_dir, exist_ok=True)
    textgen.use_listed_sources()
    rng = np.random.RandomState(seed)
    cs = textgen.Charset()
    fonts = textgen.FontCache()
    rows = []
    for i in range(pages):
        w, h = SIZES[rng.randint(0, len(SIZES))]
        for _ in range(50):
            img, quads, texts = textgen.make_page(
                rng, cs, fonts, w, h, train=False, max_lines=12, min_lines=4,
                size_range=(14, 64), rot_prob=0.3, max_angle=20.0, held_out_prob=held_out_prob)
            if len(quads) >= 4:
                break
        if rng.rand() < 0.5:
            img = textgen.degrade(img, rng, 0.5)
        name = "page_%04d.%s" % (i, "jpg" if jpeg_quality else "png")
        params = [cv2.IMWRITE_JPEG_QUALITY, jpeg_quality] if jpeg_quality else []
        cv2.imwrite(os.path.join(out_dir, name), img, params)
        for q, t in zip(quads, texts):
            pts = ",".join("%d" % int(round(v)) for v in np.asarray(q).reshape(-1))
            if "\t" in t or "\n" in t:
                raise RuntimeError("line text contains a tab or newline: %r" % t)
            rows.append("%s\t%s\t%s" % (name, pts, t))
    with open(os.path.join(out_dir, "gt.tsv"), "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(rows) + "\n")
    return rows


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--out", default=os.path.join(textgen.HERE, "work", "eval"))
    ap.add_argument("--pages", type=int, default=20)
    ap.add_argument("--seed", type=int, default=20240315)
    ap.add_argument("--held-out-prob", type=float, default=0.5,
                    help="fraction of lines rendered with the held-out font")
    ap.add_argument("--jpeg-quality", type=int, default=0,
                    help="write JPEG pages of this quality instead of PNG (the committed CI subset uses 90)")
    args = ap.parse_args()
    rows = render(args.out, args.pages, args.seed, args.held_out_prob, args.jpeg_quality)
    print("wrote %d pages, %d lines to %s" % (args.pages, len(rows), args.out))


if __name__ == "__main__":
    main()
