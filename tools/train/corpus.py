#!/usr/bin/python3
"""Natural text for training lines, from text that Debian packages.

    corpus.py build --out DIR      extracts the sources into DIR
    Corpus(DIR).line(rng, lang, max_chars)

Sources, by language ("en", "zh_cn" Simplified, "zh_tw" Traditional): the
gettext catalogues (.mo) of the installed packages (translations for zh_CN,
zh_TW and English locales, and every msgid as English interface text);
python3-jieba's word list; rime-data-luna-pinyin's table (Traditional
words); debian-reference-zh-cn; wamerican-huge and wbritish-huge (weighted
by their count in the English catalogue text plus one).

Held back for evaluation, never read as a source: the manual pages of every
language and the copyright files in /usr/share/doc.  Some catalogue strings
are what manual pages are made from (a command's --help), so every string
that also occurs in a manual page of its language (or, for English, in a
copyright file) is dropped: after the roff escapes and whitespace are
normalised, a string of 12 or more characters counts as occurring when it
is a substring of a page, a shorter one when it equals a line of a page.
Only lines whose characters the dictionary holds are kept (full-width
letters and digits mapped to ASCII).  Written to DIR: <lang>.txt (a sentence
or interface string a line), words_<lang>.tsv ("word<TAB>weight"),
manifest.json (counts).
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

import ahocorasick
import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import make_dict  # noqa: E402

LANGS = ("en", "zh_cn", "zh_tw")
LOCALE_LANG = {"zh_CN": "zh_cn", "zh_Hans": "zh_cn", "zh_SG": "zh_cn",
               "zh_TW": "zh_tw", "zh_HK": "zh_tw", "zh_Hant": "zh_tw"}
MAN_DIRS = {"en": ["man[0-9]*", "en", "en_*", "en@*"], "zh_cn": ["zh_CN"], "zh_tw": ["zh_TW"]}
MIN_SUBSTRING = 12  # shorter strings must equal a manual-page line
MAX_LINE = 120      # longer sentences are stored in pieces of about this size


class Paths:
    """Where the sources live; tests point these at fixtures."""

    def __init__(self, root="/"):
        j = lambda *p: os.path.join(root, *p)  # noqa: E731
        self.locale, self.man, self.doc = j("usr/share/locale"), j("usr/share/man"), j("usr/share/doc")
        self.jieba = j("usr/lib/python3/dist-packages/jieba/dict.txt")
        self.rime_table = j("usr/share/rime-data/build/luna_pinyin.table.txt")
        self.debref = j("usr/share/debian-reference")
        self.words = [j("usr/share/dict/american-english-huge"), j("usr/share/dict/british-english-huge")]


_MAP = {c: c - 0xFEE0 for c in [*range(0xFF10, 0xFF1A), *range(0xFF21, 0xFF3B), *range(0xFF41, 0xFF5B)]}
_MAP.update({0x3000: 0x20, 0xA0: 0x20, 0x09: 0x20, 0x2013: 0x2D, 0x2010: 0x2D, 0x2011: 0x2D,
             0x2212: 0x2D, 0x2022: None})


def clean(text, chars):
    """text with full-width letters and digits as ASCII and runs of spaces
    as one; None when a character is outside `chars`."""
    t = re.sub(r" +", " ", text.translate(_MAP)).strip()
    return t if t and chars.issuperset(t) else None


def has_hanzi(t, n=1):
    return len(re.findall(r"[\u4e00-\u9fff]", t)) >= n


def normalise(s):
    return re.sub(r"\s+", " ", s).strip()


def read_mo(path):
    """[(msgid, msgstr)] of a .mo file; plural forms give the singular
    msgid and every form of msgstr joined by newlines, contexts are dropped.
    Raises ValueError on a malformed file."""
    with open(path, "rb") as f:
        data = f.read()
    end = {b"\xde\x12\x04\x95": "<", b"\x95\x04\x12\xde": ">"}.get(data[:4])
    if end is None or len(data) < 28:
        raise ValueError("not a .mo file")
    _, n, orig, trans = struct.unpack(end + "4I", data[4:20])
    if max(orig, trans) + 8 * n > len(data):
        raise ValueError("truncated .mo file")
    table = lambda o: [struct.unpack_from(end + "2I", data, o + 8 * i) for i in range(n)]  # noqa: E731
    raw = []
    for (ml, mo), (tl, to) in zip(table(orig), table(trans)):
        if max(mo + ml, to + tl) > len(data):
            raise ValueError("truncated .mo file")
        raw.append((data[mo:mo + ml], data[to:to + tl]))
    charset = "utf-8"
    for m in (re.search(rb"charset=([-\w]+)", mstr) for mid, mstr in raw if mid == b""):
        charset = m.group(1).decode("ascii") if m else charset
    out = []
    for mid, mstr in raw:
        try:
            if mid:
                out.append((mid.decode(charset).split("\x00")[0].split("\x04")[-1],
                            "\n".join(mstr.decode(charset).split("\x00"))))
        except (UnicodeDecodeError, LookupError):
            pass
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
    by a number or a name."""
    s = html.unescape(re.sub(r"<[^<>]{1,200}>", "", s))

    def fill(m):
        t = m.group(0)[-1]
        if t in "diouxX":
            return str(int(rng.randint(0, 10 ** rng.randint(1, 5))))
        if t in "eEfgG":
            return "%.*f" % (rng.randint(0, 3), rng.rand() * 100)
        return NAMES[rng.randint(len(NAMES))]

    out = []
    for ln in s.replace("%%", "\x01").splitlines():
        ln = _MNEMONIC.sub("", _PLACEHOLDER.sub(fill, ln).replace("\x01", "%"))
        # One underscore before a letter marks a GTK mnemonic ("Save _As"),
        # unless it joins a name ("LC_CTYPE", "file_name").
        if ln.count("_") == 1 and not re.search(r"\w_\w", ln):
            ln = ln.replace("_", "")
        ln = re.sub(r"\s+", " ", ln).strip(" :")
        if len(ln) >= 2:
            out.append(ln)
    return out


