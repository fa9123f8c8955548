"""Real annotated photos and scans (../shared/data/real) for training.

Each set is a folder of images with a truth.json:
    {"<image>": [{"points": [[x, y] x 4], "text": "...", "ignore": bool,
                  "notext": bool (optional)}, ...]}
Corners run clockwise on screen from the corner that reads first. About
one image in ten, fixed by a hash of its name, is validation and never
trains. Regions marked `ignore` count neither as text nor as background.
"""
import json
import math
import os
import zlib

import cv2
import numpy as np

import textgen

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.normpath(os.path.join(HERE, "..", "..", "..", "shared", "data", "real"))
SETS = ("icdar2015_train", "sroie_train", "msra_td500_train", "funsd_train")


def is_val(name):
    """About 10% of the images of every set, fixed by the file name."""
    return zlib.crc32(name.encode("utf-8")) % 10 == 0


class Region:
    __slots__ = ("quad", "text", "ignore", "notext")

    def __init__(self, quad, text, ignore, notext):
        self.quad, self.text, self.ignore, self.notext = quad, text, ignore, notext

    @property
    def transcribed(self):
        """Legible and transcribed: recognition learns from it and is scored on it."""
        return not self.ignore and not self.notext and bool(self.text.strip())


def load_set(name, split="train", root=DATA):
    """[(image path, [Region, ...])] of one set's train or val part, sorted."""
    with open(os.path.join(root, name, "truth.json"), encoding="utf-8") as f:
        truth = json.load(f)
    return [(os.path.join(root, name, img),
             [Region(np.asarray(r["points"], np.float32).reshape(4, 2), r.get("text", ""),
                     bool(r.get("ignore", False)), bool(r.get("notext", False))) for r in truth[img]])
            for img in sorted(truth) if (split == "val") == is_val(img)]


def pick_set(rng, weights, names):
    """One of the sets `names`, drawn by their weights."""
    p = np.array([weights[n] for n in names])
    return names[rng.choice(len(names), p=p / p.sum())]


def available(root=DATA):
    return all(os.path.exists(os.path.join(root, s, "truth.json")) for s in SETS)


def quad_size(q):
    """Mean lengths of the quad's reading-direction and cross edges."""
    w = 0.5 * (np.linalg.norm(q[1] - q[0]) + np.linalg.norm(q[2] - q[3]))
    h = 0.5 * (np.linalg.norm(q[3] - q[0]) + np.linalg.norm(q[2] - q[1]))
    return float(w), float(h)


def offset_quad(q, d):
    """Moves every edge of a convex quad outwards by d (inwards for d < 0),
    keeping edge directions; None when it collapses."""
    def area2(q):
        return sum(q[i, 0] * q[(i + 1) % 4, 1] - q[(i + 1) % 4, 0] * q[i, 1] for i in range(4))
    q = np.asarray(q, np.float64)
    a2 = area2(q)
    if abs(a2) < 1e-6:
        return None
    sign = 1.0 if a2 > 0 else -1.0
    lines = []
    for i in range(4):
        e = q[(i + 1) % 4] - q[i]
        n = np.linalg.norm(e)
        if n < 1e-6:
            return None
        # Outward normal: for a clockwise-on-screen quad (positive shoelace
        # sum with y down) it is (e_y, -e_x) / |e|.
        lines.append((q[i] + sign * np.array([e[1], -e[0]]) / n * d, e))
    out = np.empty((4, 2))
    for i in range(4):
        (p1, e1), (p2, e2) = lines[i - 1], lines[i]
        den = e1[0] * e2[1] - e1[1] * e2[0]
        if abs(den) < 1e-9:
            return None
        t = ((p2[0] - p1[0]) * e2[1] - (p2[1] - p1[1]) * e2[0]) / den
        out[i] = p1 + e1 * t
    if d < 0 and (area2(out) * a2 <= 0 or abs(area2(out)) < 1e-3):
        return None
    return out.astype(np.float32)


def shrink_region(q):
    """The detector's target for an annotated quad: shrunk so that the
    library's unclip (grow by area * 2 / perimeter) gives the quad back."""
    w, h = quad_size(q)
    if w < 1 or h < 1:
        return None
    return offset_quad(q, -textgen.shrink_distance(w, h))


