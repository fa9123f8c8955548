"""Rendered text lines and pages for training and evaluation, as BGR uint8
arrays like the images the library receives. All randomness comes from an
explicit numpy RandomState, so a seed determines a sample stream."""
import functools
import itertools
import math
import os
import re

import cv2
import numpy as np
from PIL import Image, ImageDraw, ImageFont

HERE = os.path.dirname(os.path.abspath(__file__))
DICT_PATH = os.path.normpath(os.path.join(HERE, "..", "..", "models", "ocrv3_cn.txt"))

# (path, face index): the faces used where no font scan can be made (fonts.py)
# and for the evaluation pages. Latin faces are only ever given ASCII text.
_WQY, _ARPHIC, _NOTO = ("/usr/share/fonts/%s/" % d for d in ("truetype/wqy", "truetype/arphic", "opentype/noto"))
CJK_TRAIN_FONTS = [(_WQY + "wqy-zenhei.ttc", 0), (_WQY + "wqy-zenhei.ttc", 1), (_ARPHIC + "uming.ttc", 0),
                   (_ARPHIC + "ukai.ttc", 0), (_NOTO + "NotoSansCJK-Regular.ttc", 2),
                   (_NOTO + "NotoSansCJK-Regular.ttc", 7), (_NOTO + "NotoSansCJK-Bold.ttc", 2),
                   (_NOTO + "NotoSerifCJK-Regular.ttc", 2)]
LATIN_TRAIN_FONTS = ([("/usr/share/fonts/truetype/dejavu/DejaVu%s.ttf" % n, 0)
                      for n in ("Sans", "Sans-Bold", "SansCondensed", "Serif", "SansMono")]
                     + [("/usr/share/fonts/truetype/liberation/Liberation%s.ttf" % n, 0)
                        for n in ("Sans-Regular", "Sans-Bold", "Serif-Regular", "Serif-Italic", "Mono-Regular",
                                  "SansNarrow-Regular")])
# Never used for training: only the evaluation set is rendered with it.
HELD_OUT_FONTS = [(_WQY + "wqy-microhei.ttc", 0)]
LISTED_FACES = {s: {"train": LATIN_TRAIN_FONTS if s == "latin" else CJK_TRAIN_FONTS, "val": HELD_OUT_FONTS}
                for s in ("latin", "sc", "tc")}
# Share of the rendered text drawn from the natural-text corpus (corpus.py),
# when it is built; the rest comes from the generators below.
NATURAL_SHARE = 0.55
NATURAL_LANGS = (("en", 0.4), ("zh_cn", 0.35), ("zh_tw", 0.15), ("mixed", 0.1))
_FACES, _CORPUS = None, None
COLUMN_LEADING = 1.1  # distance of characters in a column, in em
# Share of training lines with spaces whose word gaps are narrowed, and the
# narrowest gap as a share of the font's space.
NARROW_SPACE_SHARE = 0.35
NARROW_SPACE_MIN = 0.45
# Share of training lines set on a curved baseline (labels, bottles, arched
# shop signs), and the largest rise of the curve in em: lines cut out for the
# recogniser may bend more than lines on the detector's pages, whose box is a
# straight quad around the whole arc.
CURVE_SHARE_REC = 0.12
CURVE_SHARE_PAGE = 0.06
CURVE_AMP_REC = 0.6
CURVE_AMP_PAGE = 0.3
# Share of the Latin lines on a page over a photo cut to sign length.
SIGN_SHARE = 0.7


def load_dict(path=DICT_PATH):
    with open(path, encoding="utf-8") as f:
        entries = f.read().split("\n")
    return entries[:-1] if entries[-1] == "" else entries


def save_dict(path, entries):
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(entries) + "\n")


class Charset:
    """Dictionary plus the label mapping used by the library:
    0 = CTC blank, i = entry i (1-based), K-1 = space."""

    def __init__(self, path=DICT_PATH):
        self.entries = load_dict(path)
        self.index = {c: i + 1 for i, c in enumerate(self.entries)}
        self.space = len(self.entries) + 1
        self.num_classes = len(self.entries) + 2
        self.hanzi = [c for c in self.entries if "\u4e00" <= c <= "\u9fff"]
        self.cn_punct = [c for c in self.entries if ord(c) > 0x7E and not ("\u4e00" <= c <= "\u9fff")]

    def holds(self, text):
        return all(ch == " " or ch in self.index for ch in text)

    def encode(self, text):
        if not self.holds(text):
            raise KeyError("character not in dictionary: %r" % [ch for ch in text if not self.holds(ch)][0])
        return [self.space if ch == " " else self.index[ch] for ch in text]

    def decode_greedy(self, probs):
        """probs: T x K scores -> text (collapse repeats, drop blanks)."""
        return "".join(" " if k == self.space else self.entries[k - 1]
                       for k, _ in itertools.groupby(np.asarray(probs).argmax(axis=1)) if k != 0)


class FontCache:
    """PIL fonts by (face, size), the least recently used dropped beyond `capacity`."""

    def __init__(self, capacity=2048):
        self.get = functools.lru_cache(capacity)(
            lambda face, size: ImageFont.truetype(face[0], int(size), index=face[1]))


LOWER = "abcdefghijklmnopqrstuvwxyz"
UPPER = LOWER.upper()
DIGITS = "0123456789"
ASCII_PRINT = "".join(chr(c) for c in range(0x21, 0x7F))
ALNUM_UP = UPPER + DIGITS
CN_WORDS_UNITS = "年月日号元角分个件台份次页张米克斤吨"
CN_LABELS = ["订单号", "电话", "日期", "金额", "合计", "编号", "地址", "联系人", "发票号码",
             "数量", "单价", "备注", "手机", "时间", "价格", "总计", "型号", "批号"]


def _chars(rng, alphabet, n):
    return "".join(alphabet[i] for i in rng.randint(0, len(alphabet), n))


def _word(rng, lo=2, hi=10):
    w = _chars(rng, LOWER, rng.randint(lo, hi + 1))
    r = rng.rand()
    return w.capitalize() if r < 0.3 else w.upper() if r < 0.4 else w


def _digits(rng, n):
    return _chars(rng, DIGITS, n)


def _hanzi(rng, cs, n):
    return _chars(rng, cs.hanzi, n)


DATE_FORMATS = ("%(y)04d-%(m)02d-%(d)02d", "%(y)d年%(m)d月%(d)d日", "%(d)02d/%(m)02d/%(y)04d",
                "%(y)04d.%(m)02d.%(d)02d", "%(y)04d/%(m)d/%(d)d", "%(y)04d-%(m)02d-%(d)02d %(H)02d:%(M)02d",
                "%(H)02d:%(M)02d:%(S)02d", "%(y)04d年%(m)02d月")


