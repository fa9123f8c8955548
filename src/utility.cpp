// Static helpers of the pipeline: dictionary reading, line cropping,
// ordering, channel conversion, diagnostic printing, path helpers and the
// result visualisation image.
#include "utility.h"
#include "utility_internal.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <climits>
#include <cmath>
#include <numeric>

#include <opencv2/freetype.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace OCR {

namespace {

// Font of the visualisation image; where it is missing, the first existing
// of the other CJK fonts Debian ships takes its place.
const char* const kVisualizeFonts[] = {
    "/usr/share/fonts/truetype/arphic/uming.ttc",
    "/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc",
    "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc",
};

std::string pick_font(const char* const* fonts, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        struct stat st;
        if (stat(fonts[i], &st) == 0) return fonts[i];
    }
    // None exists: the first one is named, so the font loading reports it.
    return fonts[0];
}

bool is_separator(char c) { return c == '/' || c == '\\'; }

// The image library warps images only below 32767 pixels a side. Larger
// crops (a text line across a very long image) are warped tile by tile:
// each tile of the output reads only the part of the source its corners
// map to, grown by a margin that covers the bilinear footprint, so every
// output pixel gets the value the whole-image warp would give it.
constexpr int kWarpLimit = SHRT_MAX;
constexpr int kWarpTile = 4096;
constexpr int kWarpMargin = 4;

void warp_perspective_tiled(const cv::Mat& src, cv::Mat& dst, const cv::Mat& M, cv::Size dsize) {
    dst.create(dsize, src.type());
    dst.setTo(cv::Scalar::all(0));
    const cv::Mat M_inv = M.inv();
    const cv::Rect src_rect(0, 0, src.cols, src.rows);
    for (int y0 = 0; y0 < dsize.height; y0 += kWarpTile) {
        for (int x0 = 0; x0 < dsize.width; x0 += kWarpTile) {
            const int tw = std::min(kWarpTile, dsize.width - x0);
            const int th = std::min(kWarpTile, dsize.height - y0);
            std::vector<cv::Point2f> corners = {
                cv::Point2f(static_cast<float>(x0), static_cast<float>(y0)),
                cv::Point2f(static_cast<float>(x0 + tw), static_cast<float>(y0)),
                cv::Point2f(static_cast<float>(x0 + tw), static_cast<float>(y0 + th)),
                cv::Point2f(static_cast<float>(x0), static_cast<float>(y0 + th))};
            std::vector<cv::Point2f> src_pts;
            cv::perspectiveTransform(corners, src_pts, M_inv);
            float l = src_pts[0].x, r = src_pts[0].x, t = src_pts[0].y, b = src_pts[0].y;
            for (const cv::Point2f& p : src_pts) {
                l = std::min(l, p.x);
                r = std::max(r, p.x);
                t = std::min(t, p.y);
                b = std::max(b, p.y);
            }
            if (!(std::isfinite(l) && std::isfinite(r) && std::isfinite(t) && std::isfinite(b))) continue;
            const double lo_x = std::max(static_cast<double>(l) - kWarpMargin, 0.0);
            const double lo_y = std::max(static_cast<double>(t) - kWarpMargin, 0.0);
            const double hi_x = std::min(static_cast<double>(r) + kWarpMargin, static_cast<double>(src.cols));
            const double hi_y = std::min(static_cast<double>(b) + kWarpMargin, static_cast<double>(src.rows));
            if (hi_x <= lo_x || hi_y <= lo_y) continue;  // the tile lies outside the source: border value 0
            cv::Rect roi(static_cast<int>(std::floor(lo_x)), static_cast<int>(std::floor(lo_y)),
                         static_cast<int>(std::ceil(hi_x) - std::floor(lo_x)),
                         static_cast<int>(std::ceil(hi_y) - std::floor(lo_y)));
            roi &= src_rect;
            // A tile that still needs a source wider than the library takes
            // (an extremely skewed box) stays at the border value.
            if (roi.empty() || roi.width >= kWarpLimit || roi.height >= kWarpLimit) continue;
            // Tile transform: source offset by the region's origin, output
            // offset by the tile's.
            cv::Mat shift_src = (cv::Mat_<double>(3, 3) << 1, 0, roi.x, 0, 1, roi.y, 0, 0, 1);
            cv::Mat shift_dst = (cv::Mat_<double>(3, 3) << 1, 0, -x0, 0, 1, -y0, 0, 0, 1);
            cv::Mat M_tile = shift_dst * M * shift_src;
            cv::Mat tile = dst(cv::Rect(x0, y0, tw, th));
            cv::warpPerspective(src(roi), tile, M_tile, tile.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                                cv::Scalar(0));
        }
    }
}

}  // namespace

std::vector<std::string> Utility::ReadDict(const std::string& path) {
    std::ifstream in(path);
    if (in.fail()) {
        std::cout << "no such label file: " << path << ", exit the program..." << std::endl;
        exit(1);
    }
    std::vector<std::string> labels;
    std::string line;
    while (std::getline(in, line)) labels.push_back(line);
    labels.insert(labels.begin(), std::string("#"));  // blank class of the CTC decoder
    labels.push_back(" ");
    return labels;
}

