// Box post-processing of the detector's probability map.
#include "postprocess_op.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include <opencv2/imgproc.hpp>
#include <polyclipping/clipper.hpp>

namespace OCR {

namespace {

// Rectangle returned when the offsetting yields nothing usable; the box
// extraction drops it by its size test.
cv::RotatedRect unit_rect_at_origin() { return cv::RotatedRect(cv::Point2f(0.f, 0.f), cv::Size2f(1.f, 1.f), 0.f); }

// True when `box` holds at least four points of at least two coordinates
// each: what the four-corner operations read.
template <class T>
bool has_four_corners(const std::vector<std::vector<T>>& box) {
    if (box.size() < 4) {
        return false;
    }
    for (const auto& pt : box) {
        if (pt.size() < 2) {
            return false;
        }
    }
    return true;
}

// Truncation towards zero, defined for every float: a value beyond the int
// range gives the nearest int bound, NaN gives 0.
int trunc_to_int(float v) {
    if (std::isnan(v)) {
        return 0;
    }
    if (v >= 2147483648.0f) {
        return INT_MAX;
    }
    if (v <= -2147483648.0f) {
        return INT_MIN;
    }
    return static_cast<int>(v);
}

// A polygon vertex for a mask whose column or row 0 lies at `origin`: the
// coordinate truncated towards zero, then shifted. Kept within +-2^30, so
// that neither the shift nor the rasteriser can overflow; a vertex that far
// lies outside any map, whatever its exact value.
int vertex_in_mask(float v, int origin) {
    constexpr long long kFar = 1LL << 30;
    const long long d = static_cast<long long>(trunc_to_int(v)) - origin;
    return static_cast<int>(std::max(-kFar, std::min(kFar, d)));
}

// A corner coordinate mapped back to the source image: divided by the
// resize ratio in single precision, truncated towards zero, shifted by the
// border and clamped to [0, last] (the lower bound first). Worked in double,
// so that a ratio near zero (a huge quotient) or 0 / 0 cannot overflow.
int to_source(int v, float ratio, int padding, int last) {
    double t = std::trunc(static_cast<double>(float(v) / ratio)) - padding;
    if (!(t > 0.0)) {
        t = 0.0;  // NaN included
    }
    if (t > last) {
        t = last;
    }
    return static_cast<int>(t);
}

}  // namespace

void PostProcessor::GetContourArea(const std::vector<std::vector<float>>& box, float unclip_ratio, float& distance) {
    if (!has_four_corners(box)) {
        return;
    }
    const int pts_num = 4;
    float area = 0.0f;
    float dist = 0.0f;
    for (int i = 0; i < pts_num; i++) {
        int j = (i + 1) % pts_num;
        area += box[i][0] * box[j][1] - box[i][1] * box[j][0];
        dist += sqrtf((box[i][0] - box[j][0]) * (box[i][0] - box[j][0]) +
                      (box[i][1] - box[j][1]) * (box[i][1] - box[j][1]));
    }
    area = std::fabs(float(area / 2.0));
    distance = area * unclip_ratio / dist;
}

cv::RotatedRect PostProcessor::UnClip(std::vector<std::vector<float>> box, const float& unclip_ratio) {
    if (!has_four_corners(box)) {
        return unit_rect_at_origin();
    }
    float distance = 1.0f;
    GetContourArea(box, unclip_ratio, distance);
    // A box without perimeter (all corners equal) gives 0 / 0: there is
    // nothing to grow.
    if (!std::isfinite(distance)) {
        return unit_rect_at_origin();
    }

    ClipperLib::ClipperOffset offset(2.0, 0.25);
    ClipperLib::Path p;
    for (int k = 0; k < 4; k++) {
        // Truncation towards zero, then widened to Clipper's coordinates.
        p << ClipperLib::IntPoint(static_cast<ClipperLib::cInt>(trunc_to_int(box[k][0])),
                                  static_cast<ClipperLib::cInt>(trunc_to_int(box[k][1])));
    }
    offset.AddPath(p, ClipperLib::jtRound, ClipperLib::etClosedPolygon);

    ClipperLib::Paths soln;
    offset.Execute(soln, static_cast<double>(distance));

    std::vector<cv::Point2f> points;
    for (size_t j = 0; j < soln.size(); j++) {
        for (size_t i = 0; i < soln[j].size(); i++) {
            points.emplace_back(static_cast<float>(soln[j][i].X), static_cast<float>(soln[j][i].Y));
        }
    }
    if (points.empty()) {
        return unit_rect_at_origin();
    }
    return cv::minAreaRect(points);
}

float** PostProcessor::Mat2Vec(cv::Mat mat) {
    CV_Assert(mat.empty() || (mat.dims <= 2 && mat.type() == CV_32FC1));
    const int rows = std::max(mat.rows, 0);
    const int cols = std::max(mat.cols, 0);
    auto** array = new float*[rows]();
    try {
        for (int i = 0; i < rows; ++i) {
            array[i] = new float[cols];
        }
    } catch (...) {
        // Rows not reached are null: release what was made.
        for (int i = 0; i < rows; ++i) {
            delete[] array[i];
        }
        delete[] array;
        throw;
    }
    for (int i = 0; i < rows; ++i) {
        for (int j = 0; j < cols; ++j) {
            array[i][j] = mat.at<float>(i, j);
        }
    }
    return array;
}

std::vector<std::vector<float>> PostProcessor::Mat2Vector(cv::Mat mat) {
    CV_Assert(mat.empty() || (mat.dims <= 2 && mat.type() == CV_32FC1));
    std::vector<std::vector<float>> img_vec;
    img_vec.reserve(static_cast<size_t>(mat.rows));
    for (int i = 0; i < mat.rows; ++i) {
        std::vector<float> tmp;
        tmp.reserve(static_cast<size_t>(mat.cols));
        for (int j = 0; j < mat.cols; ++j) {
            tmp.push_back(mat.at<float>(i, j));
        }
        img_vec.push_back(std::move(tmp));
    }
    return img_vec;
}

std::vector<std::vector<int>> PostProcessor::OrderPointsClockwise(std::vector<std::vector<int>> pts) {
    if (!has_four_corners(pts)) {
        return pts;
    }
    std::vector<std::vector<int>> box = pts;
    std::stable_sort(box.begin(), box.end(), XsortInt);

    std::vector<std::vector<int>> leftmost = {box[0], box[1]};
    std::vector<std::vector<int>> rightmost = {box[2], box[3]};

    if (leftmost[0][1] > leftmost[1][1]) {
        std::swap(leftmost[0], leftmost[1]);
    }
    if (rightmost[0][1] > rightmost[1][1]) {
        std::swap(rightmost[0], rightmost[1]);
    }

    return {leftmost[0], rightmost[0], rightmost[1], leftmost[1]};
}

bool PostProcessor::XsortFp32(std::vector<float> a, std::vector<float> b) { return a[0] < b[0]; }

bool PostProcessor::XsortInt(std::vector<int> a, std::vector<int> b) { return a[0] < b[0]; }

std::vector<std::vector<float>> PostProcessor::GetMiniBoxes(cv::RotatedRect box, float& ssid) {
    ssid = std::max(box.size.width, box.size.height);

    cv::Mat points;
    cv::boxPoints(box, points);

    auto array = Mat2Vector(points);
    std::stable_sort(array.begin(), array.end(), XsortFp32);

    std::vector<float> idx1, idx2, idx3, idx4;
    // On equal y the later point of a pair becomes the upper one.
    if (array[3][1] <= array[2][1]) {
        idx2 = array[3];
        idx3 = array[2];
    } else {
        idx2 = array[2];
        idx3 = array[3];
    }
    if (array[1][1] <= array[0][1]) {
        idx1 = array[1];
        idx4 = array[0];
    } else {
        idx1 = array[0];
        idx4 = array[1];
    }

    return {idx1, idx2, idx3, idx4};
}

float PostProcessor::PolygonScoreAcc(std::vector<cv::Point> contour, cv::Mat pred) {
    int width = pred.cols;
    int height = pred.rows;
    if (width < 1 || height < 1 || contour.empty()) {
        return 0.0f;
    }
    std::vector<float> box_x;
    std::vector<float> box_y;
    box_x.reserve(contour.size());
    box_y.reserve(contour.size());
    for (const auto& pt : contour) {
        box_x.push_back(static_cast<float>(pt.x));
        box_y.push_back(static_cast<float>(pt.y));
    }

    int xmin = clamp(trunc_to_int(std::floor(*std::min_element(box_x.begin(), box_x.end()))), 0, width - 1);
    int xmax = clamp(trunc_to_int(std::ceil(*std::max_element(box_x.begin(), box_x.end()))), 0, width - 1);
    int ymin = clamp(trunc_to_int(std::floor(*std::min_element(box_y.begin(), box_y.end()))), 0, height - 1);
    int ymax = clamp(trunc_to_int(std::ceil(*std::max_element(box_y.begin(), box_y.end()))), 0, height - 1);

    cv::Mat mask = cv::Mat::zeros(ymax - ymin + 1, xmax - xmin + 1, CV_8UC1);

    std::vector<cv::Point> rook_point(contour.size());
    for (size_t i = 0; i < contour.size(); ++i) {
        rook_point[i] = cv::Point(vertex_in_mask(box_x[i], xmin), vertex_in_mask(box_y[i], ymin));
    }
    const cv::Point* ppt[1] = {rook_point.data()};
    int npt[] = {static_cast<int>(contour.size())};
    cv::fillPoly(mask, ppt, npt, 1, cv::Scalar(1), cv::LINE_8, 0, cv::Point());

    cv::Mat croppedImg;
    pred(cv::Rect(xmin, ymin, xmax - xmin + 1, ymax - ymin + 1)).copyTo(croppedImg);
    return static_cast<float>(cv::mean(croppedImg, mask)[0]);
}

float PostProcessor::BoxScoreFast(std::vector<std::vector<float>> box_array, cv::Mat pred) {
    int width = pred.cols;
    int height = pred.rows;
    // An empty map has no region to average over.
    if (width < 1 || height < 1 || !has_four_corners(box_array)) {
        return 0.0f;
    }

    float box_x[4] = {box_array[0][0], box_array[1][0], box_array[2][0], box_array[3][0]};
    float box_y[4] = {box_array[0][1], box_array[1][1], box_array[2][1], box_array[3][1]};

    // Clamping both ends into the map keeps the region at least 1 x 1.
    int xmin = clamp(trunc_to_int(std::floor(*std::min_element(box_x, box_x + 4))), 0, width - 1);
    int xmax = clamp(trunc_to_int(std::ceil(*std::max_element(box_x, box_x + 4))), 0, width - 1);
    int ymin = clamp(trunc_to_int(std::floor(*std::min_element(box_y, box_y + 4))), 0, height - 1);
    int ymax = clamp(trunc_to_int(std::ceil(*std::max_element(box_y, box_y + 4))), 0, height - 1);

    cv::Mat mask = cv::Mat::zeros(ymax - ymin + 1, xmax - xmin + 1, CV_8UC1);

    cv::Point root_point[4];
    for (int k = 0; k < 4; k++) {
        // Truncation of the float corner before the shift.
        root_point[k] = cv::Point(vertex_in_mask(box_x[k], xmin), vertex_in_mask(box_y[k], ymin));
    }
    const cv::Point* ppt[1] = {root_point};
    int npt[] = {4};
    cv::fillPoly(mask, ppt, npt, 1, cv::Scalar(1), cv::LINE_8, 0, cv::Point());

    cv::Mat croppedImg;
    pred(cv::Rect(xmin, ymin, xmax - xmin + 1, ymax - ymin + 1)).copyTo(croppedImg);
    return static_cast<float>(cv::mean(croppedImg, mask)[0]);
}

std::vector<std::vector<std::vector<int>>> PostProcessor::BoxesFromBitmap(const cv::Mat pred, const cv::Mat bitmap,
                                                                          const float& box_thresh,
                                                                          const float& det_db_unclip_ratio,
                                                                          const bool& det_db_score_mode) {
    const int min_size = 3;
    const int max_candidates = 1000;

    std::vector<std::vector<std::vector<int>>> boxes;
    if (bitmap.empty() || pred.empty()) {
        return boxes;
    }

    int width = bitmap.cols;
    int height = bitmap.rows;

    std::vector<std::vector<cv::Point>> contours;
    std::vector<cv::Vec4i> hierarchy;
    cv::findContours(bitmap, contours, hierarchy, cv::RETR_LIST, cv::CHAIN_APPROX_SIMPLE, cv::Point(0, 0));

    // Bounds the work on noisy maps.
    const int num_contours =
        contours.size() >= static_cast<size_t>(max_candidates) ? max_candidates : static_cast<int>(contours.size());

    for (int i = 0; i < num_contours; i++) {
        if (contours[i].size() <= 2) {
            continue;
        }
        float ssid = 0.0f;
        cv::RotatedRect box = cv::minAreaRect(contours[i]);
        auto array = GetMiniBoxes(box, ssid);
        auto box_for_unclip = array;
        if (ssid < min_size) {
            continue;
        }

        float score;
        if (det_db_score_mode) {
            score = PolygonScoreAcc(contours[i], pred);
        } else {
            score = BoxScoreFast(array, pred);
        }
        if (score < box_thresh) {
            continue;
        }

        cv::RotatedRect points = UnClip(box_for_unclip, det_db_unclip_ratio);
        if (static_cast<double>(points.size.height) < 1.001 && static_cast<double>(points.size.width) < 1.001) {
            continue;
        }

        cv::RotatedRect clipbox = points;
        auto cliparray = GetMiniBoxes(clipbox, ssid);
        if (ssid < min_size + 2) {
            continue;
        }

        int dest_width = pred.cols;
        int dest_height = pred.rows;
        std::vector<std::vector<int>> intcliparray;
        intcliparray.reserve(4);
        for (int num_pt = 0; num_pt < 4; num_pt++) {
            std::vector<int> a{
                trunc_to_int(
                    clampf(roundf(cliparray[num_pt][0] / float(width) * float(dest_width)), 0.0f, float(dest_width))),
                trunc_to_int(clampf(roundf(cliparray[num_pt][1] / float(height) * float(dest_height)), 0.0f,
                                    float(dest_height)))};
            intcliparray.push_back(std::move(a));
        }
        boxes.push_back(std::move(intcliparray));
    }
    return boxes;
}

std::vector<std::vector<std::vector<int>>> PostProcessor::FilterTagDetRes(
    std::vector<std::vector<std::vector<int>>> boxes, float ratio_h, float ratio_w, int padding, int rows, int cols) {
    int oriimg_h = rows;
    int oriimg_w = cols;

    // Only well-formed boxes (four points of at least two coordinates) are
    // ordered and mapped; anything else is dropped instead of being read
    // out of bounds.
    std::vector<std::vector<std::vector<int>>> well_formed;
    well_formed.reserve(boxes.size());
    for (auto& box : boxes) {
        if (box.size() == 4 && has_four_corners(box)) {
            well_formed.push_back(std::move(box));
        }
    }

    for (size_t n = 0; n < well_formed.size(); n++) {
        well_formed[n] = OrderPointsClockwise(well_formed[n]);
        for (size_t m = 0; m < well_formed[n].size(); m++) {
            std::vector<int>& pt = well_formed[n][m];
            pt[0] = to_source(pt[0], ratio_w, padding, oriimg_w - 1);
            pt[1] = to_source(pt[1], ratio_h, padding, oriimg_h - 1);
        }
    }

    std::vector<std::vector<std::vector<int>>> root_points;
    for (size_t n = 0; n < well_formed.size(); n++) {
        const auto& b = well_formed[n];
        double dx01 = double(b[0][0] - b[1][0]);
        double dy01 = double(b[0][1] - b[1][1]);
        double dx03 = double(b[0][0] - b[3][0]);
        double dy03 = double(b[0][1] - b[3][1]);
        int rect_width = int(std::sqrt(dx01 * dx01 + dy01 * dy01));
        int rect_height = int(std::sqrt(dx03 * dx03 + dy03 * dy03));
        if (rect_width <= 4 || rect_height <= 4) {
            continue;
        }
        root_points.push_back(b);
    }
    return root_points;
}

}  // namespace OCR