def _date(rng):
    v = dict(y=rng.randint(1950, 2040), m=rng.randint(1, 13), d=rng.randint(1, 29))
    fmt = rng.randint(0, 8)
    if fmt in (5, 6):
        v.update(H=rng.randint(0, 24), M=rng.randint(0, 60), S=rng.randint(0, 60) if fmt == 6 else 0)
    return DATE_FORMATS[fmt] % v


def _amount(rng):
    v = rng.randint(0, 10 ** rng.randint(1, 7))
    cents = rng.randint(0, 100)
    s = "{:,}".format(v) if rng.rand() < 0.6 else str(v)
    if rng.rand() < 0.7:
        s += ".%02d" % cents
    r = rng.randint(0, 7)
    if r == 2:
        return "%.1f%%" % (rng.rand() * 100)
    return ("￥%s", "$%s", None, "%s元", "-%s", "RMB %s", "%s")[r] % s


def _code(rng):
    def blk(n, alpha=ALNUM_UP):
        return _chars(rng, alpha, n)
    return (lambda: "%s-%s-%s" % (blk(2, UPPER), _digits(rng, 4), blk(2, UPPER)),
            lambda: "SN:" + blk(rng.randint(5, 10)),
            lambda: "-".join(blk(rng.randint(3, 6)) for _ in range(rng.randint(2, 5))),
            lambda: blk(rng.randint(1, 3), UPPER) + _digits(rng, rng.randint(4, 12)),
            lambda: "No.%s" % _digits(rng, rng.randint(3, 10)),
            lambda: "#" + blk(rng.randint(3, 8)))[rng.randint(0, 6)]()


def _phone(rng):
    return (lambda: "1%s-%s-%s" % (_digits(rng, 2), _digits(rng, 4), _digits(rng, 4)),
            lambda: "+86 %d %s %s" % (rng.randint(10, 100), _digits(rng, 4), _digits(rng, 4)),
            lambda: "1" + _digits(rng, 10),
            lambda: "0%s-%s" % (_digits(rng, rng.randint(2, 4)), _digits(rng, rng.randint(7, 9))),
            lambda: "(%s) %s-%s" % (_digits(rng, 3), _digits(rng, 3), _digits(rng, 4)))[rng.randint(0, 5)]()


def _digit_groups(rng):
    """Space-separated digit groups (card and account numbers)."""
    n = rng.randint(2, 5)
    k = rng.randint(2, 5)
    return " ".join(_digits(rng, k if rng.rand() < 0.8 else rng.randint(1, 7)) for _ in range(n))


def _digit_dash(rng):
    """Digits separated by dashes (and sometimes other separators)."""
    parts = [_digits(rng, rng.randint(1, 6)) for _ in range(rng.randint(1, 6))]
    sep = "-" if rng.rand() < 0.75 else ["/", ".", ":", " - ", " "][rng.randint(0, 5)]
    return "-" + sep.join(parts) if rng.rand() < 0.1 else sep.join(parts)


def _punct(rng, t):
    """t, 30% of the time with a closing punctuation mark."""
    return t + ".,;:!?"[rng.randint(0, 6)] if rng.rand() < 0.3 else t


def spaced_text(rng):
    """ASCII items joined by single spaces (digits, words, codes, amounts,
    dates): word gaps between digits and after punctuation are the easiest
    to miss, so the recogniser sees extra lines of this kind."""
    items = []
    for _ in range(rng.randint(2, 7)):
        r = rng.rand()
        items.append(_digits(rng, rng.randint(1, 6)) if r < 0.5 else _punct(rng, _word(rng, 1, 6)) if r < 0.8
                     else [_code, _amount, _date][rng.randint(0, 3)](rng))
    return " ".join(items)


MONTHS = ["JAN", "FEB", "MAR", "APR", "MAY", "JUN", "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"]
DATE_LABELS = ["DATE", "Date", "DATE/TIME", "Date/Time", "INVOICE DATE", "TRANS DATE", "Tarikh"]
TOTAL_LABELS = ["TOTAL", "Total", "GRAND TOTAL", "Grand Total", "NETT TOTAL", "Nett Total",
                "TOTAL AMOUNT", "Total Amount", "ROUNDED TOTAL", "TOTAL (RM)", "Total Incl. GST",
                "TOTAL INCLUSIVE GST", "Total Sales (Inclusive GST)", "AMOUNT DUE", "CASH", "Cash",
                "CHANGE", "Change", "SUBTOTAL", "Sub Total", "ROUNDING", "GST 6%"]


def _receipt_date(rng):
    """A date as receipts print it: day first, padded or not, a two- or
    four-digit year or a month name, often followed by the time."""
    y, m, d = rng.randint(2000, 2031), rng.randint(1, 13), rng.randint(1, 32)
    year = "%02d" % (y % 100) if rng.rand() < 0.35 else "%04d" % y
    sep = "/-."[rng.randint(0, 3)]
    r = rng.randint(0, 5)
    if r == 0:
        s = "%d%s%d%s%s" % (d, sep, m, sep, year)
    elif r in (1, 2):
        s = "%02d%s%02d%s%s" % (d, sep, m, sep, year)
    elif r == 3:
        month = MONTHS[m - 1] if rng.rand() < 0.8 else MONTHS[m - 1].capitalize()
        sep = sep if rng.rand() < 0.6 else " "
        s = "%02d%s%s%s%s" % (d, sep, month, sep, year)
    else:
        s = "%s %d, %04d" % (MONTHS[m - 1].capitalize(), d, y)
    if rng.rand() < 0.5:
        s += " %02d:%02d" % (rng.randint(0, 24), rng.randint(0, 60))
        if rng.rand() < 0.6:
            s += ":%02d" % rng.randint(0, 60)
        if rng.rand() < 0.3:
            s += " " + ("AM", "PM")[rng.randint(0, 2)]
    return s


def receipt_line(rng):
    """A receipt's date or amount line: a label such as "DATE:" or "GRAND
    TOTAL" (sometimes none), then the date or the amount in the forms
    receipts print, with or without a currency."""
    colon = ["", ":", " :"][rng.randint(0, 3)]
    if rng.rand() < 0.45:
        value = _receipt_date(rng)
        label = DATE_LABELS[rng.randint(0, len(DATE_LABELS))]
    else:
        cents = rng.randint(0, 100)
        units = rng.randint(0, 10 ** rng.randint(1, 5))
        value = ("{:,}".format(units) if rng.rand() < 0.3 else str(units)) + ".%02d" % cents
        value = ["", "", "RM", "RM ", "$", "MYR "][rng.randint(0, 6)] + value
        label = TOTAL_LABELS[rng.randint(0, len(TOTAL_LABELS))]
    return value if rng.rand() < 0.25 else label + colon + " " + value


