#!/usr/bin/python3
"""Natural text for training lines, from text that Debian packages.

    corpus.py build [--out DIR]     extracts the sources into DIR
    Corpus(DIR).line(rng, lang, max_chars)

Sources, by language ("en", "zh_cn" Simplified, "zh_tw" Traditional):
- the gettext catalogues (.mo) of the installed packages: the translations
  of zh_CN (zh_Hans, zh_SG), of zh_TW (zh_HK, zh_Hant) and of English
  (en, en_GB, ...), and the msgids of every catalogue (English interface
  text);
- python3-jieba's word list with frequencies (Simplified words);
- rime-data-luna-pinyin's dictionary with its weights (Traditional words);
- debian-reference-zh-cn (its Chinese sentences);
- wamerican-huge and wbritish-huge (English words; their frequency is
  counted in the English catalogue text, with a floor of one).

Held back for evaluation, never read as a source: the manual pages of every
language and the copyright files in /usr/share/doc.  Some catalogue strings
are what manual pages are made from (a command's --help), so every string
that also occurs in a manual page of its language (or, for English, in a
copyright file) is dropped: after the roff escapes and whitespace are
normalised, a string of 12 or more characters counts as occurring when it
is a substring of a page, a shorter one when it equals a line of a page.

Only lines whose characters the recogniser's dictionary holds are kept
(after full-width letters and digits are mapped to ASCII).

Files written to DIR: en.txt, zh_cn.txt, zh_tw.txt (one sentence or
interface string a line), words_en.tsv, words_zh_cn.tsv, words_zh_tw.tsv
("word<TAB>weight"), manifest.json (counts).
"""
import argparse
import glob
import gzip
import html
import html.parser
import json
import os
import re
import struct
import sys
import time
import zlib
from collections import Counter, defaultdict

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import make_dict  # noqa: E402

LANGS = ("en", "zh_cn", "zh_tw")
# Catalogue directory names per language.
LOCALE_LANG = {"zh_CN": "zh_cn", "zh_Hans": "zh_cn", "zh_SG": "zh_cn",
               "zh_TW": "zh_tw", "zh_HK": "zh_tw", "zh_Hant": "zh_tw"}
MAN_DIRS = {"en": ["man[0-9]*", "en", "en_*", "en@*"], "zh_cn": ["zh_CN"], "zh_tw": ["zh_TW"]}
MIN_SUBSTRING = 12  # shorter strings must equal a manual-page line
MAX_LINE = 120      # longer sentences are stored in pieces of about this size


class Paths:
    """Where the sources live; tests point these at fixtures."""

    def __init__(self, root="/"):
        j = lambda *p: os.path.join(root, *p)  # noqa: E731
        self.locale = j("usr/share/locale")
        self.man = j("usr/share/man")
        self.doc = j("usr/share/doc")
        self.jieba = j("usr/lib/python3/dist-packages/jieba/dict.txt")
        self.rime_table = j("usr/share/rime-data/build/luna_pinyin.table.txt")
        self.rime_dict = j("usr/share/rime-data/luna_pinyin.dict.yaml")
        self.debref = j("usr/share/debian-reference")
        self.words = [j("usr/share/dict/american-english-huge"), j("usr/share/dict/british-english-huge")]


# ---------------------------------------------------------------- characters

_FULLWIDTH_ASCII = {c: c - 0xFEE0 for c in list(range(0xFF10, 0xFF1A)) + list(range(0xFF21, 0xFF3B))
                    + list(range(0xFF41, 0xFF5B))}
_MAP = dict(_FULLWIDTH_ASCII)
_MAP.update({0x3000: 0x20, 0xA0: 0x20, 0x09: 0x20, 0x2013: 0x2D, 0x2010: 0x2D, 0x2011: 0x2D,
             0x2212: 0x2D, 0x2018: 0x2018, 0x00B7: 0x00B7, 0x2022: None})


class Alphabet:
    """The dictionary's characters and the space: a line is kept only when
    every one of its characters is among them."""

    def __init__(self, entries=None):
        self.chars = frozenset((entries or make_dict.build()) + [" "])

    def clean(self, text):
        """text with full-width letters and digits as ASCII and runs of
        spaces as one; None when a character is outside the dictionary."""
        t = re.sub(r" +", " ", text.translate(_MAP)).strip()
        if not t or not self.chars.issuperset(t):
            return None
        return t


