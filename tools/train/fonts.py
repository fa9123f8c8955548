#!/usr/bin/python3
"""The installed fonts that training renders with, per script.

    font_sets()  -> {"latin": {"train": [(path, index), ...], "val": [...]},
                     "sc": {...}, "tc": {...}}
    covers(face, text) -> whether the face has a glyph for every character

A face belongs to a script when it renders that script's text:
- "sc" (Simplified Chinese): its cmap covers >= 99% of GB2312 level 1;
- "tc" (Traditional Chinese): >= 99% of Big5 level 1;
- "latin": every printable ASCII character; faces of the two Chinese sets
  are not listed here (they carry ASCII too, which `covers` tells).
Noto CJK faces are taken by their family name (SC for Simplified, TC and HK
for Traditional); Japanese and Korean faces, symbol, dingbat, math, emoji,
icon and barcode faces, small-capital and caps-only faces, faces made for
other scripts and faces whose code sequences render as ligatures ("->" as an
arrow) are left out, and so is every face whose test rendering draws no ink
or the same picture for distinct characters.

A few families of every script are held out for validation ("val"): a
family held out for one script trains in none, and the faces of
textgen.HELD_OUT_FONTS (which the committed held-out pages are rendered
with) are always held out.

The scan runs once and is cached as JSON in the cache directory; it runs
again when the installed font files change.  `python3 fonts.py` prints the
sets.
"""
import argparse
import base64
import hashlib
import json
import logging
import os
import re
import struct
import sys
from concurrent.futures import ProcessPoolExecutor

import numpy as np

logging.getLogger("fontTools").setLevel(logging.ERROR)  # odd timestamps and tables

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import make_dict  # noqa: E402

FONT_DIRS = ("/usr/share/fonts", "/usr/share/texmf/fonts/opentype")
FONT_EXTS = (".ttf", ".otf", ".ttc", ".otc")
CACHE_NAME = "fonts.json"
SCAN_VERSION = 9
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
NOTO_CJK = re.compile(r"\bcjk\b", re.I)
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


def _universe():
    """The characters covers() answers from the scan: the dictionary and
    the space."""
    return make_dict.build() + [" "]


_UNIVERSE_LIST = None
_UNIVERSE = None


def universe():
    global _UNIVERSE_LIST, _UNIVERSE
    if _UNIVERSE_LIST is None:
        _UNIVERSE_LIST = _universe()
        _UNIVERSE = frozenset(_UNIVERSE_LIST)
    return _UNIVERSE_LIST


# ---------------------------------------------------------------- discovery

def font_files(dirs=FONT_DIRS):
    out = set()
    for d in dirs:
        for root, _, files in os.walk(d):
            for name in files:
                if name.lower().endswith(FONT_EXTS):
                    out.add(os.path.realpath(os.path.join(root, name)))
    return sorted(out)


def fingerprint(files):
    """Changes when a font file is added, removed or replaced, or when what
    the scan decides changes (its version, the dictionary, the held-out
    faces)."""
    h = hashlib.sha1()
    h.update(("v%d\n" % SCAN_VERSION).encode())
    h.update("".join(universe()).encode("utf-8"))
    h.update(repr(_held_out_faces()).encode())
    for p in files:
        try:
            st = os.stat(p)
        except OSError:
            continue
        h.update(("%s %d %d\n" % (p, st.st_size, st.st_mtime_ns)).encode("utf-8", "surrogateescape"))
    return h.hexdigest()


def _held_out_faces():
    import textgen  # imported late: textgen may come to import this module
    return [(os.path.realpath(p), i) for p, i in textgen.HELD_OUT_FONTS]


# ---------------------------------------------------------------- one face

def read_faces(path):
    """[{family, full, psname, sum, cmap}] of every face of a font file
    (cmap: the set of code points it maps to a glyph), read with fontTools,
    or by the small reader below where fontTools is not installed."""
    try:
        from fontTools.ttLib import TTCollection, TTFont
    except ImportError:
        return sfnt_faces(path)
    if path.lower().endswith((".ttc", ".otc")):
        owner = TTCollection(path, lazy=True)
        faces = list(owner.fonts)
    else:
        owner = TTFont(path, lazy=True)
        faces = [owner]
    try:
        out = []
        for tt in faces:
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


