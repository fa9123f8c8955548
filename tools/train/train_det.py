#!/usr/bin/python3
"""Trains the text detector on real photos and scans mixed with synthetic
pages rendered on the fly.

Target: 1 inside each text region shrunk so that the library's unclip step
(grow by area * 2 / perimeter) restores the annotated region, 0 elsewhere;
"don't care" regions weigh nothing in the loss.
Loss: BCE + dice, optionally plus a BCE over the hardest background pixels.
Resumes from work/<tag>_last.pt (or starts from the
weights of --init); the best checkpoint by validation box F-score (mean of
the real and the rendered validation sets) is kept in work/<tag>_best.pt
(EMA weights).
"""
import argparse
import os
import sys
import time

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

# Share of each real set among the real samples; the rest of a batch is
# rendered pages (REAL_SHARE of the samples are real).
REAL_WEIGHTS = {"icdar2015_train": 0.35, "sroie_train": 0.2, "msra_td500_train": 0.2, "funsd_train": 0.25}
VIEW_SCALE = (0.5, 2.0)  # scale range of the real views
REAL_SHARE = 0.55
BLANK_SHARE = 0.04  # images without any text (uniform, gradient, noise)
PHOTO_SHARE = 0.08  # text-free photographs (wallpapers), when installed
PHOTO_BACKGROUND = 0.3  # rendered pages laid over a photograph
WORD_SETS = ("icdar2015_train",)  # annotated per word, not per line
# Strips in one batch: each is rendered as a page of its own, and a batch
# of 32 px strips as large as a page batch took three times as long to make.
MAX_STRIPS = 48


def param_groups(model, gate_lr=1.0):
    """The optimiser's parameter groups: one, or, with a gate and a multiple
    other than 1, the gate's own group with `lr_mult` = `gate_lr`."""
    if model.gate is None or gate_lr == 1.0:
        return [{"params": list(model.parameters())}]
    gate = list(model.gate.parameters())
    ids = {id(p) for p in gate}
    return [{"params": [p for p in model.parameters() if id(p) not in ids]}, {"params": gate, "lr_mult": gate_lr}]


def make_model(head="resize", refine=True, context=0, gate=False, **widths):
    """The detector; `widths` may set `ch` (five stages) and `fpn` (the
    pyramid), `context` the number of dilated blocks added at 1/32, `gate`
    the whole-image gate of the features at 1/4."""
    return models.Detector(head=head, refine=refine and head == "resize", context=context, gate=gate, **widths)


def parse_channels(text):
    """"8,24,48,96,160,24" -> {"ch": (8, 24, 48, 96, 160), "fpn": 24}; "" -> {}."""
    if not text:
        return {}
    vals = common.parse_channel_counts(text, 6, "five stages and the pyramid")
    return {"ch": vals[:5], "fpn": vals[5]}


def model_for(state):
    """The detector whose form the weights `state` have: its head, whether
    it has the refinement block, and the channels of every stage."""
    head = "deconv" if "up1.0.weight" in state else "resize"
    ch = tuple(int(state[k].shape[0]) for k in ("stem.0.weight", "s4.0.pw.0.weight", "s8.0.pw.0.weight",
                                                 "s16.0.pw.0.weight", "s32.0.pw.0.weight"))
    blocks = sum(1 for k in state if k.startswith("s32.") and k.endswith(".pw.0.weight"))
    return make_model(head=head, refine="refine.0.0.weight" in state, ch=ch,
                      fpn=int(state["lat.0.weight"].shape[0]), context=blocks - models.Detector.S32_BLOCKS,
                      gate="gate.1.weight" in state)


def load_detector(path):
    """The detector of a checkpoint, with its (EMA) weights, in eval mode."""
    weights = common.checkpoint_weights(path)
    model = model_for(weights)
    model.load_state_dict(weights)
    return model.eval()