def has_hanzi(t, n=1):
    return len(re.findall(r"[\u4e00-\u9fff]", t)) >= n


# ---------------------------------------------------------------- catalogues

def read_mo(path):
    """[(msgid, msgstr)] of a .mo file; plural forms give the singular
    msgid and every form of msgstr joined by newlines, contexts are dropped.
    Raises ValueError on a malformed file."""
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 28:
        raise ValueError("short .mo file")
    magic = struct.unpack("<I", data[:4])[0]
    end = "<" if magic == 0x950412DE else ">" if magic == 0xDE120495 else None
    if end is None:
        raise ValueError("not a .mo file")
    _, n, orig, trans = struct.unpack(end + "4I", data[4:20])
    if orig + 8 * n > len(data) or trans + 8 * n > len(data):
        raise ValueError("truncated .mo file")
    raw = []
    for i in range(n):
        ml, mo = struct.unpack(end + "2I", data[orig + 8 * i:orig + 8 * i + 8])
        tl, to = struct.unpack(end + "2I", data[trans + 8 * i:trans + 8 * i + 8])
        if mo + ml > len(data) or to + tl > len(data):
            raise ValueError("truncated .mo file")
        raw.append((data[mo:mo + ml], data[to:to + tl]))
    charset = "utf-8"
    for mid, mstr in raw:
        if mid == b"":
            m = re.search(rb"charset=([-\w]+)", mstr)
            if m:
                charset = m.group(1).decode("ascii")
    out = []
    for mid, mstr in raw:
        if mid == b"":
            continue
        try:
            sid = mid.decode(charset).split("\x00")[0].split("\x04")[-1]
            sstr = "\n".join(mstr.decode(charset).split("\x00"))
        except (UnicodeDecodeError, LookupError):
            continue
        out.append((sid, sstr))
    return out


_PLACEHOLDER = re.compile(r"%(\d+\$)?[-+ #0']*(\d+|\*)?(\.\d+)?(hh|h|ll|l|L|q|j|z|t)?[diouxXeEfgGcsSpm]"
                          r"|%\([A-Za-z_]\w*\)[sd]|\$\{?\w+\}?|\{\w*\}|%[A-Za-z]+%|%\d")
_MNEMONIC = re.compile(r"\((?:_|&)[A-Za-z0-9]\)|(?<!\S)&(?=\w)")
# What a %s or {name} of interface text stands for: a name of some kind.
NAMES = ("file", "config", "data.txt", "README", "eth0", "root", "home", "default", "main.c",
         "user", "en_US", "2024", "/tmp", "x86_64", "backup", "image.png", "Documents")


def interface_lines(s, rng):
    """The lines of one catalogue string as a reader would see them: markup,
    mnemonics and entities removed, printf and other placeholders replaced
    by a number or dropped."""
    s = re.sub(r"<[^<>]{1,200}>", "", s)
    s = html.unescape(s)

    def fill(m):
        t = m.group(0)
        if t[-1] in "diouxX":
            return str(int(rng.randint(0, 10 ** rng.randint(1, 5))))
        if t[-1] in "eEfgG":
            return "%.*f" % (rng.randint(0, 3), rng.rand() * 100)
        return NAMES[rng.randint(len(NAMES))]

    out = []
    for ln in s.replace("%%", "\x01").splitlines():
        ln = _PLACEHOLDER.sub(fill, ln).replace("\x01", "%")
        ln = _MNEMONIC.sub("", ln)
        # One underscore before a letter marks a GTK mnemonic ("Save _As"),
        # unless it joins a name ("LC_CTYPE", "file_name").
        if ln.count("_") == 1 and not re.search(r"\w_\w", ln):
            ln = ln.replace("_", "")
        ln = re.sub(r"\s+", " ", ln).strip(" :")
        if len(ln) >= 2:
            out.append(ln)
    return out


def catalogues(paths, log):
    """{lang: [catalogue strings]} (unique, in a fixed order)."""
    strings = {lang: {} for lang in LANGS}
    n_files = 0
    for path in sorted(glob.glob(os.path.join(paths.locale, "*", "LC_MESSAGES", "*.mo"))):
        loc = path.split(os.sep)[-3]
        base = loc.split("@")[0]
        lang = LOCALE_LANG.get(base, "en" if base == "en" or base.startswith("en_") else None)
        try:
            pairs = read_mo(path)
        except (OSError, ValueError) as e:
            log("skipped %s: %s" % (path, e))
            continue
        n_files += 1
        for mid, mstr in pairs:
            strings["en"].setdefault(mid, None)
            if lang is not None and mstr and mstr != mid:
                strings[lang].setdefault(mstr, None)
    log("catalogues: %d files" % n_files)
    return {lang: list(d) for lang, d in strings.items()}


