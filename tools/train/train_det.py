#!/usr/bin/python3
"""Trains the text detector on real photos and scans mixed with pages
rendered on the fly, as one run named by its config file (see README.md):

    tools/train/train_det.py tools/train/configs/det.json [--smoke]

Target: each text region shrunk so that the library's unclip (grow by
area * 2 / perimeter) restores it; "don't care" regions weigh nothing. Loss:
BCE + dice, plus a BCE over the hardest background pixels.
"""
import os
import sys

import cv2
import numpy as np
import torch
import torch.nn.functional as F

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
import detpost  # noqa: E402
import models  # noqa: E402
import realdata  # noqa: E402
import textgen  # noqa: E402

BLANK_SHARE = 0.04  # images without any text (uniform, gradient, noise)
PHOTO_SHARE = 0.08  # text-free photographs (wallpapers), when installed
WORD_SETS = ("icdar2015_train",)  # annotated per word, not per line
# Strips in one batch: each is rendered as a page of its own, and a batch
# of 32 px strips as large as a page batch took three times as long to make.
MAX_STRIPS = 48
# What a config leaves out.
DEFAULTS = {
    "form": {}, "init": None, "budget_min": 720.0, "threads": 3, "workers": 2, "batch": 12, "lr": 1e-3,
    "warmup": 200, "seed": 4321, "ckpt_every_min": 5.0, "val_every_min": 30.0, "val_pages": 24,
    "val_real": 25, "sizes": [384, 448, 512, 576, 640], "real_share": 0.55,
    "set_weights": {"icdar2015_train": 0.35, "sroie_train": 0.2, "msra_td500_train": 0.2, "funsd_train": 0.25},
    "view_scales": {}, "hershey": 0.0, "strips": 0.0, "hard_neg": 0.0, "gap_weight": 0.0, "small_area": 0.0,
    "turn_share": 0.0, "photo_text": 0.3, "vertical": 0.1, "warp": 0.0, "curve": None,
}


def library_border(img, rng, share=0.25):
    """A text-free view with some of its sides in the library's 20 px grey
    border, which every image gets before detection: the edge between noise
    or a photo and that border must not read as a line."""
    for side in range(4):
        if rng.rand() < share:
            img[textgen._edge(side, 20)] = 127
    return img