def word_gaps(regions):
    """Quads of the background between neighbouring words of one line: two
    legible (not don't-care) regions of about the same height and
    direction, side by side, less than two heights apart. A gap spans from
    the right edge of the left word to the left edge of the right one."""
    words = []  # (quad, height, unit reading direction, centre)
    for r in regions:
        if r.ignore:
            continue
        q = r.quad
        w, h = quad_size(q)
        if w >= 1 and h >= 1:
            u = (q[1] - q[0]) + (q[2] - q[3])
            words.append((q, h, u / np.linalg.norm(u), q.mean(0)))
    out = []
    for a, ha, u, ca in words:
        v = np.array([-u[1], u[0]])
        best, bq = None, None
        for b, hb, ub, cb in words:
            # About the same height and direction (within ~16 degrees), side by side.
            if (b is a or max(ha, hb) > 1.6 * min(ha, hb) or float(np.dot(u, ub)) < 0.96
                    or abs(float(np.dot(cb - ca, v))) > 0.5 * min(ha, hb)):
                continue
            # Along the line: from a's right edge to b's left edge.
            gap = float(np.dot(0.5 * (b[0] + b[3]) - 0.5 * (a[1] + a[2]), u))
            if gap <= 0 or gap > 2.0 * min(ha, hb):
                continue
            if best is None or gap < best:
                best, bq = gap, np.array([a[1], b[0], b[3], a[2]], np.float32)
        if bq is not None:
            out.append(bq)
    return out


def det_maps(regions, shape, gap_weight=0.0, small_area=0.0):
    """Target and loss weight maps for regions (in output pixels); ignore
    regions weigh 0. With gap_weight > 0 (sets annotated per word) the
    background between neighbouring words of a line weighs that much: the
    network is to split there, as the annotation does. With small_area > 0
    the inside of a region whose target is smaller weighs small_area / its
    area (at most SMALL_WEIGHT_MAX): else the network learns to leave out a
    lone digit, whose target is a few dozen pixels in a far larger band of
    background."""
    t = np.zeros(shape[:2], np.float32)
    wgt = np.ones(shape[:2], np.float32)
    for r in regions:
        if r.ignore:
            g = offset_quad(r.quad, 2.0)
            textgen.fill_quad(wgt, r.quad if g is None else g, 0.0)
    boost = None  # the small regions' inside weights
    for r in regions:
        if r.ignore:
            continue
        s = shrink_region(r.quad)
        if s is None:
            continue
        textgen.fill_quad(t, s, 1.0)
        a = abs(float(cv2.contourArea(s)))
        if small_area > 0 and a < small_area:
            boost = np.zeros(shape[:2], np.float32) if boost is None else boost
            textgen.fill_quad(boost, s, min(SMALL_WEIGHT_MAX, small_area / max(a, 1.0)))
    if boost is not None:
        wgt = np.where(wgt > 0, np.maximum(wgt, boost), wgt)
    if gap_weight > 0:
        gaps = np.zeros(shape[:2], np.uint8)
        for g in word_gaps(regions):
            textgen.fill_quad(gaps, g, 1)
        wgt[(gaps > 0) & (t < 0.5) & (wgt > 0)] = gap_weight
    # Tiny regions (under ~4 px tall) cannot be found reliably at any scale:
    # neither reward nor punish them.
    for r in regions:
        if not r.ignore and min(quad_size(r.quad)) < 4:
            textgen.fill_quad(wgt, r.quad, 0.0)
    return t, wgt


SMALL_WEIGHT_MAX = 6.0  # largest loss weight of a small region's inside (det_maps)
EDGE_WEIGHT = 3.0  # loss weight of the background just outside a text region
EDGE_PX = 3         # width of that band in input pixels


def edge_weighted(target, weight):
    """Weight map with the background band around every text region
    weighing EDGE_WEIGHT: the library grows a found region by about its
    height, so a ragged or swollen edge comes back threefold in the box."""
    k = cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (2 * EDGE_PX + 1, 2 * EDGE_PX + 1))
    inside = (target > 0.5).astype(np.uint8)
    band = (cv2.dilate(inside, k) > 0) & (inside == 0) & (weight > 0)
    out = weight.copy()
    out[band] = np.maximum(out[band], EDGE_WEIGHT)
    return out


def photometric(img, rng):
    """Uneven light, contrast, colour, blur, noise and JPEG, as captures vary."""
    out = img.astype(np.float32)
    if rng.rand() < 0.5:  # contrast / brightness
        a = rng.uniform(0.5, 1.3)
        b = rng.uniform(-40, 40)
        out = out * a + b + (1 - a) * 128
    if rng.rand() < 0.3:  # colour cast
        out = out * rng.uniform(0.8, 1.2, 3)[None, None, :]
    if rng.rand() < 0.3:  # uneven light: a linear gradient
        h, w = out.shape[:2]
        gx, gy = rng.uniform(-1, 1, 2)
        ramp = (np.arange(w)[None, :] / max(w, 1) - 0.5) * gx + (np.arange(h)[:, None] / max(h, 1) - 0.5) * gy
        out = out * (1 + rng.uniform(0.2, 0.6) * ramp)[..., None]
    if rng.rand() < 0.15:
        out = out.mean(2, keepdims=True).repeat(3, 2)
    out = np.clip(out, 0, 255).astype(np.uint8)
    return textgen.degrade(out, rng, 0.8)


