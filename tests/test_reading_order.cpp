// The command-line reader's reading order on laid-out boxes: rows, columns,
// headings across columns, a skewed page, and degenerate input.
#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "reading_order.h"

namespace {

using Box = std::vector<cv::Point>;
using Order = std::vector<size_t>;
using varnel_cli::reading_order;

// An axis-aligned line box, corners from the top-left clockwise.
Box box(int x, int y, int w, int h) { return {{x, y}, {x + w, y}, {x + w, y + h}, {x, y + h}}; }

// `b` turned by `degrees` (clockwise on the page, y growing downwards)
// around `centre`.
Box turned(const Box& b, double degrees, cv::Point2d centre) {
    const double a = degrees * 3.14159265358979323846 / 180.0;
    Box out;
    for (const cv::Point& p : b) {
        const double dx = p.x - centre.x, dy = p.y - centre.y;
        out.push_back(cv::Point(static_cast<int>(std::lround(centre.x + dx * std::cos(a) - dy * std::sin(a))),
                                static_cast<int>(std::lround(centre.y + dx * std::sin(a) + dy * std::cos(a)))));
    }
    return out;
}

// The boxes listed in `layout` order, handed over shuffled; the order read
// back, mapped to layout positions.
Order read_shuffled(const std::vector<Box>& layout, unsigned seed) {
    Order perm(layout.size());
    std::iota(perm.begin(), perm.end(), size_t{0});
    std::mt19937 rng(seed);
    std::shuffle(perm.begin(), perm.end(), rng);
    std::vector<Box> given;
    for (size_t i : perm) given.push_back(layout[i]);
    Order out;
    for (size_t i : reading_order(given)) out.push_back(perm[i]);
    return out;
}

Order iota_order(size_t n) {
    Order o(n);
    std::iota(o.begin(), o.end(), size_t{0});
    return o;
}

TEST(ReadingOrder, EmptyOneAndDegenerateInput) {
    EXPECT_TRUE(reading_order({}).empty());
    EXPECT_EQ(reading_order({box(10, 10, 100, 30)}), Order({0}));
    // A record without corners keeps its place after the others.
    EXPECT_EQ(reading_order({Box(), box(10, 60, 100, 30), box(10, 10, 100, 30)}), Order({2, 1, 0}));
    // Boxes of no height give no measure for a column band: read as rows.
    const std::vector<Box> flat = {box(500, 10, 100, 0), box(10, 10, 100, 0), box(10, 50, 100, 0)};
    EXPECT_EQ(reading_order(flat), Order({1, 0, 2}));
}

TEST(ReadingOrder, OneColumnTopToBottomWhateverTheTraceOrder) {
    // The detector traces a page bottom first.
    std::vector<Box> page;
    for (int i = 11; i >= 0; --i) page.push_back(box(75, 54 + 70 * i, 300 + 20 * (i % 3), 40));
    Order expected(page.size());
    for (size_t i = 0; i < page.size(); ++i) expected[i] = page.size() - 1 - i;
    EXPECT_EQ(reading_order(page), expected);
}

TEST(ReadingOrder, LinesOfOneRowLeftToRight) {
    // Uneven heights and tops, all overlapping by more than half.
    const std::vector<Box> row = {box(20, 100, 150, 40), box(260, 108, 90, 30), box(420, 95, 200, 48),
                                  box(700, 104, 60, 34)};
    for (unsigned seed = 0; seed < 5; ++seed) EXPECT_EQ(read_shuffled(row, seed), iota_order(4));

    // The row test: more than half of the smaller height. Overlapping by
    // exactly half, the lower line is a row of its own even though it is
    // further left.
    // (The lines overlap sideways too, so that no column band parts them.)
    EXPECT_EQ(reading_order({box(50, 0, 300, 40), box(10, 20, 300, 40)}), Order({0, 1}));
    EXPECT_EQ(reading_order({box(50, 0, 300, 40), box(10, 19, 300, 40)}), Order({1, 0}));
    // The smaller height counts: a small line overlapping a tall one by more
    // than its own half shares its row.
    EXPECT_EQ(reading_order({box(100, 0, 300, 100), box(10, 85, 300, 20)}), Order({1, 0}));
    EXPECT_EQ(reading_order({box(100, 0, 300, 100), box(10, 91, 300, 20)}), Order({0, 1}));
}

TEST(ReadingOrder, ColumnsReadOneAfterTheOther) {
    // Two columns of four aligned rows, 30 px high, 150 px apart.
    std::vector<Box> two;
    for (int col = 0; col < 2; ++col) {
        for (int r = 0; r < 4; ++r) two.push_back(box(50 + col * 550, 100 + r * 45, 400, 30));
    }
    for (unsigned seed = 0; seed < 5; ++seed) EXPECT_EQ(read_shuffled(two, seed), iota_order(8));

    // Rows that do not line up across the columns, and a shorter right one.
    std::vector<Box> staggered;
    for (int r = 0; r < 5; ++r) staggered.push_back(box(40, 80 + r * 50, 380, 32));
    for (int r = 0; r < 3; ++r) staggered.push_back(box(600, 100 + r * 50, 380, 32));
    EXPECT_EQ(read_shuffled(staggered, 7), iota_order(8));

    // The band must be two line heights wide: at exactly 60 px (two heights
    // of 30) the columns stand, at 50 px the page is read row by row.
    auto pair_rows = [](int gap) {
        std::vector<Box> page;
        for (int r = 0; r < 3; ++r) {
            page.push_back(box(50, 100 + r * 45, 400, 30));
            page.push_back(box(450 + gap, 100 + r * 45, 400, 30));
        }
        return page;
    };
    EXPECT_EQ(reading_order(pair_rows(60)), Order({0, 2, 4, 1, 3, 5}));
    EXPECT_EQ(reading_order(pair_rows(50)), Order({0, 1, 2, 3, 4, 5}));
}

TEST(ReadingOrder, HeadingAndFooterAcrossTwoColumns) {
    // Layout order: heading, left column, right column, footer, with a
    // second pair of columns below the footer.
    std::vector<Box> page = {box(50, 20, 950, 44)};
    for (int r = 0; r < 3; ++r) page.push_back(box(50, 100 + r * 45, 400, 30));
    for (int r = 0; r < 3; ++r) page.push_back(box(600, 100 + r * 45, 400, 30));
    page.push_back(box(50, 260, 950, 30));
    for (int r = 0; r < 2; ++r) page.push_back(box(50, 320 + r * 45, 300, 30));
    for (int r = 0; r < 2; ++r) page.push_back(box(700, 320 + r * 45, 300, 30));
    for (unsigned seed = 0; seed < 5; ++seed) EXPECT_EQ(read_shuffled(page, seed), iota_order(page.size()));
}

TEST(ReadingOrder, SkewedPageKeepsItsRowsAndColumns) {
    // Rows of two lines 40 px apart (no column band), turned by 8 degrees:
    // across 900 px the right line drops by far more than a line height.
    std::vector<Box> rows;
    for (int r = 0; r < 5; ++r) {
        rows.push_back(box(50, 100 + r * 60, 420, 34));
        rows.push_back(box(510, 100 + r * 60, 420, 34));
    }
    for (double deg : {8.0, -8.0}) {
        std::vector<Box> skewed;
        for (const Box& b : rows) skewed.push_back(turned(b, deg, {500, 250}));
        EXPECT_EQ(read_shuffled(skewed, 3), iota_order(rows.size())) << deg << " degrees";
    }

    // A heading over two columns, turned by 6 degrees.
    std::vector<Box> cols = {box(50, 20, 950, 44)};
    for (int r = 0; r < 6; ++r) cols.push_back(box(50, 100 + r * 45, 400, 30));
    for (int r = 0; r < 6; ++r) cols.push_back(box(600, 100 + r * 45, 400, 30));
    std::vector<Box> skewed;
    for (const Box& b : cols) skewed.push_back(turned(b, 6.0, {500, 250}));
    EXPECT_EQ(read_shuffled(skewed, 11), iota_order(cols.size()));
}

TEST(ReadingOrder, EveryLineComesBackOnce) {
    // Random boxes, also overlapping, tall and skewed ones: the order is a
    // permutation of the input.
    std::mt19937 rng(42);
    std::uniform_int_distribution<int> pos(0, 2000), len(1, 600), high(0, 80), deg(-60, 60);
    for (int round = 0; round < 200; ++round) {
        std::vector<Box> lines;
        const int n = round % 40;
        for (int i = 0; i < n; ++i) {
            Box b = box(pos(rng), pos(rng), len(rng), high(rng));
            if (i % 3 == 0) b = turned(b, deg(rng), {1000, 1000});
            lines.push_back(b);
        }
        Order order = reading_order(lines);
        std::sort(order.begin(), order.end());
        ASSERT_EQ(order, iota_order(lines.size())) << "round " << round;
    }
}

}  // namespace
