#!/usr/bin/python3
"""Trains the line recogniser (CTC) on real line crops mixed with lines
rendered on the fly, as one run named by its config file:

    tools/train/train_rec.py tools/train/configs/rec.json [--smoke]

The run's dictionary is the config's "dict" file in the training directory
(written by make_dict.py) and is kept in every checkpoint. The run lives in its own directory under
the training directory (see common.TRAIN_DIR): it resumes from its last
checkpoint there, else from the committed snapshot of the same run, else
starts from the config's "init" weights (every tensor whose shape fits) or
from nothing. It stops when its wall-clock budget, summed over every
resumed session, is used up. Every "val_every_min" it reads the real
validation lines of every set, rendered lines and lines in held-out fonts,
and appends the figures to its curve.
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

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
MAX_W = 1024  # widest training line after resizing to height 48
LINES_PER_IMAGE = 6  # real lines cut from one decoded image at most
DEFAULTS = {
    "form": {}, "init": None, "dict": None, "budget_min": 720.0, "threads": 3, "workers": 2, "batch": 48,
    "lr": 1e-3, "warmup": 300, "seed": 1234, "ckpt_every_min": 5.0, "val_every_min": 30.0,
    "val_real": 600, "val_rendered": 300, "val_heldout": 300, "val_digits": 150,
    "real_share": 0.5, "set_weights": {"sroie_train": 0.35, "funsd_train": 0.35, "icdar2015_train": 0.3},
    # Sets whose transcripts are upper-cased throughout (the receipts: not
    # one lower-case letter in 30,847 lines, while they print "Total"): their
    # lines teach the letters but not the case (see fold_case).
    "case_free_sets": ["sroie_train", "funsd_train", "icdar2015_train"],
    "spaced_share": 0.05, "words_share": 0.15, "receipt_share": 0.05, "columns": 0.04, "photo_text": 0.2,
    "low_res": 0.2, "val_columns": 100,
    "fp32": False, "curve": None,
}


def real_regions(cs, split, names):
    """{set: [(image path, [regions with a transcript the dictionary holds])]}."""
    out = {}
    for name in names:
        images = []
        for path, regions in realdata.load_set(name, split):
            keep = []
            for r in regions:
                if not r.transcribed:
                    continue
                try:
                    cs.encode(r.text.strip())
                except KeyError:
                    continue
                keep.append(r)
            if keep:
                images.append((path, keep))
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
    return cv2.resize(crop, (max(1, int(round(crop.shape[1] * f))), max(1, int(round(h * f)))),
                      interpolation=cv2.INTER_AREA)


def real_lines(rng, by_set, weights, k, case_free_sets):
    """Up to k (crop, text, case-free) triples cut as the library cuts them
    from one real image: from the annotated box grown and jittered."""
    names = [n for n in weights if by_set.get(n)]
    p = np.array([weights[n] for n in names])
    name = names[rng.choice(len(names), p=p / p.sum())]
    path, regions = by_set[name][rng.randint(len(by_set[name]))]
    img = cv2.imread(path, cv2.IMREAD_COLOR)
    out = []
    for i in rng.permutation(len(regions))[:k]:
        r = regions[i]
        crop = realdata.crop_region(img, realdata.library_box(r.quad, rng))
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
    """The class ranges of A-Z and of a-z, as slices: the dictionary lists
    printable ASCII in order, so each is one block."""
    upper, lower = cs.encode("A")[0], cs.encode("a")[0]
    if cs.encode("AZaz") != [upper, upper + 25, lower, lower + 25] or lower < upper + 26:
        raise ValueError("the dictionary does not list A-Z and a-z as two blocks")
    return slice(upper, upper + 26), slice(lower, lower + 26)


class _FoldCase(torch.autograd.Function):
    """log_softmax over the classes of N x T x K scores, with the case
    folded in the flagged samples (see fold_case), written out by hand: with
    thousands of classes every full-size copy of the scores costs as much as
    the network, and autograd's slicing would make several."""

    @staticmethod
    def forward(ctx, logits, case_free, upper, lower):
        z = logits.float().clone() if logits.dtype == torch.float32 else logits.float()
        rows = case_free.nonzero()[:, 0]
        if len(rows):
            up, low = z[rows, :, upper], z[rows, :, lower]
            z[rows, :, upper] = torch.logaddexp(up, low)
            z[rows, :, lower] = -1e4  # out of the softmax (-inf would give NaN gradients)
        out = torch.log_softmax(z, dim=2)
        ctx.save_for_backward(out, rows)
        ctx.dtype, ctx.upper, ctx.lower = logits.dtype, upper, lower
        return out

    @staticmethod
    def backward(ctx, g):
        out, rows = ctx.saved_tensors
        grad = g - out.exp() * g.sum(2, keepdim=True)
        if len(rows):
            # The merged capital passes its gradient to both cases in equal
            # halves; the lower case, out of the softmax, adds none of its own.
            half = 0.5 * grad[rows, :, ctx.upper]
            grad[rows, :, ctx.upper] = half
            grad[rows, :, ctx.lower] = half
        return grad.to(ctx.dtype), None, None, None


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
    return _FoldCase.apply(logits, case_free, upper, lower).transpose(0, 1)


