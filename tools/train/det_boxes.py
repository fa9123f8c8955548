#!/usr/bin/python3
"""Runs a detector checkpoint over the training images of the transcribed
real sets and keeps, for every annotated line it finds, the box it found.

The recogniser is then trained on part of its real lines cut from these
boxes: they are the boxes it reads at run time, with their real offsets,
lengths and tilt, which the synthetic jitter of `realdata.library_box` only
approximates. Only one-to-one matches at IoU >= 0.5 are kept; a line the
detector misses or joins with another keeps the synthetic box.

Output (JSON): {image path: {index of the region in load_set: quad}} with
quads in image pixels, TL TR BR BL; `realdata.load_det_boxes` reads it.

    /usr/bin/python3 tools/train/det_boxes.py --det-ckpt CKPT --out work/det_boxes.json
"""
import argparse
import json
import os
import sys

import cv2
import numpy as np
import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import detpost  # noqa: E402
import realdata  # noqa: E402
import textgen  # noqa: E402
import train_det  # noqa: E402

SETS = ("sroie_train", "funsd_train", "icdar2015_train")


def page_boxes(model, img):
    """The library's boxes for one page, in image pixels."""
    x, ratios = textgen.det_preprocess(img, pad=detpost.PAD)
    with torch.no_grad():
        prob = model(torch.from_numpy(x)[None])[0, 0].numpy()
    h, w = img.shape[:2]
    return [np.clip(b, 0, [w - 1, h - 1]).astype(np.float32) for b in detpost.page_boxes_from_prob(prob, ratios)]


def match_regions(boxes, regions, shape, thresh=0.5):
    """{region index: box} for the one-to-one pairs of IoU >= thresh, best
    pairs first; regions without a transcript take no box."""
    pairs = []
    for ri, r in enumerate(regions):
        if not r.transcribed:
            continue
        for bi, b in enumerate(boxes):
            if detpost.bboxes_apart(b, r.quad):
                continue
            v = detpost.quad_iou(b, r.quad, shape)
            if v >= thresh:
                pairs.append((v, ri, bi))
    pairs.sort(reverse=True)
    out, used_r, used_b = {}, set(), set()
    for _, ri, bi in pairs:
        if ri in used_r or bi in used_b:
            continue
        used_r.add(ri)
        used_b.add(bi)
        out[ri] = boxes[bi]
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--det-ckpt", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--threads", type=int, default=2)
    args = ap.parse_args()
    torch.set_num_threads(args.threads)
    model = train_det.load_detector(args.det_ckpt)
    out = {}
    for name in SETS:
        n_lines = n_matched = 0
        for path, regions in realdata.load_set(name, "train"):
            img = cv2.imread(path, cv2.IMREAD_COLOR)
            if img is None:
                raise RuntimeError("cannot read %s" % path)
            m = match_regions(page_boxes(model, img), regions, img.shape[:2])
            n_lines += sum(1 for r in regions if r.transcribed)
            n_matched += len(m)
            out[path] = {str(k): np.round(q, 2).tolist() for k, q in m.items()}
        print("%s: %d of %d lines matched" % (name, n_matched, n_lines), flush=True)
    tmp = args.out + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(out, f)
    os.replace(tmp, args.out)


if __name__ == "__main__":
    main()
