#!/usr/bin/python3
"""Trains the line recogniser (CTC) on real line crops mixed with synthetic
lines rendered on the fly.

Resumes from work/<tag>_last.pt when present (or starts from the weights of
--init); stops when the wall-clock budget (summed over resumed runs) is used
up.  The best checkpoint by validation exact-line accuracy (rendered lines,
digit lines and real lines) is kept in work/<tag>_best.pt (EMA weights).
"""
import argparse
import math
import os
import sys
import time

import cv2
import numpy as np
import torch
import torch.nn.functional as F

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
import models  # noqa: E402
import realdata  # noqa: E402
import textgen  # noqa: E402

MAX_W = 1024  # widest training line after resizing to height 48
SPACED_SHARE = 0.05  # extra lines of space-separated numbers and words
# Share of the real sets among the real lines; REAL_SHARE of all lines are
# real, up to LINES_PER_IMAGE of them cut from each decoded image. Forms and
# scene words (mixed case) weigh as much as receipts (upper-cased
# transcripts, see CASE_FREE_SETS), and a share of the rendered lines are
# mixed-case words.
REAL_WEIGHTS = {"sroie_train": 0.35, "funsd_train": 0.35, "icdar2015_train": 0.3}
REAL_SHARE = 0.78
WORDS_SHARE = 0.15  # rendered lines of Latin words, mostly lower case
PHOTO_BACKGROUND = 0.2  # rendered lines laid over a photograph
LINES_PER_IMAGE = 6
# Sets whose transcripts are upper-cased throughout (SROIE: not one lower-case
# letter in 30,847 lines, while the receipts print "Total", "Invoice no").
# Their lines teach the letters but not the case: the loss there takes a
# letter's upper- and lower-case scores together.
CASE_FREE_SETS = ("sroie_train",)
# With --case-free-all the forms and scene words are scored case-free too:
# a third to a half of their words are all capitals, and in crops whose
# letters are 8-16 px high the x-height letters (c o s u v w x z) look the
# same in either case, so their lines pull the network towards capitals
# even on clean print. Case is then learned from the rendered lines, where
# it is never in doubt.


def real_regions(cs, split, det_boxes=None):
    """{set: [(image path, [regions with a transcript the dictionary holds],
    [the detector's box for each of them, or None])]}; det_boxes as read by
    realdata.load_det_boxes()."""
    out = {}
    for name in REAL_WEIGHTS:
        images = []
        for path, regions in realdata.load_set(name, split):
            found = (det_boxes or {}).get(path, {})
            keep, boxes = [], []
            for i, r in enumerate(regions):
                if not r.transcribed:
                    continue
                try:
                    cs.encode(r.text.strip())
                except KeyError:
                    continue
                keep.append(r)
                boxes.append(found.get(i))
            if keep:
                images.append((path, keep, boxes))
        out[name] = images
    return out


def low_resolution(crop, rng):
    """Text 8-18 px high, as small print and distant words are captured (the
    library scales it back up to 48)."""
    h = crop.shape[0]
    target = rng.uniform(8, 18)
    if h <= target:
        return crop
    f = target / h
    small = cv2.resize(crop, (max(1, int(round(crop.shape[1] * f))), max(1, int(round(h * f)))),
                       interpolation=cv2.INTER_AREA)
    return small


def real_lines(rng, by_set, k, case_free_sets=CASE_FREE_SETS, det_box_share=0.0):
    """Up to k (crop, text) pairs cut as the library cuts them from one real
    image: from the detector's own box for a share det_box_share of the lines
    that have one, else from the annotated box grown and jittered."""
    names = list(REAL_WEIGHTS)
    p = np.array([REAL_WEIGHTS[n] for n in names])
    name = names[rng.choice(len(names), p=p / p.sum())]
    path, regions, det = by_set[name][rng.randint(len(by_set[name]))]
    img = cv2.imread(path, cv2.IMREAD_COLOR)
    out = []
    for i in rng.permutation(len(regions))[:k]:
        r = regions[i]
        if det[i] is not None and rng.rand() < det_box_share:
            box = det[i]
        else:
            box = realdata.library_box(r.quad, rng)
        crop = realdata.crop_region(img, box)
        if rng.rand() < 0.5:
            crop = realdata.photometric(crop, rng)
        free = name in case_free_sets
        text = r.text.strip()
        out.append((crop, ascii_upper(text) if free else text, free))
    return out


