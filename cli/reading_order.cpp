// Reading order: every line is measured in the page's own frame (u along the
// dominant line direction, v across it, growing downwards); the lines are
// then split into columns at wide empty bands and read row by row.
#include "reading_order.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <utility>

namespace varnel_cli {
namespace {

constexpr double kPi = 3.14159265358979323846;

// One line's extent in the page frame.
struct Extent {
    double u0, u1;  // along the lines
    double v0, v1;  // across them
    size_t index;   // position in the caller's list

    double height() const { return v1 - v0; }
    double centre() const { return 0.5 * (v0 + v1); }
};

using Group = std::vector<Extent>;

// The direction of the page's lines, in radians from the x axis: the median
// of the lines' own directions (top and bottom edge together), each weighted
// by its length. Lines taller than wide and directions steeper than 45
// degrees do not count, since the page is upright; with none left the page
// is taken as level.
double dominant_angle(const std::vector<std::vector<cv::Point>>& lines) {
    std::vector<std::pair<double, double>> angles;  // (angle, weight)
    for (const std::vector<cv::Point>& pts : lines) {
        if (pts.size() < 4) continue;
        const cv::Point2d along = cv::Point2d(pts[1] - pts[0]) + cv::Point2d(pts[2] - pts[3]);
        const double length = std::hypot(along.x, along.y);
        const double across = cv::norm(pts[3] - pts[0]) + cv::norm(pts[2] - pts[1]);
        if (length <= 0.0 || length < across) continue;
        const double angle = std::atan2(along.y, along.x);
        if (std::fabs(angle) > kPi / 4) continue;
        angles.push_back({angle, length});
    }
    if (angles.empty()) return 0.0;
    std::sort(angles.begin(), angles.end());
    double total = 0.0;
    for (const auto& a : angles) total += a.second;
    double sum = 0.0;
    for (const auto& a : angles) {
        sum += a.second;
        if (sum >= 0.5 * total) return a.first;
    }
    return angles.back().first;
}

bool share_row(const Extent& a, const Extent& b) {
    const double overlap = std::min(a.v1, b.v1) - std::max(a.v0, b.v0);
    return overlap > 0.5 * std::min(a.height(), b.height());
}

// Groups `items` into rows (lines sharing a row, taken transitively), each
// row sorted left to right; rows sorted top to bottom by their mean centre.
std::vector<Group> rows_of(const Group& items) {
    const size_t n = items.size();
    std::vector<size_t> parent(n);
    std::iota(parent.begin(), parent.end(), size_t{0});
    auto root = [&](size_t i) {
        while (parent[i] != i) i = parent[i] = parent[parent[i]];
        return i;
    };
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = i + 1; j < n; ++j) {
            if (share_row(items[i], items[j])) parent[root(i)] = root(j);
        }
    }
    std::vector<Group> rows;
    std::vector<size_t> row_of_root(n, n);
    for (size_t i = 0; i < n; ++i) {
        const size_t r = root(i);
        if (row_of_root[r] == n) {
            row_of_root[r] = rows.size();
            rows.emplace_back();
        }
        rows[row_of_root[r]].push_back(items[i]);
    }
    auto mean_centre = [](const Group& row) {
        double sum = 0.0;
        for (const Extent& e : row) sum += e.centre();
        return sum / static_cast<double>(row.size());
    };
    for (Group& row : rows) {
        std::sort(row.begin(), row.end(), [](const Extent& a, const Extent& b) {
            if (a.u0 != b.u0) return a.u0 < b.u0;
            if (a.v0 != b.v0) return a.v0 < b.v0;
            return a.index < b.index;
        });
    }
    std::stable_sort(rows.begin(), rows.end(), [&](const Group& a, const Group& b) {
        const double ca = mean_centre(a), cb = mean_centre(b);
        if (ca != cb) return ca < cb;
        return a.front().u0 < b.front().u0;
    });
    return rows;
}

// Splits `items` at the empty vertical bands at least `band` wide between
// their horizontal extents, left to right; one group when there is none.
std::vector<Group> columns_of(Group items, double band) {
    std::sort(items.begin(), items.end(), [](const Extent& a, const Extent& b) { return a.u0 < b.u0; });
    std::vector<Group> columns(1);
    double right = -std::numeric_limits<double>::infinity();
    for (const Extent& e : items) {
        if (!columns.back().empty() && e.u0 - right >= band) columns.emplace_back();
        columns.back().push_back(e);
        right = std::max(right, e.u1);
    }
    return columns;
}

