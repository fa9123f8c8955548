#!/usr/bin/python3
"""A run's checkpoint -> ONNX -> checked in OpenCV's dnn module.

    tools/train/export.py det CHECKPOINT OUT.onnx
    tools/train/export.py rec CHECKPOINT OUT.onnx [--dict OUT.txt]

Batch norm is folded into the convolutions and the graph rewritten into the
forms that OpenCV 4.6 loads. The result, loaded from bytes and from the
written file, is compared with PyTorch at the shapes the library feeds:
every output within 1e-4 and the same class at every step. --dict writes
the dictionary a recogniser's checkpoint holds.
"""
import argparse
import copy
import io
import os
import sys
import time

import numpy as np
import onnx
import torch
import torch.nn as nn
from onnx import helper, numpy_helper

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
import models  # noqa: E402
import textgen  # noqa: E402

TOL = 1e-4
# Per network: shapes compared in memory, shape compared after loading the
# file, timed shape. The recogniser runs one cut-out at a time, 48 rows high
# and at least 320 wide; a long line on a large page is some 7,000 wide.
SHAPES = {
    "det": ([(1, 3, 320, 480), (2, 3, 256, 192), (1, 3, 992, 1312)], (1, 3, 224, 288), (1, 3, 992, 1312)),
    "rec": ([(1, 3, 48, 96), (1, 3, 48, 320), (1, 3, 48, 736), (1, 3, 48, 1600), (1, 3, 48, 7000)],
            (1, 3, 48, 512), (1, 3, 48, 320)),
}


def fold_bn(model):
    """A copy in eval mode with every Conv2d -> BatchNorm2d pair of an
    nn.Sequential merged into the convolution (the BatchNorm becomes an
    Identity, which exports to nothing)."""
    m = copy.deepcopy(model).eval()

    def merge(conv, bn):
        scale = bn.weight.data / torch.sqrt(bn.running_var + bn.eps)
        b = conv.bias.data if conv.bias is not None else torch.zeros(bn.num_features)
        conv.weight.data = conv.weight.data * scale.view(-1, 1, 1, 1)
        conv.bias = nn.Parameter((b - bn.running_mean) * scale + bn.bias.data)

    for mod in m.modules():
        if isinstance(mod, nn.Sequential):
            items = list(mod._modules.items())
            for (_, a), (n2, b) in zip(items, items[1:]):
                if isinstance(a, nn.Conv2d) and isinstance(b, nn.BatchNorm2d):
                    merge(a, b)
                    mod._modules[n2] = nn.Identity()
    return m


def fold_identities(proto):
    """Removes Identity nodes (OpenCV 4.6 fails on one over an initializer),
    rewiring their consumers to the Identity input."""
    g = proto.graph
    outputs = {o.name for o in g.output}
    alias = {n.output[0]: n.input[0] for n in g.node if n.op_type == "Identity" and n.output[0] not in outputs}
    keep = [n for n in g.node if not (n.op_type == "Identity" and n.output[0] in alias)]

    def resolve(name):
        while name in alias:
            name = alias[name]
        return name

    for n in keep:
        for i, name in enumerate(n.input):
            n.input[i] = resolve(name)
    del g.node[:]
    g.node.extend(keep)
    return proto


def squeeze_to_reshape(proto, channels):
    """Replaces Squeeze(axes=[2]) on N x C x 1 x T by Reshape to [0, C, -1]:
    OpenCV 4.6 infers shapes at import with the dynamic dims set to 0 and
    keeps the unit axis of a Squeeze, so a following Transpose sees 4-D."""
    g = proto.graph
    for idx, n in enumerate(list(g.node)):
        if n.op_type != "Squeeze":
            continue
        axes = [a.ints for a in n.attribute if a.name == "axes"]
        if not axes or list(axes[0]) != [2]:
            raise RuntimeError("unexpected Squeeze %s" % n.name)
        shape = numpy_helper.from_array(np.array([0, channels, -1], np.int64), n.output[0] + "_shape")
        g.initializer.append(shape)
        g.node.remove(n)
        g.node.insert(idx, helper.make_node("Reshape", [n.input[0], shape.name], list(n.output),
                                            name=n.name + "_reshape"))
    return proto


