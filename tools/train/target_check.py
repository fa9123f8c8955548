#!/usr/bin/python3
"""What the library's post-processing makes of a perfect detector map.

For every image of a real set's part, the annotated regions (don't-care
ones left out) are drawn as the detector's training target, at the
library's input size, and put through the library's post-processing
(`detpost`): once at full resolution, once taken down to a quarter of the
input's size and back (area, then bilinear), as the detector's head makes
its map. The boxes are matched one-to-one to the annotated regions at IoU
0.5. Anything under F 1 is lost before the network is even asked: in the
shrink of the targets, the unclip, the post-processing or the head's
resolution.

    /usr/bin/python3 tools/train/target_check.py icdar2015_train [val|train]
"""
import os
import sys

import cv2
import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import detpost  # noqa: E402
import realdata  # noqa: E402
import textgen  # noqa: E402

def quarter(m):
    """A map as a head at a quarter of the input's size gives it back."""
    h, w = m.shape
    small = cv2.resize(m, (w // 4, h // 4), interpolation=cv2.INTER_AREA)
    return cv2.resize(small, (w, h), interpolation=cv2.INTER_LINEAR)


def main():
    name = sys.argv[1] if len(sys.argv) > 1 else "icdar2015_train"
    split = sys.argv[2] if len(sys.argv) > 2 else "val"
    counts = {"full": [0, 0, 0], "quarter": [0, 0, 0]}  # matched, boxes, regions
    for path, regions in realdata.load_set(name, split):
        img = cv2.imread(path)
        h, w = img.shape[:2]
        x, (ry, rx) = textgen.det_preprocess(img, pad=detpost.PAD)
        H, W = x.shape[1:]
        pad = detpost.PAD
        A = np.array([[rx, 0, pad * rx], [0, ry, pad * ry], [0, 0, 1]], np.float32)
        care = [r for r in realdata.map_regions(regions, A, W, H) if not r.ignore]
        target = realdata.det_maps(care, (H, W))[0]
        truth = [r.quad for r in regions if not r.ignore]
        for kind, m in (("full", target), ("quarter", quarter(target))):
            boxes = detpost.page_boxes_from_prob(m, (ry, rx))
            matched, _ = detpost.match_boxes(boxes, truth, (h, w))
            c = counts[kind]
            c[0] += matched
            c[1] += len(boxes)
            c[2] += len(truth)
    for kind, (m, b, g) in counts.items():
        p, r = m / max(b, 1), m / max(g, 1)
        print("%s %s, %s map: %d of %d regions matched, %d boxes, P %.3f R %.3f F %.3f"
              % (name, split, kind, m, g, b, p, r, 2 * p * r / max(p + r, 1e-9)))


if __name__ == "__main__":
    main()
