"""Detector post-processing as done by the library, plus box matching.

prob map -> (byte > 102) -> contours -> minAreaRect -> mean-prob score ->
grow by area * 2 / perimeter -> minAreaRect -> scale back to the page.
"""
import cv2
import numpy as np


def box_points(rect):
    """TL, TR, BR, BL corners of a cv2 rotated rect."""
    pts = cv2.boxPoints(rect)
    pts = pts[np.argsort(pts[:, 0])]
    left, right = pts[:2], pts[2:]
    tl, bl = left[np.argsort(left[:, 1])]
    tr, br = right[np.argsort(right[:, 1])]
    return np.array([tl, tr, br, bl], np.float32)


def boxes_from_prob(prob, box_thresh=0.3, ratio=2.0, min_size=3):
    """Quads of the text in an H x W probability map, in its coordinates."""
    binary = ((prob * 255).astype(np.int32) > 102).astype(np.uint8)
    contours, _ = cv2.findContours(binary, cv2.RETR_LIST, cv2.CHAIN_APPROX_SIMPLE)
    out = []
    h, w = prob.shape
    for c in contours:
        if len(c) < 4:
            continue
        rect = cv2.minAreaRect(c)
        if min(rect[1]) < min_size:
            continue
        q = box_points(rect)
        x0, y0 = np.clip(np.floor(q.min(0)).astype(int), 0, [w - 1, h - 1])
        x1, y1 = np.clip(np.ceil(q.max(0)).astype(int), 0, [w - 1, h - 1])
        m = np.zeros((y1 - y0 + 1, x1 - x0 + 1), np.uint8)
        cv2.fillPoly(m, [np.round(q - [x0, y0]).astype(np.int32)], 1)
        sc = cv2.mean(prob[y0:y1 + 1, x0:x1 + 1], m)[0]
        if sc < box_thresh:
            continue
        bw, bh = rect[1]
        d = bw * bh * ratio / max(2 * (bw + bh), 1e-6)
        # Offsetting a rectangle by d with round joins and taking the min-area
        # rect of the result grows each side by d.
        grown = (rect[0], (bw + 2 * d, bh + 2 * d), rect[2])
        if min(grown[1]) < min_size + 2:
            continue
        out.append(box_points(grown))
    return out


def quad_iou(a, b):
    x0 = int(max(0, min(a[:, 0].min(), b[:, 0].min())) - 1)
    y0 = int(max(0, min(a[:, 1].min(), b[:, 1].min())) - 1)
    x1 = int(max(a[:, 0].max(), b[:, 0].max()) + 2)
    y1 = int(max(a[:, 1].max(), b[:, 1].max()) + 2)
    ma = np.zeros((y1 - y0, x1 - x0), np.uint8)
    mb = np.zeros_like(ma)
    cv2.fillPoly(ma, [np.round(a - [x0, y0]).astype(np.int32)], 1)
    cv2.fillPoly(mb, [np.round(b - [x0, y0]).astype(np.int32)], 1)
    return int((ma & mb).sum()) / float(max(int((ma | mb).sum()), 1))


def inside_share(a, b):
    """Share of quad a's area that lies inside quad b (both convex)."""
    pa = cv2.convexHull(np.asarray(a, np.float32))
    pb = cv2.convexHull(np.asarray(b, np.float32))
    area = cv2.contourArea(pa)
    if area <= 0:
        return 0.0
    inter, _ = cv2.intersectConvexConvex(pa, pb)
    return float(inter) / area


def bboxes_apart(a, b):
    """True when the bounding boxes of quads a and b do not meet (IoU 0)."""
    return bool((a.min(0) > b.max(0)).any() or (a.max(0) < b.min(0)).any())


def match_boxes(pred, gt, thresh=0.5):
    """Greedy one-to-one matching by IoU. Returns (matches, mean IoU of matches)."""
    used, ious = set(), []
    for g in gt:
        best, bi = 0.0, -1
        for i, p in enumerate(pred):
            if i in used or bboxes_apart(p, g):
                continue
            v = quad_iou(p, g)
            if v > best:
                best, bi = v, i
        if bi >= 0 and best >= thresh:
            used.add(bi)
            ious.append(best)
    return len(ious), (float(np.mean(ious)) if ious else 0.0)
