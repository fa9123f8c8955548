#!/usr/bin/python3
"""Writes the small ONNX test networks of the engine and library tests.

    /usr/bin/python3 tools/testmodels/make_test_models.py [--out DIR]

Outputs (default DIR: tests/data next to this repository's tools/):

det_dark.onnx   detection stand-in. Input x: N x 3 x H x W (all dynamic but
                the channels), output y: N x 1 x H x W,
                    y = sigmoid(A * (B - mean_c(x)))
                built as one 1x1 Conv (weights -A/3, bias A*B) and a Sigmoid.
                With the detector's normalisation
                    v = (pixel / 255 - mean_c) * scale_c
                (mean 0.485/0.456/0.406, scale 1/0.229, 1/0.224, 1/0.225)
                a black pixel gives ~0.987, mid grey 127 (the padding colour)
                ~0.011 and white ~0.

rec_bars.onnx   recognition stand-in. Input x: N x 3 x 48 x W (N, W dynamic),
                output y: N x T x K with T = W / 4 (floor), softmax over K.
                Each 4-column strip is average-pooled over the full height,
                its channel mean s (recogniser normalisation
                v = (pixel / 255 - 0.5) * 2, so black -1, grey 0, white 1)
                picks the class:
                    s < -0.5        -> class 1 (dark)
                    -0.5 < s < 0.5  -> class 2 (mid grey)
                    s > 0.5         -> class 0 (blank)
                Classes 3 and 4 never win.
rec_bars_dict.txt  the three dictionary lines "A", "B", "C" (K = 3 + 2).

garbage.bin     512 random bytes (fixed seed): a payload no engine accepts.

broken_*.onnx   well-formed protobuf models that OpenCV's importer would read
                out of bounds or dereference wrongly, and that the engine must
                refuse: a tensor whose raw data is shorter than its
                dimensions (short_tensor), a node input that names nothing
                (dangling_input), a Transpose whose perm is no permutation
                (transpose_perm).

Every model carries a doc string long enough for the file to exceed 800
bytes, so that it fits the library's model file format (at least 771
payload bytes behind the 29-byte header).

The script checks its outputs with numpy references and, when python3-opencv
is present, runs them through cv2.dnn at several input sizes.
"""
import argparse
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_OUT = os.path.normpath(os.path.join(HERE, "..", "..", "tests", "data"))

OPSET = 11
IR_VERSION = 6
MIN_FILE_BYTES = 1024

# Detector normalisation (per stored channel).
DET_MEAN = np.array([0.485, 0.456, 0.406], np.float32)
DET_SCALE = np.array([np.float32(1) / np.float32(0.229),
                      np.float32(1) / np.float32(0.224),
                      np.float32(1) / np.float32(0.225)], np.float32)
DET_A = 4.0
DET_B = -0.9

REC_H = 48
REC_STRIDE = 4
REC_DICT = ["A", "B", "C"]
REC_K = len(REC_DICT) + 2
REC_GAIN = 20.0


def pad_doc(model, text):
    """Sets the model doc string, padded so the file has MIN_FILE_BYTES."""
    model.doc_string = text
    short = MIN_FILE_BYTES - len(model.SerializeToString())
    if short > 0:
        model.doc_string = text + " " + "." * short
    return model


def finish(graph, doc):
    model = helper.make_model(graph, producer_name="varnel-testmodels",
                              opset_imports=[helper.make_opsetid("", OPSET)])
    model.ir_version = IR_VERSION
    pad_doc(model, doc)
    onnx.checker.check_model(model)
    return model


def make_det():
    w = np.full((1, 3, 1, 1), -DET_A / 3.0, np.float32)
    b = np.array([DET_A * DET_B], np.float32)
    nodes = [
        helper.make_node("Conv", ["x", "det_w", "det_b"], ["logit"], kernel_shape=[1, 1]),
        helper.make_node("Sigmoid", ["logit"], ["y"]),
    ]
    graph = helper.make_graph(
        nodes, "det_dark",
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, ["N", 3, "H", "W"])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, ["N", 1, "H", "W"])],
        # The bias is stored as typed float_data, the weights as raw bytes:
        # the engine's model check sees both encodings.
        [numpy_helper.from_array(w, "det_w"),
         helper.make_tensor("det_b", TensorProto.FLOAT, [1], b.tolist())])
    return finish(graph, "Test detector: probability of text = sigmoid(%g * (%g - channel mean)); "
                         "dark pixels are text." % (DET_A, DET_B))