def ascii_upper(text):
    """a-z to A-Z, nothing else: the case-free loss scores labels in capitals."""
    return "".join(chr(ord(c) - 32) if "a" <= c <= "z" else c for c in text)


def case_pairs(cs):
    """Class indices of A-Z and of a-z, pairwise."""
    upper = [cs.encode(chr(c))[0] for c in range(ord("A"), ord("Z") + 1)]
    lower = [cs.encode(chr(c))[0] for c in range(ord("a"), ord("z") + 1)]
    return torch.tensor(upper), torch.tensor(lower)


def fold_case(logits, case_free, upper, lower):
    """N x T x K logits -> T x N x K log-probabilities. For the samples
    flagged in case_free (N) each capital's probability becomes the sum of
    its two cases' (their labels hold capitals only), so either case of the
    glyph pays nothing.

    The sum alone is not neutral: its gradient raises the logit of the case
    already ahead by more than the other's, so over many such lines the
    network drifts towards whichever case it happens to favour (capitals, on
    receipts). Here the capital's logit becomes log(e^z_u + e^z_l) in value
    but passes its gradient to both logits in equal halves, and the
    lower-case class leaves these samples' softmax: the two logits then move
    together and their ratio, the case, learns nothing from these lines."""
    logits = logits.float()
    if bool(case_free.any()):
        up, low = logits[:, :, upper], logits[:, :, lower]
        mean = 0.5 * (up + low)
        merged = logits.clone()
        merged[:, :, upper] = mean + (torch.logaddexp(up, low) - mean).detach()
        merged[:, :, lower] = -1e4  # out of the softmax (-inf would give NaN gradients)
        logits = torch.where(case_free[:, None, None], merged, logits)
    return F.log_softmax(logits, dim=2).transpose(0, 1)


def pair_targets(logp):
    """T2 x N x K log-probabilities of a network with twice the output steps
    -> T2/2 x N x K probabilities, one per pair of steps: what either step
    gives each letter is added (a letter that the wider network places on
    one step of the pair lands on the pair's step; spread over both, it
    counts once), and the blank takes what is left. A lean or mid network
    learns these as soft targets from a plain one."""
    p = logp.exp()
    t = p.shape[0] // 2 * 2
    letters = p[0:t:2, :, 1:] + p[1:t:2, :, 1:]
    letters = letters / letters.sum(2, keepdim=True).clamp(min=1.0)
    blank = (1.0 - letters.sum(2, keepdim=True)).clamp(min=0.0)
    return torch.cat([blank, letters], 2)


def distill_loss(logp, soft):
    """Mean over steps and samples of KL(soft || exp(logp)), both T x N x K;
    the shorter of the two lengths is scored."""
    t = min(logp.shape[0], soft.shape[0])
    q = soft[:t]
    return (torch.xlogy(q, q) - q * logp[:t]).sum(2).mean()


def real_draw_probability(share, by_set, k=LINES_PER_IMAGE):
    """Probability of drawing a real image rather than one rendered line, so
    that a fraction `share` of all lines is real: a real draw gives up to k
    lines (as many as the image has), a rendered draw gives one."""
    if share <= 0.0 or not by_set:
        return 0.0
    if share >= 1.0:
        return 1.0
    w = np.array([REAL_WEIGHTS[n] for n in by_set], np.float64)
    lines = np.array([np.mean([min(k, len(image[1])) for image in by_set[n]]) for n in by_set])
    per_draw = float((w * lines).sum() / w.sum())
    return share / (share + per_draw * (1.0 - share))


# The recogniser's forms besides the plain one; a checkpoint records each
# as a flag, from which export.py rebuilds the network.
FORMS = ("fast", "lean", "mid", "slim", "tail")


def hanzi_span():
    """The classes of the dictionary's hanzi (one block): a slim network
    scores these through its rank-64 projection, the others in full."""
    cs = textgen.Charset()
    idx = sorted(cs.index[c] for c in cs.hanzi)
    if idx[-1] - idx[0] + 1 != len(idx):
        raise ValueError("the dictionary's hanzi are not one block")
    return idx[0], idx[-1] + 1


