#!/usr/bin/python3
"""End-to-end tests of the command-line reader `varnel` on the shipped models.

    VARNEL_CLI=build/cli/varnel VARNEL_SOURCE_DIR=. /usr/bin/python3 tests/cli_e2e.py [CliTest.test_...]

ctest runs each case on its own (see CMakeLists.txt). The images are made
from examples/sample.png, whose text is known from examples/make_sample.py.
"""
import importlib.util
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import cv2
import numpy as np
from PIL import Image

VARNEL = os.environ.get("VARNEL_CLI", "")
SOURCE = os.environ.get("VARNEL_SOURCE_DIR", os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
SAMPLE = os.path.join(SOURCE, "examples", "sample.png")
MODELS = os.path.join(SOURCE, "models")


def sample_lines():
    """The sample page's lines, top to bottom, as examples/make_sample.py draws them."""
    spec = importlib.util.spec_from_file_location("make_sample", os.path.join(SOURCE, "examples", "make_sample.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return [text for text, _, _ in module.LINES]


def squeezed(lines):
    """Texts without blanks: the recogniser's spacing between words is not tested here."""
    return ["".join(t.split()) for t in lines]


def loose(lines):
    """Letters and digits only, in lower case: at another image size the
    recogniser may read a full-width colon as ':' or drop a full stop."""
    return ["".join(c for c in t.lower() if c.isalnum()) for t in lines]


EXPECTED = squeezed(sample_lines())
# The sample's first six lines end above y = 460, the seventh starts below it.
CROP_ROWS = 460
CROP_LINES = 6


def run(args, stdin=None, env=None, paths_as_bytes=False):
    """Runs varnel; returns (exit status, stdout, stderr) as text (stdout as
    bytes when asked). VARNEL_MODELS is cleared unless `env` sets it."""
    full_env = {k: v for k, v in os.environ.items() if k != "VARNEL_MODELS"}
    full_env.update(env or {})
    proc = subprocess.run([VARNEL] + args, input=stdin, capture_output=True, env=full_env, timeout=900)
    out = proc.stdout if paths_as_bytes else proc.stdout.decode("utf-8")
    return proc.returncode, out, proc.stderr.decode("utf-8", "replace")


def blocks(plain):
    """Plain output of several images: [(path, [lines])] in output order."""
    result = []
    for line in plain.split("\n"):
        if line.startswith("==> ") and line.endswith(" <=="):
            result.append((line[4:-4], []))
        elif line and result:
            result[-1][1].append(line)
    return result


class CliTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not VARNEL or not os.access(VARNEL, os.X_OK):
            raise unittest.SkipTest("set VARNEL_CLI to the varnel executable")
        cls.tmp = tempfile.mkdtemp(prefix="varnel_cli_e2e_")
        cls.page = cv2.imread(SAMPLE, cv2.IMREAD_COLOR)
        cls.crop = os.path.join(cls.tmp, "crop.png")
        cv2.imwrite(cls.crop, cls.page[:CROP_ROWS, :700])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def folder(self, name):
        path = os.path.join(self.tmp, name)
        os.makedirs(path)
        return path

    def assert_sample(self, lines, expected=EXPECTED):
        self.assertEqual(squeezed(lines), expected)

    def assert_crop(self, lines):
        """The lines of the crop of the sample page (another image size)."""
        self.assertEqual(loose(lines), loose(EXPECTED[:CROP_LINES]))

    def test_sample_in_reading_order(self):
        status, out, err = run([SAMPLE])
        self.assertEqual(status, 0, err)
        self.assertFalse(out.startswith("==>"), "one image has no header")
        self.assert_sample(out.splitlines())
        self.assertEqual(err, "")

    def test_library_log_stays_off_stdout(self):
        status, out, err = run(["--verbose", SAMPLE])
        self.assertEqual(status, 0, err)
        self.assert_sample(out.splitlines())
        # The library's load notices and timings went to standard error.
        self.assertIn("loaded", err)
        for word in ("loaded", "det", "found count", "load model"):
            self.assertNotIn(word, out)
        status, out, err = run(["--json", SAMPLE])
        self.assertEqual(status, 0, err)
        self.assertNotIn("loaded", err)
        self.assertEqual(len(out.splitlines()), 1)
        json.loads(out)

    def test_json_fields(self):
        status, out, err = run(["--json", "--regex", "Date: [0-9]{4}", SAMPLE, self.crop])
        self.assertEqual(status, 0, err)
        records = [json.loads(line) for line in out.splitlines()]
        self.assertEqual(len(records), 2)
        for rec, path, size, expected in ((records[0], SAMPLE, (1280, 960), EXPECTED),
                                          (records[1], self.crop, (700, CROP_ROWS), None)):
            self.assertEqual(set(rec), {"path", "width", "height", "ms", "lines"})
            self.assertEqual(rec["path"], path)
            self.assertEqual((rec["width"], rec["height"]), size)
            self.assertIsInstance(rec["ms"], (int, float))
            self.assertGreater(rec["ms"], 0)
            texts = [line["text"] for line in rec["lines"]]
            if expected is None:
                self.assert_crop(texts)
            else:
                self.assert_sample(texts, expected)
            for i, line in enumerate(rec["lines"]):
                self.assertEqual(set(line), {"text", "points", "matched", "order"})
                self.assertEqual(line["order"], i)
                self.assertEqual(len(line["points"]), 4)
                for x, y in line["points"]:
                    self.assertTrue(isinstance(x, int) and isinstance(y, int))
                    self.assertTrue(0 <= x <= size[0] and 0 <= y <= size[1], line)
                # Top-left, top-right, bottom-right, bottom-left.
                (x0, y0), (x1, _), (_, y2), _ = line["points"]
                self.assertLess(x0, x1)
                self.assertLess(y0, y2)
                self.assertEqual(line["matched"], 1 if line["text"].startswith("Date:") else 0, line)
        # Without --regex nothing matches, the empty text included.
        status, out, err = run(["--json", SAMPLE])
        self.assertEqual(status, 0, err)
        self.assertEqual({line["matched"] for line in json.loads(out)["lines"]}, {0})

    def test_json_escapes_paths(self):
        folder = os.fsencode(self.folder("names"))
        name = folder + b'/we"ird\\ \xff name.png'
        shutil.copyfile(os.fsencode(self.crop), name)
        status, out, err = run(["--json", name], paths_as_bytes=True)
        self.assertEqual(status, 0, err)
        rec = json.loads(out.decode("utf-8"))  # strict UTF-8: the bad byte was replaced
        self.assertEqual(rec["path"], os.fsdecode(folder) + '/we"ird\\ \ufffd name.png')
        self.assert_crop([line["text"] for line in rec["lines"]])

    def test_tsv_rows(self):
        folder = self.folder("tsv")
        tabbed = os.path.join(folder, "tab\there.png")
        shutil.copyfile(self.crop, tabbed)
        status, out, err = run(["--tsv", SAMPLE, tabbed])
        self.assertEqual(status, 0, err)
        rows = [line.split("\t") for line in out.splitlines()]
        self.assertEqual(len(rows), len(EXPECTED) + CROP_LINES)
        for row in rows:
            self.assertEqual(len(row), 12, row)
            [int(v) for v in row[1:11]]
        self.assertEqual({row[0] for row in rows[:12]}, {SAMPLE})
        self.assertEqual({row[0] for row in rows[12:]}, {tabbed.replace("\t", "\\t")})
        self.assertEqual([int(row[1]) for row in rows], list(range(12)) + list(range(CROP_LINES)))
        self.assertEqual({row[10] for row in rows}, {"0"})
        self.assert_sample([row[11] for row in rows[:12]])

    def test_folder_with_bad_files(self):
        folder = self.folder("mixed")
        cv2.imwrite(os.path.join(folder, "a_page.png"), self.page)
        cv2.imwrite(os.path.join(folder, "b_crop.png"), self.page[:CROP_ROWS, :700])
        cv2.imwrite(os.path.join(folder, "c_wide.png"), cv2.copyMakeBorder(
            self.page, 0, 0, 0, 400, cv2.BORDER_CONSTANT, value=(255, 255, 255)))
        with open(os.path.join(folder, "d_broken.png"), "wb") as f:
            f.write(os.urandom(3000))
        with open(os.path.join(folder, "e_notes.txt"), "w") as f:
            f.write("not an image\n")
        status, out, err = run([folder])
        self.assertEqual(status, 1, err)
        self.assertIn("d_broken.png", err)
        self.assertIn("e_notes.txt", err)
        got = blocks(out)
        self.assertEqual([path for path, _ in got],
                         [os.path.join(folder, n) for n in ("a_page.png", "b_crop.png", "c_wide.png")])
        self.assert_sample(got[0][1])
        self.assert_crop(got[1][1])
        self.assertEqual(loose(got[2][1]), loose(EXPECTED))
        # The broken file is the only failure: without it the run succeeds.
        os.remove(os.path.join(folder, "d_broken.png"))
        status, _, err = run(["--json", folder])
        self.assertEqual(status, 0, err)
        self.assertIn("e_notes.txt", err)
        # A path that does not exist is named and the others are still read.
        status, out, err = run([os.path.join(folder, "missing.png"), self.crop])
        self.assertEqual(status, 1)
        self.assertIn("missing.png", err)
        self.assert_crop(out.splitlines())  # the one image read: no header

    def test_recursive_folders(self):
        folder = self.folder("tree")
        os.makedirs(os.path.join(folder, "sub"))
        shutil.copyfile(self.crop, os.path.join(folder, "top.png"))
        shutil.copyfile(self.crop, os.path.join(folder, "sub", "inner.png"))
        status, out, err = run([folder])
        self.assertEqual(status, 0, err)
        self.assert_crop(out.splitlines())  # one image: no header
        status, out, err = run(["-r", folder])
        self.assertEqual(status, 0, err)
        self.assertEqual([path for path, _ in blocks(out)],
                         [os.path.join(folder, "sub", "inner.png"), os.path.join(folder, "top.png")])

    def test_only_matches(self):
        status, out, err = run(["--only-matches", "--regex", "DN-|Date:", SAMPLE])
        self.assertEqual(status, 0, err)
        self.assertEqual(squeezed(out.splitlines()), [EXPECTED[1], EXPECTED[2]])
        status, out, err = run(["--tsv", "--only-matches", "--regex", "DN-|Date:", SAMPLE])
        self.assertEqual(status, 0, err)
        rows = [line.split("\t") for line in out.splitlines()]
        self.assertEqual([(row[1], row[10]) for row in rows], [("1", "1"), ("2", "1")])
        status, out, err = run(["--json", "--only-matches", "--regex", "^Amount", SAMPLE, self.crop])
        self.assertEqual(status, 0, err)
        records = [json.loads(line) for line in out.splitlines()]
        self.assertEqual([[(l["order"], l["matched"]) for l in r["lines"]] for r in records], [[(7, 1)], []])
        # Without --regex it is a usage error.
        status, out, err = run(["--only-matches", SAMPLE])
        self.assertEqual(status, 2)
        self.assertEqual(out, "")
        self.assertIn("--regex", err)

    def test_invalid_pattern(self):
        missing = os.path.join(self.tmp, "no_such_image.png")
        for pattern in ("(", "[0-9", "a{2,1}"):
            status, out, err = run(["--verbose", "--regex", pattern, SAMPLE, missing])
            self.assertEqual(status, 2, err)
            self.assertEqual(out, "")
            self.assertIn("pattern", err)
            # Nothing was loaded or read: no model notice, no complaint about the missing file.
            self.assertNotIn("loaded", err)
            self.assertNotIn("no_such_image", err)

    def test_paths_from_stdin(self):
        status, out, err = run([self.crop, "-"], stdin=(SAMPLE + "\n\n" + self.crop + "\r\n").encode())
        self.assertEqual(status, 0, err)
        got = blocks(out)
        self.assertEqual([path for path, _ in got], [self.crop, SAMPLE, self.crop])
        self.assert_sample(got[1][1])

    def test_models_do_not_load(self):
        def models_dir(name, files):
            path = self.folder(name)
            for f, data in files.items():
                with open(os.path.join(path, f), "wb") as out:
                    if data is None:
                        with open(os.path.join(MODELS, f), "rb") as model:
                            shutil.copyfileobj(model, out)
                    else:
                        out.write(data)
            return path
        no_dict = models_dir("no_dict", {"boxv3.p": None, "ocrv4_cn.p": None})
        garbage = models_dir("garbage", {"boxv3.p": b"\0" * 64, "ocrv4_cn.p": b"x" * 64, "ocrv3_cn.txt": None})
        for args, env in ((["--models", os.path.join(self.tmp, "nowhere")], None),
                          (["--models", no_dict], None),
                          (["--models", garbage], None),
                          ([], {"VARNEL_MODELS": no_dict})):
            status, out, err = run(args + [SAMPLE], env=env)
            self.assertEqual(status, 3, (args, env, err))
            self.assertEqual(out, "")
            self.assertIn("models", err)
        # --models comes before VARNEL_MODELS.
        status, out, err = run(["--models", MODELS, self.crop], env={"VARNEL_MODELS": garbage})
        self.assertEqual(status, 0, err)
        self.assert_crop(out.splitlines())

    def test_alpha_grey_and_deep_images(self):
        folder = self.folder("planes")
        grey = cv2.cvtColor(self.page, cv2.COLOR_BGR2GRAY)
        # Ink in the alpha plane over black colour planes.
        ink = np.zeros(self.page.shape[:2] + (4,), np.uint8)
        ink[..., 3] = 255 - grey
        cv2.imwrite(os.path.join(folder, "1_alpha_ink.png"), ink)
        # One grey plane: read as a page, not inverted.
        cv2.imwrite(os.path.join(folder, "2_grey.png"), grey)
        # 16 bits per sample with an opaque alpha plane.
        deep = cv2.cvtColor(self.page, cv2.COLOR_BGR2BGRA).astype(np.uint16) * 257
        cv2.imwrite(os.path.join(folder, "3_deep.png"), deep)
        status, out, err = run([folder])
        self.assertEqual(status, 0, err)
        got = blocks(out)
        self.assertEqual(len(got), 3)
        for path, lines in got:
            with self.subTest(path=path):
                self.assert_sample(lines)

    def test_exif_orientation_and_rotate(self):
        folder = self.folder("turned")
        # Stored a quarter turn anticlockwise; EXIF orientation 6 turns it back.
        stored = cv2.rotate(self.page, cv2.ROTATE_90_COUNTERCLOCKWISE)
        exif = Image.Exif()
        exif[0x0112] = 6
        photo = os.path.join(folder, "photo.jpg")
        Image.fromarray(cv2.cvtColor(stored, cv2.COLOR_BGR2RGB)).save(photo, quality=95, exif=exif.tobytes())
        sideways = os.path.join(folder, "sideways.png")
        cv2.imwrite(sideways, stored)
        status, out, err = run(["--json", photo])
        self.assertEqual(status, 0, err)
        rec = json.loads(out)
        self.assertEqual((rec["width"], rec["height"]), (1280, 960))
        self.assert_sample([line["text"] for line in rec["lines"]])
        status, out, err = run(["--json", "--rotate", "90", sideways])
        self.assertEqual(status, 0, err)
        rec = json.loads(out)
        self.assertEqual((rec["width"], rec["height"]), (1280, 960))
        self.assert_sample([line["text"] for line in rec["lines"]])
        status, _, err = run(["--rotate", "45", sideways])
        self.assertEqual(status, 2)
        self.assertIn("--rotate", err)


def check_registered(listed):
    """ctest runs the cases CMakeLists.txt lists: every case of CliTest must be among them."""
    cases = {name[len("test_"):] for name in dir(CliTest) if name.startswith("test_")}
    listed = set(listed.split(","))
    if cases != listed:
        print("cases not registered in CMakeLists.txt:", sorted(cases - listed))
        print("registered cases that do not exist:", sorted(listed - cases))
        return 1
    return 0


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--registered":
        sys.exit(check_registered(sys.argv[2]))
    unittest.main()
