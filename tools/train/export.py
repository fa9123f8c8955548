#!/usr/bin/python3
"""Checkpoint -> ONNX (opset 11) -> OpenCV dnn check.

Batch norm is folded into the convolutions, the graph is rewritten so no
initializer passes through an Identity node (OpenCV 4.6 cannot load those),
and the result is compared with PyTorch through cv2.dnn on random inputs of
two sizes (max abs diff must be < 1e-4).  Writes work/det.onnx, work/rec.onnx.
"""
import argparse
import importlib
import io
import os
import sys
import time

import numpy as np
import onnx
import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import models  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
WORK = os.path.join(HERE, "work")


def fold_identities(model_proto):
    """Removes Identity nodes, rewiring their consumers to the Identity input."""
    g = model_proto.graph
    outputs = {o.name for o in g.output}
    alias = {}
    keep = []
    for n in g.node:
        if n.op_type == "Identity" and n.output[0] not in outputs:
            alias[n.output[0]] = n.input[0]
        else:
            keep.append(n)

    def resolve(name):
        while name in alias:
            name = alias[name]
        return name

    for n in keep:
        for i, name in enumerate(n.input):
            n.input[i] = resolve(name)
    del g.node[:]
    g.node.extend(keep)
    return model_proto


def squeeze_to_reshape(model_proto, channels):
    """Replaces Squeeze(axes=[2]) on N x C x 1 x T by Reshape to [0, C, -1].

    OpenCV 4.6 infers layer shapes at import with the dynamic dims set to 0
    and then fails to drop the unit axis, so a following Transpose sees a
    4-D blob.  A Reshape with the explicit target keeps the rank right for
    any width and batch.
    """
    from onnx import helper, numpy_helper
    g = model_proto.graph
    for idx, n in enumerate(list(g.node)):
        if n.op_type != "Squeeze":
            continue
        axes = [a.ints for a in n.attribute if a.name == "axes"]
        if not axes or list(axes[0]) != [2]:
            raise RuntimeError("unexpected Squeeze %s" % n.name)
        shape_name = n.output[0] + "_shape"
        g.initializer.append(numpy_helper.from_array(np.array([0, channels, -1], np.int64), shape_name))
        new = helper.make_node("Reshape", [n.input[0], shape_name], list(n.output), name=n.name + "_reshape")
        g.node.remove(n)
        g.node.insert(idx, new)
    return model_proto


def _interleave(inp, out, k, c, prefix, inits):
    """Nodes that turn N x (k*k*C) x H x W, channels ordered (row offset,
    column offset, channel), into N x C x kH x kW: a depth-to-space made of
    transposes and reshapes whose 0 (copy) and -1 (infer) entries keep the
    dynamic dims, so it runs at any input size in OpenCV 4.6 (whose own
    DepthToSpace needs static shapes).
        N,kkC,H,W -> N,H,W,kkC -> N,H,W,k,k,C -> N,C,H,k,W,k -> N,C,H,k,kW
        -> N,C,kW,H,k -> N,C,kW,kH -> N,C,kH,kW
    """
    from onnx import helper, numpy_helper
    shapes = ([0, 0, 0, k, k, c], [0, c, 0, k, -1], [0, c, 0, -1])
    for i, shp in enumerate(shapes):
        inits.append(numpy_helper.from_array(np.array(shp, np.int64), "%s_s%d" % (prefix, i)))
    t = ["%s_i%d" % (prefix, i) for i in range(6)]
    return [
        helper.make_node("Transpose", [inp], [t[0]], perm=[0, 2, 3, 1]),
        helper.make_node("Reshape", [t[0], prefix + "_s0"], [t[1]]),
        helper.make_node("Transpose", [t[1]], [t[2]], perm=[0, 5, 1, 3, 2, 4]),
        helper.make_node("Reshape", [t[2], prefix + "_s1"], [t[3]]),
        helper.make_node("Transpose", [t[3]], [t[4]], perm=[0, 1, 4, 2, 3]),
        helper.make_node("Reshape", [t[4], prefix + "_s2"], [t[5]]),
        helper.make_node("Transpose", [t[5]], [out], perm=[0, 1, 3, 2]),
    ]