def real_draw_probability(share, by_set, weights, k=LINES_PER_IMAGE):
    """Probability of drawing a real image rather than one rendered line, so
    that a fraction `share` of all lines is real: a real draw gives up to k
    lines (as many as the image has), a rendered draw gives one."""
    names = [n for n in weights if by_set.get(n)]
    if share <= 0.0 or not names:
        return 0.0
    if share >= 1.0:
        return 1.0
    w = np.array([weights[n] for n in names], np.float64)
    lines = np.array([np.mean([min(k, len(image[1])) for image in by_set[n]]) for n in names])
    per_draw = float((w * lines).sum() / w.sum())
    return share / (share + per_draw * (1.0 - share))


def rendered_line(rng, cfg, cs, fonts):
    """One rendered (crop, text): standing Chinese lines, numbers and codes,
    Latin words, receipt lines or the renderer's mixed text, in the shares
    the config gives."""
    if rng.rand() < cfg["columns"]:
        return textgen.make_column_rec_sample(rng, cs, fonts)
    r = rng.rand()
    t, cjk = None, None
    if r < cfg["spaced_share"]:
        t = textgen.spaced_text(rng)
    elif r < cfg["spaced_share"] + cfg["words_share"]:
        t, cjk = textgen.latin_words(rng), False
    elif r < cfg["spaced_share"] + cfg["words_share"] + cfg["receipt_share"]:
        t, cjk = textgen.receipt_line(rng), False
    return textgen.make_rec_sample(rng, cs, fonts, text=t, cjk=cjk)


class LineBatches(torch.utils.data.IterableDataset):
    """Endless stream of width-bucketed batches built inside the workers."""

    def __init__(self, cfg, seed, step):
        self.cfg = cfg
        self.seed = seed
        self.step = step
        self.real_share = cfg["real_share"] if realdata.available() else 0.0

    def __iter__(self):
        cfg = self.cfg
        info = torch.utils.data.get_worker_info()
        wid = info.id if info is not None else 0
        rng = np.random.RandomState((self.seed * 7919 + wid * 104729) % (2 ** 31))
        cs = textgen.Charset(cfg["dict_path"])
        fonts = textgen.FontCache()
        by_set = real_regions(cs, "train", cfg["set_weights"]) if self.real_share else {}
        draw_real = real_draw_probability(self.real_share, by_set, cfg["set_weights"])
        textgen.use_photo_backgrounds(textgen.Photos(), cfg["photo_text"])
        group = 4
        pending = []
        while True:
            samples = []
            while len(samples) < cfg["batch"] * group:
                case_free = False
                if pending:
                    crop, text, case_free = pending.pop()
                elif rng.rand() < draw_real:
                    pending = real_lines(rng, by_set, cfg["set_weights"], LINES_PER_IMAGE, cfg["case_free_sets"])
                    continue
                else:
                    crop, text = rendered_line(rng, cfg, cs, fonts)
                if rng.rand() < cfg["low_res"]:
                    crop = low_resolution(crop, rng)
                w = math.ceil(48.0 * crop.shape[1] / crop.shape[0])
                try:
                    label = cs.encode(text)
                except KeyError:  # a character the run's dictionary lacks
                    continue
                # CTC needs at least len + repeats steps; leave slack.
                if w > MAX_W or len(label) * 2 + 2 > max(w, 320) // self.step:
                    continue
                samples.append((w, crop, label, case_free))
            samples.sort(key=lambda s: s[0])
            for g in rng.permutation(group):
                part = samples[g * cfg["batch"]:(g + 1) * cfg["batch"]]
                x = textgen.rec_batch([s[1] for s in part])
                labels = [s[2] for s in part]
                yield (torch.from_numpy(x),
                       torch.tensor([c for l in labels for c in l], dtype=torch.long),
                       torch.tensor([len(l) for l in labels], dtype=torch.long),
                       torch.tensor([s[3] for s in part], dtype=torch.bool))


