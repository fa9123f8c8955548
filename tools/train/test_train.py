#!/usr/bin/python3
"""Checks of the training-side invariants the library depends on.

Run: /usr/bin/python3 -m unittest tools/train/test_train.py  (or run directly)
"""
import math
import os
import re
import sys
import unittest

import cv2
import numpy as np
import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import detpost  # noqa: E402
import export  # noqa: E402
import make_dict  # noqa: E402
import models  # noqa: E402
import realdata  # noqa: E402
import textgen  # noqa: E402
import train_rec  # noqa: E402


def perturb_bn(m):
    """Gives every BatchNorm of m statistics and an affine part far from the identity."""
    g = torch.Generator().manual_seed(0)
    for mod in m.modules():
        if isinstance(mod, torch.nn.BatchNorm2d):
            n = mod.num_features
            mod.running_mean.copy_(torch.rand(n, generator=g) - 0.5)
            mod.running_var.copy_(torch.rand(n, generator=g) + 0.5)
            mod.weight.data.copy_(torch.rand(n, generator=g) + 0.5)
            mod.bias.data.copy_(torch.rand(n, generator=g) - 0.5)


def truncate_classifier(m, rank=models.Recognizer.SLIM_RANK):
    """Cuts the classifier of the plain recogniser m to its best rank-r
    approximation, which a rank-r factorisation then keeps exactly."""
    with torch.no_grad():
        w = m.cls.weight.flatten(1)
        u, sv, vt = torch.linalg.svd(w, full_matrices=False)
        sv[rank:] = 0.0
        m.cls.weight.copy_(((u * sv) @ vt).view_as(m.cls.weight))


class DictionaryTest(unittest.TestCase):
    def test_layout(self):
        e = make_dict.build()
        self.assertEqual(e[:94], [chr(c) for c in range(0x21, 0x7F)])
        hz = e[94:94 + 3755]
        self.assertEqual(len(hz), 3755)
        self.assertTrue(all("\u4e00" <= c <= "\u9fff" for c in hz))
        self.assertEqual(hz[0], "啊")
        self.assertEqual(hz[-1], "座")
        self.assertEqual(len(set(e)), len(e))
        self.assertNotIn(" ", e)
        for p in "，。、：；！？（）《》“”‘’【】…—·￥％":
            self.assertIn(p, e[94 + 3755:])

    def test_committed_file_matches_generator(self):
        with open(textgen.DICT_PATH, "rb") as f:
            data = f.read()
        self.assertTrue(data.endswith(b"\n"))
        self.assertNotIn(b"\r", data)
        self.assertEqual(data.decode("utf-8").split("\n")[:-1], make_dict.build())

    def test_charset_mapping_and_greedy_decode(self):
        cs = textgen.Charset()
        self.assertEqual(cs.num_classes, len(cs.entries) + 2)
        lab = cs.encode("a1 中")
        self.assertEqual(lab[2], cs.num_classes - 1)          # space is last
        self.assertEqual(cs.entries[lab[0] - 1], "a")
        # frames: a a blank 1 1 space 中 blank 中 -> "a1 中中"
        seq = [lab[0], lab[0], 0, lab[1], lab[1], lab[2], lab[3], 0, lab[3]]
        probs = np.zeros((len(seq), cs.num_classes), np.float32)
        probs[np.arange(len(seq)), seq] = 1
        self.assertEqual(cs.decode_greedy(probs), "a1 中中")

    def test_generated_text_is_encodable(self):
        cs = textgen.Charset()
        rng = np.random.RandomState(3)
        for _ in range(2000):
            for t in (textgen.random_text(rng, cs)[0], textgen.line_text(rng, cs)[0],
                      textgen.spaced_text(rng), textgen.latin_words(rng),
                      textgen.receipt_line(rng)):
                self.assertTrue(t)
                self.assertEqual(t, t.strip())  # a space at either end cannot be seen
                self.assertNotIn("  ", t)
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
            day = m.group(1) if m.re is named else m.group(2)
            self.assertTrue(1 <= int(day) <= 31, t)


class GeometryTest(unittest.TestCase):
    def test_narrowed_spaces_shorten_only_the_word_gaps(self):
        font = textgen.FontCache().get(textgen.LATIN_TRAIN_FONTS[0], 40)
        space = font.getlength(" ")

        def ink_width(text, scale):
            _, ink = textgen.render_text_mask(text, font, 0.0, scale)
            return ink[2] - ink[0]
        for text, gaps in (("SALTED EGG", 1), ("TOTAL  QTY : 3", 4)):
            saved = ink_width(text, 1.0) - ink_width(text, 0.5)
            self.assertAlmostEqual(saved, 0.5 * space * gaps, delta=1.5)
        # Words keep their kerning: a text without spaces renders as before.
        a, _ = textgen.render_text_mask("AVATAR", font, 0.0, 0.5)
        b, _ = textgen.render_text_mask("AVATAR", font)
        np.testing.assert_array_equal(a, b)

    def test_shrink_then_unclip_restores_box(self):
        for w, h in [(300, 30), (40, 40), (1000, 12), (25, 60)]:
            d = textgen.shrink_distance(w, h)
            sw, sh = w - 2 * d, h - 2 * d
            self.assertGreater(min(sw, sh), 0)
            grow = sw * sh * 2.0 / (2 * (sw + sh))
            self.assertAlmostEqual(grow, d, places=6)
        self.assertAlmostEqual(textgen.shrink_distance(10000, 30) / 30, 1 / 3.0, places=2)

    def test_target_postprocess_recovers_boxes(self):
        # An ideal probability map (the training target) must give back the
        # line boxes through the library's post-processing.
        quads = [np.array([[40, 40], [400, 40], [400, 80], [40, 80]], np.float32),
                 np.array([[40, 95], [300, 95], [300, 115], [40, 115]], np.float32)]
        c = (300.0, 250.0)
        M = cv2.getRotationMatrix2D(c, 15, 1.0)
        r = np.array([[150, 200], [450, 200], [450, 250], [150, 250]], np.float32)
        quads.append(np.concatenate([r, np.ones((4, 1), np.float32)], 1) @ M.T.astype(np.float32))
        prob = textgen.det_target(quads, (320, 512))
        boxes, scores = detpost.boxes_from_prob(prob)
        self.assertEqual(len(boxes), 3)
        for q in quads:
            best = max(detpost.quad_iou(b, q, prob.shape) for b in boxes)
            self.assertGreater(best, 0.85)

    def test_page_lines_do_not_touch(self):
        cs = textgen.Charset()
        fonts = textgen.FontCache()
        rng = np.random.RandomState(5)
        for hershey in (0.0, 0.0, 1.0):  # the last page: ASCII lines in stroke fonts
            img, quads, texts = textgen.make_page(rng, cs, fonts, 512, 512, max_lines=30, min_lines=20,
                                                  hershey_prob=hershey)
            self.assertEqual(img.shape, (512, 512, 3))
            self.assertEqual(len(quads), len(texts))
            t = textgen.det_target(quads, img.shape)
            n, _ = cv2.connectedComponents((t > 0.5).astype(np.uint8))
            self.assertEqual(n - 1, len(quads))
            # No line starts within a word gap of the end of an earlier one.
            for j in range(len(quads)):
                h = float(np.linalg.norm(quads[j][3] - quads[j][0]))
                g = textgen.shrink_quad_grow(quads[j], 0.0, along=1.4 * h)
                for i in range(j):
                    self.assertEqual(detpost.quad_iou(g, quads[i], None), 0.0, (i, j))


