#!/usr/bin/python3
"""Writes the recogniser dictionary (one entry per line, UTF-8, LF).

Order: printable ASCII 0x21..0x7E, the 3,755 level-1 GB2312 hanzi, then the
common full-width Chinese punctuation.  The space is not listed: the library
appends it as the last class itself, and index 0 is the CTC blank.
"""
import argparse
import os
import sys

# Full-width punctuation and symbols that appear in ordinary Chinese text.
CN_PUNCT = ("，。、：；！？（）《》〈〉“”‘’【】「」『』〔〕…—～·￥％"
            "＋－＝／＠＃＆＊＜＞｜")


def ascii_chars():
    return [chr(c) for c in range(0x21, 0x7F)]


def gb2312_level1():
    out = []
    for row in range(0xB0, 0xD8):
        last = 0xF9 if row == 0xD7 else 0xFE
        for col in range(0xA1, last + 1):
            out.append(bytes([row, col]).decode("gb2312"))
    return out


def build():
    entries = []
    seen = set()
    for ch in ascii_chars() + gb2312_level1() + list(CN_PUNCT):
        if ch in seen or ch.isspace():
            continue
        seen.add(ch)
        entries.append(ch)
    return entries


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    default = os.path.normpath(os.path.join(here, "..", "..", "models", "ocrv3_cn.txt"))
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--out", default=default)
    args = ap.parse_args()
    entries = build()
    hz = gb2312_level1()
    if len(hz) != 3755 or len(set(hz)) != 3755:
        sys.exit("unexpected GB2312 level-1 count: %d" % len(hz))
    with open(args.out, "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(entries) + "\n")
    print("wrote %s: %d entries (%d classes with blank and space)"
          % (args.out, len(entries), len(entries) + 2))


if __name__ == "__main__":
    main()