def deconv_to_interleave(model_proto):
    """Rewrites the 2x2, stride-2 ConvTranspose layers as exact equivalents.

    OpenCV 4.6 crashes in its transposed convolution when the output is wide
    and tall enough (about 2,250 columns by 1,600 rows), sizes a large page
    reaches. A 2x2 stride-2 transposed convolution is a 1x1 convolution to
    4 x C channels (one C-vector per output pixel of each 2x2 block)
    followed by a depth-to-space. Two of them with a ReLU between (the
    detector head) are fused: the first becomes a 1x1 convolution and ReLU
    at the input resolution, the second a 1x1 convolution to the 16 x C
    values of each 4x4 output block, and one depth-to-space of block 4
    places them; the rearranging then runs once, on the small final tensor.
    """
    from onnx import helper, numpy_helper
    g = model_proto.graph
    arrays = {t.name: numpy_helper.to_array(t) for t in g.initializer}
    consumers = {}
    for n in g.node:
        for i in n.input:
            consumers.setdefault(i, []).append(n)

    def deconv_params(n):
        attrs = {a.name: helper.get_attribute_value(a) for a in n.attribute}
        if (list(attrs.get("kernel_shape", [])) != [2, 2] or list(attrs.get("strides", [])) != [2, 2]
                or any(attrs.get("pads", [0])) or attrs.get("group", 1) != 1
                or any(attrs.get("output_padding", [0])) or any(d != 1 for d in attrs.get("dilations", [1]))):
            raise RuntimeError("unsupported ConvTranspose %s" % n.name)
        w = arrays[n.input[1]]  # Cin x C x 2 x 2
        b = arrays[n.input[2]] if len(n.input) > 2 and n.input[2] else np.zeros(w.shape[1], np.float32)
        return w, b

    inits, out_nodes, skip = [], [], set()
    for n in g.node:
        if id(n) in skip:
            continue
        if n.op_type != "ConvTranspose":
            out_nodes.append(n)
            continue
        p = n.name or n.output[0]
        w1, b1 = deconv_params(n)
        relu = consumers.get(n.output[0], [])
        second = consumers.get(relu[0].output[0], []) if len(relu) == 1 and relu[0].op_type == "Relu" else []
        if len(second) == 1 and second[0].op_type == "ConvTranspose":
            # out[c, 4i+2a+a', 4j+2b+b'] = W2[:, c, a', b'] . relu(W1[:, :, a, b] . x[i, j] + b1) + b2
            w2, b2 = deconv_params(second[0])
            c1, c2 = w1.shape[1], w2.shape[1]
            cw1 = w1.transpose(2, 3, 1, 0).reshape(4 * c1, w1.shape[0], 1, 1)  # (a, b, c1)
            cw2 = np.zeros((4, 4, c2, 4 * c1), np.float32)                         # (r, s, c2) x (a, b, c1)
            for a in range(2):
                for b in range(2):
                    for a2 in range(2):
                        for b2_ in range(2):
                            blk = (a * 2 + b) * c1
                            cw2[2 * a + a2, 2 * b + b2_, :, blk:blk + c1] = w2[:, :, a2, b2_].T
            arrays_out = [(cw1, "_w1"), (np.tile(b1, 4), "_b1"),
                          (cw2.reshape(16 * c2, 4 * c1, 1, 1), "_w2"), (np.tile(b2, 16), "_b2")]
            for arr, suffix in arrays_out:
                inits.append(numpy_helper.from_array(np.ascontiguousarray(arr, np.float32), p + suffix))
            out_nodes += [
                helper.make_node("Conv", [n.input[0], p + "_w1", p + "_b1"], [p + "_h"], kernel_shape=[1, 1]),
                helper.make_node("Relu", [p + "_h"], [p + "_hr"]),
                helper.make_node("Conv", [p + "_hr", p + "_w2", p + "_b2"], [p + "_d"], kernel_shape=[1, 1]),
            ] + _interleave(p + "_d", second[0].output[0], 4, c2, p, inits)
            skip.update({id(relu[0]), id(second[0])})
        else:
            c = w1.shape[1]
            cw = w1.transpose(2, 3, 1, 0).reshape(4 * c, w1.shape[0], 1, 1)
            inits += [numpy_helper.from_array(np.ascontiguousarray(cw, np.float32), p + "_w1"),
                      numpy_helper.from_array(np.tile(b1, 4).astype(np.float32), p + "_b1")]
            out_nodes.append(helper.make_node("Conv", [n.input[0], p + "_w1", p + "_b1"], [p + "_d"],
                                              kernel_shape=[1, 1]))
            out_nodes += _interleave(p + "_d", n.output[0], 2, c, p, inits)
    g.initializer.extend(inits)
    used = {i for nd in out_nodes for i in nd.input}
    keep = [t for t in g.initializer if t.name in used]
    del g.node[:]
    g.node.extend(out_nodes)
    del g.initializer[:]
    g.initializer.extend(keep)
    return model_proto


