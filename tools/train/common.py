"""Shared training utilities: logging, checkpoints, schedules, EMA."""
import csv
import json
import math
import os
import shutil
import time

import torch

HERE = os.path.dirname(os.path.abspath(__file__))
# Training state (checkpoints with optimiser state, logs, prepared data) lives
# outside the checkout, so that a new checkout or a git clean keeps it.
TRAIN_DIR = os.environ.get("VARNEL_TRAIN_DIR", os.path.expanduser("~/varnel-train"))


class Logger:
    def __init__(self, path):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        self.f = open(path, "a", buffering=1, encoding="utf-8")

    def __call__(self, msg):
        line = "%s %s" % (time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime()), msg)
        print(line, flush=True)
        self.f.write(line + "\n")


def save_atomic(obj, path):
    tmp = path + ".tmp"
    torch.save(obj, tmp)
    os.replace(tmp, path)


def lr_at(frac, step, base, warmup=300, floor=0.03):
    """Linear warm-up over `warmup` steps, then cosine decay over the
    wall-clock budget (frac = elapsed / budget)."""
    w = min(1.0, (step + 1) / float(warmup))
    frac = min(max(frac, 0.0), 1.0)
    return base * w * (floor + (1 - floor) * 0.5 * (1 + math.cos(math.pi * frac)))


class EMA:
    """Exponential moving average of parameters and buffers."""

    def __init__(self, model, decay=0.998):
        self.decay = decay
        self.state = {k: v.detach().clone() for k, v in model.state_dict().items()}

    @torch.no_grad()
    def update(self, model, step):
        d = min(self.decay, (1 + step) / (10 + step))
        for k, v in model.state_dict().items():
            if v.dtype.is_floating_point:
                self.state[k].mul_(d).add_(v.detach(), alpha=1 - d)
            else:
                self.state[k].copy_(v)


def edit_distance(a, b):
    if len(a) < len(b):
        a, b = b, a
    prev = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        cur = [i]
        for j, cb in enumerate(b, 1):
            cur.append(min(prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (ca != cb)))
        prev = cur
    return prev[-1]


def load_config(path, smoke=False):
    """A run's config (JSON). The run is named after the file; with smoke
    the "smoke" entries replace their namesakes and the run gets its own
    directory, so that a smoke run never resumes a real one."""
    with open(path, encoding="utf-8") as f:
        cfg = json.load(f)
    cfg["name"] = os.path.splitext(os.path.basename(path))[0]
    cfg.update(cfg.pop("smoke", {}) if smoke else {})
    cfg.pop("smoke", None)
    cfg["is_smoke"] = smoke
    if smoke:
        cfg["name"] += "-smoke"
    cfg["dir"] = os.path.join(TRAIN_DIR, "runs", cfg["name"])
    return cfg


def start_run(cfg):
    """Threads, seeds, the run's directory and log; returns (log, last
    checkpoint path, best checkpoint path). A smoke run starts afresh."""
    import numpy as np
    if cfg["is_smoke"]:
        shutil.rmtree(cfg["dir"], ignore_errors=True)
    torch.set_num_threads(cfg["threads"])
    torch.manual_seed(cfg["seed"])
    np.random.seed(cfg["seed"])
    os.makedirs(cfg["dir"], exist_ok=True)
    log = Logger(os.path.join(cfg["dir"], "train.log"))
    return log, os.path.join(cfg["dir"], "last.pt"), os.path.join(cfg["dir"], "best.pt")


class Curve:
    """The validation figures of a run, one CSV row per validation, in the
    run's directory and mirrored to `mirror` (a committed file) when given."""

    def __init__(self, path, mirror=None):
        self.path, self.mirror = path, mirror

    def add(self, row):
        """Appends a row; a figure that earlier rows lack gets a column of
        its own (empty in those rows)."""
        rows, fields = [], []
        if os.path.exists(self.path):
            with open(self.path, encoding="utf-8", newline="") as f:
                reader = csv.DictReader(f)
                rows, fields = list(reader), list(reader.fieldnames or [])
        fields += [k for k in row if k not in fields]
        rows.append({k: "%.4f" % v if isinstance(v, float) else v for k, v in row.items()})
        tmp = self.path + ".tmp"
        with open(tmp, "w", encoding="utf-8", newline="") as f:
            w = csv.DictWriter(f, fields, lineterminator="\n")
            w.writeheader()
            w.writerows(rows)
        os.replace(tmp, self.path)
        if self.mirror:
            os.makedirs(os.path.dirname(self.mirror), exist_ok=True)
            shutil.copyfile(self.path, self.mirror)