class PageBatches(torch.utils.data.IterableDataset):
    """Batches of (input, target, loss weight): real views and rendered pages."""

    def __init__(self, batch, seed, sizes=(384, 448, 512, 576, 640), real_share=REAL_SHARE, hershey_prob=0.0,
                 strip_share=0.0, gap_weight=0.0, weights=None, scales=None, small_area=0.0):
        self.batch = batch
        self.gap_weight = gap_weight
        self.small_area = small_area
        self.weights = dict(weights or REAL_WEIGHTS)
        self.scales = dict(scales or {})
        self.seed = seed
        self.sizes = sizes
        self.real_share = real_share if realdata.available() else 0.0
        self.hershey_prob = hershey_prob
        self.strip_share = strip_share

    def strip_batch(self, rng, cs, fonts):
        """A batch of thin strips: one rendered line on a page not much
        taller (or longer) than the line, padded with the library's grey
        and scaled to an input 32-96 px high, so that the line fills most of
        the band, as when a host passes a single line. Half the batches
        stand upright (the strip turned a quarter, as the library sees a
        tall strip). The library rounds the band down to a multiple of 32
        rows while the length is scaled by the limit alone, so in half the
        strips the line is squashed to 50-100% of its height."""
        hs = int(rng.choice([32, 32, 64, 96]))
        wsz = int(rng.choice([512, 768, 1024]))
        n = min(MAX_STRIPS, max(2, int(self.batch * (512 * 512) / float(hs * wsz))))
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
                                               page_border=False, hershey_prob=self.hershey_prob)
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
        names = list(self.weights)
        p = np.array([self.weights[n] for n in names])
        name = names[rng.choice(len(names), p=p / p.sum())]
        path, regions = sets[name][rng.randint(len(sets[name]))]
        img = cache.get(path)
        view, regs = realdata.random_view(img, regions, rng, s, s, scale_range=self.scales.get(name, VIEW_SCALE))
        view = realdata.photometric(view, rng)
        return view, regs, name in WORD_SETS

    def __iter__(self):
        info = torch.utils.data.get_worker_info()
        wid = info.id if info is not None else 0
        rng = np.random.RandomState((self.seed * 7919 + wid * 104729 + 17) % (2 ** 31))
        cs = textgen.Charset()
        fonts = textgen.FontCache()
        sets = {n: realdata.load_set(n, "train") for n in self.weights} if self.real_share else {}
        cache = realdata.ImageCache()
        photos = textgen.Photos()
        textgen.use_photo_backgrounds(photos, PHOTO_BACKGROUND)
        while True:
            if rng.rand() < self.strip_share:
                x, y, w = self.strip_batch(rng, cs, fonts)
                yield x, y, w, torch.zeros(len(x), dtype=torch.bool)
                continue
            s = int(self.sizes[rng.randint(0, len(self.sizes))])
            n = max(2, int(self.batch * (512 * 512) / float(s * s)))
            xs = np.empty((n, 3, s, s), np.float32)
            ys = np.empty((n, 1, s, s), np.float32)
            ws = np.ones((n, 1, s, s), np.float32)
            words = np.zeros(n, bool)  # views of the sets annotated per word
            for i in range(n):
                if rng.rand() < BLANK_SHARE:
                    img = realdata.blank_view(rng, s, s)
                    ys[i, 0] = 0.0
                elif len(photos) and rng.rand() < PHOTO_SHARE:
                    img = realdata.photometric(photos.crop(rng, s, s), rng)
                    ys[i, 0] = 0.0
                elif rng.rand() < self.real_share:
                    img, regs, words[i] = self.real_sample(rng, sets, cache, s)
                    ys[i, 0], ws[i, 0] = realdata.det_maps(regs, img.shape,
                                                           self.gap_weight if words[i] else 0.0,
                                                           self.small_area)
                else:
                    # Mostly small and middle sizes; every fifth page has
                    # display text up to a quarter of the view high.
                    r = rng.rand()
                    hi = 40 if r < 0.4 else 80 if r < 0.8 else s // 4
                    img, quads, _ = textgen.make_page(rng, cs, fonts, s, s, train=True,
                                                      max_lines=int(rng.randint(4, 30)) if hi <= 80 else int(rng.randint(1, 8)),
                                                      size_range=(12, hi), vert_prob=0.1,
                                                      hershey_prob=self.hershey_prob)
                    ys[i, 0] = textgen.det_target(quads, img.shape)
                ws[i, 0] = realdata.edge_weighted(ys[i, 0], ws[i, 0])
                xs[i] = textgen.det_normalize(img)
            yield torch.from_numpy(xs), torch.from_numpy(ys), torch.from_numpy(ws), torch.from_numpy(words)


