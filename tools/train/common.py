"""Shared training utilities: logging, checkpoints, schedules, EMA."""
import math
import os
import time

import torch

HERE = os.path.dirname(os.path.abspath(__file__))
WORK = os.path.join(HERE, "work")


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