class PageBatches(torch.utils.data.IterableDataset):
    """Batches of (input, target, loss weight): real views and rendered pages."""

    def __init__(self, cfg, seed):
        self.cfg, self.seed = cfg, seed
        self.real_share = cfg["real_share"] if realdata.available() else 0.0

    def strip_batch(self, rng, cs, fonts):
        """A batch of thin strips, as when a host passes a single line: one
        rendered line on a page not much taller than it, padded with the
        library's grey and scaled to an input 32-96 px high. Half the
        batches stand (turned a quarter). The library rounds the band down
        to a multiple of 32 rows but scales the length by the limit alone,
        so in half the strips the line is squashed to 50-100% of its height."""
        hs = int(rng.choice([32, 32, 64, 96]))
        wsz = int(rng.choice([512, 768, 1024]))
        n = min(MAX_STRIPS, max(2, int(self.cfg["batch"] * (512 * 512) / float(hs * wsz))))
        xs = np.empty((n, 3, hs, wsz), np.float32)
        ys = np.zeros((n, 1, hs, wsz), np.float32)
        ws = np.ones_like(ys)
        for i in range(n):
            # The page before padding and scaling: its line takes 35-80% of
            # the band once the 20 px border is added.
            size = int(rng.randint(16, 90))
            h0 = int(size * rng.uniform(1.25, 2.2))
            squash = rng.uniform(0.5, 1.0) if rng.rand() < 0.5 else 1.0
            w0 = int(round((h0 + 40) * wsz * squash / float(hs))) - 40
            page, quads, _ = textgen.make_page(rng, cs, fonts, w0, h0, train=True, max_lines=1,
                                               size_range=(size, size + 1), rot_prob=0.0,
                                               page_border=False, hershey_prob=self.cfg["hershey"])
            padded = cv2.copyMakeBorder(page, 20, 20, 20, 20, cv2.BORDER_CONSTANT, value=(127, 127, 127))
            fx, fy = wsz / float(padded.shape[1]), hs / float(padded.shape[0])
            img = cv2.resize(padded, (wsz, hs), interpolation=cv2.INTER_LINEAR)
            quads = [(q + 20.0) * np.array([fx, fy], np.float32) for q in quads]
            ys[i, 0] = textgen.det_target(quads, img.shape)
            ws[i, 0] = realdata.edge_weighted(ys[i, 0], ws[i, 0])
            xs[i] = textgen.det_normalize(img)
        if rng.rand() < 0.5:
            # Mostly a quarter turn clockwise (the line reads top to bottom,
            # as the library expects of a tall crop), as on the pages.
            k = -1 if rng.rand() < 0.7 else 1
            xs, ys, ws = (np.ascontiguousarray(np.rot90(a, k, (2, 3))) for a in (xs, ys, ws))
        return torch.from_numpy(xs), torch.from_numpy(ys), torch.from_numpy(ws)

    def real_sample(self, rng, sets, cache, s):
        name = realdata.pick_set(rng, self.cfg["set_weights"], list(self.cfg["set_weights"]))
        path, regions = sets[name][rng.randint(len(sets[name]))]
        view, regs = realdata.random_view(cache.get(path), regions, rng, s, s,
                                          scale_range=self.cfg["view_scales"].get(name, (0.5, 2.0)))
        return realdata.photometric(view, rng), regs, name in WORD_SETS

    def __iter__(self):
        wid = getattr(torch.utils.data.get_worker_info(), "id", 0)  # 0 in the main process
        rng = np.random.RandomState((self.seed * 7919 + wid * 104729 + 17) % (2 ** 31))
        cs, fonts, cfg = textgen.Charset(), textgen.FontCache(), self.cfg
        sets = {n: realdata.load_set(n, "train") for n in cfg["set_weights"]} if self.real_share else {}
        cache = realdata.ImageCache()
        photos = textgen.Photos()
        textgen.use_photo_backgrounds(photos, cfg["photo_text"])
        while True:
            if rng.rand() < cfg["strips"]:
                x, y, w = self.strip_batch(rng, cs, fonts)
                yield x, y, w, torch.zeros(len(x), dtype=torch.bool)
                continue
            s = int(cfg["sizes"][rng.randint(0, len(cfg["sizes"]))])
            n = max(2, int(cfg["batch"] * (512 * 512) / float(s * s)))
            xs = np.empty((n, 3, s, s), np.float32)
            ys = np.zeros((n, 1, s, s), np.float32)
            ws = np.ones((n, 1, s, s), np.float32)
            words = np.zeros(n, bool)  # views of the sets annotated per word
            for i in range(n):
                if rng.rand() < BLANK_SHARE:
                    img = library_border(realdata.blank_view(rng, s, s), rng)
                elif len(photos) and rng.rand() < PHOTO_SHARE:
                    img = library_border(realdata.photometric(photos.crop(rng, s, s), rng), rng)
                elif rng.rand() < self.real_share:
                    img, regs, words[i] = self.real_sample(rng, sets, cache, s)
                    ys[i, 0], ws[i, 0] = realdata.det_maps(regs, img.shape, cfg["gap_weight"] if words[i] else 0.0,
                                                           cfg["small_area"])
                else:
                    # Mostly small and middle sizes; every fifth page has
                    # display text up to a quarter of the view high.
                    r = rng.rand()
                    hi = 40 if r < 0.4 else 80 if r < 0.8 else s // 4
                    img, quads, _ = textgen.make_page(rng, cs, fonts, s, s, train=True,
                                                      max_lines=int(rng.randint(4, 30)) if hi <= 80 else int(rng.randint(1, 8)),
                                                      size_range=(12, hi), vert_prob=cfg["vertical"],
                                                      hershey_prob=cfg["hershey"])
                    if rng.rand() < cfg["warp"]:
                        # The page photographed at a slant: each corner moved
                        # by up to 15% of the view, the lines with it; a line
                        # the view's border cuts becomes don't-care.
                        src = np.float32([[0, 0], [s, 0], [s, s], [0, s]])
                        H = cv2.getPerspectiveTransform(src, src + rng.uniform(-0.15, 0.15, (4, 2)).astype(np.float32) * s)
                        img = cv2.warpPerspective(img, H, (s, s), borderMode=cv2.BORDER_CONSTANT,
                                                  borderValue=(127, 127, 127))
                        regs = realdata.map_regions([realdata.Region(q, "", False, False) for q in quads], H, s, s)
                        ys[i, 0], ws[i, 0] = realdata.det_maps(regs, img.shape)
                    else:
                        ys[i, 0] = textgen.det_target(quads, img.shape)
                ws[i, 0] = realdata.edge_weighted(ys[i, 0], ws[i, 0])
                xs[i] = textgen.det_normalize(img)
                if rng.rand() < cfg["turn_share"]:
                    # The whole view turned by 90, 180 or 270 degrees, as a
                    # page scanned or photographed on its side or upside down.
                    k = int(rng.randint(1, 4))
                    xs[i], ys[i], ws[i] = (np.rot90(a[i], k, (1, 2)).copy() for a in (xs, ys, ws))
            yield torch.from_numpy(xs), torch.from_numpy(ys), torch.from_numpy(ws), torch.from_numpy(words)


