#!/usr/bin/python3
"""Trains the line recogniser (CTC) on real line crops mixed with lines
rendered on the fly, as one run named by its config file (see README.md):

    tools/train/train_rec.py tools/train/configs/rec.json [--smoke]

The run's dictionary is the config's "dict" file in the training directory
(written by make_dict.py), and every checkpoint keeps it.
"""
import math
import os
import sys

import cv2
import numpy as np
import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
import models  # noqa: E402
import realdata  # noqa: E402
import textgen  # noqa: E402

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
    "low_res": 0.2, "val_columns": 100, "hanzi_share": 0.0, "val_pages": 0, "curve": None,
}


def real_regions(cs, split, names):
    """{set: [(image path, [regions with a transcript the dictionary holds])]}."""
    out = {}
    for name in names:
        images = [(path, [r for r in regions if r.transcribed and cs.holds(r.text.strip())])
                  for path, regions in realdata.load_set(name, split)]
        out[name] = [image for image in images if image[1]]
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
    name = realdata.pick_set(rng, weights, [n for n in weights if by_set.get(n)])
    path, regions = by_set[name][rng.randint(len(by_set[name]))]
    img = cv2.imread(path, cv2.IMREAD_COLOR)
    out = []
    for i in rng.permutation(len(regions))[:k]:
        r = regions[i]
        crop = textgen.crop_quad(img, realdata.library_box(r.quad, rng))
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
    its two cases' (their labels hold capitals only), so either case pays
    nothing. The sum alone is not neutral: its gradient raises the case
    already ahead more, and the network drifts towards whichever case it
    favours (capitals, on receipts). So the capital's logit becomes
    log(e^z_u + e^z_l) in value but passes its gradient to both logits in
    equal halves, and the lower case leaves these samples' softmax: the
    ratio of the two, the case, learns nothing from these lines."""
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
    if rng.rand() < cfg["hanzi_share"]:
        t, cjk = textgen.hanzi_line(rng, cs), True
    elif r < cfg["spaced_share"]:
        t = textgen.spaced_text(rng)
    elif r < cfg["spaced_share"] + cfg["words_share"]:
        t, cjk = textgen.latin_words(rng), False
    elif r < cfg["spaced_share"] + cfg["words_share"] + cfg["receipt_share"]:
        t, cjk = textgen.receipt_line(rng), False
    return textgen.make_rec_sample(rng, cs, fonts, text=t, cjk=cjk)


class LineBatches(torch.utils.data.IterableDataset):
    """Endless stream of width-bucketed batches built inside the workers."""

    def __init__(self, cfg, seed, step):
        self.cfg, self.seed, self.step = cfg, seed, step
        self.real_share = cfg["real_share"] if realdata.available() else 0.0

    def __iter__(self):
        cfg = self.cfg
        wid = getattr(torch.utils.data.get_worker_info(), "id", 0)  # 0 in the main process
        rng = np.random.RandomState((self.seed * 7919 + wid * 104729) % (2 ** 31))
        cs, fonts = textgen.Charset(cfg["dict_path"]), textgen.FontCache()
        by_set = real_regions(cs, "train", cfg["set_weights"]) if self.real_share else {}
        draw_real = real_draw_probability(self.real_share, by_set, cfg["set_weights"])
        textgen.use_photo_backgrounds(textgen.Photos(), cfg["photo_text"])
        group, pending = 4, []
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
                labels = [s[2] for s in part]
                yield (torch.from_numpy(textgen.rec_batch([s[1] for s in part])),
                       torch.tensor([c for l in labels for c in l], dtype=torch.long),
                       torch.tensor([len(l) for l in labels], dtype=torch.long),
                       torch.tensor([s[3] for s in part], dtype=torch.bool))


HELDOUT_PAGES = os.path.join(common.ROOT, "tests", "heldout")


def heldout_page_lines(folder=HELDOUT_PAGES):
    """[(image path, quad, text)] of the transcribed lines of the held-out
    pages' "gt.tsv" (see tools/eval), in its order."""
    out = []
    with open(os.path.join(folder, "gt.tsv"), encoding="utf-8") as f:
        for row in f.read().splitlines():
            cols = row.split("\t")
            if len(cols) < 3 or not cols[1] or not cols[2] or cols[3:4] in (["ignore"], ["notext"]):
                continue
            quad = np.array(cols[1].split(","), np.float32).reshape(4, 2)
            out.append((os.path.join(folder, cols[0]), quad, cols[2]))
    return out


def close_cut(img, quad):
    """The line of `quad` cut out with a margin of 7% of its height on every
    side, as a close detector box would give it."""
    box = realdata.offset_quad(quad, 0.07 * realdata.quad_size(quad)[1])
    return textgen.crop_quad(img, quad if box is None else box)


