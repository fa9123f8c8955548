// Box post-processing of the detector's probability map: extraction,
// scoring, expansion, corner ordering and mapping to source pixels.
// Stateless and reentrant: one instance is shared by the threads of batch
// detection.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace OCR {

class PostProcessor {
public:
    // Box expansion.
    void GetContourArea(const std::vector<std::vector<float>>& box, float unclip_ratio, float& distance);
    cv::RotatedRect UnClip(std::vector<std::vector<float>> box, const float& unclip_ratio);

    // Matrix converters.
    float** Mat2Vec(cv::Mat mat);
    std::vector<std::vector<float>> Mat2Vector(cv::Mat mat);

    // Orderings.
    std::vector<std::vector<int>> OrderPointsClockwise(std::vector<std::vector<int>> pts);
    static bool XsortFp32(std::vector<float> a, std::vector<float> b);
    static bool XsortInt(std::vector<int> a, std::vector<int> b);

    // Corners of a rotated rectangle, ordered top-left, top-right,
    // bottom-right, bottom-left; ssid receives the longer side.
    std::vector<std::vector<float>> GetMiniBoxes(cv::RotatedRect box, float& ssid);

    // Scoring.
    float BoxScoreFast(std::vector<std::vector<float>> box_array, cv::Mat pred);
    float PolygonScoreAcc(std::vector<cv::Point> contour, cv::Mat pred);

    // Boxes of one probability map, in map pixels.
    std::vector<std::vector<std::vector<int>>> BoxesFromBitmap(const cv::Mat pred, const cv::Mat bitmap,
                                                               const float& box_thresh,
                                                               const float& det_db_unclip_ratio,
                                                               const bool& det_db_score_mode);

    // Orders, maps to source pixels, clamps and filters by size.
    std::vector<std::vector<std::vector<int>>> FilterTagDetRes(std::vector<std::vector<std::vector<int>>> boxes,
                                                               float ratio_h, float ratio_w, int padding, int rows,
                                                               int cols);

    template <class T>
    T clamp(T x, T min, T max) {
        if (x > max) return max;
        if (x < min) return min;
        return x;
    }
    float clampf(float x, float min, float max) {
        if (x > max) return max;
        if (min > x) return min;
        return x;
    }
    int _min(int a, int b) { return a < b ? a : b; }
    int _max(int a, int b) { return a < b ? b : a; }
};

}  // namespace OCR
