#!/usr/bin/python3
"""Writes the recogniser dictionary (one entry per line, UTF-8, LF).

Order: the entries of the earlier, smaller dictionary first and in their
earlier order (printable ASCII 0x21..0x7E, the 3,755 level-1 GB2312 hanzi,
the common full-width Chinese punctuation), so that a network trained on it
hands its classifier rows over to the same indices; then the 3,008 level-2
GB2312 hanzi, the level-1 Big5 hanzi (the Traditional forms in common use)
that GB2312 lacks, and more punctuation and signs of Chinese text.  The space
is not listed: the library appends it as the last class itself, and index 0
is the CTC blank.

    make_dict.py --out PATH
"""
import argparse
import sys

# The tail of the earlier dictionary; kept as it was.
CN_PUNCT = "，。、：；！？（）《》〈〉“”‘’【】「」『』〔〕…—～·￥％＋－＝／＠＃＆＊＜＞｜"
# Punctuation and signs of Simplified and Traditional print: the Taiwanese
# name dot and the long dashes, brackets, full-width quotes, degrees, units
# and list marks.
MORE_PUNCT = ("‧・―─〜〃々‖〖〗［］｛｝＂＇＿＾｀＄＼﹏．′″℃°±×÷№§※"
              "→←↑↓○●◎◇◆□■△▲☆★≤≥≠≈∶‰￠￡")
LEGACY_SIZE = 94 + 3755 + len(CN_PUNCT)


def _codes(codec, rows, cols, last):
    return [bytes([r, c]).decode(codec) for r in rows for c in cols if r << 8 | c <= last]


def gb2312_level1():
    return _codes("gb2312", range(0xB0, 0xD8), range(0xA1, 0xFF), 0xD7F9)


def gb2312_level2():
    return _codes("gb2312", range(0xD8, 0xF8), range(0xA1, 0xFF), 0xF7FE)


def big5_level1():
    """The 5,401 frequently used hanzi of Big5 (0xA440..0xC67E)."""
    return _codes("big5", range(0xA4, 0xC7), [*range(0x40, 0x7F), *range(0xA1, 0xFF)], 0xC67E)


def _unique(chars):
    return [c for c in dict.fromkeys(chars) if not c.isspace()]


def legacy():
    """The earlier dictionary, in its order."""
    return _unique([chr(c) for c in range(0x21, 0x7F)] + gb2312_level1() + list(CN_PUNCT))


def build():
    return _unique(legacy() + gb2312_level2() + big5_level1() + list(MORE_PUNCT))


def check(entries):
    """Raises ValueError unless the sets behind the dictionary are as
    expected (guards against a codec that decodes differently)."""
    for name, s, n in (("GB2312 level 1", gb2312_level1(), 3755), ("GB2312 level 2", gb2312_level2(), 3008),
                       ("Big5 level 1", big5_level1(), 5401)):
        if len(s) != n or len(set(s)) != n:
            raise ValueError("unexpected %s count: %d" % (name, len(set(s))))
    if len(entries) != len(set(entries)) or entries[:LEGACY_SIZE] != legacy():
        raise ValueError("dictionary order or uniqueness broken")


if __name__ == "__main__":
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--out", required=True, help="file to write (the shipped one is models/ocrv3_cn.txt)")
    out, entries = ap.parse_args().out, build()
    try:
        check(entries)
    except ValueError as e:
        sys.exit(str(e))
    with open(out, "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(entries) + "\n")
    print("wrote %s: %d entries (%d classes with blank and space)" % (out, len(entries), len(entries) + 2))