def to_onnx_bytes(model, dummy, dynamic_axes, opset=11, squeeze_channels=None):
    model = models.fold_bn(model).eval()
    buf = io.BytesIO()
    with torch.no_grad():
        torch.onnx.export(model, dummy, buf, opset_version=opset,
                          input_names=["x"], output_names=["y"],
                          dynamic_axes=dynamic_axes, do_constant_folding=True)
    proto = onnx.load_from_string(buf.getvalue())
    proto = fold_identities(proto)
    proto = deconv_to_interleave(proto)
    if squeeze_channels:
        proto = squeeze_to_reshape(proto, squeeze_channels)
    onnx.checker.check_model(proto)
    return proto.SerializeToString(), model


def cv_check(onnx_bytes, torch_model, shapes, tol=1e-4, seed=0):
    """Runs cv2.dnn (loaded from bytes and from a file) against torch."""
    import cv2
    rng = np.random.RandomState(seed)
    net = cv2.dnn.readNetFromONNX(np.frombuffer(onnx_bytes, np.uint8))
    worst = 0.0
    for shp in shapes:
        x = rng.uniform(-2.2, 2.6, size=shp).astype(np.float32)
        with torch.no_grad():
            ref = torch_model(torch.from_numpy(x)).numpy()
        net.setInput(x)
        out = net.forward()
        if out.shape != ref.shape:
            raise RuntimeError("shape mismatch %s vs %s for input %s" % (out.shape, ref.shape, shp))
        d = float(np.abs(out - ref).max())
        worst = max(worst, d)
        print("  cv2.dnn %-22s -> %-22s max|diff| %.2e" % (shp, out.shape, d))
        if d >= tol:
            raise RuntimeError("cv2.dnn output differs from torch: %g" % d)
    return worst


def cv_check_file(path, torch_model, shape, tol=1e-4):
    import cv2
    net = cv2.dnn.readNetFromONNX(path)
    x = np.random.RandomState(1).uniform(-2, 2, size=shape).astype(np.float32)
    with torch.no_grad():
        ref = torch_model(torch.from_numpy(x)).numpy()
    net.setInput(x)
    d = float(np.abs(net.forward() - ref).max())
    print("  cv2.dnn from file %s max|diff| %.2e" % (os.path.basename(path), d))
    if d >= tol:
        raise RuntimeError("file-loaded model differs: %g" % d)


def cv_time(onnx_bytes, shape, runs=20, threads=2):
    import cv2
    cv2.setNumThreads(threads)
    net = cv2.dnn.readNetFromONNX(np.frombuffer(onnx_bytes, np.uint8))
    x = np.random.RandomState(0).uniform(-2, 2, size=shape).astype(np.float32)
    net.setInput(x)
    net.forward()
    ts = []
    for _ in range(runs):
        t = time.perf_counter()
        net.setInput(x)
        net.forward()
        ts.append((time.perf_counter() - t) * 1000)
    return float(np.median(ts))