def random_view(img, regions, rng, out_w, out_h, scale_range=(0.5, 1.6), max_angle=10.0):
    """A random out_w x out_h view of an image: scale, rotation, slight
    perspective and a random position; area outside the image is the
    library's grey padding. Returns (view, regions mapped into the view)."""
    h, w = img.shape[:2]
    s = math.exp(rng.uniform(math.log(scale_range[0]), math.log(scale_range[1])))
    ang = rng.uniform(-max_angle, max_angle) if rng.rand() < 0.4 else 0.0
    # Centre of the view in image coordinates: near text more often than not.
    live = [r for r in regions if not r.ignore]
    if live and rng.rand() < 0.7:
        c = live[rng.randint(len(live))].quad.mean(0) + rng.uniform(-0.3, 0.3, 2) * np.array([out_w, out_h]) / s
    else:
        c = np.array([rng.uniform(0, w), rng.uniform(0, h)])
    src = np.array([[0, 0], [out_w, 0], [out_w, out_h], [0, out_h]], np.float32)
    M = cv2.getRotationMatrix2D((out_w / 2.0, out_h / 2.0), ang, s)
    # Affine that maps image point c to the view centre.
    M[:, 2] = np.array([out_w / 2.0, out_h / 2.0]) - M[:, :2] @ c
    A = np.vstack([M, [0, 0, 1]]).astype(np.float64)
    if rng.rand() < 0.3:  # slight perspective
        jit = rng.uniform(-0.06, 0.06, (4, 2)) * np.array([out_w, out_h])
        A = cv2.getPerspectiveTransform(src, (src + jit).astype(np.float32)).astype(np.float64) @ A
    view = cv2.warpPerspective(img, A, (out_w, out_h), flags=cv2.INTER_LINEAR,
                               borderMode=cv2.BORDER_CONSTANT, borderValue=(127, 127, 127))
    return view, map_regions(regions, A, out_w, out_h)


def map_regions(regions, A, out_w, out_h):
    """Regions through the 3 x 3 transform A into an out_w x out_h view;
    those outside are dropped, those the view's border cuts become don't-care
    (their visible part is not the annotated shape)."""
    out = []
    for r in regions:
        q = np.concatenate([r.quad, np.ones((4, 1), np.float32)], 1) @ A.T
        q = (q[:, :2] / q[:, 2:3]).astype(np.float32)
        if q[:, 0].max() < 0 or q[:, 1].max() < 0 or q[:, 0].min() > out_w or q[:, 1].min() > out_h:
            continue
        inside = (q[:, 0].min() >= 0 and q[:, 1].min() >= 0 and q[:, 0].max() <= out_w and q[:, 1].max() <= out_h)
        out.append(Region(q, r.text, r.ignore or not inside, r.notext))
    return out


def blank_view(rng, h, w):
    """A text-free image: a uniform colour, a gradient or noise (plain or
    blurred)."""
    kind = rng.randint(4)
    base = rng.uniform(0, 255, 3)
    if kind == 0:
        img = np.ones((h, w, 3)) * base
    elif kind == 1:
        ramp = np.linspace(0, 1, w)[None, :, None] if rng.rand() < 0.5 else np.linspace(0, 1, h)[:, None, None]
        img = base + (rng.uniform(0, 255, 3) - base) * ramp * np.ones((h, w, 1))
    else:
        img = base + textgen.gauss_noise(rng, (h, w, 3), rng.uniform(10, 70))
        if kind == 3:
            img = cv2.GaussianBlur(img, (0, 0), rng.uniform(0.7, 3.0))
    return np.clip(img, 0, 255).astype(np.uint8)


class ImageCache:
    """Decoded images, kept for the first `limit` images read (all sets take
    about 5 GB decoded, and each data worker holds its own cache)."""

    def __init__(self, limit=300):
        self.cache, self.limit = {}, limit

    def get(self, path):
        img = self.cache.get(path)
        if img is None:
            img = cv2.imread(path, cv2.IMREAD_COLOR)
            if img is None:
                raise RuntimeError("cannot read %s" % path)
            if len(self.cache) < self.limit:
                self.cache[path] = img
        return img


def library_box(q, rng):
    """A box like the one the library cuts for an annotated region: the
    quad grown or shrunk by -8%..+22% of its height, corners jittered by up
    to 6% (the detector is never exact)."""
    h = quad_size(q)[1]
    g = offset_quad(q, rng.uniform(-0.08, 0.22) * h)
    g = np.asarray(q, np.float32) if g is None else g
    return g + rng.uniform(-0.06, 0.06, (4, 2)).astype(np.float32) * h