# ---------------------------------------------------------------- manual pages

_ROFF_SPECIAL = {"em": "—", "en": "-", "hy": "-", "mi": "-", "bu": "•", "co": "©", "lq": "“",
                 "rq": "”", "oq": "‘", "cq": "’", "aq": "'", "dq": '"', "ga": "`", "ti": "~",
                 "ha": "^", "rs": "\\", "at": "@", "sh": "#", "Do": "$", "lB": "[", "rB": "]",
                 "lC": "{", "rC": "}", "tm": "™", "de": "°", "mu": "×", "pl": "+", "eq": "="}
_TEXT_MACROS = {"SH", "SS", "B", "I", "R", "SM", "SB", "IP", "TP", "TQ", "BR", "BI", "IB", "IR",
                "RB", "RI", "Nm", "Nd", "Ar", "Fl", "Op", "Dl", "It", "Sh", "Ss", "Pa", "Cm",
                "Em", "Sy", "Li", "Dq", "Qo", "Ql", "Sq", "Xr", "Va", "Ev", "Fn", "Ft", "Ic", "UR", "MT"}
_ALTERNATING = {"BR", "BI", "IB", "IR", "RB", "RI"}
_ESCAPE = re.compile(r"\\(?:f(?:\[[^\]]*\]|\(..|.)|s[-+]?(?:\d|\(\d\d|\[\d+\])|\((..)|\[([^\]]*)\]"
                     r"|\*(?:\(..|\[[^\]]*\]|.)|[-e&%c,/:|^~0 ]|[hvwkmnoxzHLNSXY]'[^']*'|.)", re.S)


def _escape(m):
    t = m.group(0)
    if m.group(1) is not None or m.group(2) is not None:
        name = m.group(1) or m.group(2)
        return _ROFF_SPECIAL.get(name, "")
    c = t[1:2]
    if c == "-":
        return "-"
    if c == "e":
        return "\\"
    if c in "~0 ":
        return " "
    return ""


def roff_text(src):
    """The running text of a roff page: (normalised text, set of its
    normalised lines).  Requests are dropped except those whose arguments
    are text (headings, fonts, tagged paragraphs)."""
    lines = []
    for ln in src.split("\n"):
        ln = re.sub(r'\\".*', "", ln)
        if ln[:1] in (".", "'"):
            m = re.match(r"[.']\s*(\w+)\s*(.*)", ln)
            if not m or m.group(1) not in _TEXT_MACROS:
                continue
            args = re.findall(r'"((?:[^"]|"")*)"|(\S+)', m.group(2))
            args = [a or b for a, b in args]
            if m.group(1) in _ALTERNATING:
                ln = "".join(args)
            elif m.group(1) in ("IP", "TP", "TQ"):
                ln = args[0] if args and m.group(1) == "IP" else ""
            else:
                ln = " ".join(args)
        ln = _ESCAPE.sub(_escape, ln)
        ln = re.sub(r"\s+", " ", ln).strip()
        if ln:
            lines.append(ln)
    return " ".join(lines), set(lines)


def normalise(s):
    return re.sub(r"\s+", " ", s).strip()


def man_texts(paths, lang):
    """Yields the normalised text and lines of every manual page of a
    language (and for English, of every copyright file)."""
    files = []
    for pat in MAN_DIRS[lang]:
        for d in sorted(glob.glob(os.path.join(paths.man, pat))):
            for root, _, names in os.walk(d):
                files.extend(os.path.join(root, n) for n in sorted(names))
    for path in files:
        try:
            with (gzip.open(path, "rb") if path.endswith(".gz") else open(path, "rb")) as f:
                data = f.read()
        except (OSError, EOFError, zlib.error):
            continue
        src = data.decode("utf-8", "replace")
        if src.startswith(".so "):
            continue
        yield roff_text(src)
    if lang == "en":
        for path in sorted(glob.glob(os.path.join(paths.doc, "*", "copyright"))):
            try:
                with open(path, encoding="utf-8", errors="replace") as f:
                    txt = f.read()
            except OSError:
                continue
            lines = {normalise(x) for x in txt.splitlines()} - {""}
            yield normalise(txt), lines