def sfnt_faces(path):
    """read_faces without fontTools: the name and cmap tables of a TrueType
    or OpenType file or collection (cmap formats 4 and 12)."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] == b"ttcf":
        n = struct.unpack(">I", data[8:12])[0]
        offsets = struct.unpack(">%dI" % n, data[12:12 + 4 * n])
    else:
        offsets = (0,)
    return [_sfnt_face(data, o) for o in offsets]


def _sfnt_face(data, off):
    u16 = lambda o: struct.unpack(">H", data[o:o + 2])[0]  # noqa: E731
    tables = {}
    for i in range(u16(off + 4)):
        tag, _, toff, tlen = struct.unpack(">4sIII", data[off + 12 + 16 * i:off + 28 + 16 * i])
        tables[tag] = toff
    names = {}
    if b"name" in tables:
        o = tables[b"name"]
        count, soff = u16(o + 2), u16(o + 4)
        for i in range(count):
            pid, eid, lid, nid, ln, so = struct.unpack(">6H", data[o + 6 + 12 * i:o + 18 + 12 * i])
            raw = data[o + soff + so:o + soff + so + ln]
            if pid == 3 and eid in (1, 10) and lid == 0x409:
                names[(0, nid)] = raw.decode("utf-16-be", "replace")
            elif pid == 1 and eid == 0 and lid == 0:
                names[(1, nid)] = raw.decode("mac_roman", "replace")

    def name(ids):
        for i in ids:
            for pri in (0, 1):
                if names.get((pri, i), "").strip():
                    return names[(pri, i)].strip()
        return ""
    cmap = set()
    if b"cmap" in tables:
        o = tables[b"cmap"]
        subs = {}
        for i in range(u16(o + 2)):
            pid, eid, so = struct.unpack(">HHI", data[o + 4 + 8 * i:o + 12 + 8 * i])
            subs[(pid, eid)] = o + so
        best = None
        for key in ((3, 10), (0, 6), (0, 4), (3, 1), (0, 3), (0, 2), (0, 1), (0, 0), (3, 0)):
            if key in subs and u16(subs[key]) in (4, 12):
                best = subs[key]
                break
        if best is not None and u16(best) == 12:
            n = struct.unpack(">I", data[best + 12:best + 16])[0]
            for g in range(n):
                a, b, g0 = struct.unpack(">III", data[best + 16 + 12 * g:best + 28 + 12 * g])
                cmap.update(range(a + (g0 == 0), b + 1))  # glyph 0 is "missing"
        elif best is not None:
            seg = u16(best + 6) // 2
            ends = best + 14
            starts = ends + 2 * seg + 2
            deltas = starts + 2 * seg
            ranges = deltas + 2 * seg
            for i in range(seg):
                end, start = u16(ends + 2 * i), u16(starts + 2 * i)
                delta, ro = u16(deltas + 2 * i), u16(ranges + 2 * i)
                for c in range(start, min(end, 0xFFFE) + 1):
                    if ro == 0:
                        g = (c + delta) & 0xFFFF
                    else:
                        g = u16(ranges + 2 * i + ro + 2 * (c - start))
                        g = (g + delta) & 0xFFFF if g else 0
                    if g:
                        cmap.add(c)
    head = tables.get(b"head")
    return {"family": name((16, 1)), "full": name((4,)), "psname": name((6,)),
            "sum": struct.unpack(">I", data[head + 8:head + 12])[0] if head is not None else 0,
            "cmap": cmap}


def family_key(family):
    """The design a face belongs to: its family without weight, width and
    slant words, so that the weights of one design hold out together."""
    k = STYLE_WORDS.sub(" ", family.lower())
    k = re.sub(r"\b(cjk (sc|tc|hk))\b", "cjk", k)
    return re.sub(r"\s+", " ", k).strip()


def _masks(font, text):
    from PIL import Image, ImageDraw
    w = int(font.getlength(text)) + 2 * PROBE_SIZE
    img = Image.new("L", (max(w, 1), 3 * PROBE_SIZE), 0)
    ImageDraw.Draw(img).text((PROBE_SIZE, PROBE_SIZE // 2), text, fill=255, font=font)
    return np.asarray(img, np.float32) / 255.0


def _side_by_side(font, text):
    """text drawn one character at a time, each where the whole text's
    layout puts it when no ligature joins it (so kerning is kept)."""
    from PIL import Image, ImageDraw
    w = int(font.getlength(text)) + 2 * PROBE_SIZE
    img = Image.new("L", (max(w, 1), 3 * PROBE_SIZE), 0)
    d = ImageDraw.Draw(img)
    for i, ch in enumerate(text):
        x = PROBE_SIZE + font.getlength(text[:i + 1]) - font.getlength(ch)
        d.text((x, PROBE_SIZE // 2), ch, fill=255, font=font)
    return np.asarray(img, np.float32) / 255.0


def probe_render(path, index, chars, ligatures=False):
    """None when the face draws `chars` as ordinary glyphs, else the reason
    it does not: a character without ink, two distinct characters drawn
    alike, or (ligatures=True) a code sequence drawn as one sign."""
    from PIL import ImageFont
    try:
        font = ImageFont.truetype(path, PROBE_SIZE, index=index)
    except OSError as e:
        return "does not load: %s" % e
    seen = {}
    for ch in chars:
        m = _masks(font, ch)
        ink = m > 0.5
        if ink.sum() < 3:
            return "no ink for %r" % ch
        ys, xs = np.nonzero(ink)
        key = hashlib.sha1(np.packbits(ink[ys.min():ys.max() + 1, xs.min():xs.max() + 1]).tobytes()
                           + bytes([ys.max() - ys.min(), xs.max() - xs.min()])).hexdigest()
        if key in seen:
            return "%r and %r drawn alike" % (seen[key], ch)
        seen[key] = ch
    if ligatures:
        for s in LIGATURE_PROBES:
            a, b = _masks(font, s), _side_by_side(font, s)
            if np.abs(a - b).sum() > 0.3 * max(b.sum(), 1.0):
                return "%r drawn as a ligature" % s
    return None


def _probe_chars(chars, n):
    """n characters spread evenly over a list (deterministic)."""
    idx = np.linspace(0, len(chars) - 1, n).astype(int)
    return "".join(chars[i] for i in idx)


def classify(family, full, cover_ascii, cover_gb, cover_b5, n_hanzi=0):
    """(scripts, reason): the scripts a face qualifies for by its names and
    its coverage (fractions of printable ASCII, GB2312 level 1 and Big5
    level 1; n_hanzi: its number of CJK ideographs), or () and why not."""
    names = family + " " + full
    if SKIP_NAME.search(names):
        return (), "name: not for running text"
    if NOTO_CJK.search(family):
        m = re.search(r"\b(sc|tc|hk)\b", family, re.I)
        if m is None:
            return (), "Noto CJK face of no Chinese region"
        s = NOTO_CJK_REGION[m.group(1).lower()]
        cov = cover_gb if s == "sc" else cover_b5
        return ((s,), None) if cov >= CJK_MIN_COVER else ((), "too few hanzi")
    scripts = []
    if cover_gb >= CJK_MIN_COVER:
        scripts.append("sc")
    if cover_b5 >= CJK_MIN_COVER:
        scripts.append("tc")
    if scripts:
        return tuple(scripts), None
    if cover_ascii < 1.0:
        return (), "lacks printable ASCII and hanzi"
    if n_hanzi > 1000:
        return (), "CJK face without the common hanzi"
    if family.lower().startswith("noto") and not NOTO_LATIN.search(family):
        return (), "Noto face of another script"
    if OTHER_SCRIPT.search(names):
        return (), "name: made for another script"
    if CAPS_NAME.search(names):
        return (), "name: small capitals"
    return ("latin",), None


def scan_file(path):
    """Records of every face of one font file."""
    try:
        faces = read_faces(path)
    except Exception as e:  # a broken or unreadable file is not a training font
        return [{"path": path, "index": 0, "family": "", "full": "", "psname": "",
                 "key": "", "scripts": [], "reject": "unreadable: %s" % e, "cov": ""}]
    uni = universe()
    gb = make_dict.gb2312_level1()
    b5 = make_dict.big5_level1()
    ascii_ = [chr(c) for c in range(0x21, 0x7F)] + [" "]
    out = []
    for index, face in enumerate(faces):
        family = face["family"]
        rec = {"path": path, "index": index, "scripts": [], "reject": None, "cov": "",
               "family": family, "full": face["full"], "psname": face["psname"],
               "key": family_key(family), "sum": face["sum"]}
        cmap = face["cmap"]
        frac = lambda cs: sum(ord(c) in cmap for c in cs) / float(len(cs))  # noqa: E731
        # CJK signs and ideographs, and the private planes that CNS 11643
        # fonts fill with more of them.
        n_hanzi = sum(1 for c in cmap if 0x2E80 <= c <= 0x9FFF or 0xF900 <= c <= 0xFAFF
                      or 0x20000 <= c <= 0x3FFFF or c >= 0xF0000)
        scripts, reason = classify(family, rec["full"], frac(ascii_), frac(gb), frac(b5), n_hanzi)
        if scripts:
            if "latin" in scripts:
                reason = probe_render(path, index, LATIN_PROBE, ligatures=True)
            else:
                pool = gb if "sc" in scripts else b5
                reason = probe_render(path, index, _probe_chars([c for c in pool if ord(c) in cmap], 40))
        if reason is None:
            rec["scripts"] = list(scripts)
            bits = np.array([ord(c) in cmap for c in uni], np.uint8)
            rec["cov"] = base64.b64encode(np.packbits(bits).tobytes()).decode("ascii")
        else:
            rec["reject"] = reason
        out.append(rec)
    return out


# ---------------------------------------------------------------- the sets

def _regular_first(rec):
    """Sort key: the plainest face of a family first."""
    f = (rec["full"] + " " + rec["psname"] + " " + os.path.basename(rec["path"])).lower()
    f = re.sub(r"[-_.]", " ", f)
    styles = [w for w in STYLE_WORDS.findall(f) if w not in ("regular", "book", "roman", "normal")]
    return (bool(re.search(r"italic|oblique", f)), len(styles), len(f), rec["path"], rec["index"])


def split_sets(records, held_out_faces, counts=HOLD_OUT):
    """Training and validation faces per script from the scan's records.
    A face installed twice (same PostScript name and checksum) counts once."""
    seen = set()
    faces = []
    for r in sorted(records, key=lambda r: (r["path"], r["index"])):
        if not r["scripts"]:
            continue
        ident = (r["psname"], r.get("sum", 0))
        if r["psname"] and ident in seen:
            continue
        seen.add(ident)
        faces.append(r)
    held_set = set(map(tuple, held_out_faces))
    held_files = {p for p, _ in held_set}
    held_keys = {r["key"] for r in faces if (r["path"], r["index"]) in held_set}
    val = {s: [] for s in SCRIPTS}
    for r in faces:
        if (r["path"], r["index"]) in held_set:
            for s in r["scripts"]:
                val[s].append(r)
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
            names = " ".join(r["full"] for r in fams[k])
            other = any(set(r["scripts"]) - {s} for r in fams[k])
            return (bool(UNUSUAL_NAME.search(names)), other, len(fams[k]) > 6,
                    hashlib.sha1(k.encode("utf-8")).hexdigest())
        order = sorted(fams, key=rank)
        for k in order:
            if len(val[s]) >= counts[s] or sum(f not in held_keys for f in fams) <= 1:
                break  # enough, or the last family left to train on
            if k in held_keys:
                continue
            held_keys.add(k)
            val[s].append(sorted(fams[k], key=_regular_first)[0])
    sets = {}
    for s in SCRIPTS:
        train = [r for r in faces if s in r["scripts"] and r["key"] not in held_keys
                 and r["path"] not in held_files]
        sets[s] = {"train": [(r["path"], r["index"]) for r in train],
                   "val": [(r["path"], r["index"]) for r in val[s]]}
    return sets


class _Coverage:
    """Which characters a face has.  Dictionary characters are answered
    from the scan's bit mask, held as the smaller of the covered and the
    missing set; any other character from the font's cmap, read once."""

    def __init__(self, path, index, cov_b64=None):
        self.path, self.index = path, index
        self.cmap = None
        uni = universe()
        if cov_b64 is None:
            cmap = self._cmap()
            bits = [ord(c) in cmap for c in uni]
        else:
            raw = np.frombuffer(base64.b64decode(cov_b64), np.uint8)
            bits = np.unpackbits(raw)[:len(uni)].astype(bool).tolist()
        have = [c for c, b in zip(uni, bits) if b]
        if 2 * len(have) < len(uni):
            self.covered, self.missing = frozenset(have), None
        else:
            self.covered, self.missing = None, frozenset(c for c, b in zip(uni, bits) if not b)

    def _cmap(self):
        if self.cmap is None:
            self.cmap = frozenset(read_faces(self.path)[self.index]["cmap"])
        return self.cmap

    def covers(self, text):
        if self.missing is not None:
            if not self.missing.isdisjoint(text):
                return False
            if _UNIVERSE.issuperset(text):
                return True
        else:
            if self.covered.issuperset(text):
                return True
            if _UNIVERSE.issuperset(text):
                return False
        cmap = self._cmap()
        return all(ord(c) in cmap for c in set(text))