def make_val(cfg, cs):
    """[(kind, input, text)]: real validation lines of every set (every k-th
    legible line, cut with a margin of 7% of its height, like a close
    detector box), the lines of the held-out pages, rendered lines in the
    training and the held-out fonts, standing Chinese lines and digit
    lines."""
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
                items.append((name.split("_")[0], textgen.rec_preprocess(close_cut(read[1], r.quad)), r.text.strip()))
    if cfg["val_pages"]:
        # The committed held-out pages, every line cut as the real lines are:
        # a fixed set, rendered once with a held-out face and text drawn
        # uniformly from the first dictionary's characters.
        pages = {}  # each page read once
        for path, quad, text in heldout_page_lines()[:cfg["val_pages"]]:
            if path not in pages:
                pages[path] = cv2.imread(path, cv2.IMREAD_COLOR)
            items.append(("pages", textgen.rec_preprocess(close_cut(pages[path], quad)), text))
    digits = lambda: textgen._digit_dash(rng) if rng.rand() < 0.7 else textgen._phone(rng)  # noqa: E731
    for kind, make in (("rendered", lambda: textgen.make_rec_sample(rng, cs, fonts)),
                       ("heldout", lambda: textgen.make_rec_sample(rng, cs, fonts, train=False)),
                       ("columns", lambda: textgen.make_column_rec_sample(rng, cs, fonts, train=False)),
                       ("digits", lambda: textgen.make_rec_sample(rng, cs, fonts, text=digits(), cjk=False))):
        for _ in range(cfg["val_" + kind]):
            crop, text = make()
            items.append((kind, textgen.rec_preprocess(crop), text))
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
    return {k + name: v for k, (n, ok, ed, ed_case, ln) in stats.items()
            for name, v in (("_acc", ok / n), ("_cer", ed / max(ln, 1)), ("_case_cer", ed_case / max(ln, 1)))}


def run_dictionary(cfg, last_path):
    """The run's dictionary file: the one its checkpoint or committed
    snapshot holds when it resumes (a later dictionary must not reorder a
    trained classifier), else the config's."""
    path = os.path.join(cfg["dir"], "dict.txt")
    init = cfg["init"] and os.path.join(common.ROOT, cfg["init"])
    snapshot = torch.load(init, map_location="cpu") if init and os.path.exists(init) else {}
    if os.path.exists(last_path):
        entries = torch.load(last_path, map_location="cpu")["dict"]
    elif snapshot.get("run") == cfg["name"]:
        entries = snapshot["dict"]
    elif cfg["dict"]:
        entries = textgen.load_dict(os.path.join(common.TRAIN_DIR, cfg["dict"]))
    else:
        raise SystemExit("the config names no dictionary (\"dict\")")
    textgen.save_dict(path, entries)
    return path


def main():
    cfg = common.run_config(__doc__, DEFAULTS)
    log, last_path = common.start_run(cfg)
    cfg["dict_path"] = run_dictionary(cfg, last_path)
    cs = textgen.Charset(cfg["dict_path"])
    model = models.Recognizer(cs.num_classes, **{k: tuple(v) if isinstance(v, list) else v
                                                 for k, v in cfg["form"].items()})
    ctc = torch.nn.CTCLoss(blank=0, zero_infinity=True)
    upper, lower = case_pairs(cs)
    redone = skipped = 0

    def prepare():
        val = make_val(cfg, cs)

        def figures(net):
            m = evaluate(net, val, cs)
            return m, float(np.mean([v for k, v in m.items() if k.endswith("_acc")]))
        return figures

    def backward(batch, bf16):
        """Gradients of one batch; returns (loss, gradient norm before clipping)."""
        x, targets, tlen, case_free = batch
        with torch.autocast("cpu", dtype=torch.bfloat16, enabled=bf16):
            logits = model.logits(x)                   # N x T x K
        logp = fold_case(logits, case_free, upper, lower)
        T, N = logp.shape[0], logp.shape[1]
        loss = ctc(logp, targets, torch.full((N,), T, dtype=torch.long), tlen)
        model.zero_grad(set_to_none=True)
        loss.backward()
        return loss, torch.nn.utils.clip_grad_norm_(model.parameters(), 5.0)

    def train_step(batch):
        nonlocal redone, skipped
        x, targets, tlen, case_free = batch
        batch = (x.contiguous(memory_format=torch.channels_last), targets, tlen, case_free)
        loss, norm = backward(batch, True)
        if not torch.isfinite(norm):
            # The bfloat16 backward pass gives non-finite gradients on some
            # wide batches (seen on one CPU): such a batch is run again in
            # float32 rather than dropped, so that long lines keep training.
            redone += 1
            loss, norm = backward(batch, False)
        if not torch.isfinite(norm):
            # One non-finite step would turn every weight into NaN.
            skipped += 1
            log("batch skipped: non-finite gradient (width %d, longest label %d)" % (x.shape[3], int(tlen.max())))
            return None
        return [float(loss)]

    def report(step, r, lr, batch, data, took, minutes):
        return ("step %d loss %.4f lr %.2e W %d | data %.3fs step %.3fs | %.1f min | %d batches redone in fp32, "
                "%d skipped" % (step, r[0], lr, batch[0].shape[3], data, took, minutes, redone, skipped))

    header = ("recogniser %s: %d classes, %.2fM params, batch %d, threads %d, workers %d, bf16, budget %.0f min"
              % (cfg["name"], cs.num_classes, sum(p.numel() for p in model.parameters()) / 1e6, cfg["batch"],
                 cfg["threads"], cfg["workers"], cfg["budget_min"]))
    # Resuming continues with fresh data rather than replaying the same stream.
    common.train(cfg, model, log, header, prepare, lambda step: LineBatches(cfg, cfg["seed"] + step, 4), train_step,
                 report, 50, extra={"dict": cs.entries})


if __name__ == "__main__":
    main()
