#!/usr/bin/python3
"""Checks of the training tools: the targets and crops the library's
post-processing and cropping must agree with, the losses, the networks'
export to OpenCV's dnn, and a run's state across sessions.

Run: /usr/bin/python3 -m unittest discover -s tools/train -p "test_*.py"
"""
import json
import os
import sys
import tempfile
import unittest

import cv2
import numpy as np
import torch

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import common  # noqa: E402
import detpost  # noqa: E402
import export  # noqa: E402
import models  # noqa: E402
import realdata  # noqa: E402
import textgen  # noqa: E402
import train_det  # noqa: E402
import train_rec  # noqa: E402


def rotated(cx, cy, w, h, ang, skew=0.0):
    """A w x h box centred at (cx, cy), turned by ang degrees, its top and
    bottom edges shifted by +-skew."""
    q = np.array([[-w / 2 + skew, -h / 2], [w / 2 + skew, -h / 2], [w / 2 - skew, h / 2],
                  [-w / 2 - skew, h / 2]], np.float32)
    M = cv2.getRotationMatrix2D((0, 0), ang, 1.0)[:, :2].astype(np.float32)
    return q @ M.T + np.array([cx, cy], np.float32)


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


class RenderTest(unittest.TestCase):
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

    def test_bent_lines_keep_their_ink_and_follow_the_arc(self):
        # A bar as the line's ink: its centre row per column shows the curve.
        mask = np.zeros((40, 200), np.float32)
        mask[15:25, 10:190] = 1.0
        ink = (10, 15, 190, 25)

        def centre_rows(m):
            rows = np.arange(m.shape[0], dtype=np.float64)[:, None]
            cols = m[:, [12, 100, 187]]
            return (cols * rows).sum(0) / cols.sum(0)
        for amp in (12.0, -12.0):
            bent, box = textgen.bend_mask(mask, ink, amp)
            # Nothing cut off: the mask grew, and all the ink is still there.
            self.assertEqual(bent.shape, (40 + 2 * 13, 200))
            self.assertAlmostEqual(bent.sum() / mask.sum(), 1.0, delta=0.01)
            ends, mid, _ = centre_rows(bent) - 13 - 19.5
            # The middle rises by amp (sinks for amp < 0); the ends stay put.
            self.assertAlmostEqual(mid, -amp, delta=0.5)
            self.assertAlmostEqual(ends, 0.0, delta=1.0)
            self.assertEqual((box[0], box[2]), (10, 190))
            self.assertAlmostEqual(box[3] - box[1], 10 + 12, delta=1)
        wave, _ = textgen.bend_mask(mask, ink, (6.0, 1.0, 0.0))
        self.assertAlmostEqual(wave.sum() / mask.sum(), 1.0, delta=0.01)
        same, _ = textgen.bend_mask(mask, ink, 0.0)
        np.testing.assert_allclose(same[1:-1], mask, atol=1e-6)

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
        quads = [rotated(220, 60, 360, 40, 0), rotated(170, 105, 260, 20, 0), rotated(300, 225, 300, 50, 15)]
        boxes = detpost.boxes_from_prob(textgen.det_target(quads, (320, 512)))
        self.assertEqual(len(boxes), 3)
        for q in quads:
            self.assertGreater(max(detpost.quad_iou(b, q) for b in boxes), 0.85)

    def test_page_lines_do_not_touch(self):
        cs, fonts = textgen.Charset(), textgen.FontCache()
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
                g = textgen.grow_quad(quads[j], 0.0, along=1.4 * h)
                for i in range(j):
                    self.assertEqual(detpost.quad_iou(g, quads[i]), 0.0, (i, j))

    def test_standing_chinese_lines_come_turned_and_readable_fonts_cover_them(self):
        cs, fonts = textgen.Charset(), textgen.FontCache()
        rng = np.random.RandomState(4)
        for _ in range(5):
            crop, text = textgen.make_column_rec_sample(rng, cs, fonts)
            self.assertGreater(crop.shape[1], crop.shape[0])  # lies as the library turns it
            self.assertTrue(textgen.needs_cjk(text))
        for text in ("Total 12.50", "合计：12.50元", "漢字"):
            face = textgen.pick_font(rng, text)
            self.assertTrue(textgen.covers(face, text), (face, text))

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