class CaseFreeLossTest(unittest.TestCase):
    def test_either_case_pays_nothing_only_where_flagged(self):
        import train_rec
        cs = textgen.Charset()
        upper, lower = train_rec.case_pairs(cs)
        label = cs.encode("AB")
        # Two samples that both read "ab" with certainty (blank between).
        T, K = 5, cs.num_classes
        logits = torch.full((2, T, K), -30.0)
        for t, c in enumerate([cs.encode("a")[0], 0, cs.encode("b")[0], 0, 0]):
            logits[:, t, c] = 0.0
        flags = torch.tensor([True, False])
        folded = train_rec.fold_case(logits, flags, upper, lower)
        ctc = torch.nn.CTCLoss(blank=0, reduction="none")
        loss = ctc(folded, torch.tensor(label * 2), torch.full((2,), T), torch.tensor([2, 2]))
        self.assertLess(float(loss[0]), 1e-3)   # flagged: "ab" is a right reading of "AB"
        self.assertGreater(float(loss[1]), 20)  # not flagged: case counts
        # Nothing flagged: plain log-probabilities.
        plain = torch.log_softmax(logits, dim=2).transpose(0, 1)
        self.assertTrue(torch.equal(train_rec.fold_case(logits, torch.tensor([False, False]), upper, lower), plain))

    def test_either_case_is_pushed_alike(self):
        # The loss must not favour the case the network already leans to:
        # the two logits of a letter get the same gradient.
        import train_rec
        cs = textgen.Charset()
        upper, lower = train_rec.case_pairs(cs)
        torch.manual_seed(3)
        T, K = 6, cs.num_classes
        z = torch.randn(1, T, K)
        a_up, a_low = cs.encode("A")[0], cs.encode("a")[0]
        z[:, :, a_up] += 3.0  # leans to the capital, not certain
        z[:, :, a_low] += 1.0
        z.requires_grad_(True)
        folded = train_rec.fold_case(z, torch.tensor([True]), upper, lower)
        ctc = torch.nn.CTCLoss(blank=0)
        loss = ctc(folded, torch.tensor(cs.encode("A")), torch.tensor([T]), torch.tensor([1]))
        loss.backward()
        g = z.grad[0]
        self.assertGreater(float(g[:, a_up].abs().max()), 1e-3)
        torch.testing.assert_close(g[:, a_up], g[:, a_low], atol=1e-6, rtol=1e-5)
        # The capital's probability is the sum of both cases'.
        p = torch.softmax(z.detach(), dim=2)[0]
        torch.testing.assert_close(folded[:, 0, a_up].exp(), p[:, a_up] + p[:, a_low])

    def test_case_free_labels_hold_capitals_only(self):
        # A lower-case letter in a case-free label could never be matched:
        # its column is folded into the capital's.
        import train_rec
        self.assertEqual(train_rec.ascii_upper("Total: 12,50 café"), "TOTAL: 12,50 CAFé")
        self.assertEqual(train_rec.ascii_upper("收货人 abc"), "收货人 ABC")


