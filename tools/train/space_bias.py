#!/usr/bin/python3
"""Raises the recogniser's score for the space class by a constant.

Greedy CTC reads a word gap as a space only where the space outscores the
blank. On real receipts and forms the trained network leaves the space just
under the blank in many narrow gaps ("PORK LEG SMALL" read "PORKLEGSMALL",
"22 MAR 2018 18:24" read "22 MAR 201818:24"), on the lines it was trained
on as much as on others. Adding a constant to the space class's bias in the
classifier multiplies the space's probability against every other class by
e^shift at every step and changes nothing else; gaps where the space was
far behind stay unread. Too large a shift puts spaces into the wide gaps
between Chinese characters.

    /usr/bin/python3 tools/train/space_bias.py IN.pt OUT.pt --shift 0.7

OUT holds the weights only (EMA weights where IN has them) and the summed
shift under "space_shift", so that a shifted checkpoint is never mistaken for
a trained one.
"""
import argparse
import os
import sys

import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402


def space_bias_key(weights):
    """The classifier bias whose last entry scores the space (the last
    class): the full classifier's, or that of the classes after the hanzi in
    the slim network's split head."""
    return "cls_hi.bias" if "cls_hi.bias" in weights else "cls.bias"


def shift_space(ck, shift):
    """A weights-only checkpoint with the space's bias raised by shift."""
    weights = {k: v.clone() for k, v in common.weights_of(ck).items()}
    weights[space_bias_key(weights)][-1] += shift
    out = {k: v for k, v in ck.items() if k not in ("model", "ema", "opt", "elapsed", "best")}
    out["ema"] = weights
    out["space_shift"] = float(ck.get("space_shift", 0.0)) + shift
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("src")
    ap.add_argument("dst")
    ap.add_argument("--shift", type=float, required=True, help="added to the space class's score")
    args = ap.parse_args()
    ck = torch.load(args.src, map_location="cpu")
    out = shift_space(ck, args.shift)
    common.save_atomic(out, args.dst)
    print("%s: space shifted by %g (in all %g)" % (args.dst, args.shift, out["space_shift"]))


if __name__ == "__main__":
    main()