_COVERAGE = {}


def covers(face, text):
    """True when face = (path, index) has a glyph for every character of
    text.  Fast for faces of font_sets() (a set test); any other face is
    read once."""
    face = (face[0], int(face[1]))
    c = _COVERAGE.get(face)
    if c is None:
        universe()
        c = _COVERAGE[face] = _Coverage(face[0], face[1])
    return c.covers(text)


def scan(dirs=FONT_DIRS, workers=4):
    files = font_files(dirs)
    records = []
    if workers > 1 and len(files) > 1:
        with ProcessPoolExecutor(workers) as ex:
            for recs in ex.map(scan_file, files, chunksize=4):
                records.extend(recs)
    else:
        for p in files:
            records.extend(scan_file(p))
    return files, records


def load_scan(cache_dir, dirs=FONT_DIRS, rescan=False, log=None):
    """The scan's records, from the cache when it is current."""
    universe()
    path = os.path.join(cache_dir, CACHE_NAME)
    files = font_files(dirs)
    fp = fingerprint(files)
    if not rescan and os.path.exists(path):
        try:
            with open(path, encoding="utf-8") as f:
                data = json.load(f)
            if data.get("fingerprint") == fp:
                return data["records"]
        except (OSError, ValueError, KeyError):
            pass  # unreadable cache: scan again
    if log:
        log("scanning %d font files ..." % len(files))
    _, records = scan(dirs)
    os.makedirs(cache_dir, exist_ok=True)
    tmp = path + ".tmp%d" % os.getpid()
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump({"fingerprint": fp, "records": records}, f)
    os.replace(tmp, path)
    return records