class HeldBack:
    """The texts held back for evaluation of one language: answers which of
    a list of strings occur in them."""

    def __init__(self, texts):
        self.texts = texts  # iterable of (text, lines)

    def occurring(self, strings, automaton=True):
        """Indices of the strings that occur (see the module doc); the
        substring search runs as one Aho-Corasick automaton where
        python3-ahocorasick is installed (automaton=True), else string by
        string."""
        norm = [normalise(s) for s in strings]
        long_ids = defaultdict(list)
        short_ids = defaultdict(list)
        for i, s in enumerate(norm):
            if len(s) >= MIN_SUBSTRING:
                long_ids[s].append(i)
            elif s:
                short_ids[s].append(i)
        found = set()
        try:
            import ahocorasick
        except ImportError:
            ahocorasick = None
        if not automaton:
            ahocorasick = None
        auto = None
        if ahocorasick is not None and long_ids:
            auto = ahocorasick.Automaton()
            for s in long_ids:
                auto.add_word(s, s)
            auto.make_automaton()
        remaining = set(long_ids)
        for text, lines in self.texts:
            for ln in lines:
                if ln in short_ids:
                    found.update(short_ids[ln])
            if auto is not None:
                for _, s in auto.iter(text):
                    found.update(long_ids[s])
            else:
                hit = [s for s in remaining if s in text]
                for s in hit:
                    found.update(long_ids[s])
                remaining.difference_update(hit)
        return found


# ---------------------------------------------------------------- other sources

class _HTMLText(html.parser.HTMLParser):
    """Text blocks of an HTML page, without <pre>, <script> and <style>."""
    BLOCK = {"p", "li", "td", "th", "dt", "dd", "h1", "h2", "h3", "h4", "h5", "h6", "title",
             "div", "br", "tr", "caption", "blockquote"}
    SKIP = {"pre", "script", "style"}

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.blocks, self.cur, self.skip = [], [], 0

    def handle_starttag(self, tag, attrs):
        if tag in self.SKIP:
            self.skip += 1
        if tag in self.BLOCK:
            self.flush()

    def handle_endtag(self, tag):
        if tag in self.SKIP and self.skip:
            self.skip -= 1
        if tag in self.BLOCK:
            self.flush()

    def handle_data(self, data):
        if not self.skip:
            self.cur.append(data)

    def flush(self):
        t = normalise("".join(self.cur))
        if t:
            self.blocks.append(t)
        self.cur = []


def split_sentences(text):
    """Sentences of Chinese text: cut after 。！？； (and their half-width
    forms followed by a space), closing quotes kept with the sentence."""
    parts = re.split(r"(?<=[。！？；])(?![”’」』）])|(?<=[.!?;]) (?=\S)", text)
    return [p.strip() for p in parts if p.strip()]


def debian_reference(paths):
    out = []
    for path in sorted(glob.glob(os.path.join(paths.debref, "*.zh-cn.html"))):
        p = _HTMLText()
        with open(path, encoding="utf-8", errors="replace") as f:
            p.feed(f.read())
        p.flush()
        for b in p.blocks:
            out.extend(s for s in split_sentences(b) if has_hanzi(s, 4))
    return out


def jieba_words(paths):
    out = Counter()
    if os.path.exists(paths.jieba):
        with open(paths.jieba, encoding="utf-8") as f:
            for ln in f:
                p = ln.split()
                if len(p) >= 2 and p[1].isdigit():
                    out[p[0]] += int(p[1])
    return out


def rime_words(paths):
    """Words and weights of luna_pinyin: the compiled table's weights where
    it exists (the dictionary with its vocabulary's frequencies), else the
    dictionary's entries with weight 1."""
    out = Counter()
    src = paths.rime_table if os.path.exists(paths.rime_table) else paths.rime_dict
    if not os.path.exists(src):
        return out
    with open(src, encoding="utf-8") as f:
        body = src == paths.rime_table
        for ln in f:
            if not body:
                body = ln.strip() == "..."
                continue
            if ln.startswith("#"):
                continue
            p = ln.rstrip("\n").split("\t")
            if len(p) < 2 or not p[0]:
                continue
            w = 1
            if len(p) >= 3 and p[2].isdigit():
                w = max(int(p[2]), 1)
            out[p[0]] = max(out[p[0]], w)
    return out