def resume(last_path, model, opt, ema, log):
    """Loads the last checkpoint when there is one; returns (step, elapsed
    seconds, best score), or a fresh start."""
    if not os.path.exists(last_path):
        return 0, 0.0, -1.0
    ck = torch.load(last_path, map_location="cpu")
    model.load_state_dict(ck["model"])
    ema.state = {k: v.float() if v.is_floating_point() else v for k, v in ck["ema"].items()}
    if "opt" in ck:
        opt.load_state_dict(ck["opt"])
        log("resumed from %s at step %d, %.1f min used" % (last_path, ck["step"], ck["elapsed"] / 60))
    else:  # a committed weights-only snapshot: the optimiser starts afresh
        log("resumed from the snapshot %s at step %d, %.1f min used" % (last_path, ck["step"], ck["elapsed"] / 60))
    return ck["step"], ck["elapsed"], ck.get("best", -1.0)


def save_snapshot(last_path, out, extra=None):
    """A weights-only copy of a run's last checkpoint (its EMA weights in
    half precision, its form, dictionary, step and time), small enough for
    git, from which a run on another machine resumes."""
    ck = torch.load(last_path, map_location="cpu")
    ema = {k: v.half() if v.dtype == torch.float32 else v for k, v in ck["ema"].items()}
    snap = {"model": ema, "ema": ema, "step": ck["step"], "elapsed": ck["elapsed"], "best": ck.get("best", -1.0)}
    snap.update({k: ck[k] for k in ("form", "dict") if k in ck})
    snap.update(extra or {})
    save_atomic(snap, out)


def checkpoint_weights(path):
    """The weights a checkpoint file holds (see weights_of)."""
    return weights_of(torch.load(path, map_location="cpu"))


def weights_of(ck):
    """The weights of a loaded checkpoint: its EMA weights where it has them
    (every committed and every run checkpoint), else its training weights."""
    return ck.get("ema") or ck["model"]


def init_from(path, model, ema, log, resize=False, convert=None):
    """Starts a new run from the (EMA) weights of another run's checkpoint;
    tensors whose shape changed keep their fresh initialisation. With
    resize=True a network of the same layout but other widths starts from
    the source's weights, not from nothing:
    - a tensor no larger than the source's in every dimension takes the
      source's leading block (the first channels of every layer);
    - a tensor no smaller in every dimension holds the source's tensor in
      its leading block and keeps its fresh values elsewhere, except that a
      convolution's weights on its new input channels are zeroed. The new
      channels then reach no later layer, and the wider network computes
      what the source does until training moves those weights.
    convert, if given, maps the source's weights to the form of the model
    first."""
    state = {k: v.float() if v.is_floating_point() else v for k, v in checkpoint_weights(path).items()}
    if convert is not None:
        state = convert(state)
    own = model.state_dict()

    def fits(o, v, smaller):
        return o.dim() == v.dim() and all(a <= b if smaller else a >= b for a, b in zip(o.shape, v.shape))

    fit = {}
    for k, v in state.items():
        o = own.get(k)
        if o is None:
            continue
        if o.shape == v.shape:
            fit[k] = v
        elif resize and fits(o, v, True):
            fit[k] = v[tuple(slice(0, a) for a in o.shape)]
        elif resize and fits(o, v, False):
            w = o.clone()
            if w.dim() == 4 and w.shape[1] > v.shape[1]:
                w[:, v.shape[1]:] = 0
            w[tuple(slice(0, b) for b in v.shape)] = v
            fit[k] = w
    model.load_state_dict(fit, strict=False)
    log("%d of %d tensors taken over" % (len(fit), len(own)))
    ema.state = {k: v.detach().clone() for k, v in model.state_dict().items()}
    log("weights from %s" % path)


def evaluate_ema(model, ema, evaluate):
    """Runs evaluate(model) with the EMA weights, then puts the training
    weights back and the model in training mode."""
    cur = {k: v.clone() for k, v in model.state_dict().items()}
    model.load_state_dict(ema.state)
    m = evaluate(model)
    model.load_state_dict(cur)
    model.train()
    return m


class Every:
    """Calls an action at most once per `minutes` of wall clock; the period
    counts from the end of the previous call."""

    def __init__(self, minutes, action):
        self.period = minutes * 60.0
        self.action = action
        self.last = time.time()

    def poll(self):
        if time.time() - self.last >= self.period:
            self.action()
            self.last = time.time()