def teacher_maps(x, words, teacher, word_teacher=None):
    """The maps the network learns besides the annotations: the teacher's,
    and for the views of the sets annotated per word (street photos) the
    word teacher's, where there is one."""
    with torch.no_grad():
        soft = teacher(x)
        if word_teacher is not None and bool(words.any()):
            soft[words] = word_teacher(x[words])
    return soft


def share(text):
    v = float(text)
    if not v > 0:
        raise ValueError("share %r: must be above 0" % text)
    return v


def scale_range(text):
    lo, hi = (float(v) for v in text.split(":"))
    if not 0 < lo <= hi:
        raise ValueError("scale range %r" % text)
    return lo, hi


def parse_sets(text, value):
    """'name=v,name=v' -> {name: value(v)} over the real sets (empty: None)."""
    if not text:
        return None
    out = {}
    for item in text.split(","):
        name, _, v = item.partition("=")
        if name not in realdata.SETS:
            raise ValueError("unknown set %r (sets: %s)" % (name, ", ".join(realdata.SETS)))
        out[name] = value(v)
    return out


def make_val(seed, n):
    rng = np.random.RandomState(seed)
    cs = textgen.Charset()
    fonts = textgen.FontCache()
    items = []
    for _ in range(n):
        w = int(rng.choice([640, 800, 960]))
        h = int(rng.choice([480, 600, 720]))
        page, quads, _ = textgen.make_page(rng, cs, fonts, w, h, train=True,
                                           max_lines=12, min_lines=4, page_border=False)
        x, (ry, rx) = textgen.det_preprocess(page)
        sc = np.array([rx, ry], np.float32)
        q_in = [(q + 20.0) * sc for q in quads]
        target = textgen.det_target(q_in, x.shape[1:])
        items.append((x, q_in, target))
    return items


def make_real_val(per_set):
    """The first images of every set's validation part, at the size the
    library feeds them (quads in network-input pixels, ignore flags kept)."""
    items = []
    if not realdata.available():
        return items
    for name in realdata.SETS:
        for path, regions in realdata.load_set(name, "val")[:per_set]:
            img = cv2.imread(path, cv2.IMREAD_COLOR)
            x, (ry, rx) = textgen.det_preprocess(img)
            sc = np.array([rx, ry], np.float32)
            items.append((x, [((r.quad + 20.0) * sc, r.ignore) for r in regions]))
    return items


def box_scores(prob, care, dont=()):
    """Library boxes of a probability map against the true quads `care`:
    (matches at IoU 0.5, boxes counted, mean IoU of the matches). A box on
    a "don't care" quad (IoU 0.5, or mostly inside it) is not counted."""
    boxes, _ = detpost.boxes_from_prob(prob)
    keep = [b for b in boxes
            if not any(detpost.quad_iou(b, d, prob.shape) >= 0.5 or detpost.inside_share(b, d) > 0.5
                       for d in dont)]
    m, miou = detpost.match_boxes(keep, care, prob.shape)
    return m, len(keep), miou


def prf(matches, npred, ngt):
    p = matches / float(max(npred, 1))
    r = matches / float(max(ngt, 1))
    return p, r, 2 * p * r / max(p + r, 1e-9)