void Utility::VisualizeBboxes(const cv::Mat& srcimg, const std::vector<OCRPredictResult>& ocr_result,
                              const std::string& save_path) {
    cv::Mat img_vis;
    srcimg.copyTo(img_vis);
    const std::string font = pick_font(kVisualizeFonts, sizeof(kVisualizeFonts) / sizeof(kVisualizeFonts[0]));
    const cv::Scalar red(0, 0, 255);
    for (const OCRPredictResult& res : ocr_result) {
        cv::Point rook_points[4];
        // The polygon has four corners; points after the fourth are ignored,
        // missing ones stay at (0, 0).
        for (size_t m = 0; m < res.box.size() && m < 4; ++m) {
            const std::vector<int>& p = res.box[m];
            rook_points[m] = cv::Point(p.size() > 0 ? p[0] : 0, p.size() > 1 ? p[1] : 0);
        }
        const cv::Point* ppt[1] = {rook_points};
        int npt[] = {4};
        cv::polylines(img_vis, ppt, npt, 1, true, red, 2, 8, 0);

        cv::Ptr<cv::freetype::FreeType2> ft2 = cv::freetype::createFreeType2();
        ft2->loadFontData(font, 0);
        if (!res.text.empty()) ft2->putText(img_vis, res.text, rook_points[0], 20, red, 1, 8, false);
    }
    cv::imwrite(save_path, img_vis);
    std::cout << "The detection visualized image saved in " << save_path << std::endl;
}

cv::Mat detail::warp_line(const cv::Mat& srcimage, std::vector<std::vector<int>> box) {
    // Four corners of two coordinates each are read; a box without them
    // gives no crop.
    if (box.size() < 4) return cv::Mat(0, 0, srcimage.type());
    for (size_t i = 0; i < 4; ++i) {
        if (box[i].size() < 2) return cv::Mat(0, 0, srcimage.type());
    }
    std::vector<int> x_collect = {box[0][0], box[1][0], box[2][0], box[3][0]};
    std::vector<int> y_collect = {box[0][1], box[1][1], box[2][1], box[3][1]};
    int left = *std::min_element(x_collect.begin(), x_collect.end());
    int right = *std::max_element(x_collect.begin(), x_collect.end());
    int top = *std::min_element(y_collect.begin(), y_collect.end());
    int bottom = *std::max_element(y_collect.begin(), y_collect.end());

    // Output size: the top edge and the left edge, truncated.
    int img_crop_width = static_cast<int>(
        std::sqrt(std::pow(box[0][0] - box[1][0], 2.0) + std::pow(box[0][1] - box[1][1], 2.0)));
    int img_crop_height = static_cast<int>(
        std::sqrt(std::pow(box[0][0] - box[3][0], 2.0) + std::pow(box[0][1] - box[3][1], 2.0)));

    // A box whose corners all lie on one row or one column gives no crop
    // (an empty image of the source's type), even while its top and left
    // edges still measure a length (e.g. a left edge running along the
    // row): there is no pixel to warp from.
    if (right <= left || bottom <= top) return cv::Mat(0, 0, srcimage.type());

    // The region must lie inside the image; the image library reports one
    // that does not.
    cv::Mat img_crop;
    srcimage(cv::Rect(left, top, right - left, bottom - top)).copyTo(img_crop);

    // Nor does an edge shorter than one pixel: the warp would otherwise fall
    // back to the size of its source and hand back an image of the wrong
    // size.
    if (img_crop_width <= 0 || img_crop_height <= 0) return cv::Mat(0, 0, srcimage.type());

    for (size_t i = 0; i < 4; ++i) {
        box[i][0] -= left;
        box[i][1] -= top;
    }

    cv::Point2f pointsf[4];
    for (int i = 0; i < 4; ++i) pointsf[i] = cv::Point2f(static_cast<float>(box[i][0]), static_cast<float>(box[i][1]));
    cv::Point2f pts_std[4];
    pts_std[0] = cv::Point2f(0., 0.);
    pts_std[1] = cv::Point2f(static_cast<float>(img_crop_width), 0.);
    pts_std[2] = cv::Point2f(static_cast<float>(img_crop_width), static_cast<float>(img_crop_height));
    pts_std[3] = cv::Point2f(0.f, static_cast<float>(img_crop_height));

    cv::Mat M = cv::getPerspectiveTransform(pointsf, pts_std);

    cv::Mat dst_img;
    const cv::Size dsize(img_crop_width, img_crop_height);
    if (img_crop.cols >= kWarpLimit || img_crop.rows >= kWarpLimit || dsize.width >= kWarpLimit ||
        dsize.height >= kWarpLimit) {
        warp_perspective_tiled(img_crop, dst_img, M, dsize);
    } else {
        cv::warpPerspective(img_crop, dst_img, M, dsize, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(0));
    }

    return dst_img;
}