def make_val(seed, n, held_out_prob=0.0):
    """[(input, quads, target)] of n rendered pages."""
    rng, cs, fonts, items = np.random.RandomState(seed), textgen.Charset(), textgen.FontCache(), []
    for _ in range(n):
        w = int(rng.choice([640, 800, 960]))
        h = int(rng.choice([480, 600, 720]))
        page, quads, _ = textgen.make_page(rng, cs, fonts, w, h, train=held_out_prob == 0.0, max_lines=12,
                                           min_lines=4, page_border=False, held_out_prob=held_out_prob)
        x, q_in = library_input(page, quads)
        items.append((x, q_in, textgen.det_target(q_in, x.shape[1:])))
    return items


def library_input(img, quads):
    """The detector's input as the library makes it of an image, and the
    quads in its pixels."""
    x, (ry, rx) = textgen.det_preprocess(img)
    return x, [(q + 20.0) * np.array([rx, ry], np.float32) for q in quads]


def make_real_val(per_set, turned=False):
    """{set: [(input, [(quad, ignore)])] of the first images of its
    validation part}; with turned=True each turned by 90, 180 or 270 degrees
    clockwise in turn."""
    items = {name: [] for name in realdata.SETS} if realdata.available() else {}
    for name in items:
        for i, (path, regions) in enumerate(realdata.load_set(name, "val")[:per_set]):
            img = cv2.imread(path, cv2.IMREAD_COLOR)
            quads = [r.quad for r in regions]
            if turned:
                img, quads = turn_clockwise(img, quads, 1 + i % 3)
            x, q_in = library_input(img, quads)
            items[name].append((x, [(q, r.ignore) for q, r in zip(q_in, regions)]))
    return items


def turn_clockwise(img, quads, k):
    """The image turned k quarter turns clockwise, and its quads with it."""
    for _ in range(k):
        h = img.shape[0]
        img = cv2.rotate(img, cv2.ROTATE_90_CLOCKWISE)
        quads = [np.stack([h - 1 - q[:, 1], q[:, 0]], 1).astype(np.float32) for q in quads]
    return img, quads


def box_scores(prob, care, dont=()):
    """Library boxes of a probability map against the true quads `care`:
    (matches at IoU 0.5, boxes counted, mean IoU of the matches). A box on
    a "don't care" quad (IoU 0.5, or mostly inside it) is not counted."""
    boxes = detpost.boxes_from_prob(prob)
    keep = [b for b in boxes
            if not any(detpost.quad_iou(b, d) >= 0.5 or detpost.inside_share(b, d) > 0.5
                       for d in dont)]
    m, miou = detpost.match_boxes(keep, care)
    return m, len(keep), miou


def prf(matches, npred, ngt):
    p, r = matches / float(max(npred, 1)), matches / float(max(ngt, 1))
    return p, r, 2 * p * r / max(p + r, 1e-9)


@torch.no_grad()
def evaluate_real(model, items):
    """Box precision/recall/F at IoU 0.5, "don't care" regions excluded."""
    model.eval()
    tp = npred = ngt = 0
    ious = []
    for x, regs in items:
        prob = model(torch.from_numpy(x)[None])[0, 0].numpy()
        care = [q for q, ign in regs if not ign]
        m, n, miou = box_scores(prob, care, [q for q, ign in regs if ign])
        tp, npred, ngt = tp + m, npred + n, ngt + len(care)
        if m:
            ious.append(miou)
    p, r, f = prf(tp, npred, ngt)
    return {"p": p, "r": r, "f": f, "iou": float(np.mean(ious)) if ious else 0.0}


@torch.no_grad()
def evaluate(model, val):
    model.eval()
    tp = fp = fn = 0
    bm = bp = bg = 0
    ious = []
    for x, quads, target in val:
        prob = model(torch.from_numpy(x)[None])[0, 0].numpy()
        pred = prob > 0.4
        t = target > 0.5
        tp += int((pred & t).sum())
        fp += int((pred & ~t).sum())
        fn += int((~pred & t).sum())
        m, n, miou = box_scores(prob, quads)
        bm, bp, bg = bm + m, bp + n, bg + len(quads)
        if m:
            ious.append(miou)
    pf = 2 * tp / float(max(2 * tp + fp + fn, 1))
    prec, rec, bf = prf(bm, bp, bg)
    return {"pix_f": pf, "box_p": prec, "box_r": rec, "box_f": bf,
            "match_iou": float(np.mean(ious)) if ious else 0.0}