// Splits `items` into slabs: runs of rows, top to bottom, with an empty
// horizontal gap between one slab and the next. A row's extent here is the
// middle half of its lines' heights, since the boxes of neighbouring rows
// often touch.
std::vector<Group> slabs_of(const Group& items) {
    std::vector<Group> slabs;
    double bottom = -std::numeric_limits<double>::infinity();
    std::vector<Group> rows = rows_of(items);
    std::vector<std::pair<double, double>> cores;  // per row: top, bottom
    for (const Group& row : rows) {
        double top = std::numeric_limits<double>::infinity();
        double bot = -std::numeric_limits<double>::infinity();
        for (const Extent& e : row) {
            top = std::min(top, e.v0 + 0.25 * e.height());
            bot = std::max(bot, e.v1 - 0.25 * e.height());
        }
        cores.push_back({top, bot});
    }
    std::vector<size_t> by_top(rows.size());
    std::iota(by_top.begin(), by_top.end(), size_t{0});
    std::stable_sort(by_top.begin(), by_top.end(), [&](size_t a, size_t b) { return cores[a].first < cores[b].first; });
    for (size_t r : by_top) {
        if (slabs.empty() || cores[r].first >= bottom) slabs.emplace_back();
        slabs.back().insert(slabs.back().end(), rows[r].begin(), rows[r].end());
        bottom = std::max(bottom, cores[r].second);
    }
    return slabs;
}

void append_rows(const Group& items, std::vector<size_t>& out) {
    for (const Group& row : rows_of(items)) {
        for (const Extent& e : row) out.push_back(e.index);
    }
}

// Appends the indices of `items` to `out` in reading order. With no column
// band over the whole group, runs of slabs that share a band are gathered
// into blocks (a line across the band, such as a heading, ends a block) and
// each block is read in turn.
void order_block(const Group& items, double band, std::vector<size_t>& out) {
    if (items.size() <= 1) {
        for (const Extent& e : items) out.push_back(e.index);
        return;
    }
    const std::vector<Group> columns = columns_of(items, band);
    if (columns.size() > 1) {
        for (const Group& column : columns) order_block(column, band, out);
        return;
    }
    const std::vector<Group> slabs = slabs_of(items);
    if (slabs.size() == 1) {
        append_rows(items, out);
        return;
    }
    // A block is a strict part of `items` (the whole group has no band), so
    // reading it recursively comes to an end.
    auto read_block = [&](const Group& block) {
        if (block.size() < items.size()) {
            order_block(block, band, out);
        } else {
            append_rows(block, out);
        }
    };
    Group block = slabs[0];
    for (size_t s = 1; s < slabs.size(); ++s) {
        Group joined = block;
        joined.insert(joined.end(), slabs[s].begin(), slabs[s].end());
        if (columns_of(joined, band).size() > 1) {
            block.swap(joined);
            continue;
        }
        read_block(block);
        block = slabs[s];
    }
    read_block(block);
}

}  // namespace

std::vector<size_t> reading_order(const std::vector<std::vector<cv::Point>>& lines) {
    const double angle = dominant_angle(lines);
    const double c = std::cos(angle), s = std::sin(angle);
    Group items;
    std::vector<size_t> without_points;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].empty()) {
            without_points.push_back(i);
            continue;
        }
        Extent e{std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                 std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(), i};
        for (const cv::Point& p : lines[i]) {
            const double u = p.x * c + p.y * s;
            const double v = -p.x * s + p.y * c;
            e.u0 = std::min(e.u0, u);
            e.u1 = std::max(e.u1, u);
            e.v0 = std::min(e.v0, v);
            e.v1 = std::max(e.v1, v);
        }
        items.push_back(e);
    }

    // The band that separates columns: two median line heights. Lines with no
    // height at all give no measure, and then no columns.
    double band = std::numeric_limits<double>::infinity();
    if (!items.empty()) {
        std::vector<double> heights;
        for (const Extent& e : items) heights.push_back(e.height());
        std::nth_element(heights.begin(), heights.begin() + heights.size() / 2, heights.end());
        const double median = heights[heights.size() / 2];
        if (median > 0.0) band = 2.0 * median;
    }

    std::vector<size_t> order;
    order.reserve(lines.size());
    order_block(items, band, order);
    order.insert(order.end(), without_points.begin(), without_points.end());
    return order;
}

}  // namespace varnel_cli