def latin_words(rng):
    """One to six words of letters, mostly lower case."""
    words = [_chars(rng, LOWER, rng.randint(1, 11)) for _ in range(rng.randint(1, 7))]
    if rng.rand() < 0.5:
        words[0] = words[0].capitalize()
    return _punct(rng, " ".join(words))


def hanzi_line(rng, cs):
    """1-14 characters drawn uniformly from the dictionary's hanzi, some with
    punctuation: every character as often as any other, which natural text,
    where a few thousand characters make up nearly all, never gives."""
    n = rng.randint(1, 15)
    t = _hanzi(rng, cs, n)
    if rng.rand() < 0.3 and n > 3:
        p = rng.randint(1, n)
        t = t[:p] + cs.cn_punct[rng.randint(0, len(cs.cn_punct))] + t[p:]
    if rng.rand() < 0.2:
        t += "，。；：！？"[rng.randint(0, 6)]
    return t


def random_text(rng, cs):
    """Returns (text, cjk) where cjk tells whether a CJK font is required."""
    if rng.rand() < NATURAL_SHARE:
        t = natural_text(rng, 40)
        if t:
            return t, needs_cjk(t)
    r = rng.rand()
    if r < 0.38:
        return hanzi_line(rng, cs), True
    if r < 0.50:  # digits and dashes: must be read exactly
        return (_digit_groups(rng) if rng.rand() < 0.15 else _digit_dash(rng)), False
    if r < 0.57:
        return _date(rng), None
    if r < 0.62:
        return _amount(rng), None
    if r < 0.67:
        return _code(rng), False
    if r < 0.72:
        return _phone(rng), False
    if r < 0.81:  # Latin words
        return _punct(rng, " ".join([_word(rng) for _ in range(rng.randint(1, 5))])), False
    if r < 0.86:  # random printable ASCII
        return _chars(rng, ASCII_PRINT, rng.randint(1, 16)), False
    lab = CN_LABELS[rng.randint(0, len(CN_LABELS))] if rng.rand() < 0.6 else _hanzi(rng, cs, rng.randint(1, 5))
    val = [_date, _amount, _code, _phone, _digit_dash, _word][rng.randint(0, 6)](rng)
    sep = ["：", ":", " ", "", "："][rng.randint(0, 5)]
    t = lab + sep + val
    if rng.rand() < 0.3:
        t += _hanzi(rng, cs, rng.randint(1, 4))
    if rng.rand() < 0.2:
        t = str(rng.randint(1, 100)) + CN_WORDS_UNITS[rng.randint(0, len(CN_WORDS_UNITS))] + t
    return t, True


def line_text(rng, cs):
    """(text, cjk) of one document line: one random_text item, sometimes two
    joined (by a space unless the result holds Chinese)."""
    t, c = random_text(rng, cs)
    if rng.rand() < 0.3:  # longer lines, as in documents
        t2, _ = random_text(rng, cs)
        t = t + " " + t2 if not needs_cjk(t + t2) or rng.rand() < 0.3 else t + t2
    return t, (True if needs_cjk(t) else c)


def font_sets():
    """{"latin"|"sc"|"tc": {"train": faces, "val": held-out faces}} of
    fonts.py, or the faces listed above where no font scan can be made."""
    global _FACES
    if _FACES is None:
        try:
            import fonts
            _FACES = fonts.font_sets()
        except (ImportError, RuntimeError, OSError):
            _FACES = LISTED_FACES
    return _FACES


def use_listed_sources():
    """Renders with the faces listed above and the generators alone, as
    the evaluation pages were first made: none of the training text."""
    global _FACES, NATURAL_SHARE
    _FACES, NATURAL_SHARE = LISTED_FACES, 0.0


def covers(face, text):
    try:
        import fonts
    except ImportError:
        return True
    return fonts.covers(face, text)


def pick_font(rng, text, train=True, cjk=None):
    """A face with a glyph for every character of `text`: one of the CJK
    faces for text beyond ASCII (or with cjk=True), else a Latin face or,
    for cjk=None, 40% of the time a CJK face's Latin glyphs. train=False
    takes the held-out faces."""
    part = "train" if train else "val"
    sets = font_sets()
    cjk_faces = sets["sc"][part] + [f for f in sets["tc"][part] if f not in sets["sc"][part]]
    wide = needs_cjk(text) or cjk or (cjk is None and rng.rand() < 0.4)
    pool = cjk_faces if wide else sets["latin"][part]
    for _ in range(40):
        face = pool[rng.randint(len(pool))]
        if covers(face, text):
            return face
    for face in pool + cjk_faces + sets["latin"][part]:
        if covers(face, text):
            return face
    return pool[0]


def natural_text(rng, max_chars=40):
    """A line of natural text from the corpus (None when it is not built)."""
    global _CORPUS
    if _CORPUS is None:
        try:
            import corpus
            _CORPUS = corpus.Corpus()
        except (ImportError, OSError, ValueError):
            _CORPUS = False
    if not _CORPUS:
        return None
    langs, p = zip(*NATURAL_LANGS)
    t = _CORPUS.line(rng, langs[rng.choice(len(langs), p=p)], max_chars)
    if rng.rand() < 0.2:
        import corpus
        t = corpus.with_tokens(rng, t, max_chars)
    return t


def needs_cjk(text):
    return any(ord(c) > 0x7E for c in text)


def render_text_mask(text, font, spacing=0.0, space_scale=1.0):
    """(float32 coverage mask, (x0, y0, x1, y1) of its ink or None). `spacing`
    is extra letter spacing in px; `space_scale` scales the advance of every
    space (condensed receipt and form print has far narrower word gaps)."""
    size = font.size
    pad = int(size * 0.5) + 4
    # Drawn piece by piece: letters with letter spacing, else words (which
    # keep their kerning) with scaled spaces, else the whole text at once.
    pieces = (list(text) if spacing != 0.0 else
              re.split("( )", text) if space_scale != 1.0 and " " in text else [text])

    def advance(p):
        return font.getlength(p) * (space_scale if p == " " else 1.0) + spacing

    img = Image.new("L", (max(int(sum(advance(p) for p in pieces)) + 2 * pad, 2 * pad + 1),
                          int(size * 1.6) + 2 * pad), 0)
    d = ImageDraw.Draw(img)
    x = float(pad)
    for p in pieces:
        if p:
            d.text((x, pad), p, fill=255, font=font)
        x += advance(p)
    return _with_ink_box(np.asarray(img, dtype=np.float32) / 255.0)