bool detail::standing(cv::Size size) {
    return static_cast<float>(size.height) >= static_cast<float>(size.width) * 3.0f;
}

cv::Mat detail::turn_ccw(const cv::Mat& img) {
    // Transposed, then flipped about the horizontal axis: the pixel at row
    // r, column c of an image W columns wide lands at row W - 1 - c, column r.
    cv::Mat turned(img.cols, img.rows, img.type());
    cv::transpose(img, turned);
    cv::flip(turned, turned, 0);
    return turned;
}

cv::Mat Utility::GetRotateCropImage(const cv::Mat& srcimage, std::vector<std::vector<int>> box) {
    cv::Mat dst_img = detail::warp_line(srcimage, std::move(box));
    // A standing line (at least three times higher than wide) is turned by
    // 90 degrees counter-clockwise so that it reads left to right.
    if (!dst_img.empty() && detail::standing(dst_img.size())) return detail::turn_ccw(dst_img);
    return dst_img;
}

std::vector<int> Utility::argsort(const std::vector<float>& array) {
    const int array_len = static_cast<int>(array.size());
    std::vector<int> array_index(array_len, 0);
    std::iota(array_index.begin(), array_index.end(), 0);
    std::sort(array_index.begin(), array_index.end(),
              [&array](int pos1, int pos2) { return array[pos1] < array[pos2]; });
    return array_index;
}

namespace {

// A new three-channel image whose channels all hold 255 - plane (saturated
// for the plane's depth).
cv::Mat inverted_3channels(const cv::Mat& plane) {
    const cv::Mat inv = cv::Scalar(255) - plane;
    const cv::Mat planes[3] = {inv, inv, inv};
    cv::Mat out;
    cv::merge(planes, 3, out);
    return out;
}

}  // namespace

void Utility::get_3channels_img(cv::Mat& img) {
    // An image without pixels has no planes to convert.
    if (img.empty()) return;
    if (img.channels() == 4) {
        cv::Mat alpha;
        cv::extractChannel(img, alpha, 3);
        double alpha_min = 0.0, alpha_max = 0.0;
        cv::minMaxLoc(alpha, &alpha_min, &alpha_max);
        if (alpha_min == alpha_max) {
            // An alpha plane of one value everywhere (an opaque page read
            // with its alpha channel) carries no ink: the colour planes are
            // the image.
            cv::Mat out;
            cv::cvtColor(img, out, cv::COLOR_BGRA2BGR);
            img = out;
        } else {
            // The alpha channel carries the ink: transparent becomes white,
            // opaque black; the colour channels are dropped.
            img = inverted_3channels(alpha);
        }
        return;
    }
    // Grey values inverted into three equal channels.
    if (img.channels() == 1) img = inverted_3channels(img);
}

void Utility::print_result(const std::vector<OCRPredictResult>& ocr_result) {
    for (size_t i = 0; i < ocr_result.size(); ++i) {
        const OCRPredictResult& res = ocr_result[i];
        std::cout << i << "\t";
        if (!res.box.empty()) {
            std::cout << "det boxes: [";
            for (size_t n = 0; n < res.box.size(); ++n) {
                // A coordinate a point lacks prints as 0.
                const std::vector<int>& p = res.box[n];
                std::cout << '[' << (p.size() > 0 ? p[0] : 0) << ',' << (p.size() > 1 ? p[1] : 0) << "]";
                if (n != res.box.size() - 1) std::cout << ',';
            }
            std::cout << "] ";
        }
        if (static_cast<double>(res.score) != -1.0) {
            std::cout << " rec text: " << res.text << std::endl << " rec score: " << res.score << " ";
        }
        if (res.cls_label != -1) {
            std::cout << " cls label: " << res.cls_label << " cls score: " << res.cls_score;
        }
        std::cout << std::endl;
    }
}

void Utility::print_ocr_time(const std::vector<std::vector<double>>& time_info, int img_num, int batch) {}

std::string Utility::basename(const std::string& filename) {
    if (filename.empty()) return "";
    auto last = filename.find_last_of("/\\");
    if (last == std::string::npos) return filename;
    if (last + 1 < filename.size()) return filename.substr(last + 1);

    // The path ends in a separator: take the component before it.
    const size_t m = filename.size() - 1;
    if (m == 0) return filename;
    size_t prev = std::string::npos;
    for (size_t i = m; i-- > 0;) {
        if (is_separator(filename[i])) {
            prev = i;
            break;
        }
    }
    if (prev == std::string::npos) return filename.substr(0, m);
    return filename.substr(prev + 1, m - prev - 1);
}

bool Utility::PathExists(const std::string& path) {
    struct stat buffer;
    return stat(path.c_str(), &buffer) == 0;
}

void Utility::CreateDir(const std::string& path) { mkdir(path.c_str(), 0777); }

}  // namespace OCR