def catalogues(paths):
    """{lang: [catalogue strings]} (unique, in a fixed order); malformed files are skipped."""
    strings = {lang: {} for lang in LANGS}
    for path in sorted(glob.glob(os.path.join(paths.locale, "*", "LC_MESSAGES", "*.mo"))):
        base = path.split(os.sep)[-3].split("@")[0]
        lang = LOCALE_LANG.get(base, "en" if base == "en" or base.startswith("en_") else None)
        try:
            pairs = read_mo(path)
        except (OSError, ValueError):
            continue
        for mid, mstr in pairs:
            strings["en"].setdefault(mid, None)
            if lang is not None and mstr and mstr != mid:
                strings[lang].setdefault(mstr, None)
    return {lang: list(d) for lang, d in strings.items()}


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
    if m.group(1) is not None or m.group(2) is not None:
        return _ROFF_SPECIAL.get(m.group(1) or m.group(2), "")
    return {"-": "-", "e": "\\", "~": " ", "0": " ", " ": " "}.get(m.group(0)[1:2], "")


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
            args = [a or b for a, b in re.findall(r'"((?:[^"]|"")*)"|(\S+)', m.group(2))]
            if m.group(1) in _ALTERNATING:
                ln = "".join(args)
            elif m.group(1) in ("IP", "TP", "TQ"):
                ln = args[0] if args and m.group(1) == "IP" else ""
            else:
                ln = " ".join(args)
        ln = normalise(_ESCAPE.sub(_escape, ln))
        if ln:
            lines.append(ln)
    return " ".join(lines), set(lines)


def man_texts(paths, lang):
    """Yields (normalised text, set of normalised lines) of every manual
    page of a language (and for English, of every copyright file)."""
    for pat in MAN_DIRS[lang]:
        for d in sorted(glob.glob(os.path.join(paths.man, pat))):
            for root, _, names in os.walk(d):
                for path in (os.path.join(root, n) for n in sorted(names)):
                    try:
                        with (gzip.open if path.endswith(".gz") else open)(path, "rb") as f:
                            src = f.read().decode("utf-8", "replace")
                    except (OSError, EOFError, zlib.error):
                        continue
                    if not src.startswith(".so "):
                        yield roff_text(src)
    if lang == "en":
        for path in sorted(glob.glob(os.path.join(paths.doc, "*", "copyright"))):
            try:
                with open(path, encoding="utf-8", errors="replace") as f:
                    txt = f.read()
            except OSError:
                continue
            yield normalise(txt), {normalise(x) for x in txt.splitlines()} - {""}