def to_onnx_bytes(model, kind):
    """The network as ONNX bytes that OpenCV 4.6 loads, and the folded
    network they compute."""
    model = fold_bn(model)
    buf = io.BytesIO()
    if kind == "det":
        dummy, axes, opset = torch.zeros(1, 3, 320, 320), {"x": {0: "n", 2: "h", 3: "w"}, "y": {0: "n", 2: "h", 3: "w"}}, 11
    else:
        # Opset 10: its Clip takes the bounds as attributes, the only form of
        # Clip that OpenCV 4.6 reads. One line per pass: a fixed batch of 1.
        dummy, axes, opset = torch.zeros(1, 3, 48, 320), {"x": {3: "w"}, "y": {1: "t"}}, 10
    with torch.no_grad():
        torch.onnx.export(model, dummy, buf, opset_version=opset, input_names=["x"], output_names=["y"],
                          dynamic_axes=axes, do_constant_folding=True)
    proto = fold_identities(onnx.load_from_string(buf.getvalue()))
    if kind == "rec":
        proto = squeeze_to_reshape(proto, model.c4)
    onnx.checker.check_model(proto)
    return proto.SerializeToString(), model


def cv_check(net, torch_model, shapes, seed=0):
    """Runs cv2.dnn against torch on random inputs; returns the largest
    difference. Raises when an output differs by TOL or more, or (for a
    recogniser) when the class at any step differs."""
    rng = np.random.RandomState(seed)
    worst = 0.0
    for shp in shapes:
        x = rng.uniform(-2.2, 2.6, size=shp).astype(np.float32)
        with torch.no_grad():
            ref = torch_model(torch.from_numpy(x)).numpy()
        net.setInput(x)
        out = net.forward()
        if out.shape != ref.shape:
            raise RuntimeError("shape %s in cv2.dnn, %s in torch, for input %s" % (out.shape, ref.shape, shp))
        d = float(np.abs(out - ref).max())
        worst = max(worst, d)
        print("  cv2.dnn %-22s -> %-22s max|diff| %.2e" % (shp, out.shape, d))
        if d >= TOL:
            raise RuntimeError("cv2.dnn output differs from torch by %g" % d)
        if out.ndim == 3 and (out.argmax(2) != ref.argmax(2)).any():
            raise RuntimeError("cv2.dnn gives another class than torch at some step (input %s)" % (shp,))
    return worst


def cv_time(net, shape, runs=20):
    """Median milliseconds of a forward pass, after one to warm up."""
    net.setInput(np.random.RandomState(0).uniform(-2, 2, size=shape).astype(np.float32))
    ts = []
    for _ in range(runs + 1):
        t = time.perf_counter()
        net.forward()
        ts.append((time.perf_counter() - t) * 1000)
    return float(np.median(ts[1:]))


def load_network(kind, ckpt):
    """The network of a checkpoint, with its (EMA) weights, in eval mode;
    for a recogniser also the dictionary it holds."""
    ck = torch.load(ckpt, map_location="cpu")
    state = {k: v.float() if v.is_floating_point() else v for k, v in common.weights_of(ck).items()}
    model = models.detector_for(state) if kind == "det" else models.recognizer_for(ck["form"])
    model.load_state_dict(state)
    return model.eval(), ck.get("dict")


def export_net(kind, model, out, timing=True):
    """Exports a network and checks it in cv2.dnn from bytes and from the
    written file."""
    import cv2
    cv2.setNumThreads(2)
    shapes, file_shape, time_shape = SHAPES[kind]
    data, folded = to_onnx_bytes(model, kind)
    cv_check(cv2.dnn.readNetFromONNX(np.frombuffer(data, np.uint8)), folded, shapes)
    with open(out, "wb") as f:
        f.write(data)
    cv_check(cv2.dnn.readNetFromONNX(out), folded, [file_shape], seed=1)
    print("%s: %s  %.2f MB" % (kind, out, len(data) / 1e6))
    if timing:
        net = cv2.dnn.readNetFromONNX(np.frombuffer(data, np.uint8))
        print("%s: cv2.dnn %s, 2 threads: median %.2f ms" % (kind, "x".join(map(str, time_shape)),
                                                              cv_time(net, time_shape)))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("kind", choices=["det", "rec"])
    ap.add_argument("checkpoint")
    ap.add_argument("out")
    ap.add_argument("--dict", default=None, help="where to write a recogniser's dictionary")
    ap.add_argument("--no-timing", action="store_true")
    args = ap.parse_args()
    model, entries = load_network(args.kind, args.checkpoint)
    export_net(args.kind, model, args.out, not args.no_timing)
    if args.dict:
        if not entries:
            sys.exit("%s holds no dictionary" % args.checkpoint)
        textgen.save_dict(args.dict, entries)


if __name__ == "__main__":
    main()