def render_column_mask(text, font):
    """Like render_text_mask, the characters stacked top to bottom, each
    upright and centred, as Chinese is set in columns."""
    size = font.size
    pad = int(size * 0.5) + 4
    step = int(size * COLUMN_LEADING) + 1
    width = 2 * size + 2 * pad
    img = Image.new("L", (width, step * len(text) + 2 * pad), 0)
    d = ImageDraw.Draw(img)
    for i, ch in enumerate(text):
        d.text(((width - font.getlength(ch)) / 2.0, pad + i * step), ch, fill=255, font=font)
    return _with_ink_box(np.asarray(img, dtype=np.float32) / 255.0)


def bend_mask(mask, ink, amp):
    """The mask with its baseline bent: an arc (up or down) when amp is a
    float, each column moved by up to |amp| px; or a wave when amp is a
    (amplitude, periods, phase) tuple. Returns (mask, ink box) like
    render_text_mask; the mask grows by the amplitude at top and bottom so
    no ink is cut off. Glyphs stay upright, which is close enough to text
    set on a curve as long as the curve is gentle per glyph."""
    x0, x1 = ink[0], ink[2]
    width = max(x1 - x0, 1)
    u = (np.arange(mask.shape[1], dtype=np.float32) - x0) / width  # 0..1 across the ink
    if isinstance(amp, tuple):
        a, periods, phase = amp
        dy = a * np.sin(2 * np.pi * periods * u + phase)
    else:
        a = amp
        dy = amp * (1.0 - (2.0 * np.clip(u, 0, 1) - 1.0) ** 2)
    pad = int(math.ceil(abs(a))) + 1
    src = cv2.copyMakeBorder(mask, pad, pad, 0, 0, cv2.BORDER_CONSTANT, value=0)
    h, w = src.shape
    map_x = np.tile(np.arange(w, dtype=np.float32), (h, 1))
    map_y = np.arange(h, dtype=np.float32)[:, None] + dy[None, :].astype(np.float32)
    return _with_ink_box(cv2.remap(src, map_x, map_y, cv2.INTER_LINEAR, borderValue=0))


def random_bend(rng, mask, ink, size, max_amp):
    """bend_mask with a random arc or wave of at most max_amp em."""
    a = size * max_amp * rng.uniform(0.25, 1.0) * (1 if rng.rand() < 0.5 else -1)
    if rng.rand() < 0.3:
        return bend_mask(mask, ink, (0.6 * a, rng.uniform(0.5, 1.5), rng.uniform(0, 2 * np.pi)))
    return bend_mask(mask, ink, a)


def _with_ink_box(m):
    """(mask, (x0, y0, x1, y1) of its ink) or (mask, None) when it holds none."""
    ys, xs = np.nonzero(m > 0.2)
    if len(xs) == 0:
        return m, None
    return m, (int(xs.min()), int(ys.min()), int(xs.max()) + 1, int(ys.max()) + 1)


def line_box(ink, font_size):
    """Line box (x0, y0, x1, y1) around the ink: at least 0.6 em tall, plus a
    margin of 10% of its height on every side."""
    x0, y0, x1, y1 = ink
    h = max(y1 - y0, 0.6 * font_size)
    if y1 - y0 < h:
        cy = (y0 + y1) / 2.0
        y0, y1 = cy - h / 2, cy + h / 2
    m = 0.1 * h + 1
    return (x0 - m, y0 - m, x1 + m, y1 + m)


def _luma(c):
    return 0.299 * c[0] + 0.587 * c[1] + 0.114 * c[2]


def random_colors(rng):
    """(background colour A, background colour B, text colour) as RGB floats."""
    if rng.rand() < 0.22:  # light text on dark background
        bg = rng.randint(0, 110, 3).astype(np.float32)
        bg2 = np.clip(bg + rng.randint(-40, 41, 3), 0, 255).astype(np.float32)
        while True:
            fg = rng.randint(120, 256, 3).astype(np.float32)
            if _luma(fg) - max(_luma(bg), _luma(bg2)) > 70:
                break
    else:
        if rng.rand() < 0.5:
            v = rng.randint(190, 256)
            bg = np.array([v, v, v], np.float32) + rng.randint(-12, 13, 3)
        else:
            bg = rng.randint(130, 256, 3).astype(np.float32)
        bg = np.clip(bg, 0, 255)
        bg2 = np.clip(bg + rng.randint(-50, 51, 3), 0, 255).astype(np.float32)
        while True:
            if rng.rand() < 0.6:
                v = rng.randint(0, 80)
                fg = np.array([v, v, v], np.float32) + rng.randint(-10, 11, 3)
            else:
                fg = rng.randint(0, 180, 3).astype(np.float32)
            fg = np.clip(fg, 0, 255)
            if min(_luma(bg), _luma(bg2)) - _luma(fg) > 70:
                break
    return bg, bg2, fg


# Text-free photographs and artwork from Debian's wallpaper packages (not
# gnome-backgrounds: patterns and symbols). Every picture these globs find
# was looked at; the one with lettering is left out.
WALLPAPER_GLOBS = ("/usr/share/wallpapers/*/contents/images/*.jpg", "/usr/share/backgrounds/mate/nature/*.jpg",
                   "/usr/share/backgrounds/*.jpg", "/usr/share/backgrounds/*.png")
WALLPAPER_WITH_TEXT = ("focal-ubuntukylin.png",)  # shows a version number