def slim_init(state):
    """A slim network's starting weights from a plain network's or from
    those of a slim one whose classes all went through the projection."""
    if "red.weight" not in state:
        return models.slim_state(state, hanzi_span())
    return state if "cls_lo.weight" in state else models.split_slim_state(state, hanzi_span())


def tail_init(rank):
    """How a tail network of the given classifier rank gets its starting
    weights from a plain network's (or its own)."""
    def convert(state):
        return state if "red.weight" in state or not rank else models.tail_state(state, rank)
    return convert


def rank_of(state):
    """The classifier rank of a tail network's weights (0: a full classifier)."""
    return state["red.weight"].shape[0] if "red.weight" in state else 0


def make_model(**form):
    low_rank = hanzi_span() if form.get("slim") else None
    return models.Recognizer(textgen.Charset().num_classes, low_rank=low_rank, **form)


class LineBatches(torch.utils.data.IterableDataset):
    """Endless stream of width-bucketed batches built inside the workers."""

    def __init__(self, batch, seed, step, real_share=REAL_SHARE, case_free_sets=CASE_FREE_SETS,
                 det_boxes=None, det_box_share=0.0, receipt_share=0.0):
        self.batch = batch
        self.receipt_share = receipt_share
        self.det_boxes = det_boxes
        self.det_box_share = det_box_share
        self.case_free_sets = case_free_sets
        self.seed = seed
        self.step = step
        self.real_share = real_share if realdata.available() else 0.0

    def __iter__(self):
        info = torch.utils.data.get_worker_info()
        wid = info.id if info is not None else 0
        rng = np.random.RandomState((self.seed * 7919 + wid * 104729) % (2 ** 31))
        cs = textgen.Charset()
        fonts = textgen.FontCache()
        by_set = real_regions(cs, "train", realdata.load_det_boxes(self.det_boxes)) if self.real_share else {}
        draw_real = real_draw_probability(self.real_share, by_set)
        textgen.use_photo_backgrounds(textgen.Photos(), PHOTO_BACKGROUND)
        group = 4
        pending = []
        while True:
            samples = []
            while len(samples) < self.batch * group:
                case_free = False
                if pending:
                    crop, text, case_free = pending.pop()
                elif rng.rand() < draw_real:
                    pending = real_lines(rng, by_set, LINES_PER_IMAGE, self.case_free_sets, self.det_box_share)
                    continue
                else:
                    r = rng.rand()
                    t, cjk = None, None
                    if r < SPACED_SHARE:
                        t = textgen.spaced_text(rng)
                    elif r < SPACED_SHARE + WORDS_SHARE:
                        t, cjk = textgen.latin_words(rng), False
                    elif r < SPACED_SHARE + WORDS_SHARE + self.receipt_share:
                        t, cjk = textgen.receipt_line(rng), False
                    crop, text = textgen.make_rec_sample(rng, cs, fonts, text=t, cjk=cjk)
                if rng.rand() < 0.2:
                    crop = low_resolution(crop, rng)
                w = math.ceil(48.0 * crop.shape[1] / crop.shape[0])
                label = cs.encode(text)
                # CTC needs at least len + repeats steps; leave slack.
                if w > MAX_W or len(label) * (8 // self.step) + 2 > max(w, 320) // self.step:
                    continue
                samples.append((w, crop, label, case_free))
            samples.sort(key=lambda s: s[0])
            order = rng.permutation(group)
            for g in order:
                part = samples[g * self.batch:(g + 1) * self.batch]
                x = textgen.rec_batch([s[1] for s in part])
                labels = [s[2] for s in part]
                yield (torch.from_numpy(x),
                       torch.tensor([c for l in labels for c in l], dtype=torch.long),
                       torch.tensor([len(l) for l in labels], dtype=torch.long),
                       torch.tensor([s[3] for s in part], dtype=torch.bool))


def make_val(seed, n_mixed, n_digits, n_real=0):
    rng = np.random.RandomState(seed)
    cs = textgen.Charset()
    fonts = textgen.FontCache()
    items = []
    if n_real and realdata.available():
        # Every k-th legible line of the validation images, cut with a
        # fixed margin of 7% of the line height, like a close detector box.
        lines = [(path, r) for images in real_regions(cs, "val").values()
                 for path, regions, _ in images for r in regions]
        read = None, None  # the lines come grouped by image: read each once
        for path, r in lines[::max(1, len(lines) // n_real)][:n_real]:
            if read[0] != path:
                read = path, cv2.imread(path, cv2.IMREAD_COLOR)
            img = read[1]
            box = realdata.offset_quad(r.quad, 0.07 * realdata.quad_size(r.quad)[1])
            crop = realdata.crop_region(img, r.quad if box is None else box)
            items.append(("real", textgen.rec_preprocess(crop), r.text.strip()))
    for _ in range(n_mixed):
        crop, text = textgen.make_rec_sample(rng, cs, fonts)
        items.append(("mixed", textgen.rec_preprocess(crop), text))
    for _ in range(n_digits):
        t = textgen._digit_dash(rng) if rng.rand() < 0.7 else textgen._phone(rng)
        crop, text = textgen.make_rec_sample(rng, cs, fonts, text=t, cjk=False)
        items.append(("digits", textgen.rec_preprocess(crop), text))
    return items


@torch.no_grad()
def evaluate(model, val, cs):
    model.eval()
    stats = {}
    for kind, x, text in val:
        probs = model(torch.from_numpy(x)[None])[0].numpy()
        pred = cs.decode_greedy(probs)
        s = stats.setdefault(kind, [0, 0, 0, 0])
        s[0] += 1
        s[1] += int(pred == text)
        s[2] += common.edit_distance(pred, text)
        s[3] += len(text)
    out = {}
    for k, (n, ok, ed, ln) in stats.items():
        out[k + "_acc"] = ok / float(n)
        out[k + "_cer"] = ed / float(max(ln, 1))
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--budget-min", type=float, default=95.0, help="total wall-clock training minutes")
    ap.add_argument("--threads", type=int, default=4)
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--batch", type=int, default=48)
    ap.add_argument("--lr", type=float, default=1.5e-3)
    ap.add_argument("--seed", type=int, default=1234)
    ap.add_argument("--ckpt-every-min", type=float, default=4.0)
    ap.add_argument("--val-every-min", type=float, default=8.0)
    ap.add_argument("--val-mixed", type=int, default=300)
    ap.add_argument("--val-digits", type=int, default=150)
    ap.add_argument("--fp32", action="store_true",
                    help="train in float32 (default: bfloat16 autocast, channels-last, about"
                         " twice as fast on CPUs with bfloat16 support)")
    ap.add_argument("--val-real", type=int, default=400)
    ap.add_argument("--tag", default="rec", help="file prefix inside work/")
    ap.add_argument("--init", default=None,
                    help="checkpoint whose (EMA) weights start a new run")
    ap.add_argument("--real-share", type=float, default=REAL_SHARE,
                    help="share of the training lines cut from the real sets")
    ap.add_argument("--no-case-free", action="store_true",
                    help="score the upper-cased receipt transcripts case by case (the earlier loss)")
    ap.add_argument("--case-free-all", action="store_true",
                    help="score the lines of every real set case-free, not only the upper-cased receipts")
    ap.add_argument("--fast", action="store_true",
                    help="the depthwise-separable network with output steps of 8 columns")
    ap.add_argument("--lean", action="store_true",
                    help="the plain network's layers pooled earlier, output steps of 8 columns"
                         " (starts from a plain network's weights with --init)")
    ap.add_argument("--mid", action="store_true",
                    help="the plain network's layers with the width halved at the second max-pool,"
                         " output steps of 8 columns (starts from a plain network's weights with --init)")
    ap.add_argument("--slim", action="store_true",
                    help="fewer channels at 12 rows, the hanzi scored through a rank-64 projection,"
                         " output steps of 4 columns"
                         " (starts from a plain network's weights with --init)")
    ap.add_argument("--tail", action="store_true",
                    help="the plain network's convolutions, the width halved after the last one (output"
                         " steps of 8 columns), the classifier through a projection (--tail-rank)"
                         " (starts from a plain network's weights with --init)")
    ap.add_argument("--tail-rank", type=int, default=models.Recognizer.SLIM_RANK,
                    help="the size of a --tail network's projection before the classifier (0: none)")
    ap.add_argument("--teacher", default=None,
                    help="a plain recogniser checkpoint whose outputs a --slim network learns as"
                         " well as the labels (a --lean, --mid or --tail one: those of its step pairs)")
    ap.add_argument("--distill", type=float, default=1.0,
                    help="weight of the loss against the teacher's outputs (with --teacher)")
    ap.add_argument("--det-boxes", default=None,
                    help="the detector's boxes on the training images (det_boxes.py output)")
    ap.add_argument("--det-box-share", type=float, default=0.5,
                    help="share of the real lines with a detector box that are cut from it")
    ap.add_argument("--receipt-share", type=float, default=0.0,
                    help="share of rendered receipt dates and amounts (\"DATE: 02/JAN/2017 10:49\", "
                         "\"GRAND TOTAL RM 53.14\") among all lines")
    ap.add_argument("--channels", default="",
                    help="channels of the five convolution stages, e.g. 32,96,144,192,256 (default: those of "
                         "models.Recognizer); with --init a wider network computes what the --init network "
                         "does until training moves its new channels")
    ap.add_argument("--reset-best", action="store_true",
                    help="forget the best score of the checkpoint (after a change of the val set)")
    args = ap.parse_args()
    widths = common.parse_channel_counts(args.channels, 5, "the convolution stages") if args.channels else None
    if not 0.0 <= args.receipt_share <= 1.0 - SPACED_SHARE - WORDS_SHARE:
        ap.error("--receipt-share must lie between 0 and %.2f" % (1.0 - SPACED_SHARE - WORDS_SHARE))

    if args.teacher and not (args.lean or args.mid or args.slim or args.tail):
        ap.error("--teacher teaches a --lean, --mid, --slim or --tail network")

    log, last_path, best_path = common.start_run(args.tag, args.threads, args.seed)

    cs = textgen.Charset()
    form = {f: getattr(args, f) for f in FORMS}
    if widths:
        form["ch"] = widths
    model = make_model(tail_rank=args.tail_rank, **form)
    if not args.fp32:
        model = model.to(memory_format=torch.channels_last)
    opt = torch.optim.AdamW(model.parameters(), lr=args.lr, weight_decay=1e-4)
    ema = common.EMA(model)
    step, elapsed, best = common.resume(last_path, model, opt, ema, log)
    if step == 0 and args.init:
        # A slim or tail network starts from a plain one's weights through
        # slim_state() or tail_state().
        common.init_from(args.init, model, ema, log, resize=bool(widths),
                         convert=slim_init if args.slim else tail_init(args.tail_rank) if args.tail else None)
    if args.reset_best:
        best = -1.0
    budget = args.budget_min * 60.0
    if elapsed >= budget:
        log("budget already used up (%.1f min)" % (elapsed / 60))
        return
    log("recogniser: %d classes, %.2fM params, batch %d, threads %d, workers %d, %s, budget %.0f min"
        % (cs.num_classes, sum(p.numel() for p in model.parameters()) / 1e6, args.batch,
           args.threads, args.workers, "fp32" if args.fp32 else "bf16", args.budget_min))

    teacher = None
    if args.teacher:
        teacher = make_model()  # the plain network, run under no_grad only
        teacher.load_state_dict(common.checkpoint_weights(args.teacher))
        teacher.eval()
        if not args.fp32:
            teacher = teacher.to(memory_format=torch.channels_last)
        log("teacher %s, weight %g" % (args.teacher, args.distill))

    val = make_val(args.seed + 999, args.val_mixed, args.val_digits, args.val_real)
    # Resuming continues with fresh data rather than replaying the same stream.
    case_free_sets = () if args.no_case_free else tuple(REAL_WEIGHTS) if args.case_free_all else CASE_FREE_SETS
    ds = LineBatches(args.batch, args.seed + step, model.step(), real_share=args.real_share,
                     case_free_sets=case_free_sets, det_boxes=args.det_boxes,
                     det_box_share=args.det_box_share if args.det_boxes else 0.0,
                     receipt_share=args.receipt_share)
    dl = torch.utils.data.DataLoader(ds, batch_size=None, num_workers=args.workers,
                                     prefetch_factor=4 if args.workers else 2,
                                     persistent_workers=False)
    ctc = torch.nn.CTCLoss(blank=0, zero_infinity=True)
    upper, lower = case_pairs(cs)
    start = time.time() - elapsed
    run_loss, run_n, t_data, t_step = 0.0, 0, 0.0, 0.0
    skipped = redone = 0

    def snapshot():
        return {"model": model.state_dict(), "opt": opt.state_dict(), "ema": ema.state,
                "step": step, "elapsed": time.time() - start, "best": best,
                "classes": cs.num_classes, **form}

    def validate():
        nonlocal best
        m = common.evaluate_ema(model, ema, lambda net: evaluate(net, val, cs))
        score = m.get("mixed_acc", 0) + m.get("digits_acc", 0) + m.get("real_acc", 0)
        log("val step %d: %s" % (step, " ".join("%s=%.4f" % kv for kv in sorted(m.items()))))
        if score > best:
            best = score
            common.save_atomic({"ema": ema.state, "model": model.state_dict(), "step": step,
                                "metrics": m, "classes": cs.num_classes, **form}, best_path)
            log("new best (%.4f) -> %s" % (score, best_path))

    def backward(batch, bf16):
        """Loss and gradients of one batch; returns (loss, gradient norm
        before clipping)."""
        x, targets, tlen, case_free = batch
        with torch.autocast("cpu", dtype=torch.bfloat16, enabled=bf16):
            logits = model.logits(x)                   # N x T x K
        logp = fold_case(logits, case_free, upper, lower)
        T, N = logp.shape[0], logp.shape[1]
        loss = ctc(logp, targets, torch.full((N,), T, dtype=torch.long), tlen)
        if teacher is not None:
            with torch.no_grad(), torch.autocast("cpu", dtype=torch.bfloat16, enabled=bf16):
                soft = teacher.logits(x)
            soft = fold_case(soft, case_free, upper, lower)
            # A network with the teacher's steps learns its distributions as
            # they are; one with half the steps, those of the step pairs.
            soft = soft.exp() if model.step() == teacher.step() else pair_targets(soft)
            loss = loss + args.distill * distill_loss(logp, soft)
        opt.zero_grad(set_to_none=True)
        loss.backward()
        return loss, torch.nn.utils.clip_grad_norm_(model.parameters(), 5.0)

    val_timer = common.Every(args.val_every_min, validate)
    ckpt_timer = common.Every(args.ckpt_every_min, lambda: common.save_atomic(snapshot(), last_path))
    model.train()
    it = iter(dl)
    while True:
        now = time.time()
        if now - start >= budget:
            break
        ta = time.time()
        x, targets, tlen, case_free = next(it)
        tb = time.time()
        for g in opt.param_groups:
            g["lr"] = common.lr_at((now - start) / budget, step, args.lr)
        if not args.fp32:
            x = x.contiguous(memory_format=torch.channels_last)
        batch = (x, targets, tlen, case_free)
        loss, norm = backward(batch, not args.fp32)
        if not torch.isfinite(norm) and not args.fp32:
            # The bfloat16 backward pass gives non-finite gradients on some
            # wide batches (900-1024 columns, seen on one CPU): such a batch
            # is run again in float32 rather than dropped, so that long
            # lines keep training.
            redone += 1
            loss, norm = backward(batch, False)
        if not torch.isfinite(norm):
            # One non-finite step would turn every weight into NaN.
            skipped += 1
            log("batch skipped: non-finite gradient (width %d, longest label %d)" % (x.shape[3], int(tlen.max())))
            continue
        opt.step()
        ema.update(model, step)
        step += 1
        t_data += tb - ta
        t_step += time.time() - tb
        run_loss += float(loss)
        run_n += 1
        if step % 50 == 0:
            log("step %d loss %.4f lr %.2e W %d | data %.3fs step %.3fs | %.1f min | %d batches redone in fp32, %d skipped"
                % (step, run_loss / run_n, opt.param_groups[0]["lr"], x.shape[3],
                   t_data / run_n, t_step / run_n, (time.time() - start) / 60, redone, skipped))
            run_loss, run_n, t_data, t_step = 0.0, 0, 0.0, 0.0
        val_timer.poll()
        ckpt_timer.poll()
    validate()
    common.save_atomic(snapshot(), last_path)
    log("finished: step %d, %.1f min, best %.4f" % (step, (time.time() - start) / 60, best))


if __name__ == "__main__":
    main()
