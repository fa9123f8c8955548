"""What both trainers share: configs, the run's directory, log and curve,
checkpoints and snapshots, the schedule, the EMA and the training loop."""
import argparse
import csv
import json
import math
import os
import shutil
import time

import numpy as np
import torch

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
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


def run_config(doc, defaults):
    """The config named on the command line over a trainer's defaults."""
    ap = argparse.ArgumentParser(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("config", help="the run's config file (JSON)")
    ap.add_argument("--smoke", action="store_true", help="the config's smoke settings: a few steps, a small check")
    args = ap.parse_args()
    return dict(defaults, **load_config(args.config, args.smoke))


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
    checkpoint path). A smoke run starts afresh."""
    if cfg["is_smoke"]:
        shutil.rmtree(cfg["dir"], ignore_errors=True)
    torch.set_num_threads(cfg["threads"])
    torch.manual_seed(cfg["seed"])
    np.random.seed(cfg["seed"])
    os.makedirs(cfg["dir"], exist_ok=True)
    return Logger(os.path.join(cfg["dir"], "train.log")), os.path.join(cfg["dir"], "last.pt")


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
    """Loads a checkpoint; returns (step, elapsed seconds, best score)."""
    ck = torch.load(last_path, map_location="cpu")
    model.load_state_dict(ck["model"])
    ema.state = {k: v.float() if v.is_floating_point() else v for k, v in ck["ema"].items()}
    if "opt" in ck:  # else a committed weights-only snapshot: the optimiser starts afresh
        opt.load_state_dict(ck["opt"])
    log("resumed from %s%s at step %d, %.1f min used"
        % ("" if "opt" in ck else "the snapshot ", last_path, ck["step"], ck["elapsed"] / 60))
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


def weights_of(ck):
    """The weights of a loaded checkpoint: its EMA weights where it has them
    (every committed and every run checkpoint), else its training weights."""
    return ck.get("ema") or ck["model"]


def init_from(path, model, ema, log, resize=False):
    """Starts a new run from the (EMA) weights of another run's checkpoint;
    tensors whose shape changed keep their fresh initialisation. With
    resize=True a network of the same layout but other widths takes the
    leading block of every larger source tensor, and a wider tensor holds the
    source's in its leading block, with a convolution's weights on its new
    input channels zeroed: the new channels then reach no later layer, and
    the wider network computes what the source does until training moves
    those weights."""
    state = weights_of(torch.load(path, map_location="cpu"))
    state = {k: v.float() if v.is_floating_point() else v for k, v in state.items()}
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


def start_weights(cfg, model, opt, ema, log, last_path, resize=False):
    """Where a run starts: its last checkpoint, else the committed snapshot
    of the same run, else the config's init weights (see init_from). Returns
    (step, elapsed seconds, best score)."""
    if os.path.exists(last_path):
        return resume(last_path, model, opt, ema, log)
    init = cfg["init"] and os.path.join(ROOT, cfg["init"])
    if init and os.path.exists(init):
        if torch.load(init, map_location="cpu").get("run") == cfg["name"]:
            return resume(init, model, opt, ema, log)
        init_from(init, model, ema, log, resize=resize)
    elif init:
        raise SystemExit("init weights %s not found" % init)
    return 0, 0.0, -1.0


def train(cfg, model, log, header, prepare, dataset, train_step, report, every, ema_decay=0.998, extra=None,
          resize=False):
    """The training loop of both networks, from where start_weights says
    until the wall-clock budget (summed over sessions) is used up.
    train_step(batch of dataset(step)) computes the gradients and returns
    the losses (None: skip the batch); report(step, mean losses, lr, batch,
    data s, step s, minutes) is logged every `every` steps. Every
    val_every_min and at the end, prepare()'s figures(EMA net) -> (figures,
    score) gives a row of the curve, and best.pt on a new best score."""
    # Channels-last convolutions train these thin networks about twice as
    # fast on the CPU; the weights and checkpoints are the same.
    model = model.to(memory_format=torch.channels_last)
    opt = torch.optim.AdamW(model.parameters(), lr=cfg["lr"], weight_decay=1e-4)
    ema = EMA(model, decay=ema_decay)
    extra = extra or {}
    last_path, best_path = (os.path.join(cfg["dir"], n) for n in ("last.pt", "best.pt"))
    step, elapsed, best = start_weights(cfg, model, opt, ema, log, last_path, resize)
    budget = cfg["budget_min"] * 60.0
    if elapsed >= budget:
        log("budget already used up (%.1f min)" % (elapsed / 60))
        return
    log(header)
    figures = prepare()
    curve = Curve(os.path.join(cfg["dir"], "curve.csv"), cfg["curve"] and os.path.join(ROOT, cfg["curve"]))
    dl = torch.utils.data.DataLoader(dataset(step), batch_size=None, num_workers=cfg["workers"],
                                     prefetch_factor=4 if cfg["workers"] else 2)
    start = time.time() - elapsed
    run, run_n, t_data, t_step = 0.0, 0, 0.0, 0.0

    def checkpoint():
        return {"model": model.state_dict(), "opt": opt.state_dict(), "ema": ema.state, "form": model.form(),
                **extra, "step": step, "elapsed": time.time() - start, "best": best}

    def validate():
        nonlocal best
        m, score = evaluate_ema(model, ema, figures)
        log("val step %d: %s" % (step, " ".join("%s=%.4f" % kv for kv in sorted(m.items()))))
        curve.add({"time": time.strftime("%Y-%m-%d %H:%M", time.gmtime()), "step": step,
                   "hours": (time.time() - start) / 3600.0, **m, "score": score})
        if score > best:
            best = score
            save_atomic({"ema": ema.state, "model": model.state_dict(), "step": step, "form": model.form(),
                         **extra, "metrics": m}, best_path)
            log("new best (%.4f) -> %s" % (best, best_path))

    # Validation at every val_every_min of the run's own clock, which a
    # resumed run continues, so that restarts do not put the curve off;
    # checkpoints every ckpt_every_min of this session.
    period = cfg["val_every_min"] * 60.0
    next_val = (math.floor(elapsed / period) + 1) * period
    next_ckpt = time.time() + cfg["ckpt_every_min"] * 60.0
    model.train()
    it = iter(dl)
    while True:
        now = ta = time.time()
        if now - start >= budget:
            break
        batch = next(it)
        tb = time.time()
        for g in opt.param_groups:
            g["lr"] = lr_at((now - start) / budget, step, cfg["lr"], warmup=cfg["warmup"])
        losses = train_step(batch)
        if losses is None:
            continue
        opt.step()
        ema.update(model, step)
        step += 1
        t_data += tb - ta
        t_step += time.time() - tb
        run, run_n = run + np.array(losses), run_n + 1
        if step % every == 0:
            log(report(step, run / run_n, opt.param_groups[0]["lr"], batch, t_data / run_n, t_step / run_n,
                       (time.time() - start) / 60))
            run, run_n, t_data, t_step = 0.0, 0, 0.0, 0.0
        if time.time() - start >= next_val:
            validate()
            next_val = (math.floor((time.time() - start) / period) + 1) * period
        if time.time() >= next_ckpt:
            save_atomic(checkpoint(), last_path)
            next_ckpt = time.time() + cfg["ckpt_every_min"] * 60.0
    validate()
    save_atomic(checkpoint(), last_path)
    log("finished: step %d, %.1f min, best %.4f" % (step, (time.time() - start) / 60, best))