class CaseFreeLossTest(unittest.TestCase):
    def test_either_case_pays_nothing_only_where_flagged(self):
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
        # Case-free labels hold capitals only (a-z alone is raised).
        self.assertEqual(train_rec.ascii_upper("Total: 12,50 café 收货人"), "TOTAL: 12,50 CAFé 收货人")

    def test_either_case_is_pushed_alike(self):
        # The loss must not favour the case the network already leans to:
        # the two logits of a letter get the same gradient.
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


class DetectorDataTest(unittest.TestCase):
    def test_hard_negatives_are_the_hardest_background_off_text_and_dont_care(self):
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

    def test_strips_lie_or_stand_with_targets_off_the_border(self):
        ds = train_det.PageBatches(dict(train_det.DEFAULTS, batch=4, real_share=0.0, strips=1.0), 1)
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

    def test_turned_quads_cover_the_same_ink(self):
        img = np.zeros((120, 200, 3), np.uint8)
        q = np.array([[30, 20], [150, 30], [145, 60], [25, 50]], np.float32)
        cv2.fillPoly(img, [q.astype(np.int32)], (255, 255, 255))
        for k in (1, 2, 3):
            turned, (tq,) = train_det.turn_clockwise(img, [q], k)
            self.assertEqual(turned.shape[:2], (200, 120) if k % 2 else (120, 200))
            mask = np.zeros(turned.shape[:2], np.uint8)
            cv2.fillPoly(mask, [np.round(tq).astype(np.int32)], 1)
            ink = turned[..., 0] > 0
            self.assertGreater((ink & (mask > 0)).sum() / ink.sum(), 0.97, k)

    def test_turned_views_turn_target_and_weight_with_the_image(self):
        cfg = dict(train_det.DEFAULTS, batch=4, real_share=0.0, sizes=[128], vertical=0.0, photo_text=0.0)
        plain, turned = (next(iter(train_det.PageBatches(dict(cfg, turn_share=share), 3))) for share in (0.0, 1.0))
        # The first view is drawn alike in both; only its turn differs.
        a, b = ([t[0].numpy() for t in batch[:3]] for batch in (plain, turned))
        self.assertGreater(float(a[1].sum()), 0.0)
        ks = [k for k in (1, 2, 3) if all(np.array_equal(np.rot90(u, k, (1, 2)), v) for u, v in zip(a, b))]
        self.assertEqual(len(ks), 1)


class PhotosTest(unittest.TestCase):
    def setUp(self):
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

    def test_latin_lines_over_photos_are_sign_length(self):
        rng, cs, fonts = np.random.RandomState(4), textgen.Charset(), textgen.FontCache()

        def latin_word_counts():
            counts = []
            for _ in range(24):
                _, _, texts = textgen.make_page(rng, cs, fonts, 512, 512, max_lines=20)
                counts += [len(t.split()) for t in texts if not textgen.needs_cjk(t)]
            return np.array(counts)
        plain = latin_word_counts()
        textgen.use_photo_backgrounds(textgen.Photos(self.globs), 1.0)
        over_photos = latin_word_counts()
        # Only the lines left whole (30%) keep more than three words.
        self.assertGreater((plain > 3).mean(), 0.05)
        self.assertLess((over_photos > 3).mean(), 0.5 * (plain > 3).mean() + 0.02)
        self.assertGreater((over_photos == 1).mean(), (plain == 1).mean() + 0.1)