class DistillTest(unittest.TestCase):
    def test_teacher_step_pairs_become_one_target_step(self):
        import train_rec
        K = 4
        # Teacher (7 steps, the last has no partner): "a" on step 1, "b" spread
        # over steps 2 and 3, "c" half-sure on step 4, blank elsewhere.
        p = torch.zeros(7, 1, K)
        for t, c in enumerate([0, 1, 2, 2, 3, 0, 3]):
            p[t, 0, c] = 1.0
        p[4, 0] = torch.tensor([0.5, 0.0, 0.0, 0.5])
        q = train_rec.pair_targets(p.clamp(min=1e-12).log())
        self.assertEqual(tuple(q.shape), (3, 1, K))
        torch.testing.assert_close(q[:, 0], torch.tensor([[0.0, 1.0, 0.0, 0.0],
                                                          [0.0, 0.0, 1.0, 0.0],
                                                          [0.5, 0.0, 0.0, 0.5]]), atol=1e-6, rtol=0)
        # A student that reads the targets pays nothing; one that puts
        # the letter a step late pays.
        same = q.clamp(min=1e-12).log()
        late = same[[2, 0, 1]]
        self.assertLess(float(train_rec.distill_loss(same, q)), 1e-5)
        self.assertGreater(float(train_rec.distill_loss(late, q)), 5.0)
        # A student one step shorter than the targets is scored on its own steps.
        self.assertLess(float(train_rec.distill_loss(same[:2], q)), 1e-5)

    def test_word_views_learn_the_word_teacher(self):
        import train_det
        x = torch.arange(4, dtype=torch.float32).view(4, 1, 1, 1).expand(4, 3, 8, 8).contiguous()
        seen = []

        def teacher(v):
            return torch.full((len(v), 1, 8, 8), 0.25)

        def word_teacher(v):
            seen.append(v[:, 0, 0, 0].tolist())  # which views it was given
            return v[:, :1] / 10.0

        words = torch.tensor([False, True, False, True])
        soft = train_det.teacher_maps(x.contiguous(memory_format=torch.channels_last), words, teacher, word_teacher)
        self.assertEqual(seen, [[1.0, 3.0]])
        np.testing.assert_allclose(soft[:, 0].numpy(), np.array([0.25, 0.1, 0.25, 0.3])[:, None, None] + np.zeros((4, 8, 8)), rtol=1e-6)
        # No word view in the batch, or no word teacher: the teacher alone.
        none = train_det.teacher_maps(x, torch.zeros(4, dtype=torch.bool), teacher, word_teacher)
        self.assertEqual((float(none.min()), float(none.max()), len(seen)), (0.25, 0.25, 1))
        alone = train_det.teacher_maps(x, words, teacher)
        self.assertEqual(float(alone.max()), 0.25)


class StripBatchTest(unittest.TestCase):
    def test_strips_lie_or_stand_with_targets_off_the_border(self):
        import train_det
        ds = train_det.PageBatches(4, 1, real_share=0.0, strip_share=1.0)
        rng = np.random.RandomState(7)
        cs, fonts = textgen.Charset(), textgen.FontCache()
        seen = set()
        for _ in range(6):
            x, y, w = ds.strip_batch(rng, cs, fonts)
            n, c, h, wd = x.shape
            self.assertEqual((c, y.shape, w.shape), (3, (n, 1, h, wd), (n, 1, h, wd)))
            standing = h > wd
            seen.add(standing)
            band = min(h, wd)
            self.assertIn(band, (32, 64, 96))
            t = y.numpy()[:, 0]
            if standing:
                t = t.transpose(0, 2, 1)
            self.assertGreater(float(t.sum()), 0.0)
            # The grey border the library adds (20 px before scaling) holds no text.
            edge = max(1, int(band * 20 / 300.0))
            self.assertEqual(float(t[:, :edge].sum() + t[:, -edge:].sum()), 0.0)
            self.assertGreaterEqual(float(w.min()), 1.0)
        self.assertEqual(seen, {False, True})


class HardNegativeTest(unittest.TestCase):
    def test_takes_the_hardest_background_and_skips_dont_care(self):
        import torch
        import train_det

        def bce(logits, y, w):
            return torch.nn.functional.binary_cross_entropy_with_logits(logits, y, reduction="none") * w
        y = torch.zeros(1, 1, 8, 8)
        y[0, 0, :2, :2] = 1.0                      # 4 text pixels
        w = torch.ones_like(y)
        logits = torch.full_like(y, -6.0)
        logits[0, 0, :2, :2] = 3.0
        logits[0, 0, 5, :] = torch.linspace(-1.0, 4.0, 8)  # the hard background row
        w[0, 0, 7, :] = 0.0                        # don't care ...
        logits[0, 0, 7, :] = 9.0                   # ... however wrong it looks
        got = train_det.hard_negative_bce(bce(logits, y, w), y, w, ratio=3.0, min_count=1, clear=0)
        per = torch.nn.functional.binary_cross_entropy_with_logits(logits, y, reduction="none")
        # 3 x 4 text pixels = 12 background pixels: the row of 8 and the 4 next hardest (all easy)
        easy = per[0, 0, 6, 0]
        self.assertAlmostEqual(float(got), float((per[0, 0, 5, :].sum() + 4 * easy) / 12), places=5)
        self.assertGreater(float(got), float(easy))
        # A batch without text still learns from its hardest background.
        blank = logits.clone()
        blank[0, 0, :2, :2] = -6.0
        none = train_det.hard_negative_bce(bce(blank, 0 * y, w), 0 * y, w, ratio=3.0, min_count=8, clear=0)
        self.assertAlmostEqual(float(none), float(per[0, 0, 5, :].sum() / 8), places=4)
        # Background next to text or don't care is left to the plain loss.
        near = logits.clone()
        near[0, 0, 5, :] = -6.0
        near[0, 0, 2, 0] = 5.0                     # right under the text block
        far = train_det.hard_negative_bce(bce(near, y, w), y, w, ratio=3.0, min_count=1, clear=1)
        self.assertLess(float(far), 0.01)
        close = train_det.hard_negative_bce(bce(near, y, w), y, w, ratio=3.0, min_count=1, clear=0)
        self.assertGreater(float(close), 0.4)
        row = train_det.hard_negative_bce(bce(logits, y, w), y, w, ratio=3.0, min_count=1, clear=2)
        self.assertLess(float(row), 0.01)          # row 5 is within 2 of the don't-care row 7
        # Only don't care: nothing to learn, and no NaN.
        zero = train_det.hard_negative_bce(bce(logits, y, torch.zeros_like(w)), y, torch.zeros_like(w))
        self.assertEqual(float(zero), 0.0)


