"""The detector and the line recogniser, built only from operators that
OpenCV 4.6's dnn module loads from ONNX with dynamic spatial shapes and runs
at every size the library feeds: Conv, BatchNormalization (folded away),
Relu, MaxPool, Add, Resize, Sigmoid, Reshape, Transpose, MatMul, Exp, Clip,
Div and Softmax. No ConvTranspose (OpenCV 4.6 crashes on wide outputs of it).
"""
import torch
import torch.nn as nn
import torch.nn.functional as F


def cbr(cin, cout, k=3, s=1, p=None, groups=1, dilation=1):
    if p is None:
        p = dilation * (k // 2) if isinstance(k, int) else tuple(dilation * (x // 2) for x in k)
    return nn.Sequential(nn.Conv2d(cin, cout, k, s, p, dilation, groups=groups, bias=False), nn.BatchNorm2d(cout),
                         nn.ReLU(inplace=True))


class DWBlock(nn.Module):
    """Depthwise 3x3 + pointwise 1x1, residual when shapes match."""

    def __init__(self, cin, cout, stride=1, dilation=1):
        super().__init__()
        self.dw = cbr(cin, cin, 3, stride, groups=cin, dilation=dilation)
        self.pw = nn.Sequential(nn.Conv2d(cin, cout, 1, bias=False), nn.BatchNorm2d(cout))
        self.res = stride == 1 and cin == cout

    def forward(self, x):
        y = self.pw(self.dw(x))
        return F.relu(y + x if self.res else y)


class Detector(nn.Module):
    """Text-probability map at input resolution (input H, W multiples of 32):
    a depthwise encoder down to 1/32, a feature pyramid merged top-down,
    context blocks at 1/8 and one logit per position at 1/4, resized to the
    input. A residual refinement block after the merge at 1/4 keeps the blank
    inside large glyphs from leaving holes in the map. `context` dilated
    blocks at 1/32 widen what the coarsest map sees (a facade's rows of
    windows against a line of text); each starts as the identity, so weights
    trained without them carry over."""

    S32_BLOCKS = 2  # blocks at 1/32 before any `context` ones

    def __init__(self, ch=(8, 24, 48, 96, 160), fpn=24, context=0):
        super().__init__()
        c0, c1, c2, c3, c4 = ch
        self.stem = cbr(3, c0, 3, 2)                                  # 1/2
        self.s4 = nn.Sequential(DWBlock(c0, c1, 2), DWBlock(c1, c1))  # 1/4
        self.s8 = nn.Sequential(DWBlock(c1, c2, 2), DWBlock(c2, c2))  # 1/8
        self.s16 = nn.Sequential(DWBlock(c2, c3, 2), DWBlock(c3, c3), DWBlock(c3, c3))
        extra = [DWBlock(c4, c4, dilation=2) for _ in range(context)]
        for b in extra:
            nn.init.zeros_(b.pw[1].weight)
        self.s32 = nn.Sequential(DWBlock(c3, c4, 2), *[DWBlock(c4, c4) for _ in range(self.S32_BLOCKS - 1)], *extra)
        self.lat = nn.ModuleList([nn.Conv2d(c, fpn, 1) for c in (c1, c2, c3, c4)])
        self.ctx = DWBlock(fpn, fpn)
        self.smooth = DWBlock(fpn, fpn)
        self.head = nn.Sequential(cbr(fpn, 16, 1), nn.Conv2d(16, 1, 1))
        self.refine = nn.Sequential(cbr(fpn, fpn, 3, groups=fpn), nn.Conv2d(fpn, fpn, 1, bias=False),
                                    nn.BatchNorm2d(fpn))
        nn.init.zeros_(self.refine[2].weight)

    def forward(self, x):
        return torch.sigmoid(self.logits(x))

    def logits(self, x):
        """The map before the sigmoid (for a stable BCE)."""
        x = self.stem(x)
        f4 = self.s4(x)
        f8 = self.s8(f4)
        f16 = self.s16(f8)
        f32 = self.s32(f16)
        p = self.lat[3](f32)
        p = self.lat[2](f16) + F.interpolate(p, scale_factor=2.0, mode="nearest")
        p = self.lat[1](f8) + F.interpolate(p, scale_factor=2.0, mode="nearest")
        p = self.ctx(self.smooth(p))
        p = self.lat[0](f4) + F.interpolate(p, scale_factor=2.0, mode="nearest")
        p = p + self.refine(p)
        return F.interpolate(self.head(p), scale_factor=4.0, mode="bilinear", align_corners=False)

    def form(self):
        """The numbers that rebuild this network (see detector_for)."""
        return {"ch": [self.stem[0].out_channels] + [s[0].pw[0].out_channels for s in
                                                     (self.s4, self.s8, self.s16, self.s32)],
                "fpn": self.lat[0].out_channels, "context": len(self.s32) - self.S32_BLOCKS}


def detector_for(state):
    """The detector whose form the weights `state` have."""
    ch = tuple(int(state[k].shape[0]) for k in ("stem.0.weight", "s4.0.pw.0.weight", "s8.0.pw.0.weight",
                                                 "s16.0.pw.0.weight", "s32.0.pw.0.weight"))
    blocks = sum(1 for k in state if k.startswith("s32.") and k.endswith(".pw.0.weight"))
    return Detector(ch=ch, fpn=int(state["lat.0.weight"].shape[0]), context=blocks - Detector.S32_BLOCKS)


class SelfAttention(nn.Module):
    """One-head self-attention over the steps of a line, added to its
    input. It starts as the identity (the output projection is zero), so
    that weights trained without it carry over."""

    def __init__(self, c, d):
        super().__init__()
        self.q, self.k, self.v = nn.Linear(c, d), nn.Linear(c, d), nn.Linear(c, d)
        self.o = nn.Linear(d, c)
        self.scale = d ** -0.5
        nn.init.zeros_(self.o.weight)
        nn.init.zeros_(self.o.bias)

    def forward(self, f):
        """f: N x T x C."""
        s = torch.matmul(self.q(f) * self.scale, self.k(f).transpose(1, 2))  # N x T x T
        return f + self.o(torch.matmul(torch.softmax(s, dim=2), self.v(f)))


class Recognizer(nn.Module):
    """48 x W line image -> N x T x K class probabilities, T = W/4: a short
    convolution stack collapses the height to 1, 1-D context convolutions see
    a few characters, and `attention` self-attention blocks let every step
    see the whole line (letters that differ only in size, and word gaps,
    need more context). With `rank` > 0 the classifier works on a projection
    to `rank` channels, which keeps thousands of classes cheap."""

    def __init__(self, num_classes, ch=(32, 64, 96, 128, 144), ctx_layers=2, attention=0, attn_dim=64, rank=0):
        super().__init__()
        c0, c1, c2, c3, c4 = ch
        self.body = nn.Sequential(
            cbr(3, c0, 3, 2),                                     # 24 x W/2
            cbr(c0, c0, 3, groups=c0),
            nn.MaxPool2d(2, 2),                                   # 12 x W/4
            cbr(c0, c1),
            cbr(c1, c2),
            nn.MaxPool2d((2, 1), (2, 1)),                         # 6 x W/4
            cbr(c2, c3), nn.MaxPool2d((2, 1), (2, 1)),            # 3 x W/4
            cbr(c3, c4, (3, 3), 1, (0, 1)),                       # 1 x W/4
        )
        self.ctx = nn.ModuleList([cbr(c4, c4, (1, 5)) for _ in range(ctx_layers)])
        self.attn = nn.ModuleList([SelfAttention(c4, attn_dim) for _ in range(attention)])
        self.drop = nn.Dropout(0.1)
        self.red = nn.Linear(c4, rank, bias=False) if rank else None
        self.cls = nn.Linear(rank or c4, num_classes)
        self.c4 = c4
        # Sums each step's exponentials (see probabilities()); not a weight.
        self.register_buffer("ones", torch.ones(num_classes, 1), persistent=False)

    def form(self):
        """The numbers that rebuild this network (see recognizer_for)."""
        return {"ch": [self.body[i][0].out_channels for i in (0, 3, 4, 6, 8)], "ctx_layers": len(self.ctx),
                "attention": len(self.attn), "attn_dim": self.attn[0].q.out_features if len(self.attn) else 64,
                "rank": self.red.out_features if self.red is not None else 0, "classes": self.cls.out_features}

    def sequence(self, x):
        """N x T x C features of the line, context included."""
        x = self.body(x)
        for m in self.ctx:
            x = x + m(x)
        # export.py writes this Squeeze as a Reshape: OpenCV 4.6 keeps the
        # unit axis of a Squeeze when it infers shapes with the width at 0.
        f = torch.squeeze(x, 2).transpose(1, 2)                             # N x T x C
        for m in self.attn:
            f = m(f)
        return f

    def logits(self, x):
        """N x T x K unnormalised scores."""
        f = self.drop(self.sequence(x))
        return self.cls(self.red(f) if self.red is not None else f)

    @staticmethod
    def probabilities(z, ones):
        """Softmax over the last axis of N x T x K scores in a form that is
        fast in OpenCV's dnn module (its Softmax over thousands of classes
        costs more than the rest of the head). Scores clipped to [-80, 70]
        keep every exponential, and the reciprocal of their sum, in range."""
        e = torch.exp(torch.clamp(z, -80.0, 70.0))
        return e / torch.matmul(e, ones)

    def forward(self, x):
        f = self.sequence(x)
        return self.probabilities(self.cls(self.red(f) if self.red is not None else f), self.ones)


def recognizer_for(form):
    return Recognizer(form["classes"], ch=tuple(form["ch"]), ctx_layers=form.get("ctx_layers", 2),
                      attention=form.get("attention", 0), attn_dim=form.get("attn_dim", 64), rank=form.get("rank", 0))