def rec_logit_params():
    """Per-class slope and offset on the strip's channel mean s."""
    slope = np.zeros(REC_K, np.float32)
    offset = np.full(REC_K, -REC_GAIN, np.float32)
    slope[0], offset[0] = REC_GAIN, 0.0          # white: rises with s
    slope[1], offset[1] = -REC_GAIN, 0.0         # dark: falls with s
    slope[2], offset[2] = 0.0, REC_GAIN / 2.0    # grey: flat, wins for |s| < 0.5
    return slope, offset


def make_rec():
    slope, offset = rec_logit_params()
    w = np.repeat((slope / 3.0)[:, None], 3, axis=1).reshape(REC_K, 3, 1, 1).astype(np.float32)
    shape = np.array([0, REC_K, -1], np.int64)
    nodes = [
        helper.make_node("AveragePool", ["x"], ["pooled"],
                         kernel_shape=[REC_H, REC_STRIDE], strides=[REC_H, REC_STRIDE]),
        helper.make_node("Conv", ["pooled", "rec_w", "rec_b"], ["logit4"], kernel_shape=[1, 1]),
        # N x K x 1 x T -> N x K x T; a Reshape keeps the rank right in
        # cv::dnn for every width (its Squeeze does not drop the axis).
        helper.make_node("Reshape", ["logit4", "rec_shape"], ["logit3"]),
        helper.make_node("Transpose", ["logit3"], ["logit"], perm=[0, 2, 1]),
        helper.make_node("Softmax", ["logit"], ["y"], axis=2),
    ]
    graph = helper.make_graph(
        nodes, "rec_bars",
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, ["N", 3, REC_H, "W"])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, ["N", "T", REC_K])],
        [numpy_helper.from_array(w, "rec_w"), numpy_helper.from_array(offset, "rec_b"),
         helper.make_tensor("rec_shape", TensorProto.INT64, [3], shape.tolist())])  # typed int64_data
    return finish(graph, "Test recogniser: one step per 4-column strip; dark strip -> class 1, "
                         "mid-grey strip -> class 2, white strip -> class 0 (blank).")


def make_broken():
    """Variants of det_dark / rec_bars, each with one fault (no checker)."""
    out = {}
    m = make_rec()
    w = next(t for t in m.graph.initializer if t.name == "rec_w")
    w.raw_data = w.raw_data[:20]  # 5 of the 15 floats its dims ask for
    out["broken_short_tensor.onnx"] = m
    m = make_det()
    conv = m.graph.node[0]
    del conv.input[:]
    conv.input.extend(["x", "det_w_missing"])  # weights that nothing defines, no bias
    out["broken_dangling_input.onnx"] = m
    m = make_rec()
    transpose = next(n for n in m.graph.node if n.op_type == "Transpose")
    del transpose.attribute[:]
    transpose.attribute.extend([helper.make_attribute("perm", [0, 2, 3])])
    out["broken_transpose_perm.onnx"] = m
    for model in out.values():
        model.doc_string = ""
    return out


# ------------------------------------------------------------ references
def det_normalise(img):
    """img: N x H x W x 3 uint8 -> N x 3 x H x W float32."""
    v = (img.astype(np.float32) / 255.0 - DET_MEAN) * DET_SCALE
    return np.ascontiguousarray(v.transpose(0, 3, 1, 2))


def rec_normalise(img):
    v = (img.astype(np.float32) / 255.0 - 0.5) * 2.0
    return np.ascontiguousarray(v.transpose(0, 3, 1, 2))


def det_reference(x):
    m = x.mean(axis=1, keepdims=True)
    return 1.0 / (1.0 + np.exp(-DET_A * (DET_B - m)))