class Photos:
    """Text-free pictures, decoded once at most `side` px on the longer side,
    from which random crops are cut (RGB float32)."""

    def __init__(self, globs=WALLPAPER_GLOBS, side=1600):
        import glob
        by_dir = {}
        for g in globs:
            for f in sorted(glob.glob(g)):
                if os.path.basename(f) in WALLPAPER_WITH_TEXT:
                    continue
                # One file per wallpaper (the packages ship several sizes).
                key = os.path.dirname(f) if "/contents/images" in f else f
                if key not in by_dir or os.path.getsize(f) > os.path.getsize(by_dir[key]):
                    by_dir[key] = f
        self.files = sorted(by_dir.values())
        self.side = side
        self.images = {}

    def __len__(self):
        return len(self.files)

    def _get(self, i):
        img = self.images.get(i)
        if img is None:
            img = cv2.imread(self.files[i], cv2.IMREAD_COLOR)
            if img is None:
                raise RuntimeError("cannot read " + self.files[i])
            f = self.side / float(max(img.shape[:2]))
            if f < 1.0:
                img = cv2.resize(img, None, fx=f, fy=f, interpolation=cv2.INTER_AREA)
            self.images[i] = img
        return img

    def crop(self, rng, h, w):
        """A random h x w crop (BGR uint8) at a random scale, maybe mirrored."""
        img = self._get(int(rng.randint(len(self.files))))
        ih, iw = img.shape[:2]
        f = max(h / float(ih), w / float(iw)) * rng.uniform(1.0, 3.0)
        sh, sw = int(math.ceil(ih * f)), int(math.ceil(iw * f))
        y0 = int(rng.randint(0, sh - h + 1))
        x0 = int(rng.randint(0, sw - w + 1))
        # Cut from the source first, so a large scale never resizes the whole picture.
        sy0, sx0 = int(y0 / f), int(x0 / f)
        sy1, sx1 = min(ih, int(math.ceil((y0 + h) / f)) + 1), min(iw, int(math.ceil((x0 + w) / f)) + 1)
        part = cv2.resize(img[sy0:sy1, sx0:sx1], (w, h), interpolation=cv2.INTER_LINEAR)
        if rng.rand() < 0.5:
            part = part[:, ::-1]
        return np.ascontiguousarray(part)


_photos, _photo_prob = None, 0.0


def use_photo_backgrounds(photos, prob):
    """From now on a fraction `prob` of rendered backgrounds is a photo crop
    (training only; evaluation pages keep the plain backgrounds)."""
    global _photos, _photo_prob
    _photos = photos if photos is not None and len(photos) else None
    _photo_prob = prob if _photos is not None else 0.0


def photo_background(rng):
    """Whether the next rendered background is to be a photo crop."""
    return bool(_photo_prob) and rng.rand() < _photo_prob


def sign_text(rng, text):
    """The first one to three words of a Latin line, as signs and labels in
    photos hold them (mostly one word): scene photos are annotated per word,
    so long rendered lines over photos would teach the detector to join the
    words that the street sets keep apart."""
    words = text.split()
    n = 1 if rng.rand() < 0.6 else 2 if rng.rand() < 0.6 else 3
    return " ".join(words[:n]) if len(words) > n else text


def gauss_noise(rng, shape, sigma):
    """float32 Gaussian noise. OpenCV draws it several times faster than
    numpy (which took a sixth of a training batch's time); its generator is
    seeded from `rng`, so that a seeded run stays reproducible."""
    out = np.empty(shape, np.float32)
    cv2.setRNGSeed(int(rng.randint(2 ** 31 - 1)))
    cv2.randn(out.reshape(shape[0], -1), 0.0, float(sigma))
    return out


