#!/usr/bin/python3
"""The installed fonts that training renders with, per script.

    font_sets()  -> {"latin"|"sc"|"tc": {"train": [(path, index), ...], "val": [...]}}
    covers(face, text) -> whether the face has a glyph for every character

A face serves "sc" (Simplified) when its cmap covers >= 99% of GB2312 level
1, "tc" (Traditional) when it covers >= 99% of Big5 level 1 (Noto CJK faces
by their region instead), "latin" when it has all of printable ASCII and is
not Chinese.  Left out: symbol, emoji, caps-only and other-script faces,
Japanese and Korean ones, faces that draw code sequences ("->") as
ligatures, and every face whose test rendering draws no ink or the same
picture for distinct characters.

A few families of every script are held out for validation ("val"): a
family held out for one script trains in none, and the faces of
textgen.HELD_OUT_FONTS (which the committed held-out pages are rendered
with) are always held out.  The scan is cached as JSON in the training
directory until the installed font files change.
"""
import base64
import functools
import hashlib
import json
import logging
import os
import re
import sys
from concurrent.futures import ProcessPoolExecutor

import numpy as np
from fontTools.ttLib import TTCollection, TTFont
from PIL import Image, ImageDraw, ImageFont

logging.getLogger("fontTools").setLevel(logging.ERROR)  # odd timestamps and tables

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import make_dict  # noqa: E402

FONT_DIRS = ("/usr/share/fonts", "/usr/share/texmf/fonts/opentype")
CACHE_NAME = "fonts.json"
SCAN_VERSION = 9
SCAN_WORKERS = 4
SCRIPTS = ("latin", "sc", "tc")
HOLD_OUT = {"latin": 3, "sc": 2, "tc": 2}
CJK_MIN_COVER = 0.99

# Names of faces that are not for running text, or made for other scripts.
SKIP_NAME = re.compile(
    r"symbol|dingbat|\bdings\b|math|emoji|\bicons?\b|barcode|ornament|braille|music|"
    r"wingding|webding|awesome|pictograph|\blogo|\bsegment|dseg|d050000l|"
    r"\b(jp|kr|japanese|korean|hangul|kana)\b", re.I)
# Latin faces whose lower case is drawn as capitals.
CAPS_NAME = re.compile(r"small ?caps|\bcaps\b|capitals|unicase|\bsc\b", re.I)
# Of the Noto families, only the pan-Latin ones (the others serve one
# script each and some carry ASCII as well).
NOTO_LATIN = re.compile(r"^noto (sans|serif)( mono| display)?$|^noto mono$", re.I)
NOTO_CJK_REGION = {"sc": "sc", "tc": "tc", "hk": "tc"}
OTHER_SCRIPT = re.compile(
    r"arabic|hebrew|devanagari|bengali|tamil|telugu|kannada|malayalam|gujarati|"
    r"gurmukhi|oriya|sinhala|thai|\blao\b|khmer|myanmar|tibetan|ethiopic|"
    r"georgian|armenian|syriac|thaana|tlwg|lohit|mongolian|tifinagh", re.I)
# Designs too unusual to stand for their script in validation.
UNUSUAL_NAME = re.compile(
    r"script|chorus|chancery|z003|unsl|dunhill|display|comic|mono|code|sign|key|"
    r"caption|quotation|typewriter|smiley|oblique|italic|fangsong|\bfs\b|yen|tiresias", re.I)
# Words that name a face's weight, width or slant, not its design.
STYLE_WORDS = re.compile(
    r"\b(thin|hairline|extra ?light|ultra ?light|light|demi ?light|semi ?light|book|"
    r"regular|normal|roman|medium|semi ?bold|demi ?bold|demi|bold|extra ?bold|"
    r"ultra ?bold|heavy|black|extra ?black|italic|oblique|slanted|condensed|"
    r"semi ?condensed|narrow|extended|expanded|wide|mono|sharp|variable|vf)\b", re.I)

# Test renderings: characters drawn one by one must all leave ink and look
# different from each other; code sequences drawn whole must look like
# their characters drawn side by side.
LATIN_PROBE = "AaBbDdEeGgHhKkMmNnQqRrSsTtWwYyZz0123456789&?@#%$"
LIGATURE_PROBES = ("->", "=>", "!=", "==", "<=", ">=", "www", "::", "/*", "<!--", "0x", "||", "++")
PROBE_SIZE = 32


@functools.lru_cache(None)
def universe():
    """The characters covers() answers from the scan: the dictionary and the space."""
    return make_dict.build() + [" "]


