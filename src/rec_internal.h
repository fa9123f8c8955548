// Recognition steps reachable from the library's own tests. Internal to the
// library (not installed).
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace OCR {

class TextRec;

namespace detail {

// Greedy CTC decoding of one sequence of `steps` x `classes` scores, the
// scores of a step consecutive: per step the first maximal class; blanks
// (class 0) are dropped, a class equal to the previous step's is a repeat,
// and a class without an entry in `labels` is never read. The kept steps'
// labels are appended to `text`; the result is the mean of their maxima,
// NaN when no step was kept.
float ctc_decode(const float* scores, int steps, int classes, const std::vector<std::string>& labels,
                 std::string& text);

// Log-probability of the greedy path through one sequence (the same layout
// as ctc_decode's): the sum over all steps of the log of the step's largest
// score, blanks included, each step's score floored at 1e-30. Two readings
// of one crop in two orientations have the same number of steps, so their
// sums compare directly; the sum is 0 for a sequence without steps.
float ctc_path_logprob(const float* scores, int steps, int classes);

// OCR::TextRec::Model_Infer without its timing line, that also writes each
// decoded crop's greedy-path log-probability into (*path_scores)[i] when
// path_scores is not null, also when the crop decodes to no text (entries
// of crops that were not run stay as the caller filled them).
int recognise(TextRec& rec, const std::vector<cv::Mat>& img_list, std::vector<std::string>& rec_texts,
              std::vector<float>& rec_text_scores, std::vector<float>* path_scores, std::vector<double>& times);

}  // namespace detail
}  // namespace OCR