def held_back(texts, strings):
    """Indices of the strings that occur in texts ((text, lines) pairs, see
    the module doc); the substring search is one Aho-Corasick automaton."""
    long_ids, short_ids = defaultdict(list), defaultdict(list)
    for i, s in enumerate(map(normalise, strings)):
        if s:
            (long_ids if len(s) >= MIN_SUBSTRING else short_ids)[s].append(i)
    auto = ahocorasick.Automaton()
    for s in long_ids:
        auto.add_word(s, s)
    if long_ids:
        auto.make_automaton()
    found = set()
    for text, lines in texts:
        for ln in lines & short_ids.keys():
            found.update(short_ids[ln])
        for _, s in (auto.iter(text) if long_ids else ()):
            found.update(long_ids[s])
    return found


class _HTMLText(html.parser.HTMLParser):
    """Text blocks of an HTML page, without <pre>, <script> and <style>."""
    BLOCK = {"p", "li", "td", "th", "dt", "dd", "h1", "h2", "h3", "h4", "h5", "h6", "title",
             "div", "br", "tr", "caption", "blockquote"}
    SKIP = {"pre", "script", "style"}

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.blocks, self.cur, self.skip = [], [], 0

    def handle_starttag(self, tag, attrs, step=1):
        if tag in self.SKIP:
            self.skip = max(self.skip + step, 0)
        if tag in self.BLOCK:
            self.flush()

    def handle_endtag(self, tag):
        self.handle_starttag(tag, None, -1)

    def handle_data(self, data):
        if not self.skip:
            self.cur.append(data)

    def flush(self):
        t = normalise("".join(self.cur))
        if t:
            self.blocks.append(t)
        self.cur = []


def debian_reference(paths):
    """The Chinese sentences of the HTML pages: cut after 。！？； (and their
    half-width forms followed by a space), closing quotes kept with them."""
    out = []
    for path in sorted(glob.glob(os.path.join(paths.debref, "*.zh-cn.html"))):
        p = _HTMLText()
        with open(path, encoding="utf-8", errors="replace") as f:
            p.feed(f.read())
        p.flush()
        for b in p.blocks:
            parts = map(str.strip, re.split(r"(?<=[。！？；])(?![”’」』）])|(?<=[.!?;]) (?=\S)", b))
            out.extend(s for s in parts if s and has_hanzi(s, 4))
    return out


def _file_lines(path):
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8", errors="replace") as f:
        return f.read().split("\n")


def jieba_words(paths):
    out = Counter()
    for p in map(str.split, _file_lines(paths.jieba)):
        if len(p) >= 2 and p[1].isdigit():
            out[p[0]] += int(p[1])
    return out


def rime_words(paths):
    """Words of luna_pinyin's compiled table, with their weights (at least 1)."""
    out = Counter()
    for ln in _file_lines(paths.rime_table):
        p = ln.split("\t")
        if not ln.startswith("#") and len(p) >= 2 and p[0]:
            out[p[0]] = max(out[p[0]], max(int(p[2]), 1) if len(p) >= 3 and p[2].isdigit() else 1)
    return out