@torch.no_grad()
def evaluate_real(model, items):
    """Box precision/recall/F at IoU 0.5 on real images, "don't care"
    regions excluded."""
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
    return {"real_p": p, "real_r": r, "real_f": f, "real_iou": float(np.mean(ious)) if ious else 0.0}


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
    """Mean of the weighted per-pixel BCE `per_pixel` over the hardest
    background pixels of a batch.

    The plain BCE averages over every pixel, and the few that matter on a
    photo (foliage, brick, window grids) are a small share of a large, easy
    background. This term takes only the ratio x (text pixels) background
    pixels with the largest loss (at least min_count, so that a text-free
    batch still has some), whatever image they are in. Only background
    farther than `clear` pixels from any text or don't-care region counts:
    nearer, it is the gap between words or the margin of a line, where scene
    photos (annotated per word) and documents (per line) disagree, and
    mining there splits document lines at their word gaps.
    """
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


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--budget-min", type=float, default=95.0, help="total wall-clock training minutes")
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--workers", type=int, default=1)
    ap.add_argument("--batch", type=int, default=8, help="pages per batch at 512x512 (scaled by area)")
    ap.add_argument("--lr", type=float, default=2e-3)
    ap.add_argument("--seed", type=int, default=4321)
    ap.add_argument("--ckpt-every-min", type=float, default=4.0)
    ap.add_argument("--val-every-min", type=float, default=8.0)
    ap.add_argument("--val-pages", type=int, default=24)
    ap.add_argument("--tag", default="det", help="file prefix inside work/")
    ap.add_argument("--init", default=None,
                    help="checkpoint whose (EMA) weights start a new run")
    ap.add_argument("--real-val", type=int, default=8, help="validation images per real set")
    ap.add_argument("--real-share", type=float, default=REAL_SHARE,
                    help="share of real views among the samples with text")
    ap.add_argument("--hershey", type=float, default=0.0,
                    help="share of rendered ASCII lines drawn in OpenCV's stroke fonts")
    ap.add_argument("--strips", type=float, default=0.0,
                    help="share of batches made of thin single-line strips")
    ap.add_argument("--hard-neg", type=float, default=0.0,
                    help="weight of the BCE over the hardest background pixels (0: off)")
    ap.add_argument("--gap-weight", type=float, default=0.0,
                    help="loss weight of the background between neighbouring words in sets annotated "
                         "per word (0: plain background)")
    ap.add_argument("--small-area", type=float, default=0.0,
                    help="target area (input pixels) under which a real region's inside weighs more in the "
                         "loss, in proportion to how much smaller it is (0: off)")
    ap.add_argument("--set-weights", default="",
                    help="shares of the real sets (a set not named is not used), e.g. icdar2015_train=0.35,... "
                         "(default %s)" % ",".join("%s=%g" % kv for kv in REAL_WEIGHTS.items()))
    ap.add_argument("--view-scales", default="",
                    help="scale range of one set's views, e.g. msra_td500_train=0.3:1.5 "
                         "(default %g:%g for every set)" % VIEW_SCALE)
    ap.add_argument("--no-refine", action="store_true",
                    help="the head without its refinement block at 1/4 (the earlier form)")
    ap.add_argument("--channels", default="",
                    help="channels of the five stages and of the pyramid, e.g. 8,24,48,96,160,24 "
                         "(default: those of models.Detector); with --init a narrower network starts "
                         "from the first channels of every layer, a wider one computes what the "
                         "--init network does until training moves its new channels")
    ap.add_argument("--context", type=int, default=0,
                    help="dilated residual blocks added at 1/32 (they start as the identity, so --init "
                         "from a network without them starts where that network is)")
    ap.add_argument("--gate", action="store_true",
                    help="scale the features at 1/4 by a function of the whole image's mean features (starts "
                         "as the identity, so --init from a network without it starts where that network is)")
    ap.add_argument("--gate-lr", type=float, default=1.0,
                    help="the gate's learning rate as a multiple of --lr (it starts at zero and learns slowly)")
    ap.add_argument("--teacher", default=None,
                    help="detector checkpoint whose probability map the network also learns (distillation)")
    ap.add_argument("--distill", type=float, default=1.0,
                    help="weight of the BCE against the teacher's map (with --teacher)")
    ap.add_argument("--word-teacher", default=None,
                    help="detector checkpoint that teaches the views of the sets annotated per word (street "
                         "photos) in place of --teacher, e.g. one trained on them alone")
    args = ap.parse_args()
    if args.word_teacher and not args.teacher:
        ap.error("--word-teacher needs --teacher")

    log, last_path, best_path = common.start_run(args.tag, args.threads, args.seed)

    widths = parse_channels(args.channels)
    model = make_model(refine=not args.no_refine, context=args.context, gate=args.gate, **widths)
    # Channels-last convolutions train this thin network about twice as
    # fast on the CPU; the weights and checkpoints are the same.
    model = model.to(memory_format=torch.channels_last)
    opt = torch.optim.AdamW(param_groups(model, args.gate_lr), lr=args.lr, weight_decay=1e-4)
    ema = common.EMA(model, decay=0.995)
    step, elapsed, best = common.resume(last_path, model, opt, ema, log)
    if step == 0 and args.init:
        common.init_from(args.init, model, ema, log, resize=bool(widths))
    teacher = None
    if args.teacher:
        teacher = load_detector(args.teacher).to(memory_format=torch.channels_last)  # under no_grad only
        log("teacher %s, weight %g" % (args.teacher, args.distill))
    word_teacher = None
    if args.word_teacher:
        word_teacher = load_detector(args.word_teacher).to(memory_format=torch.channels_last)
        log("teacher of the views annotated per word: %s" % args.word_teacher)
    budget = args.budget_min * 60.0
    if elapsed >= budget:
        log("budget already used up (%.1f min)" % (elapsed / 60))
        return
    log("detector: %.3fM params, batch %d, threads %d, workers %d, budget %.0f min"
        % (sum(p.numel() for p in model.parameters()) / 1e6, args.batch, args.threads,
           args.workers, args.budget_min))
    val = make_val(args.seed + 999, args.val_pages)
    real_val = make_real_val(args.real_val)
    ds = PageBatches(args.batch, args.seed + step, real_share=args.real_share, hershey_prob=args.hershey,
                     strip_share=args.strips, gap_weight=args.gap_weight, small_area=args.small_area,
                     weights=parse_sets(args.set_weights, share), scales=parse_sets(args.view_scales, scale_range))
    dl = torch.utils.data.DataLoader(ds, batch_size=None, num_workers=args.workers,
                                     prefetch_factor=4 if args.workers else 2)
    start = time.time() - elapsed
    run = np.zeros(3)
    run_n, t_data, t_step = 0, 0.0, 0.0

    def snapshot():
        return {"model": model.state_dict(), "opt": opt.state_dict(), "ema": ema.state,
                "step": step, "elapsed": time.time() - start, "best": best}

    def validate():
        nonlocal best
        def both(net):
            m = evaluate(net, val)
            if real_val:
                m.update(evaluate_real(net, real_val))
            m["score"] = 0.5 * (m["box_f"] + m["real_f"]) if real_val else m["box_f"]
            return m
        m = common.evaluate_ema(model, ema, both)
        log("val step %d: %s" % (step, " ".join("%s=%.4f" % kv for kv in sorted(m.items()))))
        if m["score"] > best:
            best = m["score"]
            common.save_atomic({"ema": ema.state, "model": model.state_dict(), "step": step,
                                "metrics": m}, best_path)
            log("new best (%.4f) -> %s" % (best, best_path))

    val_timer = common.Every(args.val_every_min, validate)
    ckpt_timer = common.Every(args.ckpt_every_min, lambda: common.save_atomic(snapshot(), last_path))
    model.train()
    it = iter(dl)
    while True:
        now = time.time()
        if now - start >= budget:
            break
        ta = time.time()
        x, y, w, words = next(it)
        x = x.contiguous(memory_format=torch.channels_last)
        tb = time.time()
        lr = common.lr_at((now - start) / budget, step, args.lr, warmup=200)
        for g in opt.param_groups:
            g["lr"] = lr * g.get("lr_mult", 1.0)
        logits = model.logits(x)
        per_pixel = F.binary_cross_entropy_with_logits(logits, y, reduction="none") * w
        bce = per_pixel.sum() / w.sum().clamp(min=1.0)
        dl_ = dice_loss(logits, y, w)
        loss = bce * 5.0 + dl_
        if args.hard_neg > 0:
            loss = loss + args.hard_neg * hard_negative_bce(per_pixel, y, w)
        if teacher is not None:
            # Every pixel, don't-care regions included: the teacher's map is
            # defined everywhere, and the library sees those pixels too.
            soft = teacher_maps(x, words, teacher, word_teacher)
            loss = loss + args.distill * F.binary_cross_entropy_with_logits(logits, soft)
        opt.zero_grad(set_to_none=True)
        loss.backward()
        torch.nn.utils.clip_grad_norm_(model.parameters(), 5.0)
        opt.step()
        ema.update(model, step)
        step += 1
        t_data += tb - ta
        t_step += time.time() - tb
        run += [float(loss), float(bce), float(dl_)]
        run_n += 1
        if step % 25 == 0:
            r = run / run_n
            log("step %d loss %.4f (bce %.4f dice %.4f) lr %.2e S %d | data %.3fs step %.3fs | %.1f min"
                % (step, r[0], r[1], r[2], opt.param_groups[0]["lr"], x.shape[3],
                   t_data / run_n, t_step / run_n, (time.time() - start) / 60))
            run[:] = 0
            run_n, t_data, t_step = 0, 0.0, 0.0
        val_timer.poll()
        ckpt_timer.poll()
    validate()
    common.save_atomic(snapshot(), last_path)
    log("finished: step %d, %.1f min, best %.4f" % (step, (time.time() - start) / 60, best))


if __name__ == "__main__":
    main()
