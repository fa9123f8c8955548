"""Detector and recogniser networks.

Both are built only from operators that OpenCV's dnn module loads from ONNX
with dynamic spatial shapes and runs at every size the library feeds them:
Conv, BatchNormalization (folded away before export), Relu, MaxPool, Add,
Resize (nearest and bilinear), Sigmoid, Squeeze, Transpose and Softmax.  No recurrent layers,
and no ConvTranspose (OpenCV 4.6 crashes on wide outputs of it).
"""
import torch
import torch.nn as nn
import torch.nn.functional as F


def cbr(cin, cout, k=3, s=1, p=None, groups=1, dilation=1):
    if p is None:
        p = dilation * (k // 2) if isinstance(k, int) else tuple(dilation * (x // 2) for x in k)
    return nn.Sequential(
        nn.Conv2d(cin, cout, k, s, p, dilation, groups=groups, bias=False),
        nn.BatchNorm2d(cout),
        nn.ReLU(inplace=True),
    )


class DWBlock(nn.Module):
    """Depthwise 3x3 + pointwise 1x1, residual when shapes match."""

    def __init__(self, cin, cout, stride=1, dilation=1):
        super().__init__()
        self.dw = cbr(cin, cin, 3, stride, groups=cin, dilation=dilation)
        self.pw = nn.Sequential(nn.Conv2d(cin, cout, 1, bias=False), nn.BatchNorm2d(cout))
        self.res = stride == 1 and cin == cout

    def forward(self, x):
        y = self.pw(self.dw(x))
        if self.res:
            y = y + x
        return F.relu(y)


class Detector(nn.Module):
    """Text-probability map at input resolution (input H, W multiples of 32).

    Depthwise encoder to 1/32 and a feature pyramid merged top-down. Two
    heads:
    - "deconv" (the shipped detector): a 3 x 3 smoothing convolution and a
      context block at 1/4, then two 2x2 transposed convolutions up to the
      input size (export.py rewrites them, since OpenCV 4.6 crashes in its
      own transposed convolution on wide outputs);
    - "resize": context blocks at 1/8, one logit per pixel at 1/4 and a
      bilinear resize to the input size (about half the time). With
      refine=True a residual depthwise 3 x 3 + pointwise block follows the
      merge at 1/4: without it the logits there are a pointwise function of
      the merged features, and the blank inside and between large glyphs,
      which looks like background locally, leaves holes in the map (and the
      library makes a box of every hole).
    """

    S32_BLOCKS = 2  # blocks at 1/32 before any `context` ones

    def __init__(self, ch=(16, 32, 64, 128, 192), fpn=32, head="resize", refine=False, context=0, gate=False):
        super().__init__()
        c0, c1, c2, c3, c4 = ch
        self.kind = head
        self.stem = cbr(3, c0, 3, 2)                                  # 1/2
        self.s4 = nn.Sequential(DWBlock(c0, c1, 2), DWBlock(c1, c1))  # 1/4
        self.s8 = nn.Sequential(DWBlock(c1, c2, 2), DWBlock(c2, c2))  # 1/8
        self.s16 = nn.Sequential(DWBlock(c2, c3, 2), DWBlock(c3, c3), DWBlock(c3, c3))
        # `context` more residual blocks at 1/32, dilated, widen what each
        # position of the coarsest map sees (a facade's rows of windows
        # against a line of text) for a few per cent of the time. Each starts
        # as the identity, so that weights trained without them carry over.
        extra = [DWBlock(c4, c4, dilation=2) for _ in range(context)]
        for b in extra:
            nn.init.zeros_(b.pw[1].weight)
        self.s32 = nn.Sequential(DWBlock(c3, c4, 2), *[DWBlock(c4, c4) for _ in range(self.S32_BLOCKS - 1)], *extra)
        self.lat = nn.ModuleList([nn.Conv2d(c, fpn, 1) for c in (c1, c2, c3, c4)])
        self.ctx = DWBlock(fpn, fpn)
        self.gate = None  # the "resize" head's whole-image gate, below
        if head == "deconv":
            self.smooth = cbr(fpn, fpn, 3)
            self.up1 = nn.Sequential(nn.ConvTranspose2d(fpn, 16, 2, 2, bias=False),
                                     nn.BatchNorm2d(16), nn.ReLU(inplace=True))
            self.up2 = nn.ConvTranspose2d(16, 1, 2, 2)
        else:
            self.smooth = DWBlock(fpn, fpn)
            self.head = nn.Sequential(cbr(fpn, 16, 1), nn.Conv2d(16, 1, 1))
            self.refine = None
            if refine:
                self.refine = nn.Sequential(cbr(fpn, fpn, 3, groups=fpn),
                                            nn.Conv2d(fpn, fpn, 1, bias=False), nn.BatchNorm2d(fpn))
                # Starts as the identity, so that weights trained without it carry over.
                nn.init.zeros_(self.refine[2].weight)
            # With gate=True the merged features at 1/4 are scaled, channel by
            # channel, by a function of the whole image's mean features at
            # 1/32: whether the image is a page or a scene decides whether
            # the gap between two words is text (a line on a page) or
            # background (two words in a scene), and no position of the map
            # sees far enough to tell. 2 * sigmoid(0) = 1, so it starts as
            # the identity as well.
            if gate:
                self.gate = nn.Sequential(nn.AdaptiveAvgPool2d(1), nn.Conv2d(c4, 32, 1), nn.ReLU(inplace=True),
                                          nn.Conv2d(32, fpn, 1))
                nn.init.zeros_(self.gate[3].weight)
                nn.init.zeros_(self.gate[3].bias)

    def forward(self, x):
        return torch.sigmoid(self.logits(x))

    def logits(self, x):
        """Same as forward but before the sigmoid (for a stable BCE)."""
        x = self.stem(x)
        f4 = self.s4(x)
        f8 = self.s8(f4)
        f16 = self.s16(f8)
        f32 = self.s32(f16)
        p = self.lat[3](f32)
        p = self.lat[2](f16) + F.interpolate(p, scale_factor=2.0, mode="nearest")
        p = self.lat[1](f8) + F.interpolate(p, scale_factor=2.0, mode="nearest")
        if self.kind == "deconv":
            p = self.lat[0](f4) + F.interpolate(p, scale_factor=2.0, mode="nearest")
            return self.up2(self.up1(self.ctx(self.smooth(p))))
        p = self.ctx(self.smooth(p))
        p = self.lat[0](f4) + F.interpolate(p, scale_factor=2.0, mode="nearest")
        if self.gate is not None:
            p = p * (2.0 * torch.sigmoid(self.gate(f32)))
        if self.refine is not None:
            p = p + self.refine(p)
        return F.interpolate(self.head(p), scale_factor=4.0, mode="bilinear", align_corners=False)


def sep(cin, cout, k=3, p=None):
    """Depthwise k x k then pointwise 1 x 1 convolution, each with BN and ReLU."""
    return nn.Sequential(cbr(cin, cin, k, 1, p, groups=cin), cbr(cin, cout, 1))


class Recognizer(nn.Module):
    """48 x W line image -> N x T x K class probabilities.

    A short convolution stack collapses the height to 1, 1-D context
    convolutions follow, then the classifier. T = W/4. With fast=True the
    convolutions after the first two are depthwise-separable and the width
    is pooled to T = W/8 before the context convolutions and the
    classifier, which over a dictionary of thousands of classes is the
    largest cost per step (about half the time of the plain network).

    With lean=True the layers and their weights are those of the plain
    network, but the first max-pool halves the width once more (T = W/8)
    and the height is halved after the first of the 3 x 3 convolutions
    rather than after the second, so that every convolution after the
    first pool runs on a quarter or less of the plain network's positions
    (about half its time). Real lines keep about 2.8 steps per character at
    W/8. The layer indices match the plain network's, so a lean run starts
    from the plain network's weights.

    With mid=True the layers and weights are again the plain network's, and
    the second max-pool halves the width as well as the height (T = W/8):
    the first two 3 x 3 convolutions see what the plain network sees (a
    Chinese character keeps about 12 x 12 positions there), and the rest,
    with the classifier over thousands of classes, runs on half the steps.

    With slim=True the steps stay W/4, but the two convolutions at 12 rows
    give 48 and 64 channels instead of 64 and 96, and the classifier works
    on a 64-channel projection of the features (a rank-64 factorisation of
    the plain one): about 0.7x the plain network's time. With low_rank=(a,
    b) only classes a..b-1 (the thousands of hanzi) go through the
    projection; the few others keep a full classifier of their own, so that
    they need not share 64 dimensions with the hanzi. slim_state() makes its
    starting weights from a plain network's.

    With tail=True every convolution is the plain network's, at the plain
    network's positions; a max-pool after the last one halves the width (T =
    W/8), and the classifier works on a rank-64 projection of the features,
    as the slim one's does for all classes: the context convolutions and the
    classifier, the largest cost per step, run on half the steps and a
    smaller product. tail_rank sets the projection's size; 0 keeps the full
    classifier. tail_state() makes its starting weights from a plain
    network's.
    """

    SLIM_CHANNELS = (48, 64)
    SLIM_RANK = 64

    def __init__(self, num_classes, ch=(32, 64, 96, 128, 144), ctx_layers=2, fast=False, lean=False,
                 mid=False, slim=False, low_rank=None, tail=False, tail_rank=SLIM_RANK):
        super().__init__()
        if fast + lean + mid + slim + tail > 1:
            raise ValueError("a recogniser is plain, fast, lean, mid, slim or tail")
        if slim:
            ch = (ch[0],) + self.SLIM_CHANNELS + tuple(ch[3:])
        c0, c1, c2, c3, c4 = ch
        self.fast, self.lean, self.mid, self.slim, self.tail = fast, lean, mid, slim, tail
        conv = sep if fast else (lambda cin, cout, k=3, p=None: cbr(cin, cout, k, 1, p))
        # The lean form has the same layers at the same indices; only its
        # pools differ: the width by 4 at the first, the height right after
        # the first 3 x 3 convolution, none before the last.
        first = conv(c0, c1)
        if lean:
            first.append(nn.MaxPool2d((2, 1), (2, 1)))
        layers = [
            cbr(3, c0, 3, 2),                                     # 24 x W/2
            cbr(c0, c0, 3, groups=c0),
            nn.MaxPool2d((2, 4), (2, 4)) if lean else nn.MaxPool2d(2, 2),  # 12 x W/4 (lean: W/8)
            first,                                                # lean: 6 rows
            conv(c1, c2),
            nn.MaxPool2d(2, 2) if mid else nn.MaxPool2d((2, 1), (2, 1)),  # 6 x W/4 (lean: 3 rows, mid: W/8)
            conv(c2, c3), nn.Identity() if lean else nn.MaxPool2d((2, 1), (2, 1)),  # 3 x W/4
            conv(c3, c4, (3, 3), (0, 1)),                         # 1 x W/4 (lean: W/8)
        ]
        if fast or tail:
            layers.append(nn.MaxPool2d((1, 2), (1, 2)))          # 1 x W/8
        self.body = nn.Sequential(*layers)
        self.ctx = nn.ModuleList([cbr(c4, c4, (1, 5)) for _ in range(ctx_layers)])
        self.drop = nn.Dropout(0.1)
        rank = tail_rank if tail else self.SLIM_RANK if slim else 0
        self.red = nn.Conv2d(c4, rank, 1, bias=False) if rank else None
        self.span = tuple(low_rank) if slim and low_rank else None
        if self.span:
            lo, hi = self.span
            self.cls_lo = nn.Conv2d(c4, lo, 1)
            self.cls_hi = nn.Conv2d(c4, num_classes - hi, 1)
        k = self.span[1] - self.span[0] if self.span else num_classes
        self.cls = nn.Conv2d(rank or c4, k, 1)
        self.c4 = c4
        # Sums each step's exponentials (see probabilities()); not a weight.
        self.register_buffer("ones", torch.ones(num_classes, 1), persistent=False)

    def step(self):
        """Input columns per output step."""
        return 8 if self.fast or self.lean or self.mid or self.tail else 4

    def features(self, x):
        x = self.body(x)
        for m in self.ctx:
            x = x + m(x)
        return x

    def head(self, f, axis):
        """Class scores from features f whose channels lie on `axis`: 1 for
        the N x C x 1 x T convolution layout, 2 for N x T x C (there each
        1 x 1 convolution runs as a MatMul). The scores come in the same
        layout."""
        def linear(conv, x):
            return conv(x) if axis == 1 else matmul_linear(conv, x)
        if self.red is None:
            return linear(self.cls, f)
        y = linear(self.cls, linear(self.red, f))
        if not self.span:
            return y
        return torch.cat([linear(self.cls_lo, f), y, linear(self.cls_hi, f)], axis)

    def logits(self, x):
        """N x T x K unnormalised scores."""
        y = self.head(self.drop(self.features(x)), 1)
        return y.squeeze(2).transpose(1, 2)

    def squeeze_channels(self):
        """Channels of the N x C x 1 x T tensor squeezed in forward()."""
        return self.c4

    @staticmethod
    def probabilities(z, ones):
        """Softmax over the last axis of N x T x K scores, in the form that
        runs fast in OpenCV's dnn module: its Softmax over a last axis of
        thousands of classes costs more than the rest of the head. The scores
        are clipped to [-80, 70]: no exponential then leaves float range, and
        neither does the reciprocal of their sum, by which OpenCV multiplies
        (the largest real lines' scores are about 60; a contrived input can
        drive them far beyond). Within that range this is the softmax."""
        e = torch.exp(torch.clamp(z, -80.0, 70.0))
        return e / torch.matmul(e, ones)

    def forward(self, x):
        # The classifier runs as a MatMul on N x T x C features: with ~3.9k
        # classes this avoids transposing the large N x K x T score tensor,
        # which is slow in OpenCV's dnn module.
        f = torch.squeeze(self.features(x), 2)  # N x C x T (Reshape in the ONNX file)
        f = torch.transpose(f, 1, 2)            # N x T x C
        y = self.head(f, 2)                     # N x T x K
        return self.probabilities(y, self.ones)


def matmul_linear(conv, f):
    """A 1 x 1 convolution applied to N x T x C features as a MatMul."""
    y = torch.matmul(f, conv.weight.view(conv.out_channels, -1).t())
    return y if conv.bias is None else y + conv.bias


def slim_state(plain, low_rank=None):
    """Starting weights for a slim recogniser from a plain one's state dict.

    Of the two convolutions at 12 rows it keeps the output channels that
    matter most to the next layer: a channel's expected output after its
    BatchNorm and ReLU (its input taken as normal with the running
    statistics) times the size of the next convolution's weights on it.
    What a dropped channel added on average is taken off the next layer's
    running mean. The classifier becomes its best rank-64 factorisation
    (SVD): the projection `red`, then a classifier on 64 channels; with
    low_rank=(a, b), that of classes a..b-1 only, the others keeping their
    rows of the plain classifier."""
    s = {k: v.clone() for k, v in plain.items()}

    def prune(layer, nxt, keep):
        bn, w_next = "body.%d.1." % layer, s["body.%d.0.weight" % nxt]
        g, b = s[bn + "weight"], s[bn + "bias"]
        a = g.abs().clamp_min(1e-6)
        normal = torch.distributions.Normal(0.0, 1.0)
        mean_out = b * normal.cdf(b / a) + a * torch.exp(normal.log_prob(b / a))
        score = mean_out * w_next.flatten(2).transpose(0, 1).flatten(1).norm(dim=1)
        idx = torch.sort(torch.topk(score, keep).indices).values
        drop = torch.ones(len(score), dtype=torch.bool)
        drop[idx] = False
        s["body.%d.1.running_mean" % nxt] -= (w_next[:, drop].sum((2, 3)) * mean_out[drop]).sum(1)
        s["body.%d.0.weight" % layer] = s["body.%d.0.weight" % layer][idx]
        for k in ("weight", "bias", "running_mean", "running_var"):
            s[bn + k] = s[bn + k][idx]
        s["body.%d.0.weight" % nxt] = w_next[:, idx]

    c1, c2 = Recognizer.SLIM_CHANNELS
    prune(3, 4, c1)
    prune(4, 6, c2)
    w, b = s["cls.weight"].flatten(1), s["cls.bias"]
    if low_rank:
        lo, hi = low_rank
        _full_rows(s, s["cls.weight"], b, low_rank)
        w, s["cls.bias"] = w[lo:hi], b[lo:hi].clone()
    _factor_classifier(s, w)
    return s


def tail_state(plain, rank=Recognizer.SLIM_RANK):
    """Starting weights for a tail recogniser from a plain one's state dict:
    every tensor as it is, the classifier replaced by its best factorisation
    of the given rank (SVD; rank 0 keeps it whole)."""
    s = {k: v.clone() for k, v in plain.items()}
    if rank:
        _factor_classifier(s, s["cls.weight"].flatten(1), rank)
    return s


def _factor_classifier(s, w, r=Recognizer.SLIM_RANK):
    """Replaces the classifier rows w (K x C) in s by their best rank-r
    factorisation: the projection `red`, then a classifier on r channels."""
    u, sv, vt = torch.linalg.svd(w, full_matrices=False)
    s["red.weight"] = vt[:r].reshape(r, -1, 1, 1).contiguous()
    s["cls.weight"] = (u[:, :r] * sv[:r]).reshape(len(w), r, 1, 1).contiguous()


def split_slim_state(slim, low_rank):
    """A slim recogniser's weights with every class behind the projection ->
    the same function with classes outside low_rank = (a, b) given full
    classifier rows (the product of their rows and the projection)."""
    s = {k: v.clone() for k, v in slim.items()}
    lo, hi = low_rank
    full = (s["cls.weight"].flatten(1) @ s["red.weight"].flatten(1))[:, :, None, None]
    _full_rows(s, full, s["cls.bias"], low_rank)
    s["cls.weight"], s["cls.bias"] = s["cls.weight"][lo:hi], s["cls.bias"][lo:hi]
    return s


def _full_rows(s, w, b, low_rank):
    """Gives the classes outside low_rank = (a, b) the full classifier rows
    w (K x C x 1 x 1) and biases b."""
    lo, hi = low_rank
    s["cls_lo.weight"], s["cls_lo.bias"] = w[:lo].clone(), b[:lo].clone()
    s["cls_hi.weight"], s["cls_hi.bias"] = w[hi:].clone(), b[hi:].clone()


def fold_bn(model):
    """Returns a copy with every Conv->BatchNorm pair merged into the conv.

    Works on the module tree: a BatchNorm2d that directly follows a Conv2d or
    ConvTranspose2d inside an nn.Sequential is merged and replaced by Identity
    (which exports to nothing).
    """
    import copy
    m = copy.deepcopy(model).eval()

    def merge(conv, bn):
        w = conv.weight.data
        std = torch.sqrt(bn.running_var + bn.eps)
        scale = bn.weight.data / std
        b = conv.bias.data if conv.bias is not None else torch.zeros(bn.num_features)
        if isinstance(conv, nn.ConvTranspose2d):
            # weight: in x out/groups x kh x kw
            w = w * scale.view(1, -1, 1, 1)
        else:
            w = w * scale.view(-1, 1, 1, 1)
        b = (b - bn.running_mean) * scale + bn.bias.data
        conv.weight.data = w
        conv.bias = nn.Parameter(b)

    def walk(mod):
        for child in mod.children():
            walk(child)
        if isinstance(mod, nn.Sequential):
            items = list(mod._modules.items())
            for (n1, a), (n2, b) in zip(items, items[1:]):
                if isinstance(a, (nn.Conv2d, nn.ConvTranspose2d)) and isinstance(b, nn.BatchNorm2d):
                    merge(a, b)
                    mod._modules[n2] = nn.Identity()

    walk(m)
    return m


def count_macs(model, x):
    """Multiply-accumulates of conv layers for input x."""
    total = [0]

    def hook(mod, inp, out):
        if isinstance(mod, nn.Conv2d):
            k = mod.kernel_size[0] * mod.kernel_size[1] * mod.in_channels // mod.groups
            total[0] += out.numel() * k
        elif isinstance(mod, nn.ConvTranspose2d):
            k = mod.kernel_size[0] * mod.kernel_size[1] * mod.out_channels // mod.groups
            total[0] += inp[0].numel() * k

    hs = [m.register_forward_hook(hook) for m in model.modules()
          if isinstance(m, (nn.Conv2d, nn.ConvTranspose2d))]
    with torch.no_grad():
        model(x)
    for h in hs:
        h.remove()
    return total[0]