def det_onnx(model):
    dummy = torch.zeros(1, 3, 320, 320)
    return to_onnx_bytes(model, dummy, {"x": {0: "n", 2: "h", 3: "w"}, "y": {0: "n", 2: "h", 3: "w"}})


def rec_onnx(model):
    dummy = torch.zeros(1, 3, 48, 320)
    # Opset 10: its Clip takes the bounds as attributes, the only form of
    # Clip that OpenCV 4.6 reads.
    return to_onnx_bytes(model, dummy, {"x": {0: "n", 3: "w"}, "y": {0: "n", 1: "t"}}, opset=10,
                         squeeze_channels=model.squeeze_channels())


# Per network: module that builds it, ONNX conversion, shapes compared in
# memory, shape compared after loading from the file, timed shape, name.
NETS = {
    "det": ("train_det", det_onnx,
            [(1, 3, 320, 480), (2, 3, 256, 192), (1, 3, 992, 1312)], (1, 3, 224, 288),
            (1, 3, 992, 1312), "detector"),
    "rec": ("train_rec", rec_onnx,
            [(1, 3, 48, 320), (2, 3, 48, 320), (1, 3, 48, 736), (2, 3, 48, 408)], (1, 3, 48, 512),
            (1, 3, 48, 320), "recogniser"),
}


def export_net(kind, ckpt, out, timing=True):
    """Exports one network (from `ckpt`, or freshly initialised when None),
    checks it in cv2.dnn from bytes and from the written file, and returns
    the ONNX bytes."""
    module, to_onnx, shapes, file_shape, time_shape, _ = NETS[kind]
    trainer = importlib.import_module(module)
    # A checkpoint says which of its network's forms it holds: a recogniser
    # by its form flags, a detector by the shapes of its weights.
    ck = torch.load(ckpt, map_location="cpu") if ckpt else {}
    state = ck.get("ema") or ck.get("model") or {}
    if kind == "rec":
        widths = {"ch": tuple(ck["ch"])} if ck.get("ch") else {}
        model = trainer.make_model(tail_rank=trainer.rank_of(state),
                                   **{f: bool(ck.get(f)) for f in trainer.FORMS}, **widths)
    else:
        model = trainer.model_for(state) if state else trainer.make_model()
    if ckpt:
        model.load_state_dict(state)
    model.eval()
    data, _ = to_onnx(model)
    cv_check(data, model, shapes)
    with open(out, "wb") as f:
        f.write(data)
    cv_check_file(out, model, file_shape)
    print("%s: %s  %.2f MB" % (kind, out, len(data) / 1e6))
    if timing:
        print("%s: cv2.dnn %s, 2 threads: median %.2f ms"
              % (kind, "x".join(map(str, time_shape)), cv_time(data, time_shape)))
    return data


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--det-ckpt", default=os.path.join(WORK, "det_best.pt"))
    ap.add_argument("--rec-ckpt", default=os.path.join(WORK, "rec_best.pt"))
    ap.add_argument("--only", choices=["det", "rec"], default=None)
    ap.add_argument("--untrained", action="store_true",
                    help="export freshly initialised networks (operator/speed check)")
    ap.add_argument("--no-timing", action="store_true")
    ap.add_argument("--out-dir", default=WORK)
    args = ap.parse_args()
    os.makedirs(args.out_dir, exist_ok=True)
    torch.manual_seed(0)
    for kind in ("det", "rec"):
        if args.only not in (None, kind):
            continue
        ck = None if args.untrained else getattr(args, kind + "_ckpt")
        if ck and not os.path.exists(ck):
            sys.exit("missing %s checkpoint %s" % (NETS[kind][5], ck))
        export_net(kind, ck, os.path.join(args.out_dir, kind + ".onnx"), not args.no_timing)

if __name__ == "__main__":
    main()
