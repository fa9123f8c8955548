// Reading order of the text lines of one upright page.
#pragma once

#include <cstddef>
#include <vector>

#include <opencv2/core.hpp>

namespace varnel_cli {

// Returns the indices of `lines` in reading order. Each line is given by its
// corners as the library reports them: top-left, top-right, bottom-right,
// bottom-left (any number of points is accepted; a line without points goes
// last).
//
// The page is assumed upright. Positions are measured along the page's
// dominant line direction, so a skewed page keeps its rows:
// - Lines are read top to bottom, left to right within a row. Two lines share
//   a row when their vertical extents overlap by more than half of the
//   smaller of the two heights.
// - Columns are read one after the other when an empty vertical band at
//   least two line heights wide (the page's median line height) runs the
//   height of the text between them. A line running across the band (a
//   heading above two columns, say) ends the columns: the text above it, the
//   line and the text below it are read in that order.
std::vector<size_t> reading_order(const std::vector<std::vector<cv::Point>>& lines);

}  // namespace varnel_cli
