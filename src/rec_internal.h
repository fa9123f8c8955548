// Recognition steps reachable from the library's own tests. Internal to the
// library (not installed).
#pragma once

#include <string>
#include <vector>

namespace OCR {
namespace detail {

// Greedy CTC decoding of one sequence of `steps` x `classes` scores, the
// scores of a step consecutive: per step the first maximal class; blanks
// (class 0) are dropped, a class equal to the previous step's is a repeat,
// and a class without an entry in `labels` is never read. The kept steps'
// labels are appended to `text`; the result is the mean of their maxima,
// NaN when no step was kept.
float ctc_decode(const float* scores, int steps, int classes, const std::vector<std::string>& labels,
                 std::string& text);

}  // namespace detail
}  // namespace OCR