class RealDataTest(unittest.TestCase):
    def test_offset_is_exact_and_reversible(self):
        q = rotated(200, 150, 180, 30, 25, skew=6)
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
        quads = [rotated(150, 60, 220, 28, 0), rotated(300, 200, 260, 40, -18, skew=5),
                 rotated(120, 250, 90, 22, 8)]
        regions = [realdata.Region(q, "x", False, False) for q in quads]
        target, weight = realdata.det_maps(regions, (320, 480))
        self.assertTrue((weight == 1).all())
        boxes = detpost.boxes_from_prob(target)
        self.assertEqual(len(boxes), 3)
        for q in quads:
            self.assertGreater(max(detpost.quad_iou(b, q) for b in boxes), 0.85)

    def test_dont_care_and_cut_regions_weigh_nothing(self):
        care = rotated(100, 60, 120, 30, 0)
        dont = rotated(300, 200, 100, 30, 10)
        target, weight = realdata.det_maps([realdata.Region(care, "a", False, False),
                                            realdata.Region(dont, "", True, False)], (320, 480))
        self.assertEqual(weight[200, 300], 0.0)
        self.assertEqual(target[200, 300], 0.0)
        self.assertEqual(weight[60, 100], 1.0)
        self.assertEqual(target[60, 100], 1.0)
        # Through a view: a region the border cuts becomes don't-care, one
        # outside is dropped, one inside keeps its flag and moves with it.
        A = np.array([[1, 0, -100], [0, 1, -50], [0, 0, 1]], np.float64)
        regs = realdata.map_regions([realdata.Region(rotated(100, 70, 80, 20, 0), "cut", False, False),
                                     realdata.Region(rotated(300, 200, 80, 20, 0), "in", False, False),
                                     realdata.Region(rotated(900, 200, 80, 20, 0), "out", False, False)],
                                    A, 400, 300)
        self.assertEqual({r.text: r.ignore for r in regs}, {"cut": True, "in": False})
        np.testing.assert_allclose(regs[1].quad.mean(0), [200, 150], atol=1e-3)

    def test_gaps_between_words_of_a_line_weigh_more(self):
        # Two words of one line (tilted a little), a word of another line
        # right below, one far along the line, one of another height.
        a = rotated(100, 100, 80, 20, 5)
        b = rotated(100 + 100 * np.cos(np.radians(5)), 100 - 100 * np.sin(np.radians(5)), 80, 20, 5)
        below = rotated(100, 140, 80, 20, 5)
        far = rotated(400, 60, 60, 20, 0)
        tall = rotated(330, 260, 80, 60, 0)
        short = rotated(420, 260, 80, 20, 0)
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
        digit = rotated(60, 60, 10, 14, 0)    # a lone digit: target about 4 x 8
        line = rotated(250, 150, 200, 24, 0)
        dont = rotated(60, 250, 10, 14, 0)
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


class RunStateTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.cfg = os.path.join(self.tmp.name, "r.json")
        with open(self.cfg, "w") as f:
            json.dump({"network": "det", "budget_min": 5, "smoke": {"budget_min": 1}}, f)

    def tearDown(self):
        self.tmp.cleanup()

    def test_config_names_the_run_and_smoke_takes_its_own_directory(self):
        cfg = common.load_config(self.cfg)
        smoke = common.load_config(self.cfg, smoke=True)
        self.assertEqual((cfg["name"], cfg["budget_min"]), ("r", 5))
        self.assertEqual((smoke["name"], smoke["budget_min"]), ("r-smoke", 1))
        self.assertNotEqual(cfg["dir"], smoke["dir"])
        self.assertNotIn("smoke", cfg)

    def test_curve_keeps_every_row_when_a_figure_is_added(self):
        path = os.path.join(self.tmp.name, "c.csv")
        mirror = os.path.join(self.tmp.name, "m", "c.csv")
        curve = common.Curve(path, mirror)
        curve.add({"step": 1, "a": 0.5})
        curve.add({"step": 2, "a": 0.25, "b": 1.0})
        with open(mirror) as f:
            self.assertEqual(f.read(), "step,a,b\n1,0.5000,\n2,0.2500,1.0000\n")

    def test_a_snapshot_resumes_its_run_and_starts_any_other(self):
        torch.manual_seed(1)
        det = models.Detector()
        perturb_bn(det)
        opt = torch.optim.AdamW(det.parameters())
        last, snap = (os.path.join(self.tmp.name, n) for n in ("last.pt", "snap.pt"))
        ema = common.EMA(det)
        torch.save({"model": det.state_dict(), "opt": opt.state_dict(), "ema": ema.state, "form": det.form(),
                    "step": 40, "elapsed": 90.0, "best": 0.5}, last)
        common.save_snapshot(last, snap, {"run": "r"})
        self.assertLess(os.path.getsize(snap), os.path.getsize(last))
        cfg = dict(common.load_config(self.cfg), init=os.path.relpath(snap, common.ROOT))
        for name, step in (("r", 40), ("other", 0)):
            again = models.detector_for(torch.load(snap)["model"])
            got = common.start_weights(dict(cfg, name=name), again, torch.optim.AdamW(again.parameters()),
                                       common.EMA(again), lambda msg: None, os.path.join(self.tmp.name, "none"),
                                       resize=True)
            self.assertEqual(got[0], step)
            for k, v in det.state_dict().items():
                torch.testing.assert_close(again.state_dict()[k].float(), v.float(), atol=2e-3, rtol=2e-3)