def make_background(rng, h, w, c1, c2, photo=None):
    """RGB float32 background: flat, gradient or a smooth noise texture, or
    (when enabled) a photo crop whose brightness is pulled to `c1`, so that
    text coloured against `c1` stays legible on it. photo=True/False asks
    for a photo or not (see photo_background); None draws that at random."""
    if photo is None:
        photo = photo_background(rng)
    if photo:
        crop = cv2.cvtColor(_photos.crop(rng, h, w), cv2.COLOR_BGR2RGB).astype(np.float32)
        return np.clip(c1[None, None, :] + (crop - crop.mean((0, 1))) * rng.uniform(0.2, 0.5), 0, 255)
    r = rng.rand()
    if r < 0.35:
        img = np.full((h, w, 3), c1, np.float32)
    elif r < 0.65:
        ang = rng.rand() * 2 * math.pi
        yy, xx = np.mgrid[0:h, 0:w].astype(np.float32)
        t = xx * math.cos(ang) + yy * math.sin(ang)
        t = (t - t.min()) / max(float(t.max() - t.min()), 1.0)
        img = c1[None, None, :] * (1 - t[..., None]) + c2[None, None, :] * t[..., None]
    else:
        gh, gw = rng.randint(2, 12), rng.randint(2, 16)
        g = np.clip(cv2.resize(rng.rand(gh, gw).astype(np.float32), (w, h), interpolation=cv2.INTER_CUBIC), 0, 1)
        img = c1[None, None, :] * (1 - g[..., None]) + c2[None, None, :] * g[..., None]
    if rng.rand() < 0.4:  # fine texture
        n = gauss_noise(rng, (h // 2 + 1, w // 2 + 1), rng.uniform(3, 15))
        img = img + cv2.resize(n, (w, h), interpolation=cv2.INTER_LINEAR)[..., None]
    return img


def blend(img, mask, color, alpha=1.0):
    a = (mask * alpha)[..., None]
    return img * (1 - a) + color[None, None, :] * a


def degrade(img, rng, strength=1.0):
    """BGR/RGB uint8 -> uint8 with blur, noise and JPEG artefacts."""
    out = img
    if rng.rand() < 0.3 * strength:
        k = rng.choice([3, 5]) if rng.rand() < 0.5 else 3
        out = cv2.GaussianBlur(out, (k, k), rng.uniform(0.3, 1.3))
    if rng.rand() < 0.15 * strength:  # slight motion blur
        k = rng.randint(2, 4)
        kern = np.zeros((k, k), np.float32)
        kern[k // 2, :] = 1.0 / k
        out = cv2.filter2D(out, -1, kern)
    if rng.rand() < 0.4 * strength:
        out = np.clip(out.astype(np.float32) + gauss_noise(rng, out.shape, rng.uniform(2, 14)), 0, 255).astype(np.uint8)
    if rng.rand() < 0.4 * strength:
        ok, buf = cv2.imencode(".jpg", out, [cv2.IMWRITE_JPEG_QUALITY, int(rng.randint(30, 96))])
        if ok:
            out = cv2.imdecode(buf, cv2.IMREAD_COLOR)
    return out


def _affine(q, M):
    """Points q (N x 2) through the 2 x 3 affine M."""
    return np.concatenate([q, np.ones((len(q), 1), np.float32)], 1) @ M.T.astype(np.float32)


def _to_bgr_u8(rgb_float):
    return np.ascontiguousarray(np.clip(rgb_float, 0, 255).astype(np.uint8)[..., ::-1])


def crop_quad(img, quad, interp=cv2.INTER_CUBIC):
    """Upright crop of a box (TL, TR, BR, BL) as the library cuts it: the
    longer of the opposite edges, turned a quarter counter-clockwise when
    h >= 3w."""
    q = np.asarray(quad, np.float32)
    w = int(max(np.linalg.norm(q[0] - q[1]), np.linalg.norm(q[2] - q[3])))
    h = int(max(np.linalg.norm(q[0] - q[3]), np.linalg.norm(q[1] - q[2])))
    w, h = max(w, 1), max(h, 1)
    dst = np.array([[0, 0], [w, 0], [w, h], [0, h]], np.float32)
    M = cv2.getPerspectiveTransform(q, dst)
    out = cv2.warpPerspective(img, M, (w, h), borderMode=cv2.BORDER_REPLICATE, flags=interp)
    if h >= 3 * w:
        out = np.rot90(out).copy()
    return out


def make_rec_sample(rng, cs, fonts, train=True, text=None, cjk=None):
    """One line crop (BGR uint8, roughly the detector's box) and its text."""
    for _ in range(20):
        t, c = line_text(rng, cs) if text is None else (text, cjk)
        face = pick_font(rng, t, train, c or needs_cjk(t))
        r = rng.rand()
        size = int(rng.randint(16, 30) if r < 0.3 else rng.randint(30, 64) if r < 0.9 else rng.randint(12, 16))
        font = fonts.get(face, size)
        # Letter spacing; kept well below a space's width when the line has
        # spaces so word gaps stay distinguishable from letter gaps.
        spacing = 0.0 if rng.rand() < 0.7 else rng.uniform(-0.05, 0.12 if " " in t else 0.35) * size
        # Narrow word gaps, as condensed receipt and form print has them.
        space_scale = rng.uniform(NARROW_SPACE_MIN, 0.85) if " " in t and rng.rand() < NARROW_SPACE_SHARE else 1.0
        mask, ink = render_text_mask(t, font, spacing, space_scale)
        if ink is not None and train and rng.rand() < CURVE_SHARE_REC:
            mask, ink = random_bend(rng, mask, ink, size, CURVE_AMP_REC)
        if ink is not None:
            break
        if text is not None:
            raise RuntimeError("nothing rendered for %r" % t)
    else:
        raise RuntimeError("could not render a line")

    bx0, by0, bx1, by1 = line_box(ink, size)
    bh = by1 - by0
    # Canvas with room for neighbours and rotation.
    mh, mw = mask.shape
    ox = oy = int(bh * 1.2) + 4
    canvas_h, canvas_w = mh + 2 * oy, mw + 2 * ox
    full = np.zeros((canvas_h, canvas_w), np.float32)
    full[oy:oy + mh, ox:ox + mw] = mask
    # Occasionally a neighbouring line above/below that may leak into the crop.
    if train and rng.rand() < 0.25:
        t2, c2 = random_text(rng, cs)
        m2, ink2 = render_text_mask(t2, fonts.get(pick_font(rng, t2, train, c2), size))
        if ink2 is not None:
            gap = int(rng.uniform(1.1, 1.6) * bh)
            y = oy + (gap if rng.rand() < 0.5 else -gap)
            x = ox + rng.randint(-mw // 4, mw // 4 + 1)
            ys0, xs0 = max(0, y), max(0, x)
            ys1, xs1 = min(canvas_h, y + m2.shape[0]), min(canvas_w, x + m2.shape[1])
            if ys1 > ys0 and xs1 > xs0:
                full[ys0:ys1, xs0:xs1] = np.maximum(full[ys0:ys1, xs0:xs1],
                                                    m2[ys0 - y:ys1 - y, xs0 - x:xs1 - x])
    c1, c2, fg = random_colors(rng)
    img = blend(make_background(rng, canvas_h, canvas_w, c1, c2), full, fg,
                rng.uniform(0.75, 1.0) if rng.rand() < 0.3 else 1.0)
    if rng.rand() < 0.1:  # underline
        yline = int(oy + by1 + rng.uniform(-0.05, 0.1) * bh)
        cv2.line(img, (int(ox + bx0), yline), (int(ox + bx1), yline), fg.tolist(), max(1, size // 20))
    img = _to_bgr_u8(img)

    # Box in canvas coordinates with jittered margins (the detector's box is
    # never exact), optionally rotated with the whole canvas.
    x0 = ox + bx0 - rng.uniform(-0.05, 0.5) * bh
    x1 = ox + bx1 + rng.uniform(-0.05, 0.5) * bh
    y0 = oy + by0 - rng.uniform(-0.08, 0.25) * bh
    y1 = oy + by1 + rng.uniform(-0.08, 0.25) * bh
    quad = np.array([[x0, y0], [x1, y0], [x1, y1], [x0, y1]], np.float32)
    quad += rng.uniform(-0.04, 0.04, quad.shape).astype(np.float32) * bh
    ang = (rng.uniform(-4, 4) if rng.rand() < 0.8 else rng.uniform(-15, 15)) if rng.rand() < 0.5 else 0.0
    if ang != 0.0:
        M = cv2.getRotationMatrix2D((canvas_w / 2.0, canvas_h / 2.0), ang, 1.0)
        img = cv2.warpAffine(img, M, (canvas_w, canvas_h), flags=cv2.INTER_LINEAR,
                             borderMode=cv2.BORDER_REPLICATE)
        quad = _affine(quad, M)
        # A detector box on rotated text is itself rotated: keep the quad as
        # is, with a little residual angle error.
        err = rng.uniform(-1.0, 1.0)
        if err:
            c = quad.mean(0)
            quad = _affine(quad, cv2.getRotationMatrix2D((float(c[0]), float(c[1])), err, 1.0))
    if train:
        img = degrade(img, rng)
    return crop_quad(img, quad, cv2.INTER_CUBIC if rng.rand() < 0.5 else cv2.INTER_LINEAR), t


def make_column_rec_sample(rng, cs, fonts, train=True):
    """(crop, text) of a standing Chinese line (set top to bottom), turned a
    quarter counter-clockwise as the library turns a tall cut-out."""
    t = ""
    for _ in range(4):
        t = (natural_text(rng, 14) or "").replace(" ", "")
        if needs_cjk(t):
            break
    if not needs_cjk(t):
        t = _hanzi(rng, cs, 6)
    t = t[:rng.randint(4, 13)]
    size = int(rng.randint(20, 64))
    mask, ink = render_column_mask(t, fonts.get(pick_font(rng, t, train, True), size))
    if ink is None:
        raise RuntimeError("nothing rendered for %r" % t)
    c1, c2, fg = random_colors(rng)
    img = _to_bgr_u8(blend(make_background(rng, mask.shape[0], mask.shape[1], c1, c2), mask, fg))
    if train:
        img = degrade(img, rng)
    x0, y0, x1, y1 = ink
    m = 0.1 * size + 1
    x0, x1 = x0 - m * rng.uniform(0.3, 2.5), x1 + m * rng.uniform(0.3, 2.5)
    y0, y1 = y0 - m * rng.uniform(0.3, 2.0), y1 + m * rng.uniform(0.3, 2.0)
    crop = crop_quad(img, np.array([[x0, y0], [x1, y0], [x1, y1], [x0, y1]], np.float32))
    return (np.rot90(crop).copy() if crop.shape[0] > crop.shape[1] else crop), t


def rec_resize(crop, min_w=320, height=48):
    """Library step 1: keep aspect ratio, height 48, pad right with 127 to
    W = int(48 * max(320/48, ratio))."""
    ratio = crop.shape[1] / float(crop.shape[0])
    W = int(height * max(min_w / float(height), ratio))
    w = max(min(int(math.ceil(height * ratio)), W), 1)
    out = np.full((height, W, 3), 127, np.uint8)
    out[:, :w] = cv2.resize(crop, (w, height), interpolation=cv2.INTER_LINEAR)
    return out


def rec_normalize(img):
    """Library steps 2-4 on a padded 48 x W BGR uint8 line: blur, scale to
    [-1, 1], CHW float32."""
    b = cv2.GaussianBlur(img, (3, 3), 1.0, 0.0)
    v = (b.astype(np.float32) / 255.0 - 0.5) * 2.0
    return np.ascontiguousarray(v.transpose(2, 0, 1))


def rec_preprocess(crop):
    """Exactly what the library feeds the recogniser for one crop: 3 x 48 x W."""
    return rec_normalize(rec_resize(crop))


def rec_batch(crops, min_w=320, height=48, multiple=8):
    """Batch of crops padded to a common width (>= 320, multiple of 8)."""
    resized = []
    for c in crops:
        rows, cols = c.shape[:2]
        w = max(1, int(math.ceil(height * cols / float(rows))))
        resized.append(cv2.resize(c, (w, height), interpolation=cv2.INTER_LINEAR))
    W = int(math.ceil(max(min_w, max(r.shape[1] for r in resized)) / float(multiple)) * multiple)
    x = np.empty((len(crops), 3, height, W), np.float32)
    for i, r in enumerate(resized):
        img = np.full((height, W, 3), 127, np.uint8)
        img[:, :r.shape[1]] = r
        x[i] = rec_normalize(img)
    return x


DET_MEAN = np.array([0.485, 0.456, 0.406], np.float32)
DET_SCALE = np.array([1 / 0.229, 1 / 0.224, 1 / 0.225], np.float32)


def det_normalize(img):
    v = (img.astype(np.float32) / 255.0 - DET_MEAN) * DET_SCALE
    return np.ascontiguousarray(v.transpose(2, 0, 1))


def det_preprocess(page, pad=20, limit=3840):
    """Library detector preprocessing of a page: returns (CHW float32,
    (ratio_h, ratio_w)) where ratio maps padded-page pixels to input pixels."""
    p = cv2.copyMakeBorder(page, pad, pad, pad, pad, cv2.BORDER_CONSTANT, value=(127, 127, 127))
    h, w = p.shape[:2]
    ratio = min(1.0, limit / float(max(h, w)))
    rh = max(int(round(int(h * ratio) / 32.0) * 32), 32)
    rw = max(int(round(int(w * ratio) / 32.0) * 32), 32)
    p = cv2.resize(p, (rw, rh), interpolation=cv2.INTER_LINEAR)
    return det_normalize(p), (rh / float(h), rw / float(w))


def shrink_distance(w, h, ratio=2.0):
    """Per-side shrink d such that growing the shrunk (w-2d) x (h-2d) box by
    area * ratio / perimeter gives back d (ratio = 2.0: solved in closed form)."""
    s = w + h
    disc = 9.0 * s * s - 32.0 * w * h
    return (3.0 * s - math.sqrt(max(disc, 0.0))) / 16.0


def grow_quad(q, d, along=None):
    """A rectangle quad (TL, TR, BR, BL) grown by d on every side (by `along`
    at the two ends of the line when given); d < 0 shrinks it."""
    q = np.asarray(q, np.float32)
    ex, ey = q[1] - q[0], q[3] - q[0]
    ux = ex / max(float(np.linalg.norm(ex)), 1e-6)
    uy = ey / max(float(np.linalg.norm(ey)), 1e-6)
    a = d if along is None else along
    return np.array([q[0] - ux * a - uy * d, q[1] + ux * a - uy * d,
                     q[2] + ux * a + uy * d, q[3] - ux * a + uy * d], np.float32)


def shrink_quad(quad):
    """The detector's target region of a rectangle quad (None when tiny)."""
    q = np.asarray(quad, np.float32)
    w, h = float(np.linalg.norm(q[1] - q[0])), float(np.linalg.norm(q[3] - q[0]))
    return None if w < 1 or h < 1 else grow_quad(q, -shrink_distance(w, h))


def fill_quad(img, q, value):
    """Fills quad q into img in place, at a quarter pixel's precision."""
    cv2.fillPoly(img, [np.round(q * 4).astype(np.int32)], value, shift=2)


def det_target(quads, shape):
    t = np.zeros(shape[:2], np.float32)
    for s in map(shrink_quad, quads):
        if s is not None:
            fill_quad(t, s, 1.0)
    return t


HERSHEY_FACES = (cv2.FONT_HERSHEY_SIMPLEX, cv2.FONT_HERSHEY_PLAIN, cv2.FONT_HERSHEY_DUPLEX,
                 cv2.FONT_HERSHEY_COMPLEX, cv2.FONT_HERSHEY_TRIPLEX)


def render_hershey_mask(text, size, rng):
    """ASCII text in one of OpenCV's stroke (Hershey) fonts, with a random
    stroke weight: plotter-like letters with wide gaps around narrow signs.
    Returns (mask, ink_box) like render_text_mask."""
    face = HERSHEY_FACES[rng.randint(len(HERSHEY_FACES))]
    (_, cap), _ = cv2.getTextSize("H", face, 1.0, 1)
    scale = 0.7 * size / max(cap, 1)
    thick = max(1, int(round(scale * rng.uniform(0.8, 2.5))))
    (w, h), base = cv2.getTextSize(text, face, scale, thick)
    pad = int(size * 0.5) + 4 + thick
    canvas = np.zeros((h + base + 2 * pad, w + 2 * pad), np.uint8)
    cv2.putText(canvas, text, (pad, pad + h), face, scale, 255, thick, cv2.LINE_AA)
    return _with_ink_box(canvas.astype(np.float32) / 255.0)


def make_page(rng, cs, fonts, width, height, train=True, max_lines=40, min_lines=1,
              size_range=(12, 80), rot_prob=0.3, max_angle=20.0, page_border=True,
              held_out_prob=0.0, vert_prob=0.0, hershey_prob=0.0):
    """(BGR uint8 page, quads, texts). train=False renders a clean page (no
    stray strokes, border or degradation), a fraction `held_out_prob` of its
    lines in the held-out faces; in training a fraction `hershey_prob` of the
    ASCII lines is in OpenCV's stroke fonts. A gap of at least ~0.3 line
    heights keeps the lines' shrunk regions apart. A fraction `vert_prob` of
    the lines stands (mostly turned clockwise, reading top to bottom)."""
    c1, c2, fg = random_colors(rng)
    on_photo = photo_background(rng)
    img = make_background(rng, height, width, c1, c2, on_photo)
    occ = np.zeros((height, width), np.uint8)
    quads, texts = [], []
    n_target = rng.randint(min_lines, max_lines + 1)
    tries = 0
    page_angle = rng.uniform(-max_angle, max_angle) if rng.rand() < rot_prob else 0.0
    # The library pads pages with a 20 px grey border; show some of that at
    # the edges and keep text out of it.
    border_sides = [s for s in range(4) if rng.rand() < 0.15] if (train and page_border) else []
    for side in border_sides:
        occ[_edge(side, 22)] = 1
    while len(quads) < n_target and tries < n_target * 4:
        tries += 1
        t, c = line_text(rng, cs)
        if on_photo and not needs_cjk(t) and rng.rand() < SIGN_SHARE:
            t = sign_text(rng, t)
        lo, hi = size_range
        u = rng.rand()
        size = int(lo + (hi - lo) * u * u)  # more small text than large
        held = (not train) and rng.rand() < held_out_prob
        font = fonts.get(pick_font(rng, t, not held, c), size)
        spacing = 0.0 if rng.rand() < 0.8 else rng.uniform(0.0, 0.12 if " " in t else 0.3) * size
        column = vert_prob > 0.0 and needs_cjk(t) and rng.rand() < vert_prob
        if column:  # a standing Chinese line, its characters upright
            t = t.replace(" ", "")[:rng.randint(2, 13)]
            mask, ink = render_column_mask(t, font)
        elif train and hershey_prob and not needs_cjk(t) and rng.rand() < hershey_prob:
            mask, ink = render_hershey_mask(t, size, rng)
        else:
            mask, ink = render_text_mask(t, font, spacing)
            if ink is not None and train and rng.rand() < CURVE_SHARE_PAGE:
                mask, ink = random_bend(rng, mask, ink, size, CURVE_AMP_PAGE)
        if ink is None:
            continue
        if column:
            m = 0.1 * size + 1
            bx0, by0, bx1, by1 = ink[0] - m, ink[1] - m, ink[2] + m, ink[3] + m
        else:
            bx0, by0, bx1, by1 = line_box(ink, size)
        bw, bh = bx1 - bx0, by1 - by0
        if bw > width * 0.95:
            continue
        ang = page_angle + (rng.uniform(-3, 3) if rng.rand() < 0.3 else 0.0)
        if rng.rand() < 0.1:
            ang = rng.uniform(-max_angle, max_angle)
        if not column and vert_prob > 0.0 and rng.rand() < vert_prob:
            ang = (-90.0 if rng.rand() < 0.7 else 90.0) + rng.uniform(-3, 3)
        cx, cy = (bx0 + bx1) / 2.0, (by0 + by1) / 2.0
        rad = math.radians(ang)
        cosa, sina = abs(math.cos(rad)), abs(math.sin(rad))
        mh, mw = mask.shape
        nw = int(mw * cosa + mh * sina) + 2
        nh = int(mw * sina + mh * cosa) + 2
        M = cv2.getRotationMatrix2D((cx, cy), ang, 1.0)
        M[0, 2] += nw / 2.0 - cx
        M[1, 2] += nh / 2.0 - cy
        box = np.array([[bx0, by0], [bx1, by0], [bx1, by1], [bx0, by1]], np.float32)
        if ang:
            rm, rbox = cv2.warpAffine(mask, M, (nw, nh), flags=cv2.INTER_LINEAR), _affine(box, M)
        else:
            rm, rbox, nw, nh = mask, box, mw, mh
        (minx, miny), (maxx, maxy) = rbox.min(0), rbox.max(0)
        if maxx - minx > width - 4 or maxy - miny > height - 4:
            continue
        px = rng.uniform(-minx + 2, width - maxx - 2)
        py = rng.uniform(-miny + 2, height - maxy - 2)
        qbox = rbox + np.array([px, py], np.float32)
        # Overlap test against the already placed boxes grown by a gap.
        # Along the line the gap is wider than any word gap: two lines on one
        # row closer than that read as one line, and the ground truth would
        # ask for a split nobody could see.
        gap = max(2.0, rng.uniform(0.3, 0.8) * bh)
        g = grow_quad(qbox, gap, along=max(gap, 1.5 * bh))
        test = np.zeros_like(occ)
        cv2.fillPoly(test, [np.round(g).astype(np.int32)], 1)
        if (test & occ).any():
            continue
        cv2.fillPoly(occ, [np.round(qbox).astype(np.int32)], 1)
        ix, iy = int(round(px)), int(round(py))
        ys0, xs0 = max(0, iy), max(0, ix)
        ys1, xs1 = min(height, iy + nh), min(width, ix + nw)
        if ys1 <= ys0 or xs1 <= xs0:
            continue
        sub = rm[ys0 - iy:ys1 - iy, xs0 - ix:xs1 - ix]
        col = fg if rng.rand() < 0.8 else random_colors(rng)[2]
        if _luma(col) > _luma(c1) - 40 and _luma(col) < _luma(c1) + 40:
            col = fg
        img[ys0:ys1, xs0:xs1] = blend(img[ys0:ys1, xs0:xs1], sub, col)
        quads.append(rbox + np.array([ix, iy], np.float32))
        texts.append(t)
    out = _to_bgr_u8(img)
    if train:
        if rng.rand() < 0.3:  # strokes that are not text
            for _ in range(rng.randint(1, 4)):
                p1 = (int(rng.randint(0, width)), int(rng.randint(0, height)))
                p2 = (int(rng.randint(0, width)), int(rng.randint(0, height)))
                cv2.line(out, p1, p2, tuple(int(v) for v in rng.randint(0, 256, 3)), int(rng.randint(1, 3)))
        out = degrade(out, rng, 0.8)
        for side in border_sides:
            out[_edge(side, 20)] = 127
    return out, quads, texts


def _edge(side, k):
    """The index of a page's band k px wide along its top, bottom, left or right side."""
    return (np.s_[:k], np.s_[-k:], np.s_[:, :k], np.s_[:, -k:])[side]