@functools.lru_cache(None)
def _universe_set():
    return frozenset(universe())


def font_files(dirs=FONT_DIRS):
    return sorted({os.path.realpath(os.path.join(root, name)) for d in dirs for root, _, files in os.walk(d)
                   for name in files if name.lower().endswith((".ttf", ".otf", ".ttc", ".otc"))})


def _held_out_faces():
    import textgen  # imported late: textgen imports this module
    return [(os.path.realpath(p), i) for p, i in textgen.HELD_OUT_FONTS]


def fingerprint(files):
    """Changes when a font file is added, removed or replaced, or when what
    the scan decides changes (its version, the dictionary, the held-out
    faces)."""
    h = hashlib.sha1(("v%d\n" % SCAN_VERSION).encode())
    h.update("".join(universe()).encode("utf-8"))
    h.update(repr(_held_out_faces()).encode())
    for p in files:
        try:
            st = os.stat(p)
        except OSError:
            continue
        h.update(("%s %d %d\n" % (p, st.st_size, st.st_mtime_ns)).encode("utf-8", "surrogateescape"))
    return h.hexdigest()


def read_faces(path):
    """[{family, full, psname, sum, cmap}] of every face of a font file
    (cmap: the set of code points it maps to a glyph)."""
    collection = path.lower().endswith((".ttc", ".otc"))
    owner = (TTCollection if collection else TTFont)(path, lazy=True)
    try:
        out = []
        for tt in owner.fonts if collection else [owner]:
            names = tt["name"] if "name" in tt else None

            def name(ids):
                for i in ids:
                    n = names and (names.getName(i, 3, 1, 0x409) or names.getName(i, 3, 10, 0x409)
                                   or names.getName(i, 1, 0, 0))
                    if n is not None and str(n).strip():
                        return str(n).strip()
                return ""
            out.append({"family": name((16, 1)), "full": name((4,)), "psname": name((6,)),
                        "sum": int(tt["head"].checkSumAdjustment) if "head" in tt else 0,
                        "cmap": set((tt.getBestCmap() or {}).keys())})
        return out
    finally:
        owner.close()


def family_key(family):
    """The design a face belongs to: its family without weight, width and
    slant words, so that the weights of one design hold out together."""
    k = re.sub(r"\b(cjk (sc|tc|hk))\b", "cjk", STYLE_WORDS.sub(" ", family.lower()))
    return re.sub(r"\s+", " ", k).strip()