def english_words(paths, en_lines):
    counts = Counter()
    for ln in en_lines:
        ws = re.findall(r"[A-Za-z][A-Za-z]*(?:'[a-z]+)?", ln)
        if ws and ws[0][:1].isupper() and ws[0][1:].islower():
            ws[0] = ws[0].lower()  # a capital that starts a line says nothing of the word
        counts.update(ws)
    out = Counter()
    for path in paths.words:
        for w in map(str.strip, _file_lines(path)):
            if w:
                out[w] = 1 + counts.get(w, 0)
    return out


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
    with open(path + ".tmp", "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    os.replace(path + ".tmp", path)


def build(out_dir, paths=None):
    """Extracts every source into out_dir; returns the manifest."""
    t0 = time.time()
    paths, chars = paths or Paths(), frozenset(make_dict.build() + [" "])
    rng = np.random.RandomState(1234)
    stats = {"sources": {}, "dropped_as_held_back": {}, "dropped_characters": {}}
    lines = {lang: [] for lang in LANGS}
    cats, doc = catalogues(paths), debian_reference(paths)
    jobs = [("catalogues_" + lang, lang, cats[lang], True) for lang in LANGS]
    jobs += [("debian_reference", "zh_cn", doc, False)] if doc else []
    for name, lang, strings, ui in jobs:
        if lang != "en":
            strings = [s for s in strings if has_hanzi(s)]
        held = held_back(man_texts(paths, lang), strings) if strings else set()
        stats["dropped_as_held_back"][name] = len(held)
        kept = bad = 0
        for i, s in enumerate(strings):
            if i in held:
                continue
            for ln in interface_lines(s, rng) if ui else [s]:
                if lang != "en" and not has_hanzi(ln):
                    continue
                c = clean(ln, chars)
                if c is None:
                    bad += 1
                else:
                    lines[lang].extend(_pieces(c))
                    kept += 1
        stats["sources"][name] = kept
        stats["dropped_characters"][name] = bad

    words = {"zh_cn": jieba_words(paths), "zh_tw": rime_words(paths), "en": english_words(paths, lines["en"])}
    for lang, name in (("zh_cn", "jieba"), ("zh_tw", "luna_pinyin"), ("en", "word_lists")):
        w = words[lang]
        words[lang] = {k: v for k, v in w.items()
                       if clean(k, chars) == k and " " not in k and (lang == "en" or has_hanzi(k))}
        stats["sources"][name] = len(words[lang])
        stats["dropped_characters"][name] = len(w) - len(words[lang])

    os.makedirs(out_dir, exist_ok=True)
    stats["lines"], stats["words"] = {}, {}
    for lang in LANGS:
        uniq = list(dict.fromkeys(lines[lang]))
        stats["lines"][lang] = len(uniq)
        _write(os.path.join(out_dir, lang + ".txt"), "".join(s + "\n" for s in uniq))
        w = sorted(words[lang].items(), key=lambda kv: (-kv[1], kv[0]))
        stats["words"][lang] = len(w)
        _write(os.path.join(out_dir, "words_%s.tsv" % lang), "".join("%s\t%d\n" % kv for kv in w))
    stats["seconds"] = round(time.time() - t0, 1)
    _write(os.path.join(out_dir, "manifest.json"), json.dumps(stats, indent=1, ensure_ascii=False))
    return stats


class Corpus:
    """Natural lines from a built corpus directory.

    line(rng, lang, max_chars): lang in en, zh_cn, zh_tw, mixed; rng a numpy
    RandomState.  A line is a stored sentence (or a piece of one that fits)
    or a phrase of words drawn by frequency."""

    SENTENCE_SHARE = 0.6
    WORD_POWER = 0.75  # flattens the word frequencies a little

    def __init__(self, directory=None):
        if directory is None:
            import common
            directory = os.path.join(common.TRAIN_DIR, "corpus")
        self.dir, self.lines, self.words, self.cum = directory, {}, {}, {}
        for lang in LANGS:
            ls = [ln for ln in _file_lines(os.path.join(directory, lang + ".txt")) if ln]
            if ls:
                self.lines[lang] = ls
            ws = [ln.partition("\t") for ln in _file_lines(os.path.join(directory, "words_%s.tsv" % lang))]
            ws = [(w, float(v or 1)) for w, _, v in ws if w]
            if ws:
                self.words[lang] = [w for w, _ in ws]
                c = np.cumsum(np.power(np.array([v for _, v in ws]), self.WORD_POWER))
                self.cum[lang] = c / c[-1]
        if not self.lines and not self.words:
            raise FileNotFoundError("no corpus in %s: run tools/train/corpus.py build" % directory)

    def _has(self, lang):
        return lang in self.lines or lang in self.words

    def line(self, rng, lang, max_chars=40):
        """A natural line of at most max_chars characters (never empty,
        no space at either end, no double space)."""
        if max_chars < 1:
            raise ValueError("max_chars must be positive")
        if lang == "mixed":
            return self._mixed(rng, max_chars)
        if not self._has(lang):
            raise ValueError("the corpus in %s has no text for %r" % (self.dir, lang))
        for _ in range(8):
            if lang in self.lines and (lang not in self.words or rng.rand() < self.SENTENCE_SHARE):
                t = self._piece(rng, lang, max_chars)
            else:
                t = self._phrase(rng, lang, max_chars)
            if t:
                return t
        raise RuntimeError("no line drawn from the corpus in %s" % self.dir)

    def _piece(self, rng, lang, max_chars):
        """A stored sentence, or a random piece of it of at most max_chars,
        cut between words when it is spaced text."""
        s = self.lines[lang][rng.randint(len(self.lines[lang]))]
        if len(s) <= max_chars:
            return s
        if lang != "en" and has_hanzi(s):
            n = rng.randint(max(1, max_chars // 2), max_chars + 1)
            i = rng.randint(0, len(s) - n + 1)
            return s[i:i + n].strip()
        toks = s.split(" ")
        j = rng.randint(len(toks))
        out = toks[j]
        for tok in toks[j + 1:]:
            if len(out) + 1 + len(tok) > max_chars:
                break
            out += " " + tok
        return out[:max_chars].strip()

    def _phrase(self, rng, lang, max_chars):
        """Words drawn by frequency, with some punctuation and, for English,
        some capitals."""
        en = lang == "en"
        idx = np.searchsorted(self.cum[lang], rng.random_sample(rng.randint(1, 8 if en else 9)))
        ws = [self.words[lang][min(i, len(self.words[lang]) - 1)] for i in idx]
        out = ""
        if not en:
            for i, w in enumerate(ws):
                sep = "，、"[rng.randint(2)] if i and rng.rand() < 0.12 else ""
                if len(out) + len(sep) + len(w) > max_chars:
                    break
                out += sep + w
            if out and len(out) < max_chars and rng.rand() < 0.15:
                out += "。！？：；"[rng.randint(5)]
            return out or ws[0][:max_chars]
        style = rng.rand()
        if style < 0.15:
            ws = [w.upper() for w in ws]
        elif style < 0.4:
            ws = [w[:1].upper() + w[1:] for w in ws]
        elif style < 0.8:
            ws[0] = ws[0][:1].upper() + ws[0][1:]
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
        zh = [lang for lang in ("zh_cn", "zh_tw") if self._has(lang)]
        parts = [self.line(rng, zh[rng.randint(len(zh))], max(1, max_chars // 2))] if zh else []
        room = max_chars - sum(map(len, parts)) - 1
        if self._has("en") and room >= 1:
            e = self.line(rng, "en", min(room, 20))
            parts.insert(rng.randint(len(parts) + 1), e)
        if not parts:
            return self.line(rng, "en", max_chars)
        return (" " if rng.rand() < 0.6 else "").join(parts)[:max_chars].strip()


def with_tokens(rng, text, max_chars=None):
    """text with a number, date, amount, code or phone number (textgen's
    generators) put before it, after it or between two of its words."""
    import textgen
    gens = (textgen._date, textgen._amount, textgen._code, textgen._phone, textgen._digit_dash)
    tok = gens[rng.randint(len(gens))](rng)
    cut = [i for i, c in enumerate(text) if c == " "]
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
    return text if max_chars is not None and len(out) > max_chars else out


if __name__ == "__main__":
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("command", choices=["build"])
    ap.add_argument("--out", required=True)
    stats = build(ap.parse_args().out)
    print(json.dumps(stats, indent=1, ensure_ascii=False))
    if not any(stats["lines"].values()) and not any(stats["words"].values()):
        sys.exit("no source text found: install them with scripts/deps.sh --train")
