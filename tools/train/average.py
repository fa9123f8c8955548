#!/usr/bin/python3
"""Averages the (EMA) weights of checkpoints of one network into a new
weights-only checkpoint.

Two runs that continue from the same weights end near each other, and their
mean often keeps what each of them gained: the shipped recogniser is the
mean of the run before it and of the run that continued it on lines cut
from the detector's own boxes (see README.md).

    /usr/bin/python3 tools/train/average.py A.pt B.pt [...] --out MEAN.pt
"""
import argparse
import os
import sys

import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402


def average(states):
    """Element-wise mean of state dicts with the same keys and shapes.
    Integer tensors (BatchNorm's batch counters) are taken from the last."""
    if not states:
        raise ValueError("nothing to average")
    keys = set(states[0])
    for s in states[1:]:
        if set(s) != keys:
            raise ValueError("the checkpoints hold different tensors")
    out = {}
    for k, v in states[0].items():
        if any(s[k].shape != v.shape for s in states):
            raise ValueError("tensor %s differs in shape" % k)
        if v.is_floating_point():
            out[k] = (sum(s[k].double() for s in states) / len(states)).to(v.dtype)
        else:
            out[k] = states[-1][k].clone()
    return out


def form_flags(checkpoints):
    """The flags that say which form of a network the checkpoints hold (a
    recogniser's "lean", "mid", "slim", ...): the true/false entries beside
    the weights. Forms may share every tensor shape (plain and mid do), so
    checkpoints whose flags differ are refused rather than averaged."""
    flags = [{k: v for k, v in ck.items() if isinstance(v, bool)} for ck in checkpoints]
    for f in flags[1:]:
        if {k for k in f if f[k]} != {k for k in flags[0] if flags[0][k]}:
            raise ValueError("the checkpoints hold different forms of the network")
    return flags[0]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("checkpoints", nargs="+")
    ap.add_argument("--out", required=True)
    args = ap.parse_args()
    checkpoints = [torch.load(path, map_location="cpu") for path in args.checkpoints]
    flags = form_flags(checkpoints)
    states = [common.weights_of(ck) for ck in checkpoints]
    common.save_atomic({"ema": average(states), "step": 0, **flags}, args.out)
    print("mean of %d checkpoints -> %s" % (len(states), args.out))


if __name__ == "__main__":
    main()