class DetectorBoxTest(unittest.TestCase):
    def test_lines_take_the_detector_box_they_overlap_most_one_to_one(self):
        import det_boxes
        import json
        import tempfile

        def rect(x, y, w, h):
            return np.array([[x, y], [x + w, y], [x + w, y + h], [x, y + h]], np.float32)
        regions = [realdata.Region(rect(10, 10, 100, 20), "TOTAL", False, False),
                   realdata.Region(rect(10, 50, 100, 20), "", True, False),      # don't care
                   realdata.Region(rect(10, 90, 100, 20), "DATE", False, False),
                   realdata.Region(rect(200, 10, 60, 20), "CASH", False, False)]
        boxes = [rect(12, 9, 98, 22),      # TOTAL, close
                 rect(8, 8, 110, 26),      # TOTAL, looser: the first box keeps it
                 rect(10, 50, 100, 20),    # exactly on the don't-care region
                 rect(10, 80, 100, 40),    # DATE at IoU 0.5
                 rect(150, 10, 200, 20)]   # CASH inside a joined box, IoU 0.3
        m = det_boxes.match_regions(boxes, regions, (200, 400))
        self.assertEqual(sorted(m), [0, 2])
        np.testing.assert_array_equal(m[0], boxes[0])
        np.testing.assert_array_equal(m[2], boxes[3])
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "boxes.json")
            with open(path, "w") as f:
                json.dump({"a.jpg": {str(k): q.tolist() for k, q in m.items()}}, f)
            back = realdata.load_det_boxes(path)
        self.assertEqual(sorted(back["a.jpg"]), [0, 2])
        np.testing.assert_allclose(back["a.jpg"][2], boxes[3])
        self.assertEqual(realdata.load_det_boxes(None), {})


class AverageTest(unittest.TestCase):
    def test_mean_of_weights_keeps_counters_and_refuses_other_networks(self):
        import average
        torch.manual_seed(0)
        a = torch.nn.Sequential(torch.nn.Conv2d(3, 4, 3), torch.nn.BatchNorm2d(4))
        b = torch.nn.Sequential(torch.nn.Conv2d(3, 4, 3), torch.nn.BatchNorm2d(4))
        b[1].num_batches_tracked.fill_(7)
        sa, sb = a.state_dict(), b.state_dict()
        m = average.average([sa, sb])
        torch.testing.assert_close(m["0.weight"], (sa["0.weight"] + sb["0.weight"]) / 2)
        torch.testing.assert_close(m["1.running_var"], (sa["1.running_var"] + sb["1.running_var"]) / 2)
        self.assertEqual(m["1.num_batches_tracked"].dtype, torch.int64)
        self.assertEqual(int(m["1.num_batches_tracked"]), 7)
        same = average.average([sa, sa])
        for k in sa:
            torch.testing.assert_close(same[k], sa[k])
        with self.assertRaises(ValueError):
            average.average([sa, torch.nn.Conv2d(3, 4, 3).state_dict()])
        with self.assertRaises(ValueError):
            average.average([sa, torch.nn.Sequential(torch.nn.Conv2d(3, 4, 5), torch.nn.BatchNorm2d(4)).state_dict()])

    def test_the_mean_keeps_the_form_and_refuses_mixed_forms(self):
        # A plain and a mid recogniser share every tensor shape: only the
        # checkpoints' flags tell them apart, and the mean must keep them,
        # or export.py rebuilds the wrong network around the weights.
        import average
        plain = {"ema": {}, "fast": False, "lean": False, "mid": False}
        old_plain = {"ema": {}}
        mid = {"ema": {}, "fast": False, "lean": False, "mid": True}
        self.assertEqual(average.form_flags([mid, dict(mid)])["mid"], True)
        self.assertFalse(any(average.form_flags([plain, old_plain]).values()))
        with self.assertRaises(ValueError):
            average.form_flags([plain, mid])
        with self.assertRaises(ValueError):
            average.form_flags([mid, old_plain])


class SpaceShiftTest(unittest.TestCase):
    def test_only_the_space_score_moves_and_the_shifts_add_up(self):
        import space_bias
        k = textgen.Charset().num_classes
        x = torch.rand(1, 3, 48, 160)
        for form in ({}, {"slim": True, "low_rank": (95, 3850)}):
            torch.manual_seed(0)
            m = models.Recognizer(k, **form).eval()
            ck = {"model": m.state_dict(), "opt": {}, "step": 5, "slim": bool(form)}
            once = space_bias.shift_space(ck, 0.5)
            out = space_bias.shift_space(once, 0.25)
            self.assertEqual(out["space_shift"], 0.75)
            self.assertEqual(out["slim"], bool(form))
            self.assertNotIn("opt", out)
            with torch.no_grad():
                before = m.logits(x)
                m.load_state_dict(out["ema"])
                after = m.logits(x)
            torch.testing.assert_close(after[..., -1], before[..., -1] + 0.75)
            torch.testing.assert_close(after[..., :-1], before[..., :-1])
        # The source checkpoint is left as it was.
        self.assertNotIn("space_shift", ck)


