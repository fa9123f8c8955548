"""Writes evaluation lists for tools/eval from the real annotated sets.

    real_sets.py OUT_DIR [--split val|train] [--ci] [--data DIR]

Without --ci, one directory per set is written, OUT_DIR/<set>/gt.tsv, for
the sets icdar2015, sroie, funsd and msra_td500 (the split's whole part).
With --ci, two small fixed subsets of the split are written instead:
    OUT_DIR/ci-det/gt.tsv  10 images of every set (40), for detection;
    OUT_DIR/ci-rec/gt.tsv  500 legible, transcribed lines of sroie, funsd and
                           icdar2015 (about a third each), for --crops.
Both are picked evenly spaced over the sorted lists, so they are the same on
every run and machine.

Rows follow eval's gt.tsv format, "image<TAB>x0,y0,...,x3,y3<TAB>text",
with an optional fourth column flagging the region:
    ignore  a don't-care region (illegible or unannotated text): it counts
            neither for recall nor as a false positive, and not for CER;
    notext  a region without a transcript (msra_td500): scored for
            detection only.
A page with no region at all is listed as "image<TAB><TAB>" so that what
is found on it still counts as false positives. Image paths are relative to
the gt.tsv's directory and point into the shared data (nothing is copied).
Tabs and line breaks inside transcripts are written as spaces.
"""
import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "train"))
import realdata  # noqa: E402

SETS = (("icdar2015", "icdar2015_train"), ("sroie", "sroie_train"), ("funsd", "funsd_train"),
        ("msra_td500", "msra_td500_train"))
REC_SETS = ("sroie", "funsd", "icdar2015")
CI_IMAGES_PER_SET = 10
CI_LINES = 500


def spaced(items, n):
    """n items evenly spaced over the list (all of them when it is shorter)."""
    if len(items) <= n:
        return list(items)
    return [items[(2 * i + 1) * len(items) // (2 * n)] for i in range(n)]


def clean(text):
    return text.replace("\t", " ").replace("\r", " ").replace("\n", " ")


def row(path, quad, text, flag, out_dir):
    rel = os.path.relpath(path, out_dir)
    coords = ",".join("%g" % round(float(v), 2) for v in quad.reshape(-1))
    return "\t".join([rel, coords, clean(text)] + ([flag] if flag else [])) + "\n"


def region_flag(r):
    if r.ignore:
        return "ignore"
    if r.notext:
        return "notext"
    return ""


def write(out_dir, rows):
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, "gt.tsv"), "w", encoding="utf-8") as f:
        f.writelines(rows)


def page_rows(images, out_dir):
    rows = []
    for path, regions in images:
        if not regions:
            rows.append(os.path.relpath(path, out_dir) + "\t\t\n")
        for r in regions:
            rows.append(row(path, r.quad, r.text, region_flag(r), out_dir))
    return rows


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("out_dir")
    ap.add_argument("--split", default="val", choices=("val", "train"))
    ap.add_argument("--ci", action="store_true", help="write the small CI subsets instead of whole sets")
    ap.add_argument("--data", default=realdata.DATA, help="folder of the real sets (default %(default)s)")
    a = ap.parse_args()

    missing = [d for _, d in SETS if not os.path.exists(os.path.join(a.data, d, "truth.json"))]
    if missing:
        sys.exit("real_sets.py: the real data sets are missing from %s (%s)" % (a.data, ", ".join(missing)))
    loaded = {short: realdata.load_set(d, a.split, a.data) for short, d in SETS}

    if not a.ci:
        for short, _ in SETS:
            out = os.path.join(a.out_dir, short)
            write(out, page_rows(loaded[short], os.path.abspath(out)))
            print("%s: %d images -> %s/gt.tsv" % (short, len(loaded[short]), out))
        return

    out = os.path.abspath(os.path.join(a.out_dir, "ci-det"))
    images = [im for short, _ in SETS for im in spaced(loaded[short], CI_IMAGES_PER_SET)]
    write(out, page_rows(images, out))
    print("ci-det: %d images -> %s/gt.tsv" % (len(images), out))

    out = os.path.abspath(os.path.join(a.out_dir, "ci-rec"))
    rows = []
    for k, short in enumerate(REC_SETS):
        lines = [(path, r) for path, regions in loaded[short] for r in regions if r.transcribed]
        share = CI_LINES // len(REC_SETS) + (1 if k < CI_LINES % len(REC_SETS) else 0)
        rows += [row(path, r.quad, r.text, "", out) for path, r in spaced(lines, share)]
    write(out, rows)
    print("ci-rec: %d lines -> %s/gt.tsv" % (len(rows), out))


if __name__ == "__main__":
    main()