def rec_reference(x):
    n, c, h, w = x.shape
    t = w // REC_STRIDE
    strips = x[:, :, :, :t * REC_STRIDE].reshape(n, c, h, t, REC_STRIDE).mean(axis=(2, 4))  # n c t
    s = strips.mean(axis=1)  # n t
    slope, offset = rec_logit_params()
    logit = s[:, :, None] * slope[None, None, :] + offset[None, None, :]
    e = np.exp(logit - logit.max(axis=2, keepdims=True))
    return e / e.sum(axis=2, keepdims=True)


def check_values():
    px = np.array([0, 127, 255], np.uint8).reshape(1, 1, 3, 1).repeat(3, axis=3)
    p = det_reference(det_normalise(px))[0, 0, 0]
    print("det_dark: p(black)=%.4f p(grey127)=%.4f p(white)=%.6f" % tuple(p))
    assert 0.98 <= p[0] <= 1.0 and p[1] < 0.1 and p[2] < 1e-3, p
    strips = np.array([0, 127, 255], np.uint8).repeat(REC_STRIDE)
    img = np.broadcast_to(strips[None, None, :, None], (1, REC_H, strips.size, 3)).copy()
    cls = rec_reference(rec_normalise(img)).argmax(axis=2)[0]
    print("rec_bars: classes of black, grey, white strips = %s" % list(cls))
    assert list(cls) == [1, 2, 0], cls


def check_cv2(paths):
    try:
        import cv2
    except ImportError:
        print("cv2 not available: skipping the cv2.dnn check")
        return
    rng = np.random.RandomState(0)
    net = cv2.dnn.readNetFromONNX(paths["det"])
    for shp in [(1, 3, 32, 48), (2, 3, 64, 40), (1, 3, 17, 33), (1, 3, 32, 48)]:
        x = rng.uniform(-2.2, 2.7, size=shp).astype(np.float32)
        net.setInput(x)
        y = net.forward()
        ref = det_reference(x)
        assert y.shape == ref.shape, (shp, y.shape)
        d = float(np.abs(y - ref).max())
        print("  cv2.dnn det_dark %-16s -> %-16s max|diff| %.1e" % (shp, y.shape, d))
        assert d < 1e-5
    net = cv2.dnn.readNetFromONNX(paths["rec"])
    for shp in [(1, 3, 48, 320), (2, 3, 48, 1200), (1, 3, 48, 1200), (2, 3, 48, 320), (1, 3, 48, 342)]:
        x = rng.uniform(-1, 1, size=shp).astype(np.float32)
        net.setInput(x)
        y = net.forward()
        ref = rec_reference(x)
        assert y.shape == ref.shape, (shp, y.shape, ref.shape)
        d = float(np.abs(y - ref).max())
        print("  cv2.dnn rec_bars %-16s -> %-16s max|diff| %.1e" % (shp, y.shape, d))
        assert d < 1e-4
    try:
        cv2.dnn.readNetFromONNX(paths["garbage"])
    except cv2.error:
        print("  cv2.dnn refuses garbage.bin")
    else:
        raise AssertionError("garbage.bin loaded as a network")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--out", default=DEFAULT_OUT)
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    check_values()
    paths = {k: os.path.join(args.out, f) for k, f in
             [("det", "det_dark.onnx"), ("rec", "rec_bars.onnx"),
              ("dict", "rec_bars_dict.txt"), ("garbage", "garbage.bin")]}
    onnx.save(make_det(), paths["det"])
    onnx.save(make_rec(), paths["rec"])
    with open(paths["dict"], "w", encoding="utf-8") as f:
        f.write("\n".join(REC_DICT) + "\n")
    with open(paths["garbage"], "wb") as f:
        f.write(np.random.RandomState(20240611).randint(0, 256, 512).astype(np.uint8).tobytes())
    for name, model in make_broken().items():
        paths[name] = os.path.join(args.out, name)
        with open(paths[name], "wb") as f:
            f.write(model.SerializeToString())
    for k in paths:
        print("wrote %s (%d bytes)" % (paths[k], os.path.getsize(paths[k])))
    check_cv2(paths)
    return 0


if __name__ == "__main__":
    sys.exit(main())