def _draw(font, text, apart=False):
    """text as a coverage image; apart=True draws one character at a time,
    each where the whole text's layout puts it when no ligature joins it
    (so kerning is kept)."""
    img = Image.new("L", (max(int(font.getlength(text)) + 2 * PROBE_SIZE, 1), 3 * PROBE_SIZE), 0)
    d = ImageDraw.Draw(img)
    for x, s in ([(PROBE_SIZE + font.getlength(text[:i + 1]) - font.getlength(ch), ch)
                  for i, ch in enumerate(text)] if apart else [(PROBE_SIZE, text)]):
        d.text((x, PROBE_SIZE // 2), s, fill=255, font=font)
    return np.asarray(img, np.float32) / 255.0


def probe_render(path, index, chars, ligatures=False):
    """None when the face draws `chars` as ordinary glyphs, else the reason
    it does not: a character without ink, two distinct characters drawn
    alike, or (ligatures=True) a code sequence drawn as one sign."""
    try:
        font = ImageFont.truetype(path, PROBE_SIZE, index=index)
    except OSError as e:
        return "does not load: %s" % e
    seen = {}
    for ch in chars:
        ink = _draw(font, ch) > 0.5
        if ink.sum() < 3:
            return "no ink for %r" % ch
        ys, xs = np.nonzero(ink)
        key = hashlib.sha1(np.packbits(ink[ys.min():ys.max() + 1, xs.min():xs.max() + 1]).tobytes()
                           + bytes([ys.max() - ys.min(), xs.max() - xs.min()])).hexdigest()
        if key in seen:
            return "%r and %r drawn alike" % (seen[key], ch)
        seen[key] = ch
    for s in LIGATURE_PROBES if ligatures else ():
        a, b = _draw(font, s), _draw(font, s, apart=True)
        if np.abs(a - b).sum() > 0.3 * max(b.sum(), 1.0):
            return "%r drawn as a ligature" % s
    return None


def classify(family, full, cover_ascii, cover_gb, cover_b5, n_hanzi=0):
    """(scripts, reason): the scripts a face qualifies for by its names and
    its coverage (fractions of printable ASCII, GB2312 level 1 and Big5
    level 1; n_hanzi: its number of CJK ideographs), or () and why not."""
    names = family + " " + full
    if SKIP_NAME.search(names):
        return (), "name: not for running text"
    if re.search(r"\bcjk\b", family, re.I):
        m = re.search(r"\b(sc|tc|hk)\b", family, re.I)
        if m is None:
            return (), "Noto CJK face of no Chinese region"
        s = NOTO_CJK_REGION[m.group(1).lower()]
        return ((s,), None) if (cover_gb if s == "sc" else cover_b5) >= CJK_MIN_COVER else ((), "too few hanzi")
    scripts = tuple(s for s, c in (("sc", cover_gb), ("tc", cover_b5)) if c >= CJK_MIN_COVER)
    if scripts:
        return scripts, None
    for bad, reason in ((cover_ascii < 1.0, "lacks printable ASCII and hanzi"),
                        (n_hanzi > 1000, "CJK face without the common hanzi"),
                        (family.lower().startswith("noto") and not NOTO_LATIN.search(family),
                         "Noto face of another script"),
                        (OTHER_SCRIPT.search(names), "name: made for another script"),
                        (CAPS_NAME.search(names), "name: small capitals")):
        if bad:
            return (), reason
    return ("latin",), None


def scan_file(path):
    """Records of every face of one font file."""
    try:
        faces = read_faces(path)
    except Exception as e:  # a broken or unreadable file is not a training font
        return [{"path": path, "index": 0, "family": "", "full": "", "psname": "",
                 "key": "", "scripts": [], "reject": "unreadable: %s" % e, "cov": ""}]
    gb, b5 = make_dict.gb2312_level1(), make_dict.big5_level1()
    ascii_ = [chr(c) for c in range(0x21, 0x7F)] + [" "]
    out = []
    for index, face in enumerate(faces):
        family, cmap = face["family"], face["cmap"]
        rec = {"path": path, "index": index, "scripts": [], "reject": None, "cov": "",
               "family": family, "full": face["full"], "psname": face["psname"],
               "key": family_key(family), "sum": face["sum"]}
        frac = lambda cs: sum(ord(c) in cmap for c in cs) / float(len(cs))  # noqa: E731
        # CJK signs and ideographs, and the private planes that CNS 11643
        # fonts fill with more of them.
        n_hanzi = sum(1 for c in cmap if 0x2E80 <= c <= 0x9FFF or 0xF900 <= c <= 0xFAFF
                      or 0x20000 <= c <= 0x3FFFF or c >= 0xF0000)
        scripts, reason = classify(family, rec["full"], frac(ascii_), frac(gb), frac(b5), n_hanzi)
        if "latin" in scripts:
            reason = probe_render(path, index, LATIN_PROBE, ligatures=True)
        elif scripts:
            pool = [c for c in (gb if "sc" in scripts else b5) if ord(c) in cmap]
            probe = "".join(pool[i] for i in np.linspace(0, len(pool) - 1, 40).astype(int))  # spread evenly
            reason = probe_render(path, index, probe)
        if reason is None:
            rec["scripts"] = list(scripts)
            bits = np.array([ord(c) in cmap for c in universe()], np.uint8)
            rec["cov"] = base64.b64encode(np.packbits(bits).tobytes()).decode("ascii")
        else:
            rec["reject"] = reason
        out.append(rec)
    return out


def _regular_first(rec):
    """Sort key: the plainest face of a family first."""
    f = re.sub(r"[-_.]", " ", (rec["full"] + " " + rec["psname"] + " " + os.path.basename(rec["path"])).lower())
    styles = [w for w in STYLE_WORDS.findall(f) if w not in ("regular", "book", "roman", "normal")]
    return (bool(re.search(r"italic|oblique", f)), len(styles), len(f), rec["path"], rec["index"])


def split_sets(records, held_out_faces):
    """Training and validation faces per script from the scan's records.
    A face installed twice (same PostScript name and checksum) counts once."""
    seen, faces = set(), []
    for r in sorted(records, key=lambda r: (r["path"], r["index"])):
        ident = (r["psname"], r.get("sum", 0))
        if r["scripts"] and not (r["psname"] and ident in seen):
            seen.add(ident)
            faces.append(r)
    held = set(map(tuple, held_out_faces))
    held_files = {p for p, _ in held}
    held_keys = {r["key"] for r in faces if (r["path"], r["index"]) in held}
    val = {s: [r for r in faces if (r["path"], r["index"]) in held and s in r["scripts"]] for s in SCRIPTS}
    for s in SCRIPTS:
        fams = {}
        for r in faces:
            if s in r["scripts"]:
                fams.setdefault(r["key"], []).append(r)

        # Validation should look like ordinary print of this script: plain
        # designs that serve this script alone come first, then families of
        # at most six faces (holding a large one out costs training many),
        # in an order fixed by a hash of the family name.
        def rank(k):
            return (bool(UNUSUAL_NAME.search(" ".join(r["full"] for r in fams[k]))),
                    any(set(r["scripts"]) - {s} for r in fams[k]), len(fams[k]) > 6,
                    hashlib.sha1(k.encode("utf-8")).hexdigest())
        for k in sorted(fams, key=rank):
            if len(val[s]) >= HOLD_OUT[s] or sum(f not in held_keys for f in fams) <= 1:
                break  # enough, or the last family left to train on
            if k not in held_keys:
                held_keys.add(k)
                val[s].append(sorted(fams[k], key=_regular_first)[0])
    face = lambda r: (r["path"], r["index"])  # noqa: E731
    return {s: {"train": [face(r) for r in faces if s in r["scripts"] and r["key"] not in held_keys
                          and r["path"] not in held_files],
                "val": [face(r) for r in val[s]]} for s in SCRIPTS}


class _Coverage:
    """Which characters a face has: dictionary characters from the scan's
    bit mask (kept as the smaller of the covered and the missing set), any
    other character from the font's cmap, read once."""

    def __init__(self, path, index, bits, cmap=None):
        self.path, self.index, self.cmap = path, index, cmap
        uni = universe()
        have = frozenset(c for c, b in zip(uni, bits) if b)
        self.have = have if 2 * len(have) < len(uni) else None
        self.lack = None if self.have is not None else _universe_set() - have

    def covers(self, text):
        if _universe_set().issuperset(text):
            return self.have.issuperset(text) if self.have is not None else self.lack.isdisjoint(text)
        if self.cmap is None:
            self.cmap = frozenset(read_faces(self.path)[self.index]["cmap"])
        return all(ord(c) in self.cmap for c in set(text))


_COVERAGE = {}


def covers(face, text):
    """True when face = (path, index) has a glyph for every character of
    text.  A set test for the faces of font_sets(); any other face's cmap
    is read once."""
    face = (face[0], int(face[1]))
    if face not in _COVERAGE:
        cmap = frozenset(read_faces(face[0])[face[1]]["cmap"])
        _COVERAGE[face] = _Coverage(*face, [ord(c) in cmap for c in universe()], cmap)
    return _COVERAGE[face].covers(text)


def font_sets(cache_dir=None, dirs=FONT_DIRS):
    """{"latin"|"sc"|"tc": {"train": [(path, index)...], "val": [...]}};
    also makes covers() fast for every face listed."""
    if cache_dir is None:
        import common
        cache_dir = common.TRAIN_DIR
    path = os.path.join(cache_dir, CACHE_NAME)
    files = font_files(dirs)
    fp = fingerprint(files)
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
        records = data["records"] if data.get("fingerprint") == fp else None
    except (OSError, ValueError, KeyError):
        records = None  # no cache or an unreadable one: scan again
    if records is None:
        workers = min(SCAN_WORKERS, len(files) // 20)  # no worker processes for a few files
        if workers > 1:
            with ProcessPoolExecutor(workers) as ex:
                records = [r for recs in ex.map(scan_file, files, chunksize=4) for r in recs]
        else:
            records = [r for p in files for r in scan_file(p)]
        os.makedirs(cache_dir, exist_ok=True)
        with open(path + ".tmp%d" % os.getpid(), "w", encoding="utf-8") as f:
            json.dump({"fingerprint": fp, "records": records}, f)
        os.replace(path + ".tmp%d" % os.getpid(), path)
    sets = split_sets(records, _held_out_faces())
    listed = {f for s in sets.values() for part in s.values() for f in part}
    for r in records:
        face = (r["path"], r["index"])
        if face in listed and face not in _COVERAGE:
            bits = np.unpackbits(np.frombuffer(base64.b64decode(r["cov"]), np.uint8))
            _COVERAGE[face] = _Coverage(*face, bits[:len(universe())].astype(bool).tolist())
    if not any(sets[s]["train"] for s in SCRIPTS):
        raise RuntimeError("no usable training font found under %s" % ", ".join(dirs))
    return sets


if __name__ == "__main__":
    for script, parts in font_sets().items():
        for part, faces in parts.items():
            print("%s %s: %d faces" % (script, part, len(faces)) + "".join("\n    %s:%d" % f for f in faces))
