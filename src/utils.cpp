// File and rotated-rectangle helpers and the model file reader.
#include "utils.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include <opencv2/imgproc.hpp>

#include "zel_log.h"

namespace {

constexpr long kMinModelFileSize = 800;
constexpr long kMaxModelFileSize = 2000000000;
constexpr long kHeaderSize = static_cast<long>(sizeof(_s_model_head));
constexpr unsigned char kMarker = 0x11;

}  // namespace

bool isFileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool calcSafeRect(const cv::RotatedRect& rect, const cv::Mat& img, cv::Rect_<float>& out) {
    const cv::Rect_<float> box(rect.boundingRect());
    const float cols = static_cast<float>(img.cols);
    const float rows = static_cast<float>(img.rows);

    const float left = box.x - 5 > 0 ? box.x - 5 : 0.0f;
    const float top = box.y - 5 > 0 ? box.y - 5 : 0.0f;
    const float right = cols > box.x + box.width + 5 ? box.x + box.width + 5 - 1 : cols - 1;
    const float bottom = rows > box.y + box.height + 5 ? box.y + box.height + 5 - 1 : rows - 1;

    const float width = right - left;
    const float height = bottom - top;
    if (width <= 0 || height <= 0) return false;
    out = cv::Rect_<float>(left, top, width, height);
    return true;
}

cv::Mat cropRotateRect(cv::Mat& img, cv::RotatedRect& rect) {
    int patch_w = cvRound(rect.size.width);
    int patch_h = cvRound(rect.size.height);
    double angle = rect.angle;
    // A standing rectangle (or a square) is turned a further 90 degrees so
    // that the patch comes out lying.
    if (!(rect.size.height < rect.size.width)) {
        angle += 90.0;
        std::swap(patch_w, patch_h);
    }
    const cv::Mat rotation = cv::getRotationMatrix2D(rect.center, angle, 1.0);
    const cv::Scalar outside(200, 200, 200, 0);
    cv::Mat rotated;
    cv::warpAffine(img, rotated, rotation, img.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, outside);

    // getRectSubPix repeats the edge pixels for a patch that reaches past
    // the warped image. Area from outside the source must show as gray 200
    // there too, so such a patch is cut from a canvas of that gray, a little
    // larger than the patch, holding the part of the warped image under it.
    CV_Assert(patch_w >= 0 && patch_h >= 0 && patch_w < (1 << 30) && patch_h < (1 << 30));
    const cv::Point2f c = rect.center;
    // The columns and rows the cut reads: from the floor of its first pixel
    // centre to one past its last, with one more on either side.
    const double left = std::floor(static_cast<double>(c.x) - (patch_w - 1) * 0.5) - 1.0;
    const double top = std::floor(static_cast<double>(c.y) - (patch_h - 1) * 0.5) - 1.0;
    const double right = left + patch_w + 3.0;  // exclusive
    const double bottom = top + patch_h + 3.0;  // exclusive
    cv::Mat patch;
    if (left >= 0.0 && top >= 0.0 && right <= rotated.cols && bottom <= rotated.rows) {
        cv::getRectSubPix(rotated, cv::Size(patch_w, patch_h), c, patch, rotated.depth());
        return patch;
    }
    // A patch wholly outside the warped image (a centre that is not a
    // number included) is all gray.
    const double x0 = std::max(left, 0.0), x1 = std::min(right, static_cast<double>(rotated.cols));
    const double y0 = std::max(top, 0.0), y1 = std::min(bottom, static_cast<double>(rotated.rows));
    if (!(x0 < x1 && y0 < y1)) {
        return cv::Mat(patch_h, patch_w, rotated.type(), outside);
    }
    cv::Mat canvas(patch_h + 3, patch_w + 3, rotated.type(), outside);
    const cv::Rect from(static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1 - x0),
                        static_cast<int>(y1 - y0));
    rotated(from).copyTo(canvas(cv::Rect(static_cast<int>(x0 - left), static_cast<int>(y0 - top), from.width,
                                         from.height)));
    cv::getRectSubPix(canvas, cv::Size(patch_w, patch_h),
                      cv::Point2f(static_cast<float>(c.x - left), static_cast<float>(c.y - top)), patch,
                      canvas.depth());
    return patch;
}

int get_model_header(char* path, _s_model_head& head, long& len, FILE* fp, int flag) {
    fseek(fp, 0, SEEK_END);
    const long size = ftell(fp);  // -1 on failure, which counts as too small
    if (size > kMaxModelFileSize || size < kMinModelFileSize) {
        zel_log(1, "model file [%s] length is invalid = %ld.", path, size);
        fclose(fp);
        return -1;
    }
    zel_log(1, "load model [%s]=%ld", path, size);
    fseek(fp, 0, SEEK_SET);
    len = size;
    if (flag != 1) return 0;

    if (fread(&head, 1, sizeof(head), fp) < sizeof(head)) {
        zel_log(1, "read model file [%s] too short", path);
        fclose(fp);
        return -1;
    }
    if (head.magic != kMarker && head.tail_magic != kMarker) {
        zel_log(1, "model file format is not valid[%s]", path);
        fclose(fp);
        return -1;
    }

    char version[5];
    memcpy(version, head.version, 4);
    version[4] = '\0';
    char id[20] = {0};
    for (size_t i = 0; i < sizeof(head.id) && head.id[i] != '\0'; ++i) id[i] = head.id[i];
    // The byte fields are printed sign-extended, as ints.
    zel_log(0, "v[%s] e[%02x] id[%s] fw[%02x] l[%02x]", version, static_cast<unsigned>(static_cast<int>(head.encode_type)),
            id, static_cast<unsigned>(static_cast<int>(head.fw)), static_cast<unsigned>(static_cast<int>(head.l)));

    len = size - kHeaderSize;
    return 0;
}

unsigned char* read_model_from_file(std::string path, long& len, int flag) {
    len = 0;
    FILE* fp = fopen(path.c_str(), "rb");
    if (fp == nullptr) {
        zel_log(1, "open model file [%s] fail.", path.c_str());
        return nullptr;
    }
    _s_model_head head;
    memset(&head, 0, sizeof(head));
    // get_model_header only reads the path, for its messages.
    if (get_model_header(const_cast<char*>(path.c_str()), head, len, fp, flag) != 0) return nullptr;

    unsigned char* buf = static_cast<unsigned char*>(malloc(static_cast<size_t>(len)));
    if (buf == nullptr) {
        zel_log(1, "malloc memory %ld error", len);
        fclose(fp);
        return nullptr;
    }
    const int got = static_cast<int>(fread(buf, 1, static_cast<size_t>(len), fp));
    if (got < 0 || got != len) {
        free(buf);
        zel_log(1, "read model file [%s] error", path.c_str());
        fclose(fp);
        return nullptr;
    }
    fclose(fp);

    // A payload of an encoding type the decoder does not know is returned
    // as stored.
    if (flag == 1) decode_model_buffer(buf, len, head);
    return buf;
}