class PhotosTest(unittest.TestCase):
    def setUp(self):
        import tempfile
        self.tmp = tempfile.TemporaryDirectory()
        d = self.tmp.name
        rng = np.random.RandomState(1)
        # Two sizes of one wallpaper, a single picture, and a picture with text.
        for rel, size in (("A/contents/images/640x400.jpg", (400, 640)),
                          ("A/contents/images/160x100.jpg", (100, 160)),
                          ("b.png", (90, 300)), ("focal-ubuntukylin.png", (50, 50))):
            path = os.path.join(d, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            cv2.imwrite(path, rng.randint(0, 256, size + (3,)).astype(np.uint8))
        self.globs = (os.path.join(d, "*/contents/images/*.jpg"), os.path.join(d, "*.png"))

    def tearDown(self):
        textgen.use_photo_backgrounds(None, 0.0)
        self.tmp.cleanup()

    def test_one_file_per_wallpaper_and_none_with_text(self):
        p = textgen.Photos(self.globs)
        self.assertEqual([os.path.basename(f) for f in p.files], ["640x400.jpg", "b.png"])

    def test_crops_have_the_asked_size_at_any_scale(self):
        p = textgen.Photos(self.globs, side=200)
        rng = np.random.RandomState(2)
        for h, w in ((8, 8), (512, 512), (37, 900), (900, 37), (90, 300)):
            for _ in range(20):
                c = p.crop(rng, h, w)
                self.assertEqual(c.shape, (h, w, 3))
                self.assertEqual(c.dtype, np.uint8)

    def test_photo_backgrounds_keep_the_colour_text_is_set_against(self):
        textgen.use_photo_backgrounds(textgen.Photos(self.globs), 1.0)
        rng = np.random.RandomState(3)
        c1, c2 = np.array([200.0, 180.0, 60.0], np.float32), np.zeros(3, np.float32)
        bg = textgen.make_background(rng, 64, 96, c1, c2)
        self.assertEqual(bg.shape, (64, 96, 3))
        np.testing.assert_allclose(bg.mean((0, 1)), c1, atol=12.0)
        self.assertGreater(float(bg.std()), 5.0)  # the photo's texture is there


class RealDataTest(unittest.TestCase):
    def _rotated(self, cx, cy, w, h, ang, skew=0.0):
        q = np.array([[-w / 2 + skew, -h / 2], [w / 2 + skew, -h / 2], [w / 2 - skew, h / 2],
                      [-w / 2 - skew, h / 2]], np.float32)
        M = cv2.getRotationMatrix2D((0, 0), ang, 1.0)[:, :2].astype(np.float32)
        return q @ M.T + np.array([cx, cy], np.float32)

    def test_offset_is_exact_and_reversible(self):
        q = self._rotated(200, 150, 180, 30, 25, skew=6)
        grown = realdata.offset_quad(q, 3.0)
        back = realdata.offset_quad(grown, -3.0)
        np.testing.assert_allclose(back, q, atol=1e-3)
        # Every edge of the grown quad lies 3 px from the original's edge.
        for i in range(4):
            p, r = q[i], q[(i + 1) % 4]
            e = (r - p) / np.linalg.norm(r - p)
            n = np.array([e[1], -e[0]])
            self.assertAlmostEqual(abs(float(np.dot(grown[i] - p, n))), 3.0, places=3)
        self.assertIsNone(realdata.offset_quad(q, -40.0))  # collapses
        # Counter-clockwise corners are grown outwards too.
        np.testing.assert_allclose(realdata.offset_quad(q[::-1], 3.0), grown[::-1], atol=1e-3)

    def test_shrunk_target_gives_back_annotated_quads(self):
        quads = [self._rotated(150, 60, 220, 28, 0), self._rotated(300, 200, 260, 40, -18, skew=5),
                 self._rotated(120, 250, 90, 22, 8)]
        regions = [realdata.Region(q, "x", False, False) for q in quads]
        target, weight = realdata.det_maps(regions, (320, 480))
        self.assertTrue((weight == 1).all())
        boxes, _ = detpost.boxes_from_prob(target)
        self.assertEqual(len(boxes), 3)
        for q in quads:
            self.assertGreater(max(detpost.quad_iou(b, q, None) for b in boxes), 0.85)

    def test_dont_care_and_cut_regions_weigh_nothing(self):
        care = self._rotated(100, 60, 120, 30, 0)
        dont = self._rotated(300, 200, 100, 30, 10)
        target, weight = realdata.det_maps([realdata.Region(care, "a", False, False),
                                            realdata.Region(dont, "", True, False)], (320, 480))
        self.assertEqual(weight[200, 300], 0.0)
        self.assertEqual(target[200, 300], 0.0)
        self.assertEqual(weight[60, 100], 1.0)
        self.assertEqual(target[60, 100], 1.0)
        # Through a view: a region the border cuts becomes don't-care, one
        # outside is dropped, one inside keeps its flag and moves with it.
        A = np.array([[1, 0, -100], [0, 1, -50], [0, 0, 1]], np.float64)
        regs = realdata.map_regions([realdata.Region(self._rotated(100, 70, 80, 20, 0), "cut", False, False),
                                     realdata.Region(self._rotated(300, 200, 80, 20, 0), "in", False, False),
                                     realdata.Region(self._rotated(900, 200, 80, 20, 0), "out", False, False)],
                                    A, 400, 300)
        self.assertEqual({r.text: r.ignore for r in regs}, {"cut": True, "in": False})
        np.testing.assert_allclose(regs[1].quad.mean(0), [200, 150], atol=1e-3)

    def test_gaps_between_words_of_a_line_weigh_more(self):
        # Two words of one line (tilted a little), a word of another line
        # right below, one far along the line, one of another height.
        a = self._rotated(100, 100, 80, 20, 5)
        b = self._rotated(100 + 100 * np.cos(np.radians(5)), 100 - 100 * np.sin(np.radians(5)), 80, 20, 5)
        below = self._rotated(100, 140, 80, 20, 5)
        far = self._rotated(400, 60, 60, 20, 0)
        tall = self._rotated(330, 260, 80, 60, 0)
        short = self._rotated(420, 260, 80, 20, 0)
        regs = [realdata.Region(q, "w", False, False) for q in (a, b, below, far, tall, short)]
        gaps = realdata.word_gaps(regs)
        self.assertEqual(len(gaps), 1)
        mid = gaps[0].mean(0)
        np.testing.assert_allclose(mid, 0.5 * (a.mean(0) + b.mean(0)), atol=1.0)
        target, weight = realdata.det_maps(regs, (320, 480), gap_weight=7.0)
        y, x = int(round(mid[1])), int(round(mid[0]))
        self.assertEqual(weight[y, x], 7.0)
        self.assertEqual(target[y, x], 0.0)
        self.assertEqual(weight[120, 100], 1.0)  # between the two lines
        self.assertEqual(target[100, 100], 1.0)
        # Off by default; the edge band keeps a higher gap weight.
        self.assertTrue((realdata.det_maps(regs, (320, 480))[1] == 1).all())
        self.assertEqual(realdata.edge_weighted(target, weight)[y, x], 7.0)
        # A don't-care word has no gap to its neighbour.
        regs[1] = realdata.Region(b, "", True, False)
        self.assertEqual(realdata.word_gaps(regs), [])

    def test_small_regions_weigh_more_inside_only(self):
        digit = self._rotated(60, 60, 10, 14, 0)    # a lone digit: target about 4 x 8
        line = self._rotated(250, 150, 200, 24, 0)
        dont = self._rotated(60, 250, 10, 14, 0)
        regs = [realdata.Region(digit, "1", False, False), realdata.Region(line, "a line", False, False),
                realdata.Region(dont, "", True, False)]
        target, weight = realdata.det_maps(regs, (320, 480), small_area=300.0)
        inside = (target > 0.5) & (np.abs(np.arange(480)[None, :] - 60) < 10)
        w_in = weight[inside]
        self.assertTrue(len(w_in) > 0 and (w_in > 1).all() and (w_in <= realdata.SMALL_WEIGHT_MAX).all())
        # The long line, the background and the don't-care region keep theirs.
        self.assertEqual(weight[150, 250], 1.0)
        self.assertEqual(weight[30, 200], 1.0)
        self.assertEqual(weight[250, 60], 0.0)
        # Off by default.
        self.assertTrue((realdata.det_maps(regs[:2], (320, 480))[1] == 1).all())

    def test_validation_split_is_fixed_and_about_a_tenth(self):
        names = ["img_%d.jpg" % i for i in range(5000)]
        val = [n for n in names if realdata.is_val(n)]
        self.assertEqual(val, [n for n in names if realdata.is_val(n)])
        self.assertAlmostEqual(len(val) / 5000.0, 0.1, delta=0.02)


class PreprocessTest(unittest.TestCase):
    def test_rec_resize_matches_library_rule(self):
        crop = np.zeros((30, 100, 3), np.uint8)
        out = textgen.rec_resize(crop)
        self.assertEqual(out.shape, (48, 320, 3))
        self.assertTrue((out[:, 160:] == 127).all())      # ceil(48*100/30) = 160
        crop = np.zeros((30, 301, 3), np.uint8)
        self.assertEqual(textgen.rec_resize(crop).shape, (48, int(48 * 301 / 30.0), 3))
        x = textgen.rec_preprocess(np.full((20, 50, 3), 255, np.uint8))
        self.assertEqual(x.shape, (3, 48, 320))
        self.assertAlmostEqual(float(x[:, 10, 10].min()), 1.0, places=5)
        self.assertAlmostEqual(float(x[:, 10, 300].max()), (127 / 255.0 - 0.5) * 2, places=5)

    def test_det_preprocess_shape_and_values(self):
        page = np.zeros((960, 1280, 3), np.uint8)
        page[..., 0] = 255
        x, (ry, rx) = textgen.det_preprocess(page)
        self.assertEqual(x.shape, (3, 992, 1312))
        self.assertAlmostEqual(float(x[0, 500, 500]), (1 - 0.485) / 0.229, places=4)
        self.assertAlmostEqual(float(x[1, 500, 500]), (0 - 0.456) / 0.224, places=4)
        self.assertAlmostEqual(float(x[2, 0, 0]), (127 / 255.0 - 0.406) / 0.225, places=4)


class NarrowDetectorTest(unittest.TestCase):
    def test_form_is_read_from_weights_and_narrow_start_takes_leading_channels(self):
        import common
        import tempfile
        import train_det
        torch.manual_seed(0)
        wide = train_det.make_model()
        perturb_bn(wide)
        widths = train_det.parse_channels("8,24,48,96,160,24")
        self.assertEqual(widths, {"ch": (8, 24, 48, 96, 160), "fpn": 24})
        for bad in ("8,24,48,96,160", "8,24,48,96,160,0", "8,24,48,96,160,x"):
            with self.assertRaises(SystemExit):
                train_det.parse_channels(bad)
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "wide.pt")
            torch.save({"ema": wide.state_dict()}, path)
            narrow = train_det.make_model(**widths)
            common.init_from(path, narrow, common.EMA(narrow), lambda msg: None, resize=True)
            same = train_det.make_model()
            common.init_from(path, same, common.EMA(same), lambda msg: None, resize=True)
            loaded = train_det.load_detector(path)
            ctx = train_det.make_model(context=2)
            common.init_from(path, ctx, common.EMA(ctx), lambda msg: None)
            gated = train_det.make_model(gate=True)
            common.init_from(path, gated, common.EMA(gated), lambda msg: None)
            # Wider where the coarse stages are cheap, with blocks added at
            # 1/32 and the pyramid as it was.
            deep = train_det.make_model(ch=(16, 32, 64, 256, 384), context=2)
            common.init_from(path, deep, common.EMA(deep), lambda msg: None, resize=True)
        ns, ws = narrow.state_dict(), wide.state_dict()
        self.assertTrue(torch.equal(ns["stem.0.weight"], ws["stem.0.weight"][:8]))
        self.assertTrue(torch.equal(ns["lat.1.weight"], ws["lat.1.weight"][:24, :48]))
        self.assertTrue(torch.equal(ns["s16.1.dw.1.running_var"], ws["s16.1.dw.1.running_var"][:96]))
        x = torch.randn(1, 3, 64, 96)
        with torch.no_grad():
            self.assertTrue(torch.equal(same.eval()(x), wide.eval()(x)))
            self.assertTrue(torch.equal(loaded(x), wide(x)))
        # Dilated blocks added at 1/32 and the whole-image gate start as the
        # identity: a network with them, started from weights without them,
        # computes what those do.
        with torch.no_grad():
            self.assertTrue(torch.allclose(ctx.eval()(x), wide(x), atol=1e-6))
            self.assertTrue(torch.equal(gated.eval()(x), wide(x)))
            self.assertTrue(torch.allclose(deep.eval()(x), wide(x), atol=1e-6))
        # The new channels are not left dead: only their weights into later
        # layers start at zero.
        ds = deep.state_dict()
        self.assertTrue(torch.equal(ds["s16.0.pw.0.weight"][:128], ws["s16.0.pw.0.weight"]))
        self.assertGreater(ds["s16.0.pw.0.weight"][128:].abs().sum().item(), 0)
        self.assertEqual(ds["lat.2.weight"][:, 128:].abs().sum().item(), 0)
        # The form comes back from the weights alone (what export.py and a
        # teacher are built from).
        for m in (narrow, wide, ctx, gated, train_det.make_model(head="deconv")):
            again = train_det.model_for(m.state_dict())
            again.load_state_dict(m.state_dict())
            self.assertEqual({k: v.shape for k, v in again.state_dict().items()},
                             {k: v.shape for k, v in m.state_dict().items()})
        # --gate-lr puts the gate, and only the gate, in a group of its own;
        # every weight is in exactly one group.
        for m, mult, n in ((gated, 10.0, 2), (gated, 1.0, 1), (wide, 10.0, 1)):
            groups = train_det.param_groups(m, mult)
            self.assertEqual(len(groups), n)
            ids = [id(p) for g in groups for p in g["params"]]
            self.assertEqual(sorted(ids), sorted(id(p) for p in m.parameters()))
        gate_ids = {id(p) for p in gated.gate.parameters()}
        self.assertEqual({id(p) for p in train_det.param_groups(gated, 10.0)[1]["params"]}, gate_ids)