def dice_loss(logits, target, weight, eps=1.0):
    p = torch.sigmoid(logits) * weight
    inter = (p * target).sum(dim=(1, 2, 3))
    den = p.sum(dim=(1, 2, 3)) + (target * weight).sum(dim=(1, 2, 3))
    return (1 - (2 * inter + eps) / (den + eps)).mean()


def hard_negative_bce(per_pixel, target, weight, ratio=3.0, min_count=4096, clear=15):
    """Mean of the weighted per-pixel BCE over the ratio x (text pixels)
    hardest background pixels of a batch (at least min_count): the few that
    matter on a photo (foliage, brick, window grids) are a small share of a
    large, easy background. Only background farther than `clear` pixels from
    text or don't-care counts: nearer lie the word gaps, where scene photos
    (annotated per word) and documents (per line) disagree."""
    near = ((target >= 0.5) | (weight <= 0)).to(torch.uint8)
    if clear > 0:
        # OpenCV's dilation is many times faster than a max-pool of this
        # size on the CPU, where it took a quarter of the training step.
        kernel = np.ones((2 * clear + 1, 2 * clear + 1), np.uint8)
        maps = near.numpy().reshape(-1, *near.shape[2:])
        near = torch.from_numpy(np.stack([cv2.dilate(m, kernel) for m in maps])).view(near.shape)
    neg = (target < 0.5) & (weight > 0) & (near == 0)
    n_pos = int(((target >= 0.5) & (weight > 0)).sum())
    neg_loss = per_pixel[neg]
    k = min(neg_loss.numel(), max(int(ratio * n_pos), min_count))
    if k == 0:
        return per_pixel.sum() * 0.0
    return neg_loss.topk(k, sorted=False).values.mean()


def figures(net, val, held, real_val, turned_val):
    """The curve's figures of a detector, and its score."""
    m = {"rendered_" + k: v for k, v in evaluate(net, val).items() if k in ("box_f", "match_iou")}
    m["heldout_box_f"] = evaluate(net, held)["box_f"]
    for name, items in real_val.items():
        r = evaluate_real(net, items)
        m[name.split("_")[0] + "_f"], m[name.split("_")[0] + "_p"] = r["f"], r["p"]
    turned = [it for items in turned_val.values() for it in items]
    if turned:
        m["turned_f"] = evaluate_real(net, turned)["f"]
    real = [m[n.split("_")[0] + "_f"] for n in real_val]
    m["score"] = 0.5 * (m["rendered_box_f"] + float(np.mean(real))) if real else m["rendered_box_f"]
    return m, m["score"]


def main():
    cfg = common.run_config(__doc__, DEFAULTS)
    log, _ = common.start_run(cfg)
    model = models.Detector(**{k: tuple(v) if isinstance(v, list) else v for k, v in cfg["form"].items()})

    def prepare():
        sets = (make_val(cfg["seed"] + 999, cfg["val_pages"]),
                make_val(cfg["seed"] + 998, cfg["val_pages"], held_out_prob=1.0),
                make_real_val(cfg["val_real"]), make_real_val(cfg["val_real"], turned=True))
        return lambda net: figures(net, *sets)

    def train_step(batch):
        x, y, w, _ = batch
        logits = model.logits(x.contiguous(memory_format=torch.channels_last))
        per_pixel = F.binary_cross_entropy_with_logits(logits, y, reduction="none") * w
        bce = per_pixel.sum() / w.sum().clamp(min=1.0)
        dice = dice_loss(logits, y, w)
        loss = bce * 5.0 + dice
        if cfg["hard_neg"] > 0:
            loss = loss + cfg["hard_neg"] * hard_negative_bce(per_pixel, y, w)
        model.zero_grad(set_to_none=True)
        loss.backward()
        torch.nn.utils.clip_grad_norm_(model.parameters(), 5.0)
        return float(loss), float(bce), float(dice)

    header = ("detector %s: %.3fM params, batch %d, threads %d, workers %d, budget %.0f min"
              % (cfg["name"], sum(p.numel() for p in model.parameters()) / 1e6, cfg["batch"], cfg["threads"],
                 cfg["workers"], cfg["budget_min"]))

    def report(step, r, lr, batch, data, took, minutes):
        return ("step %d loss %.4f (bce %.4f dice %.4f) lr %.2e S %d | data %.3fs step %.3fs | %.1f min"
                % (step, r[0], r[1], r[2], lr, batch[0].shape[3], data, took, minutes))
    common.train(cfg, model, log, header, prepare, lambda step: PageBatches(cfg, cfg["seed"] + step), train_step,
                 report, 25, ema_decay=0.995, resize=True)


if __name__ == "__main__":
    main()