def font_sets(cache_dir=None, dirs=FONT_DIRS, rescan=False, log=None):
    """{"latin"|"sc"|"tc": {"train": [(path, index)...], "val": [...]}};
    also makes covers() fast for every face listed."""
    if cache_dir is None:
        import common
        cache_dir = common.TRAIN_DIR
    records = load_scan(cache_dir, dirs, rescan, log)
    sets = split_sets(records, _held_out_faces())
    listed = {f for s in sets.values() for part in s.values() for f in part}
    for r in records:
        face = (r["path"], r["index"])
        if face in listed and face not in _COVERAGE:
            _COVERAGE[face] = _Coverage(r["path"], r["index"], r["cov"])
    if not any(sets[s]["train"] for s in SCRIPTS):
        raise RuntimeError("no usable training font found under %s" % ", ".join(dirs))
    return sets


def main():
    ap = argparse.ArgumentParser(description="Prints the font sets training renders with.")
    ap.add_argument("--cache-dir", default=None, help="default: the training directory")
    ap.add_argument("--rescan", action="store_true", help="scan even when the cache is current")
    ap.add_argument("-v", "--verbose", action="store_true", help="list the faces left out and why")
    args = ap.parse_args()
    sets = font_sets(args.cache_dir, rescan=args.rescan, log=print)
    import common
    records = load_scan(args.cache_dir or common.TRAIN_DIR)
    by_face = {(r["path"], r["index"]): r for r in records}
    for s in SCRIPTS:
        for part in ("train", "val"):
            faces = sets[s][part]
            print("%s %s: %d faces, %d families" % (s, part, len(faces),
                                                    len({by_face[f]["key"] for f in faces})))
            for f in faces:
                print("    %-40s %s:%d" % (by_face[f]["full"], f[0], f[1]))
    rejected = [r for r in records if r["reject"]]
    print("left out: %d faces" % len(rejected))
    if args.verbose:
        for r in rejected:
            print("    %-40s %s:%d  %s" % (r["full"], r["path"], r["index"], r["reject"]))


if __name__ == "__main__":
    main()
