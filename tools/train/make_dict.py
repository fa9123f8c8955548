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

# Full-width punctuation and symbols that appear in ordinary Chinese text
# (the tail of the earlier dictionary; kept as it was).
CN_PUNCT = ("，。、：；！？（）《》〈〉“”‘’【】「」『』〔〕…—～·￥％"
            "＋－＝／＠＃＆＊＜＞｜")
# More punctuation and signs of Simplified and Traditional print: the
# Taiwanese name dot and the long dashes, brackets, full-width quotes,
# degrees, units and list marks.
MORE_PUNCT = ("‧・―─〜〃々‖〖〗［］｛｝＂＇＿＾｀＄＼﹏．′″℃°±×÷№§※"
              "→←↑↓○●◎◇◆□■△▲☆★≤≥≠≈∶‰￠￡")

LEGACY_SIZE = 94 + 3755 + len(CN_PUNCT)


def ascii_chars():
    return [chr(c) for c in range(0x21, 0x7F)]


def _gb2312_rows(first, last):
    out = []
    for row in range(first, last + 1):
        end = 0xF9 if row == 0xD7 else 0xFE  # row 0xD7 ends at 0xF9
        for col in range(0xA1, end + 1):
            out.append(bytes([row, col]).decode("gb2312"))
    return out


def gb2312_level1():
    return _gb2312_rows(0xB0, 0xD7)


def gb2312_level2():
    return _gb2312_rows(0xD8, 0xF7)


def big5_level1():
    """The 5,401 frequently used hanzi of Big5 (0xA440..0xC67E)."""
    out = []
    for row in range(0xA4, 0xC7):
        for col in list(range(0x40, 0x7F)) + list(range(0xA1, 0xFF)):
            if row == 0xC6 and col > 0x7E:
                break
            out.append(bytes([row, col]).decode("big5"))
    return out


def legacy():
    """The earlier dictionary, in its order."""
    return _unique(ascii_chars() + gb2312_level1() + list(CN_PUNCT))


def _unique(chars):
    seen = set()
    out = []
    for ch in chars:
        if ch in seen or ch.isspace():
            continue
        seen.add(ch)
        out.append(ch)
    return out


def build():
    return _unique(legacy() + gb2312_level2() + big5_level1() + list(MORE_PUNCT))


def check(entries):
    """Raises ValueError unless the sets behind the dictionary are as
    expected (guards against a codec that decodes differently)."""
    hz1, hz2, b5 = gb2312_level1(), gb2312_level2(), big5_level1()
    for name, s, n in (("GB2312 level 1", hz1, 3755), ("GB2312 level 2", hz2, 3008),
                       ("Big5 level 1", b5, 5401)):
        if len(s) != n or len(set(s)) != n:
            raise ValueError("unexpected %s count: %d" % (name, len(set(s))))
    if len(entries) != len(set(entries)) or entries[:LEGACY_SIZE] != legacy():
        raise ValueError("dictionary order or uniqueness broken")


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--out", required=True,
                    help="file to write (the shipped one is models/ocrv3_cn.txt)")
    args = ap.parse_args()
    entries = build()
    try:
        check(entries)
    except ValueError as e:
        sys.exit(str(e))
    with open(args.out, "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(entries) + "\n")
    print("wrote %s: %d entries (%d classes with blank and space)"
          % (args.out, len(entries), len(entries) + 2))


if __name__ == "__main__":
    main()
