#!/usr/bin/python3
"""Checks of the training data: the dictionary, the generated and natural
text, and the font sets.

Run: /usr/bin/python3 -m unittest tools/train/test_data.py
"""
import gzip
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import unittest.mock

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import corpus  # noqa: E402
import fonts  # noqa: E402
import make_dict  # noqa: E402
import textgen  # noqa: E402

DEJAVU = "/usr/share/fonts/truetype/dejavu/"
WQY = "/usr/share/fonts/truetype/wqy/"


def write_mo(path, pairs):
    """A little-endian .mo file of (msgid, msgstr) pairs, as msgfmt writes it."""
    pairs = sorted((k.encode("utf-8"), v.encode("utf-8")) for k, v in pairs)
    n, off, table = len(pairs), 28 + 16 * len(pairs), b""
    for side in (0, 1):
        for p in pairs:
            table += struct.pack("<2I", len(p[side]), off)
            off += len(p[side]) + 1
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(struct.pack("<7I", 0x950412DE, 0, n, 28, 28 + 8 * n, 0, 0) + table
                + b"".join(p[side] + b"\0" for side in (0, 1) for p in pairs))


class DictionaryTest(unittest.TestCase):
    def test_order_and_counts(self):
        e = make_dict.build()
        make_dict.check(e)
        self.assertEqual(e[:make_dict.LEGACY_SIZE], make_dict.legacy())
        self.assertEqual(e[make_dict.LEGACY_SIZE:make_dict.LEGACY_SIZE + 3008], make_dict.gb2312_level2())
        self.assertEqual(e[:94], [chr(c) for c in range(0x21, 0x7F)])
        self.assertEqual((e[94], e[94 + 3754]), ("啊", "座"))  # GB2312 level 1 follows ASCII
        self.assertFalse([c for c in e if c.isspace() or len(c) != 1])
        self.assertEqual(len(set(make_dict.gb2312_level1() + make_dict.gb2312_level2())), 6763)
        b5 = make_dict.big5_level1()
        self.assertEqual((len(b5), b5[0], b5[-1]), (5401, "一", "籲"))
        self.assertTrue(set(e).issuperset(make_dict.gb2312_level2() + b5 + list("，。（）《》“”…—·￥")))
        self.assertTrue(8900 < len(e) < 9200)

    def test_dictionary_files_load_in_charset(self):
        # The shipped dictionary is the earlier one or the grown one; either
        # way its entries are the generator's first ones, in order.
        with open(textgen.DICT_PATH, "rb") as f:
            data = f.read()
        self.assertTrue(data.endswith(b"\n") and b"\r" not in data)
        shipped = data.decode("utf-8").split("\n")[:-1]
        self.assertIn(len(shipped), (make_dict.LEGACY_SIZE, len(make_dict.build())))
        self.assertEqual(shipped, make_dict.build()[:len(shipped)])
        with tempfile.TemporaryDirectory() as d:
            out = os.path.join(d, "dict.txt")
            subprocess.run([sys.executable, os.path.join(HERE, "make_dict.py"), "--out", out],
                           check=True, stdout=subprocess.DEVNULL)
            cs = textgen.Charset(out)
        self.assertEqual(cs.num_classes, len(make_dict.build()) + 2)
        self.assertEqual(cs.index["啊"], 95)  # an old index is kept
        lab = cs.encode("a1 體")
        self.assertEqual((lab[2], cs.entries[lab[0] - 1]), (cs.num_classes - 1, "a"))  # space is last
        # frames: a a blank 1 1 space 體 blank 體 -> "a1 體體"
        seq = [lab[0], lab[0], 0, lab[1], lab[1], lab[2], lab[3], 0, lab[3]]
        probs = np.zeros((len(seq), cs.num_classes), np.float32)
        probs[np.arange(len(seq)), seq] = 1
        self.assertEqual(cs.decode_greedy(probs), "a1 體體")

    @unittest.mock.patch.object(textgen, "_CORPUS", False)  # the generators alone: CorpusTest checks the corpus
    def test_generated_text_is_encodable(self):
        cs = textgen.Charset()
        rng = np.random.RandomState(3)
        for _ in range(2000):
            for t in (textgen.random_text(rng, cs)[0], textgen.line_text(rng, cs)[0],
                      textgen.spaced_text(rng), textgen.latin_words(rng), textgen.receipt_line(rng)):
                self.assertTrue(t and t == t.strip() and "  " not in t, t)  # edge spaces cannot be seen
                cs.encode(t)  # raises on characters outside the dictionary

    def test_receipt_dates_are_real_dates(self):
        rng = np.random.RandomState(5)
        months = "|".join(textgen.MONTHS)
        numeric = re.compile(r"^(\d{1,2})([/.-])(\d{1,2})\2(\d{2}|\d{4})( |$)")
        named = re.compile(r"^(\d{2})[ /.-](%s)[ /.-](\d{2}|\d{4})( |$)" % months, re.I)
        spelled = re.compile(r"^(%s) (\d{1,2}), \d{4}( |$)" % months, re.I)
        for _ in range(500):
            t = textgen._receipt_date(rng)
            m = numeric.match(t)
            if m:
                self.assertTrue(1 <= int(m.group(1)) <= 31 and 1 <= int(m.group(3)) <= 12, t)
                continue
            m = named.match(t) or spelled.match(t)
            self.assertIsNotNone(m, t)
            self.assertTrue(1 <= int(m.group(1) if m.re is named else m.group(2)) <= 31, t)


class CorpusTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp()
        root = os.path.join(cls.tmp, "root")
        files = {  # manual pages, a copyright file and word lists
                 "usr/share/man/man1/app.1.gz": ".TP\n\\fB\\-\\-version\\fR\nPrint the version and exit",
                 "usr/share/man/zh_CN/man1/app.1.gz": ".TH APP 1\n.SH 描述\n打印版本信息并退出\n",
                 "usr/share/doc/app/copyright": "Show hidden files in the list\n",
                 "usr/lib/python3/dist-packages/jieba/dict.txt": "中国 1000 ns\n文件 300 n\nカナ 5 n\n",
                 "usr/share/dict/american-english-huge": "open\nfile\ncolour\nnaïve\n"}
        for name, text in files.items():
            path = os.path.join(root, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with (gzip.open if path.endswith(".gz") else open)(path, "wt", encoding="utf-8") as f:
                f.write(text)
        for loc, pairs in (("zh_CN", [("Print the version and exit", "打印版本信息并退出"),
                                      ("Open the selected file", "打开所选的文件"), ("Katakana", "カタカナ文字")]),
                           ("en_GB", [("Color", "Colour"), ("Kept out", "Kept out")]),
                           ("de", [("Show hidden files in the list", "Versteckte Dateien")])):
            write_mo(os.path.join(root, "usr/share/locale", loc, "LC_MESSAGES/app.mo"),
                     [("", "charset=UTF-8")] + pairs)
        cls.out = os.path.join(cls.tmp, "corpus")
        cls.stats = corpus.build(cls.out, corpus.Paths(root))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def read(self, name):
        with open(os.path.join(self.out, name), encoding="utf-8") as f:
            return f.read().split("\n")[:-1]

    def test_mo_reading_and_interface_lines(self):
        p = os.path.join(self.tmp, "x.mo")
        write_mo(p, [("", "Content-Type: text/plain; charset=UTF-8\n"), ("_Open File", "打开文件(_O)"),
                     ("menu\x04Quit", "退出"), ("%d file\x00%d files", "%d 个文件\x00%d 个文件们")])
        self.assertEqual(dict(corpus.read_mo(p)),
                         {"_Open File": "打开文件(_O)", "Quit": "退出", "%d file": "%d 个文件\n%d 个文件们"})
        for size in (os.path.getsize(p) - 3, 60):  # cut into the strings, then into the tables
            with open(p, "r+b") as f:
                f.truncate(size)
            self.assertRaises(ValueError, corpus.read_mo, p)
        rng = np.random.RandomState(0)
        for s, want in (("打开文件(_O)", "打开文件"), ("Save _As…", "Save As…"),
                        ("LC_CTYPE is <b>unset</b> &amp; 100%% sure", "LC_CTYPE is unset & 100% sure")):
            self.assertEqual(corpus.interface_lines(s, rng), [want])
        self.assertRegex(corpus.interface_lines("Copied %d of %lu items", rng)[0], r"^Copied \d+ of \d+ items$")

    def test_roff_text_and_held_back_matching(self):
        page = ('.TH LS 1\n.SH NAME\nls \\- list directory contents\n.TP\n'
                '\\fB\\-a\\fR, \\fB\\-\\-all\\fR\ndo not ignore entries starting with \\fI.\\fP\n'
                '.BR ls (1)\n.\\" a comment\nSee\\ also \\(lqinfo\\(rq.\n')
        text, lines = corpus.roff_text(page)
        self.assertEqual(text, "NAME ls - list directory contents -a, --all do not ignore entries "
                               "starting with . ls(1) See also “info”.")
        strings = ["  -a, --all       do not ignore\n entries starting with .",  # a --help line
                   "ls(1)", "ls(", "list directory contents, recursively", "NAME"]
        self.assertEqual(corpus.held_back([(text, lines)], strings), {0, 1, 4})

    def test_manual_pages_copyright_and_foreign_text_stay_out(self):
        self.assertEqual(self.read("zh_cn.txt"), ["打开所选的文件"])
        self.assertEqual(sorted(self.read("en.txt")), ["Color", "Colour", "Katakana", "Kept out",
                                                       "Open the selected file"])
        self.assertEqual(self.stats["dropped_as_held_back"],
                         {"catalogues_en": 2, "catalogues_zh_cn": 1, "catalogues_zh_tw": 0})
        self.assertEqual(self.stats["dropped_characters"]["catalogues_zh_cn"], 1)
        self.assertEqual(self.read("words_zh_cn.tsv"), ["中国\t1000", "文件\t300"])
        # Counted in the English catalogue text ("Colour" is en_GB's).
        self.assertEqual(self.read("words_en.tsv"), ["colour\t2", "file\t2", "open\t2"])
        self.assertEqual(self.read("zh_tw.txt"), [])

    def test_lines_are_renderable_and_missing_text_fails_clearly(self):
        c, chars, rng, seen = corpus.Corpus(self.out), set(make_dict.build()), np.random.RandomState(0), set()
        for i in range(400):
            m = 1 + i % 12
            t = c.line(rng, ("en", "zh_cn", "mixed")[i % 3], m)
            self.assertTrue(0 < len(t) <= m and t == t.strip() and "  " not in t, (t, m))
            self.assertTrue(set(t.replace(" ", "")) <= chars, t)
            seen.add(t)
        self.assertIn("打开所选的文件", seen)
        self.assertTrue(any(corpus.has_hanzi(t) and re.search("[a-z]", t) for t in seen))
        for _ in range(50):
            t = corpus.with_tokens(rng, "打开所选的文件")
            self.assertIn("打开所选的文件", t)
            self.assertTrue(set(t.replace(" ", "")) <= chars, t)
        with tempfile.TemporaryDirectory() as d:
            self.assertRaises(FileNotFoundError, corpus.Corpus, d)
            shutil.copy(os.path.join(self.out, "words_zh_cn.tsv"), d)
            c = corpus.Corpus(d)
            self.assertIn(c.line(np.random.RandomState(1), "zh_cn", 4)[:2], ("中国", "文件"))
            self.assertIn(c.line(np.random.RandomState(1), "mixed", 4)[:2], ("中国", "文件"))
            self.assertRaises(ValueError, c.line, np.random.RandomState(1), "zh_tw", 10)


class FontSetsTest(unittest.TestCase):
    def test_coverage_of_a_latin_and_the_held_out_face(self):
        face = (DEJAVU + "DejaVuSans.ttf", 0)
        self.assertTrue(fonts.covers(face, "Hello, world! 1.5%"))
        self.assertFalse(fonts.covers(face, "Hello 中文"))
        self.assertTrue(fonts.covers(face, "ΩΨ"))  # outside the dictionary: read from the font
        self.assertFalse(fonts.covers(face, "가"))
        held = textgen.HELD_OUT_FONTS[0]
        self.assertEqual(held, (WQY + "wqy-microhei.ttc", 0))
        self.assertTrue(fonts.covers(held, "".join(make_dict.gb2312_level1() + make_dict.big5_level1())))
        self.assertFalse(fonts.covers(held, "𠀀"))
        faces = fonts.read_faces(held[0])
        self.assertEqual([f["family"] for f in faces], ["WenQuanYi Micro Hei", "WenQuanYi Micro Hei Mono"])

    def test_classification(self):
        c = fonts.classify
        cases = {"Noto Sans CJK HK": ((1, 1, 1), ("tc",)), "Noto Serif CJK SC": ((1, 1, 1), ("sc",)),
                 "Noto Sans CJK JP": ((1, 1, 1), ()), "AR PL UMing CN": ((1, .999, .995), ("sc", "tc")),
                 "AR PL KaitiM GB": ((1, 1, .6), ("sc",)), "DejaVu Sans": ((1, 0, 0), ("latin",)),
                 "Standard Symbols PS": ((1, 0, 0), ()), "Noto Sans Thai": ((1, 0, 0), ()),
                 "LM Roman Caps 10": ((1, 0, 0), ()), "Some Latin": ((0.98, 0, 0), ())}
        for family, (cover, scripts) in cases.items():
            self.assertEqual(c(family, family, *cover)[0], scripts, family)
        self.assertEqual(fonts.family_key("Noto Sans CJK SC Bold"), fonts.family_key("Noto Sans CJK TC"))
        self.assertIsNone(fonts.probe_render(DEJAVU + "DejaVuSerif.ttf", 0, fonts.LATIN_PROBE, ligatures=True))

    def test_held_out_split(self):
        def rec(path, key, scripts, index=0):
            return {"path": path, "index": index, "key": key, "scripts": scripts, "full": "X",
                    "psname": path + key}
        recs = [rec("/f/held.ttc", "wqy micro", ["sc", "tc"]), rec("/f/held2.ttc", "wqy micro", ["sc"]),
                rec("/f/held.ttc", "other", ["sc"], 1)]  # shares the held-out file
        recs += [rec("/f/sc%d.ttf" % i, "sc%d" % i, ["sc"]) for i in range(4)]
        recs += [rec("/f/tc%d.ttf" % i, "tc%d" % i, ["tc"]) for i in range(3)]
        recs += [rec("/f/l%d-%d.ttf" % (i, j), "lat%d" % i, ["latin"]) for i in range(6) for j in range(2)]
        sets = fonts.split_sets(recs, [("/f/held.ttc", 0)])
        self.assertEqual(sets, fonts.split_sets(list(reversed(recs)), [("/f/held.ttc", 0)]))
        for s, n in fonts.HOLD_OUT.items():
            self.assertEqual(len(sets[s]["val"]), n)
        self.assertIn(("/f/held.ttc", 0), sets["sc"]["val"])
        self.assertIn(("/f/held.ttc", 0), sets["tc"]["val"])
        train = {f for s in sets.values() for f in s["train"]}
        val_keys = {r["key"] for r in recs if any((r["path"], 0) in s["val"] for s in sets.values())}
        # a held-out family trains in no script
        self.assertFalse({r["key"] for r in recs if (r["path"], 0) in train} & val_keys)
        self.assertEqual(len(sets["latin"]["train"]), 6)
        self.assertFalse({p for p, _ in train} & {"/f/held.ttc", "/f/held2.ttc"})

    def test_scan_is_cached_until_the_fonts_change(self):
        with tempfile.TemporaryDirectory() as d:
            fdir = os.path.join(d, "fonts")
            os.makedirs(fdir)
            for n in ("DejaVuSans.ttf", "DejaVuSans-Bold.ttf", "DejaVuSerif.ttf", "DejaVuSansMono.ttf"):
                shutil.copy(DEJAVU + n, fdir)
            sets = fonts.font_sets(d, dirs=[fdir, WQY])
            self.assertEqual(len(sets["latin"]["train"]) + len(sets["latin"]["val"]), 4)
            for s in ("sc", "tc"):  # the held-out face validates both scripts, the other wqy face trains
                self.assertEqual(sets[s]["val"], [textgen.HELD_OUT_FONTS[0]])
                self.assertTrue(sets[s]["train"] and all("zenhei" in p for p, _ in sets[s]["train"]))
            cache = os.path.join(d, fonts.CACHE_NAME)
            first = os.stat(cache).st_mtime_ns
            self.assertEqual(fonts.font_sets(d, dirs=[fdir, WQY]), sets)
            self.assertEqual(os.stat(cache).st_mtime_ns, first)
            for face in (sets["latin"]["train"][0], sets["sc"]["val"][0]):  # the cached masks agree with the fonts
                cmap = fonts.read_faces(face[0])[face[1]]["cmap"]
                self.assertEqual([fonts.covers(face, c) for c in fonts.universe()],
                                 [ord(c) in cmap for c in fonts.universe()])
            shutil.copy(DEJAVU + "DejaVuSerif-Bold.ttf", fdir)
            fonts.font_sets(d, dirs=[fdir])
            with open(cache) as f:
                self.assertEqual(len(json.load(f)["records"]), 5)
            self.assertRaises(RuntimeError, fonts.font_sets, d, dirs=[os.path.join(d, "none")])


if __name__ == "__main__":
    unittest.main()
