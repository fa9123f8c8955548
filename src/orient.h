// Orientation of pages and lines: which way each cut-out is turned before
// the recogniser reads it. Internal to the library (not installed).
//
// A page may lie on its side (turned 90 or 270 degrees) or stand on its
// head (180 degrees), and single lines may disagree with their page. Two
// signals decide:
// - geometry: when most of an image's lines run closer to vertical than to
//   horizontal, the image lies on its side, and every cut-out of it that is
//   not clearly a line across the page is turned so that its text runs
//   down the image (on an upright page only lines at least three times
//   taller than wide are turned, by 90 degrees counter-clockwise);
// - the recogniser's own confidence: a cut-out and the same cut-out turned
//   by 180 degrees have the same number of output steps, so the
//   log-probabilities of their greedy paths compare directly. A few long
//   lines read both ways decide whether the whole image is turned by 180
//   degrees; doubtful lines are then also read turned, and a line keeps
//   the turned reading when it is clearly better.
// Pages whose lines read confidently are taken as the right way up without
// reading their long lines twice, and doubtful lines are read twice within
// a small share of the recognition work, so that an upright page costs
// little more than without the step.
#pragma once

#include <cmath>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace OCR {

class TextRec;

namespace detail {

// One reading of a line's cut-out.
struct LineReading {
    std::string text;
    // Mean maximum probability of the kept steps (the record's score); 0
    // when nothing was read.
    float score = 0.0f;
    // Log-probability of the greedy path (ctc_path_logprob); NaN while the
    // cut-out has not been read this way.
    float path = NAN;
    bool read() const { return !std::isnan(path); }
};

// The axes, in the image, of a box's cut-out: u runs from its first corner
// to its second (the cut-out's x axis), v from its first to its fourth (its
// y axis). Which corner comes first depends on the box's angle, so a line
// running down the image may be cut out wide or tall, and read downwards
// or upwards.
struct CutAxes {
    cv::Point2f u, v;
};
CutAxes cut_axes(const std::vector<std::vector<int>>& box);

// True when the image's lines run top to bottom: of the boxes whose long
// side is at least 1.5 times their short side, more than two thirds have
// it closer to vertical than to horizontal.
bool page_on_its_side(const std::vector<CutAxes>& boxes);

// Counter-clockwise quarter turns (0 to 3) of a cut-out on a page on its
// side, after which its text runs along the box's long side and down the
// image. A box at least three times longer than high that lies across the
// page is a line across it: its text runs left to right. A box whose sides
// differ less than 1.5 times reads along whichever side runs most nearly
// down the image.
int side_page_turns(const CutAxes& box);

// True when an image's lines read so confidently in their first
// orientation that its page is taken as the right way up: at least 3 lines
// and an (upper) median score of at least 0.93. Pages read upside down
// never came near that in the measurements (medians of at most 0.84).
bool page_reads_clearly(const std::vector<float>& scores);

// The evidence of the long lines read both ways on whether their page is
// upside down. Each line adds the path log-probability of its turned
// reading less that of its first reading, provided one of the two reached
// a score of 0.8 (lines read poorly both ways, such as rules or noise, say
// nothing).
class PageVote {
public:
    void add(const LineReading& first, const LineReading& turned);
    // Enough evidence either way to stop reading further lines (8 nats).
    bool settled() const;
    // The page reads clearly better turned (by at least 3 nats).
    bool turn() const;
    double evidence() const { return evidence_; }

private:
    double evidence_ = 0.0;
};

// True when `other` is clearly the better reading of a line than `kept`:
// a path at least 2 nats more likely and a score of at least 0.9.
bool other_reading_wins(const LineReading& kept, const LineReading& other);

// The orientation step of a request. crops[i] is line i cut out in its
// first orientation, image_of[i] its image, readings[i] its reading in that
// orientation (path included). For each image, decides whether its lines
// are turned by 180 degrees, page and lines as described above, reads the
// turned cut-outs it needs (their recognition times are added into
// `times`) and replaces readings[i] by the turned reading where that one
// is chosen. Returns 0, or -1 when a recognition pass failed (the readings
// are then not to be used).
int orient_lines(TextRec& rec, const std::vector<cv::Mat>& crops, const std::vector<int>& image_of,
                 std::vector<LineReading>& readings, std::vector<double>& times);

}  // namespace detail
}  // namespace OCR