def english_words(paths, en_lines):
    """English words: the word lists, weighted by their count in the English
    catalogue text plus one."""
    counts = Counter()
    for ln in en_lines:
        ws = re.findall(r"[A-Za-z][A-Za-z]*(?:'[a-z]+)?", ln)
        if ws and ws[0][:1].isupper() and ws[0][1:].islower():
            ws[0] = ws[0].lower()  # a capital that starts a line says nothing of the word
        counts.update(ws)
    out = Counter()
    for path in paths.words:
        if not os.path.exists(path):
            continue
        with open(path, encoding="utf-8", errors="replace") as f:
            for w in f:
                w = w.strip()
                if w:
                    out[w] = 1 + counts.get(w, 0)
    return out


# ---------------------------------------------------------------- build

def _pieces(line, limit=MAX_LINE):
    """A long line as pieces of at most `limit` characters, cut after
    sentence or clause ends where possible."""
    if len(line) <= limit:
        return [line]
    out, cur = [], ""
    for part in re.split(r"(?<=[。！？；，、.!?;,])", line):
        if cur and len(cur) + len(part) > limit:
            out.append(cur.strip())
            cur = ""
        cur += part
    out.append(cur.strip())
    return [p[:limit].strip() for p in out if p.strip()]


def _write(path, text):
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    os.replace(tmp, path)


def build(out_dir, paths=None, alphabet=None, log=print):
    """Extracts every source into out_dir; returns the manifest."""
    t0 = time.time()
    paths = paths or Paths()
    alphabet = alphabet or Alphabet()
    rng = np.random.RandomState(1234)
    stats = {"sources": {}, "dropped_as_held_back": {}, "dropped_characters": {}}
    lines = {lang: [] for lang in LANGS}

    cats = catalogues(paths, log)
    for lang in LANGS:
        strings = cats[lang]
        if lang != "en":
            strings = [s for s in strings if has_hanzi(s)]
        t = time.time()
        held = HeldBack(man_texts(paths, lang)).occurring(strings) if strings else set()
        stats["dropped_as_held_back"]["catalogues_" + lang] = len(held)
        log("catalogues %s: %d strings, %d also in manual pages%s (%.0f s)"
            % (lang, len(strings), len(held), " or copyright files" if lang == "en" else "",
               time.time() - t))
        kept = bad = 0
        for i, s in enumerate(strings):
            if i in held:
                continue
            for ln in interface_lines(s, rng):
                if lang != "en" and not has_hanzi(ln):
                    continue
                c = alphabet.clean(ln)
                if c is None:
                    bad += 1
                    continue
                lines[lang].extend(_pieces(c))
                kept += 1
        stats["sources"]["catalogues_" + lang] = kept
        stats["dropped_characters"]["catalogues_" + lang] = bad

    doc = debian_reference(paths)
    if doc:
        held = HeldBack(man_texts(paths, "zh_cn")).occurring(doc)
        stats["dropped_as_held_back"]["debian_reference"] = len(held)
        kept = bad = 0
        for i, s in enumerate(doc):
            if i in held:
                continue
            c = alphabet.clean(s)
            if c is None:
                bad += 1
                continue
            lines["zh_cn"].extend(_pieces(c))
            kept += 1
        stats["sources"]["debian_reference"] = kept
        stats["dropped_characters"]["debian_reference"] = bad

    words = {"zh_cn": jieba_words(paths), "zh_tw": rime_words(paths),
             "en": english_words(paths, lines["en"])}
    for lang, name in (("zh_cn", "jieba"), ("zh_tw", "luna_pinyin"), ("en", "word_lists")):
        w = words[lang]
        kept = {k: v for k, v in w.items() if alphabet.clean(k) == k and " " not in k
                and (lang == "en" or has_hanzi(k))}
        stats["sources"][name] = len(kept)
        stats["dropped_characters"][name] = len(w) - len(kept)
        words[lang] = kept

    os.makedirs(out_dir, exist_ok=True)
    for lang in LANGS:
        uniq = list(dict.fromkeys(lines[lang]))
        stats.setdefault("lines", {})[lang] = len(uniq)
        _write(os.path.join(out_dir, lang + ".txt"), "".join(s + "\n" for s in uniq))
        w = sorted(words[lang].items(), key=lambda kv: (-kv[1], kv[0]))
        stats.setdefault("words", {})[lang] = len(w)
        _write(os.path.join(out_dir, "words_%s.tsv" % lang), "".join("%s\t%d\n" % kv for kv in w))
    stats["seconds"] = round(time.time() - t0, 1)
    _write(os.path.join(out_dir, "manifest.json"), json.dumps(stats, indent=1, ensure_ascii=False))
    return stats