class ExportTest(unittest.TestCase):
    def test_bn_folding_is_exact(self):
        torch.manual_seed(0)
        m = models.Detector(context=1).eval()
        perturb_bn(m)
        x = torch.randn(1, 3, 96, 128)
        with torch.no_grad():
            self.assertLess((m.logits(x) - export.fold_bn(m).logits(x)).abs().max().item(), 1e-4)

    def test_recognisers_load_in_cv2_dnn_at_every_width(self):
        import onnx
        for form in ({}, {"attention": 1, "rank": 32}):
            torch.manual_seed(0)
            m = models.Recognizer(500, **form).eval()
            perturb_bn(m)
            with torch.no_grad():
                m.cls.weight.mul_(20)   # peaky outputs so differences show
                for a in m.attn:
                    a.o.weight.normal_(0, 0.3)
            data, folded = export.to_onnx_bytes(m, "rec")
            ops = {n.op_type for n in onnx.load_from_string(data).graph.node}
            self.assertFalse(ops & {"Identity", "Squeeze", "Shape"}, ops)
            net = cv2.dnn.readNetFromONNX(np.frombuffer(data, np.uint8))
            self.assertLess(export.cv_check(net, folded, export.SHAPES["rec"][0]), export.TOL)
            # The checkpoint's form rebuilds the network.
            again = models.recognizer_for(m.form())
            again.load_state_dict(m.state_dict())

    def test_a_wider_detector_starts_as_the_narrower_one_and_exports(self):
        torch.manual_seed(0)
        narrow = models.Detector().eval()
        perturb_bn(narrow)
        wide = models.Detector(ch=(8, 24, 48, 128, 256), context=2)
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "n.pt")
            torch.save({"ema": narrow.state_dict()}, path)
            common.init_from(path, wide, common.EMA(wide), lambda msg: None, resize=True)
        x = torch.randn(1, 3, 64, 96)
        with torch.no_grad():
            torch.testing.assert_close(wide.eval()(x), narrow(x), atol=1e-6, rtol=1e-5)
        ws = wide.state_dict()
        self.assertGreater(ws["s16.0.pw.0.weight"][96:].abs().sum().item(), 0)  # new channels live
        self.assertEqual(ws["lat.2.weight"][:, 96:].abs().sum().item(), 0)      # cut off until trained
        self.assertEqual(models.detector_for(ws).form(), wide.form())
        data, folded = export.to_onnx_bytes(wide, "det")
        net = cv2.dnn.readNetFromONNX(np.frombuffer(data, np.uint8))
        self.assertLess(export.cv_check(net, folded, export.SHAPES["det"][0][:2]), export.TOL)


if __name__ == "__main__":
    unittest.main()