def make_val(cfg, cs):
    """[(kind, input, text)]: real validation lines of every set (every k-th
    legible line, cut with a fixed margin of 7% of the line height, like a
    close detector box), rendered lines in the training fonts and in the
    held-out fonts, and rendered digit lines."""
    rng = np.random.RandomState(cfg["seed"] + 999)
    fonts = textgen.FontCache()
    items = []
    if cfg["val_real"] and realdata.available():
        regions = real_regions(cs, "val", cfg["set_weights"])
        for name, images in regions.items():
            lines = [(path, r) for path, regs in images for r in regs]
            n = cfg["val_real"] // len(regions)
            read = None, None  # the lines come grouped by image: read each once
            for path, r in lines[::max(1, len(lines) // n)][:n]:
                if read[0] != path:
                    read = path, cv2.imread(path, cv2.IMREAD_COLOR)
                box = realdata.offset_quad(r.quad, 0.07 * realdata.quad_size(r.quad)[1])
                crop = realdata.crop_region(read[1], r.quad if box is None else box)
                items.append((name.split("_")[0], textgen.rec_preprocess(crop), r.text.strip()))
    for kind, n, train in (("rendered", cfg["val_rendered"], True), ("heldout", cfg["val_heldout"], False)):
        for _ in range(n):
            crop, text = textgen.make_rec_sample(rng, cs, fonts, train=train)
            items.append((kind, textgen.rec_preprocess(crop), text))
    for _ in range(cfg["val_columns"]):
        crop, text = textgen.make_column_rec_sample(rng, cs, fonts, train=False)
        items.append(("columns", textgen.rec_preprocess(crop), text))
    for _ in range(cfg["val_digits"]):
        t = textgen._digit_dash(rng) if rng.rand() < 0.7 else textgen._phone(rng)
        crop, text = textgen.make_rec_sample(rng, cs, fonts, text=t, cjk=False)
        items.append(("digits", textgen.rec_preprocess(crop), text))
    return items


@torch.no_grad()
def evaluate(model, val, cs):
    """Per kind of line: exact-line accuracy and character error rate, both
    with case folded (the receipts' transcripts are all capitals), and the
    case-sensitive error rate."""
    model.eval()
    stats = {}
    for kind, x, text in val:
        pred = cs.decode_greedy(model(torch.from_numpy(x)[None])[0].numpy())
        s = stats.setdefault(kind, np.zeros(5))
        s += [1, pred.upper() == text.upper(), common.edit_distance(pred.upper(), text.upper()),
              common.edit_distance(pred, text), len(text)]
    out = {}
    for k, (n, ok, ed, ed_case, ln) in stats.items():
        out[k + "_acc"] = ok / n
        out[k + "_cer"] = ed / max(ln, 1)
        out[k + "_case_cer"] = ed_case / max(ln, 1)
    return out


def start_weights(cfg, model, opt, ema, log, last_path):
    """Where a run starts: its last checkpoint, else the committed snapshot
    of the same run, else the config's init weights. Returns (step, elapsed
    seconds, best score)."""
    if os.path.exists(last_path):
        return common.resume(last_path, model, opt, ema, log)
    init = cfg["init"] and os.path.join(ROOT, cfg["init"])
    if init and os.path.exists(init):
        if torch.load(init, map_location="cpu").get("run") == cfg["name"]:
            return common.resume(init, model, opt, ema, log)
        common.init_from(init, model, ema, log)
    elif init:
        raise SystemExit("init weights %s not found" % init)
    return 0, 0.0, -1.0


def run_dictionary(cfg, last_path):
    """The run's dictionary file: the one its checkpoint or committed
    snapshot holds when it resumes (a later dictionary must not reorder a
    trained classifier), else the config's."""
    path = os.path.join(cfg["dir"], "dict.txt")
    init = cfg["init"] and os.path.join(ROOT, cfg["init"])
    snapshot = torch.load(init, map_location="cpu") if init and os.path.exists(init) else {}
    if os.path.exists(last_path):
        entries = torch.load(last_path, map_location="cpu")["dict"]
    elif snapshot.get("run") == cfg["name"]:
        entries = snapshot["dict"]
    elif cfg["dict"]:
        entries = textgen.load_dict(os.path.join(common.TRAIN_DIR, cfg["dict"]))
    else:
        raise SystemExit("the config names no dictionary (\"dict\")")
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(entries) + "\n")
    return path


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("config", help="the run's config file (JSON)")
    ap.add_argument("--smoke", action="store_true", help="the config's smoke settings: a few steps, a small check")
    args = ap.parse_args()
    cfg = dict(DEFAULTS)
    cfg.update(common.load_config(args.config, args.smoke))
    log, last_path, best_path = common.start_run(cfg)
    cfg["dict_path"] = run_dictionary(cfg, last_path)
    cs = textgen.Charset(cfg["dict_path"])

    model = models.Recognizer(cs.num_classes, **{k: tuple(v) if isinstance(v, list) else v
                                                 for k, v in cfg["form"].items()})
    if not cfg["fp32"]:
        model = model.to(memory_format=torch.channels_last)
    opt = torch.optim.AdamW(model.parameters(), lr=cfg["lr"], weight_decay=1e-4)
    ema = common.EMA(model)
    step, elapsed, best = start_weights(cfg, model, opt, ema, log, last_path)
    budget = cfg["budget_min"] * 60.0
    if elapsed >= budget:
        log("budget already used up (%.1f min)" % (elapsed / 60))
        return
    log("recogniser %s: %d classes, %.2fM params, batch %d, threads %d, workers %d, %s, budget %.0f min"
        % (cfg["name"], cs.num_classes, sum(p.numel() for p in model.parameters()) / 1e6, cfg["batch"],
           cfg["threads"], cfg["workers"], "fp32" if cfg["fp32"] else "bf16", cfg["budget_min"]))

    val = make_val(cfg, cs)
    curve = common.Curve(os.path.join(cfg["dir"], "curve.csv"), cfg["curve"] and os.path.join(ROOT, cfg["curve"]))
    # Resuming continues with fresh data rather than replaying the same stream.
    ds = LineBatches(cfg, cfg["seed"] + step, 4)
    dl = torch.utils.data.DataLoader(ds, batch_size=None, num_workers=cfg["workers"],
                                     prefetch_factor=4 if cfg["workers"] else 2)
    ctc = torch.nn.CTCLoss(blank=0, zero_infinity=True)
    upper, lower = case_pairs(cs)
    start = time.time() - elapsed
    run_loss, run_n, t_data, t_step = 0.0, 0, 0.0, 0.0
    skipped = redone = 0

    def snapshot():
        return {"model": model.state_dict(), "opt": opt.state_dict(), "ema": ema.state, "form": model.form(),
                "dict": cs.entries, "step": step, "elapsed": time.time() - start, "best": best}

    def validate():
        nonlocal best
        m = common.evaluate_ema(model, ema, lambda net: evaluate(net, val, cs))
        score = float(np.mean([v for k, v in m.items() if k.endswith("_acc")]))
        log("val step %d: %s" % (step, " ".join("%s=%.4f" % kv for kv in sorted(m.items()))))
        curve.add({"time": time.strftime("%Y-%m-%d %H:%M", time.gmtime()), "step": step,
                   "hours": (time.time() - start) / 3600.0, **m, "score": score})
        if score > best:
            best = score
            common.save_atomic({"ema": ema.state, "model": model.state_dict(), "step": step, "form": model.form(),
                                "dict": cs.entries, "metrics": m}, best_path)
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
        opt.zero_grad(set_to_none=True)
        loss.backward()
        return loss, torch.nn.utils.clip_grad_norm_(model.parameters(), 5.0)

    val_timer = common.Every(cfg["val_every_min"], validate)
    ckpt_timer = common.Every(cfg["ckpt_every_min"], lambda: common.save_atomic(snapshot(), last_path))
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
            g["lr"] = common.lr_at((now - start) / budget, step, cfg["lr"], warmup=cfg["warmup"])
        if not cfg["fp32"]:
            x = x.contiguous(memory_format=torch.channels_last)
        batch = (x, targets, tlen, case_free)
        loss, norm = backward(batch, not cfg["fp32"])
        if not torch.isfinite(norm) and not cfg["fp32"]:
            # The bfloat16 backward pass gives non-finite gradients on some
            # wide batches (seen on one CPU): such a batch is run again in
            # float32 rather than dropped, so that long lines keep training.
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
            log("step %d loss %.4f lr %.2e W %d | data %.3fs step %.3fs | %.1f min | %d batches redone in fp32, "
                "%d skipped" % (step, run_loss / run_n, opt.param_groups[0]["lr"], x.shape[3], t_data / run_n,
                                t_step / run_n, (time.time() - start) / 60, redone, skipped))
            run_loss, run_n, t_data, t_step = 0.0, 0, 0.0, 0.0
        val_timer.poll()
        ckpt_timer.poll()
    validate()
    common.save_atomic(snapshot(), last_path)
    log("finished: step %d, %.1f min, best %.4f" % (step, (time.time() - start) / 60, best))


if __name__ == "__main__":
    main()