# ---------------------------------------------------------------- drawing lines

class Corpus:
    """Natural lines from a built corpus directory.

    line(rng, lang, max_chars): lang in en, zh_cn, zh_tw, mixed; rng a numpy
    RandomState.  A line is a stored sentence (or a piece of one that fits)
    or a phrase of words drawn by frequency.  A language without files falls
    back to what exists (Traditional and Simplified to each other)."""

    SENTENCE_SHARE = 0.6
    WORD_POWER = 0.75  # flattens the word frequencies a little
    FALLBACK = {"zh_cn": ["zh_tw"], "zh_tw": ["zh_cn"], "en": []}

    def __init__(self, directory=None):
        if directory is None:
            import common
            directory = os.path.join(common.TRAIN_DIR, "corpus")
        self.dir = directory
        self.lines, self.words, self.cum = {}, {}, {}
        for lang in LANGS:
            p = os.path.join(directory, lang + ".txt")
            if os.path.exists(p):
                with open(p, encoding="utf-8") as f:
                    ls = [ln for ln in f.read().split("\n") if ln]
                if ls:
                    self.lines[lang] = ls
            p = os.path.join(directory, "words_%s.tsv" % lang)
            if os.path.exists(p):
                ws, wt = [], []
                with open(p, encoding="utf-8") as f:
                    for ln in f:
                        w, _, v = ln.rstrip("\n").partition("\t")
                        if w:
                            ws.append(w)
                            wt.append(float(v or 1))
                if ws:
                    self.words[lang] = ws
                    c = np.cumsum(np.power(np.array(wt), self.WORD_POWER))
                    self.cum[lang] = c / c[-1]
        if not self.lines and not self.words:
            raise FileNotFoundError("no corpus in %s: run tools/train/corpus.py build" % directory)

    def _lang(self, lang):
        for cand in [lang] + self.FALLBACK[lang]:
            if cand in self.lines or cand in self.words:
                return cand
        raise ValueError("the corpus in %s has no text for %s" % (self.dir, lang))

    def line(self, rng, lang, max_chars=40):
        """A natural line of at most max_chars characters (never empty,
        no space at either end, no double space)."""
        if max_chars < 1:
            raise ValueError("max_chars must be positive")
        if lang == "mixed":
            return self._mixed(rng, max_chars)
        if lang not in self.FALLBACK:
            raise ValueError("unknown language %r" % lang)
        lang = self._lang(lang)
        for _ in range(8):
            if lang in self.lines and (lang not in self.words or rng.rand() < self.SENTENCE_SHARE):
                t = self._piece(rng, lang, max_chars)
            else:
                t = self._phrase(rng, lang, max_chars)
            if t:
                return t
        raise RuntimeError("no line drawn from the corpus in %s" % self.dir)

    def _piece(self, rng, lang, max_chars):
        if lang not in self.lines:
            return ""
        ls = self.lines[lang]
        s = ls[rng.randint(len(ls))]
        if len(s) <= max_chars:
            return s
        return self._window(rng, s, max_chars, lang == "en" or not has_hanzi(s))

    @staticmethod
    def _window(rng, s, max_chars, words):
        """A random piece of s of at most max_chars, cut between words when
        s is spaced text."""
        if not words:
            n = rng.randint(max(1, max_chars // 2), max_chars + 1)
            i = rng.randint(0, len(s) - n + 1)
            return s[i:i + n].strip()
        toks = s.split(" ")
        i = rng.randint(len(toks))
        out = toks[i]
        j = i + 1
        while j < len(toks) and len(out) + 1 + len(toks[j]) <= max_chars:
            out += " " + toks[j]
            j += 1
        return out[:max_chars].strip()

    def _draw_words(self, rng, lang, n):
        idx = np.searchsorted(self.cum[lang], rng.random_sample(n))
        ws = self.words[lang]
        return [ws[min(i, len(ws) - 1)] for i in idx]

    def _phrase(self, rng, lang, max_chars):
        if lang not in self.words:
            return ""
        if lang == "en":
            return self._en_phrase(rng, max_chars)
        ws = self._draw_words(rng, lang, rng.randint(1, 9))
        out = ""
        for i, w in enumerate(ws):
            sep = "，、"[rng.randint(2)] if i and rng.rand() < 0.12 else ""
            if len(out) + len(sep) + len(w) > max_chars:
                break
            out += sep + w
        if out and len(out) < max_chars and rng.rand() < 0.15:
            out += "。！？：；"[rng.randint(5)]
        return out or ws[0][:max_chars]

    def _en_phrase(self, rng, max_chars):
        ws = self._draw_words(rng, "en", rng.randint(1, 8))
        style = rng.rand()
        if style < 0.15:
            ws = [w.upper() for w in ws]
        elif style < 0.4:
            ws = [w[:1].upper() + w[1:] for w in ws]
        elif style < 0.8:
            ws[0] = ws[0][:1].upper() + ws[0][1:]
        out = ""
        for i, w in enumerate(ws):
            if i and rng.rand() < 0.08:
                out += ","
            cand = (out + " " + w) if out else w
            if len(cand) > max_chars:
                break
            out = cand
        if out and len(out) < max_chars and rng.rand() < 0.25:
            out += ".:?!"[rng.randint(4)] if rng.rand() < 0.9 else "..."[:max_chars - len(out)]
        return out or ws[0][:max_chars]

    def _mixed(self, rng, max_chars):
        """Chinese and English side by side, as in software and on forms."""
        zh = [l for l in ("zh_cn", "zh_tw") if l in self.lines or l in self.words]
        parts = []
        if zh:
            parts.append(self.line(rng, zh[rng.randint(len(zh))], max(1, max_chars // 2)))
        if "en" in self.lines or "en" in self.words:
            room = max_chars - sum(len(p) for p in parts) - 1
            if room >= 1:
                e = self.line(rng, "en", min(room, 20))
                parts.insert(rng.randint(len(parts) + 1), e)
        if not parts:
            return self.line(rng, zh[0] if zh else "en", max_chars)
        sep = " " if rng.rand() < 0.6 else ""
        return sep.join(parts)[:max_chars].strip()


def with_tokens(rng, text, max_chars=None):
    """text with a number, date, amount, code or phone number (textgen's
    generators) put before it, after it or between two of its words."""
    import textgen
    gens = (textgen._date, textgen._amount, textgen._code, textgen._phone, textgen._digit_dash)
    tok = gens[rng.randint(len(gens))](rng)
    cut = [i for i, c in enumerate(text) if c == " "] if " " in text else []
    r = rng.rand()
    zh = has_hanzi(text)
    sep = "" if zh and rng.rand() < 0.5 else " "
    if r < 0.4:
        out = text + (["：", ": ", " "][rng.randint(3)] if zh else [": ", " "][rng.randint(2)]) + tok
    elif r < 0.7 or not cut:
        out = tok + sep + text
    else:
        i = cut[rng.randint(len(cut))]
        out = text[:i] + " " + tok + text[i:]
    out = re.sub(r" +", " ", out).strip()
    if max_chars is not None and len(out) > max_chars:
        return text
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = ap.add_subparsers(dest="cmd", required=True)
    b = sub.add_parser("build", help="extract the sources")
    b.add_argument("--out", default=None, help="default: <training directory>/corpus")
    s = sub.add_parser("sample", help="print lines drawn from a built corpus")
    s.add_argument("--dir", default=None)
    s.add_argument("--lang", default="mixed", choices=("en", "zh_cn", "zh_tw", "mixed"))
    s.add_argument("-n", type=int, default=20)
    s.add_argument("--max-chars", type=int, default=30)
    args = ap.parse_args()
    if args.cmd == "build":
        out = args.out
        if out is None:
            import common
            out = os.path.join(common.TRAIN_DIR, "corpus")
        stats = build(out)
        print(json.dumps(stats, indent=1, ensure_ascii=False))
        if not any(stats["lines"].values()) and not any(stats["words"].values()):
            sys.exit("no source text found: install them with scripts/deps.sh --train")
    else:
        c = Corpus(args.dir)
        rng = np.random.RandomState(0)
        for _ in range(args.n):
            print(c.line(rng, args.lang, args.max_chars))


if __name__ == "__main__":
    main()
