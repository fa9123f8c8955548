#!/usr/bin/python3
"""End-to-end check of exported models on a rendered evaluation set.

Runs the ONNX files through cv2.dnn with the library's pre/post-processing:
detect boxes on each page, match them to the ground truth (IoU >= 0.5),
crop each matched box upright and recognise it.  Reports box precision /
recall / F, mean IoU, and exact-line accuracy / CER of the recognised lines
(overall and for lines made only of digits and dashes).  Also recognises the
ground-truth boxes directly to separate recogniser from detector errors.
"""
import argparse
import os
import sys

import cv2
import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
import detpost  # noqa: E402
import textgen  # noqa: E402


def load_gt(path):
    gt = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line:
                continue
            name, pts, text = line.split("\t", 2)
            q = np.array([float(v) for v in pts.split(",")], np.float32).reshape(4, 2)
            gt.setdefault(name, []).append((q, text))
    return gt


def detect(net, page):
    x, ratios = textgen.det_preprocess(page, pad=detpost.PAD)
    net.setInput(x[None])
    return detpost.page_boxes_from_prob(net.forward()[0, 0], ratios)


def recognise(net, cs, page, quad):
    q = np.asarray(quad, np.float32).copy()
    h, w = page.shape[:2]
    q[:, 0] = np.clip(q[:, 0], 0, w - 1)
    q[:, 1] = np.clip(q[:, 1], 0, h - 1)
    crop = textgen.crop_quad(page, q)
    net.setInput(textgen.rec_preprocess(crop)[None])
    return cs.decode_greedy(net.forward()[0])


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--data", required=True, help="directory with gt.tsv and the pages")
    ap.add_argument("--det", default=os.path.join(common.WORK, "det.onnx"))
    ap.add_argument("--rec", default=os.path.join(common.WORK, "rec.onnx"))
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--show", type=int, default=0, help="print this many recognition errors")
    args = ap.parse_args()
    cv2.setNumThreads(args.threads)
    cs = textgen.Charset()
    det = cv2.dnn.readNetFromONNX(args.det)
    rec = cv2.dnn.readNetFromONNX(args.rec)
    gt = load_gt(os.path.join(args.data, "gt.tsv"))
    n_pred = n_gt = n_match = 0
    ious = []
    stats = {"e2e": [0, 0, 0, 0], "e2e_digits": [0, 0, 0, 0], "gtbox": [0, 0, 0, 0], "gtbox_digits": [0, 0, 0, 0]}
    errors = []
    digitset = set("0123456789-")
    for name, lines in sorted(gt.items()):
        page = cv2.imread(os.path.join(args.data, name), cv2.IMREAD_COLOR)
        boxes = detect(det, page)
        n_pred += len(boxes)
        n_gt += len(lines)
        used = set()
        for q, text in lines:
            is_digits = set(text) <= digitset
            pred_gt = recognise(rec, cs, page, q)
            for key in ["gtbox"] + (["gtbox_digits"] if is_digits else []):
                s = stats[key]
                s[0] += 1
                s[1] += pred_gt == text
                s[2] += common.edit_distance(pred_gt, text)
                s[3] += len(text)
            best, bi = 0.0, -1
            for i, b in enumerate(boxes):
                if i in used:
                    continue
                v = detpost.quad_iou(b, q, page.shape)
                if v > best:
                    best, bi = v, i
            pred = ""
            if bi >= 0 and best >= 0.5:
                used.add(bi)
                n_match += 1
                ious.append(best)
                pred = recognise(rec, cs, page, boxes[bi])
            for key in ["e2e"] + (["e2e_digits"] if is_digits else []):
                s = stats[key]
                s[0] += 1
                s[1] += pred == text
                s[2] += common.edit_distance(pred, text)
                s[3] += len(text)
            if pred_gt != text:
                errors.append((name, text, pred_gt))
    p = n_match / float(max(n_pred, 1))
    r = n_match / float(max(n_gt, 1))
    print("detection: %d gt, %d predicted, %d matched: P %.4f R %.4f F %.4f mean IoU %.3f"
          % (n_gt, n_pred, n_match, p, r, 2 * p * r / max(p + r, 1e-9), np.mean(ious) if ious else 0))
    for k, (n, ok, ed, ln) in stats.items():
        if n:
            print("%-13s lines %4d  exact %.4f  CER %.4f" % (k, n, ok / float(n), ed / float(max(ln, 1))))
    for e in errors[:args.show]:
        print("  %s  gt=%r  got=%r" % e)


if __name__ == "__main__":
    main()