class ExportTest(unittest.TestCase):
    def test_bn_folding_is_exact(self):
        torch.manual_seed(0)
        m = models.Detector(refine=True).eval()
        perturb_bn(m)
        x = torch.randn(1, 3, 96, 128)
        with torch.no_grad():
            d = (m.logits(x) - models.fold_bn(m).logits(x)).abs().max().item()
        self.assertLess(d, 1e-4)

    def test_recognizer_loads_in_cv2_dnn(self):
        import onnx
        for form in ({}, {"fast": True}, {"lean": True}, {"mid": True}, {"slim": True},
                     {"slim": True, "low_rank": (95, 3850)}, {"tail": True}):
            torch.manual_seed(0)
            m = models.Recognizer(textgen.Charset().num_classes, **form).eval()
            perturb_bn(m)
            with torch.no_grad():
                m.cls.weight.mul_(20)   # peaky outputs so differences show
            data, _ = export.rec_onnx(m)
            ops = {n.op_type for n in onnx.load_from_string(data).graph.node}
            self.assertNotIn("Identity", ops)
            self.assertNotIn("Squeeze", ops)
            worst = export.cv_check(data, m, [(1, 3, 48, 320), (2, 3, 48, 408), (1, 3, 48, 3848)])
            self.assertLess(worst, 1e-4)
            with torch.no_grad():
                steps = m(torch.zeros(1, 3, 48, 320)).shape[1]
            self.assertEqual(steps, 320 // m.step())

    def test_lean_and_mid_recognizers_take_every_tensor_of_the_plain_one(self):
        k = textgen.Charset().num_classes
        plain = models.Recognizer(k)
        for form in ("lean", "mid"):
            m = models.Recognizer(k, **{form: True})
            self.assertEqual({n: v.shape for n, v in plain.state_dict().items()},
                             {n: v.shape for n, v in m.state_dict().items()})
            self.assertEqual(m.step(), 8)
        with self.assertRaises(ValueError):
            models.Recognizer(k, fast=True, lean=True)
        with self.assertRaises(ValueError):
            models.Recognizer(k, lean=True, mid=True)
        with self.assertRaises(ValueError):
            models.Recognizer(k, mid=True, slim=True)
        with self.assertRaises(ValueError):
            models.Recognizer(k, slim=True, tail=True)

    def test_tail_state_keeps_the_plain_convolutions_and_a_low_rank_classifier(self):
        # From a plain network whose classifier has rank r, the tail network
        # of rank r built by tail_state() computes exactly the plain
        # network's scores on the width-pooled features: its convolutions
        # are the plain ones and its factorised classifier loses nothing.
        # Rank 0 keeps the classifier whole. The trainer and the export read
        # the rank back from the weights.
        k = textgen.Charset().num_classes
        for rank in (64, 96, 0):
            torch.manual_seed(0)
            plain = models.Recognizer(k).eval()
            perturb_bn(plain)
            if rank:
                truncate_classifier(plain, rank)
            tail = models.Recognizer(k, tail=True, tail_rank=rank).eval()
            state = train_rec.tail_init(rank)(plain.state_dict())
            tail.load_state_dict(state)
            self.assertEqual(train_rec.rank_of(state), rank)
            self.assertEqual(tail.step(), 8)
            x = torch.rand(2, 3, 48, 200) * 2 - 1
            with torch.no_grad():
                f = torch.nn.functional.max_pool2d(plain.body(x), (1, 2))
                for m in plain.ctx:
                    f = f + m(f)
                ref = plain.cls(f).squeeze(2).transpose(1, 2)
                got = tail.logits(x)
            self.assertEqual(got.shape, (2, 25, k))
            self.assertGreater(ref.abs().max().item(), 0.1)
            self.assertLess((ref - got).abs().max().item(), 1e-4, "rank %d" % rank)

    def test_wider_recogniser_starts_as_the_plain_one_and_exports(self):
        # A recogniser with more channels, started from a plain one's
        # weights, reads as that one does; its checkpoint records the widths,
        # from which the export rebuilds it.
        import common
        import export
        import tempfile
        k = textgen.Charset().num_classes
        torch.manual_seed(0)
        plain = models.Recognizer(k).eval()
        perturb_bn(plain)
        ch = (32, 96, 144, 192, 256)
        wide = train_rec.make_model(ch=ch)
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "plain.pt")
            torch.save({"ema": plain.state_dict()}, path)
            common.init_from(path, wide, common.EMA(wide), lambda msg: None, resize=True)
            x = torch.rand(1, 3, 48, 120) * 2 - 1
            with torch.no_grad():
                self.assertLess((wide.eval()(x) - plain(x)).abs().max().item(), 1e-5)
            out = os.path.join(d, "wide.pt")
            torch.save({"ema": wide.state_dict(), "ch": ch, **{f: False for f in train_rec.FORMS}}, out)
            data = export.export_net("rec", out, os.path.join(d, "wide.onnx"), timing=False)
            self.assertGreater(len(data), 0)

    def test_slim_state_keeps_a_plain_network_that_needs_no_more(self):
        # A plain network whose surplus channels give nothing (BatchNorm
        # output pinned at or below zero, so ReLU gives 0) and whose
        # classifier has rank 64 computes exactly what the slim network
        # built from it computes: slim_state() must find those channels and
        # keep the rest in their order, and its factorisation be exact,
        # whether all classes or only a block of them go through the
        # projection. Moving the other classes out of the projection
        # (split_slim_state) keeps the function as well.
        k = textgen.Charset().num_classes
        torch.manual_seed(0)
        plain = models.Recognizer(k).eval()
        perturb_bn(plain)
        c1, c2 = models.Recognizer.SLIM_CHANNELS
        g = torch.Generator().manual_seed(1)
        with torch.no_grad():
            for layer, keep in ((3, c1), (4, c2)):
                bn = plain.body[layer][1]
                dead = torch.randperm(bn.num_features, generator=g)[:bn.num_features - keep]
                bn.weight[dead] = 0.0
                bn.bias[dead] = -1.0
        truncate_classifier(plain)
        x = torch.rand(2, 3, 48, 200) * 2 - 1
        with torch.no_grad():
            ref = plain.logits(x)
        self.assertGreater(ref.abs().max().item(), 0.1)
        span = (95, k - 43)
        for low_rank in (None, span):
            slim = models.Recognizer(k, slim=True, low_rank=low_rank).eval()
            slim.load_state_dict(models.slim_state(plain.state_dict(), low_rank))
            with torch.no_grad():
                self.assertLess((ref - slim.logits(x)).abs().max().item(), 1e-4)
        split = models.Recognizer(k, slim=True, low_rank=span).eval()
        split.load_state_dict(models.split_slim_state(models.slim_state(plain.state_dict()), span))
        with torch.no_grad():
            self.assertLess((ref - split.logits(x)).abs().max().item(), 1e-4)
            self.assertLess((plain(x) - split(x)).abs().max().item(), 1e-5)

    def test_recognizer_probabilities_are_the_softmax_and_stay_finite(self):
        k = textgen.Charset().num_classes
        ones = torch.ones(k, 1)
        z = torch.randn(2, 7, k) * 15
        p = models.Recognizer.probabilities(z, ones)
        self.assertLess((p - torch.softmax(z, 2)).abs().max().item(), 1e-6)
        # Scores far beyond float's exponential range: every step still a
        # distribution, the winning class still the largest.
        z = torch.randn(1, 5, k)
        z[0, :, 17] = 5000.0
        z[0, 2, :] = -5000.0
        z[0, 2, 9] = -4000.0
        p = models.Recognizer.probabilities(z, ones)
        self.assertTrue(torch.isfinite(p).all())
        self.assertLess((p.sum(2) - 1).abs().max().item(), 1e-4)
        self.assertEqual(p[0, [0, 1, 3, 4]].argmax(1).tolist(), [17] * 4)

    def test_recognizer_export_stays_finite_on_extreme_scores(self):
        # The exported head must keep the clipping in OpenCV: a network whose
        # scores reach thousands gives distributions, not inf or NaN.
        torch.manual_seed(0)
        m = models.Recognizer(textgen.Charset().num_classes).eval()
        with torch.no_grad():
            m.cls.weight.mul_(30000)
        data, _ = export.rec_onnx(m)
        net = cv2.dnn.readNetFromONNX(np.frombuffer(data, np.uint8))
        x = np.random.RandomState(3).uniform(-2, 2, (1, 3, 48, 160)).astype(np.float32)
        with torch.no_grad():
            self.assertGreater(m.logits(torch.from_numpy(x)).abs().max().item(), 100)
            ref = m(torch.from_numpy(x)).numpy()
        net.setInput(x)
        out = net.forward()
        self.assertTrue(np.isfinite(out).all())
        self.assertLess(np.abs(out.sum(2) - 1).max(), 1e-3)
        self.assertLess(np.abs(out - ref).max(), 1e-4)

    def test_detector_loads_in_cv2_dnn(self):
        import onnx
        narrow = {"ch": (8, 16, 48, 96, 160), "fpn": 16}
        for head, refine, widths in (("deconv", False, {}), ("resize", False, {}), ("resize", True, {}),
                                     ("resize", True, narrow), ("resize", True, dict(narrow, context=2)),
                                     ("resize", True, dict(narrow, gate=True))):
            torch.manual_seed(0)
            m = models.Detector(head=head, refine=refine, **widths).eval()
            perturb_bn(m)
            if m.gate is not None:
                # Away from the identity it starts as, and different for the
                # two images of a batch.
                torch.nn.init.normal_(m.gate[3].weight, std=0.5)
                torch.nn.init.normal_(m.gate[3].bias, std=0.5)
            data, _ = export.det_onnx(m)
            ops = {n.op_type for n in onnx.load_from_string(data).graph.node}
            self.assertNotIn("ConvTranspose", ops)  # rewritten for the deconv head
            # 1600 x 2432 crashes OpenCV 4.6's transposed convolution.
            worst = export.cv_check(data, m, [(1, 3, 160, 224), (2, 3, 96, 64), (1, 3, 1600, 2432)])
            self.assertLess(worst, 1e-4)


if __name__ == "__main__":
    unittest.main()
