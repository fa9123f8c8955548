// Image files for the command-line reader. OpenCV applies a file's EXIF
// orientation only when it converts to colour, and keeps the alpha plane
// only when it does not; so a file with alpha is decoded both ways and its
// unconverted planes are turned the way the colour read came out.
#include "image_input.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace varnel_cli {
namespace {

// The whole file into `bytes`; false with `error` set when it cannot be read.
bool read_file(const std::string& path, std::vector<uchar>& bytes, std::string& error) {
    FILE* fp = fopen(path.c_str(), "rb");
    if (fp == nullptr) {
        error = strerror(errno);
        return false;
    }
    bytes.clear();
    uchar chunk[1 << 16];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, fp)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
    const bool failed = ferror(fp) != 0;
    const int err = errno;
    fclose(fp);
    if (failed) {
        error = strerror(err);
        return false;
    }
    return true;
}

// `raw` (any depth, two or four channels) as 8-bit BGRA; empty for a depth
// with no sound scale to 8 bits.
cv::Mat to_bgra8(const cv::Mat& raw) {
    cv::Mat planes;
    switch (raw.depth()) {
    case CV_8U:
        planes = raw;
        break;
    case CV_16U:
        raw.convertTo(planes, CV_8U, 1.0 / 257.0);
        break;
    case CV_32F:
    case CV_64F:
        raw.convertTo(planes, CV_8U, 255.0);  // saturates outside 0..1
        break;
    default:
        return cv::Mat();
    }
    if (planes.channels() == 4) return planes;
    std::vector<cv::Mat> ga;
    cv::split(planes, ga);
    cv::Mat bgra;
    cv::merge(std::vector<cv::Mat>{ga[0], ga[0], ga[0], ga[1]}, bgra);
    return bgra;
}

// The eight turns and mirrorings an EXIF orientation can ask for: a
// clockwise rotation (-1 for none) followed, or not, by a left-right flip.
struct Orientation {
    int rotate;
    bool flip;
};
const Orientation kOrientations[] = {
    {-1, false}, {-1, true}, {cv::ROTATE_180, false}, {cv::ROTATE_180, true},
    {cv::ROTATE_90_CLOCKWISE, false}, {cv::ROTATE_90_CLOCKWISE, true},
    {cv::ROTATE_90_COUNTERCLOCKWISE, false}, {cv::ROTATE_90_COUNTERCLOCKWISE, true},
};

cv::Mat oriented(const cv::Mat& img, const Orientation& o) {
    cv::Mat out = img;
    if (o.rotate >= 0) cv::rotate(img, out, o.rotate);
    if (o.flip) {
        cv::Mat flipped;
        cv::flip(out, flipped, 1);
        out = flipped;
    }
    return out;
}

// `bgra` turned the way `color` (the same file read as colour, with its
// orientation applied) came out: the turn whose colour planes are closest to
// `color`. When the colour planes cannot tell the turns apart (planes of one
// value everywhere) the first of the closest, the file as stored, is kept.
cv::Mat orient_like(const cv::Mat& bgra, const cv::Mat& color) {
    cv::Mat bgr;
    cv::cvtColor(bgra, bgr, cv::COLOR_BGRA2BGR);
    const Orientation* best = nullptr;
    double best_diff = std::numeric_limits<double>::infinity();
    for (const Orientation& o : kOrientations) {
        const cv::Mat turned = oriented(bgr, o);
        if (turned.size() != color.size()) continue;
        const double diff = cv::norm(turned, color, cv::NORM_L1);
        if (diff < best_diff) {
            best_diff = diff;
            best = &o;
        }
        if (diff == 0.0) break;
    }
    return best == nullptr ? cv::Mat() : oriented(bgra, *best);
}

}  // namespace

bool has_image_extension(const std::string& path) {
    static const char* const kExtensions[] = {"bmp", "dib", "jpg", "jpeg", "jpe", "jp2", "png",
                                              "webp", "pbm", "pgm", "ppm", "pxm", "pnm", "pfm",
                                              "sr", "ras", "tif", "tiff", "exr", "hdr", "pic"};
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
    std::string ext = path.substr(dot + 1);
    for (char& ch : ext) {
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    }
    for (const char* e : kExtensions) {
        if (ext == e) return true;
    }
    return false;
}

cv::Mat read_image(const std::string& path, std::string& error) {
    std::vector<uchar> bytes;
    if (!read_file(path, bytes, error)) return cv::Mat();
    if (bytes.empty()) {
        error = "empty file";
        return cv::Mat();
    }
    try {
        // 8-bit BGR, the EXIF orientation applied, deeper samples scaled.
        cv::Mat color = cv::imdecode(bytes, cv::IMREAD_COLOR);
        if (color.empty()) {
            error = "not an image that can be decoded";
            return cv::Mat();
        }
        const cv::Mat raw = cv::imdecode(bytes, cv::IMREAD_UNCHANGED);
        if (raw.empty() || (raw.channels() != 2 && raw.channels() != 4)) return color;
        const cv::Mat bgra = to_bgra8(raw);
        if (bgra.empty()) return color;
        cv::Mat turned = orient_like(bgra, color);
        return turned.empty() ? color : turned;
    } catch (const cv::Exception& e) {
        error = std::string("decoding failed: ") + e.what();
    } catch (const std::bad_alloc&) {
        error = "out of memory while decoding";
    }
    return cv::Mat();
}

bool rotate_clockwise(cv::Mat& img, int degrees) {
    int code;
    switch (degrees) {
    case 0:
        return true;
    case 90:
        code = cv::ROTATE_90_CLOCKWISE;
        break;
    case 180:
        code = cv::ROTATE_180;
        break;
    case 270:
        code = cv::ROTATE_90_COUNTERCLOCKWISE;
        break;
    default:
        return false;
    }
    cv::Mat out;
    cv::rotate(img, out, code);
    img = out;
    return true;
}

}  // namespace varnel_cli
