// The command-line reader's input and output helpers: JSON and TSV
// escaping, image file names, and reading image files (grey, deep samples,
// alpha planes, EXIF orientation, files that are no image).
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "image_input.h"
#include "text_format.h"

namespace {

using varnel_cli::json_string;
using varnel_cli::read_image;
using varnel_cli::tsv_field;

const std::string kReplacement = "\xEF\xBF\xBD";  // U+FFFD

TEST(CliFormat, JsonStringEscapes) {
    EXPECT_EQ(json_string(""), "\"\"");
    EXPECT_EQ(json_string("Date: 2024-06-11"), "\"Date: 2024-06-11\"");
    EXPECT_EQ(json_string("a\"b\\c/d"), "\"a\\\"b\\\\c/d\"");
    EXPECT_EQ(json_string("1\n2\r3\t4\b5\f6"), "\"1\\n2\\r3\\t4\\b5\\f6\"");
    EXPECT_EQ(json_string(std::string("x\x01y\x1f", 4) + std::string(1, '\0')), "\"x\\u0001y\\u001f\\u0000\"");
    EXPECT_EQ(json_string("\x7f"), "\"\x7f\"");
    // Valid UTF-8 passes unchanged: two, three and four bytes.
    EXPECT_EQ(json_string("\xC3\xA9 日期：2024年 \xF0\x9F\x98\x80"), "\"\xC3\xA9 日期：2024年 \xF0\x9F\x98\x80\"");
}

TEST(CliFormat, JsonStringReplacesInvalidUtf8) {
    const std::string r = kReplacement;
    EXPECT_EQ(json_string("a\xFF" "b"), "\"a" + r + "b\"");       // never a UTF-8 byte
    EXPECT_EQ(json_string("\x80" "x"), "\"" + r + "x\"");           // stray continuation
    EXPECT_EQ(json_string("\xE6\x97"), "\"" + r + r + "\"");        // cut at the end
    EXPECT_EQ(json_string("\xE6\x97" "a"), "\"" + r + r + "a\"");   // cut before ASCII
    EXPECT_EQ(json_string("\xC0\xAF"), "\"" + r + r + "\"");        // overlong '/'
    EXPECT_EQ(json_string("\xE0\x80\xAF"), "\"" + r + r + r + "\"");  // overlong, three bytes
    EXPECT_EQ(json_string("\xED\xA0\x80"), "\"" + r + r + r + "\"");  // a surrogate
    EXPECT_EQ(json_string("\xF4\x90\x80\x80"), "\"" + r + r + r + r + "\"");  // past U+10FFFF
    // The byte after a bad lead is read afresh: here the quote is escaped.
    EXPECT_EQ(json_string("\xC3\""), "\"" + r + "\\\"\"");
}

TEST(CliFormat, TsvFieldEscapes) {
    EXPECT_EQ(tsv_field("plain 日期"), "plain 日期");
    EXPECT_EQ(tsv_field("a\tb\nc\rd\\e"), "a\\tb\\nc\\rd\\\\e");
    // A text that already looks escaped stays tellable from a real tab.
    EXPECT_EQ(tsv_field("\\t"), "\\\\t");
}

TEST(CliInput, ImageExtensions) {
    for (const char* name : {"a.png", "scan.JPG", "b.jpeg", "c.Tiff", "dir/d.webp", "e.bmp", "f.pgm"}) {
        EXPECT_TRUE(varnel_cli::has_image_extension(name)) << name;
    }
    for (const char* name : {"notes.txt", "png", "a.png.bak", "dir.png/file", "archive.tar.gz", "a."}) {
        EXPECT_FALSE(varnel_cli::has_image_extension(name)) << name;
    }
}

// A temporary folder for image files, removed with its contents.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/varnel_cli_test_XXXXXX";
        if (mkdtemp(tmpl) != nullptr) path_ = tmpl;
    }
    ~TempDir() {
        if (!path_.empty()) std::filesystem::remove_all(path_);
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    bool ok() const { return !path_.empty(); }

private:
    std::string path_;
};

bool write_bytes(const std::string& path, const std::vector<uchar>& bytes) {
    FILE* fp = fopen(path.c_str(), "wb");
    if (fp == nullptr) return false;
    const bool ok = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), fp) == bytes.size();
    return fclose(fp) == 0 && ok;
}

// An EXIF block (big-endian TIFF header and one IFD) holding only the
// orientation tag.
std::vector<uchar> exif_orientation(int orientation) {
    return {'M', 'M', 0, 0x2A, 0, 0, 0, 8,  // header, IFD at offset 8
            0, 1,                           // one entry
            0x01, 0x12, 0, 3, 0, 0, 0, 1,   // tag 0x0112, SHORT, count 1
            0, static_cast<uchar>(orientation), 0, 0,
            0, 0, 0, 0};  // no next IFD
}

// `jpeg` with an APP1 Exif segment right after its start marker.
std::vector<uchar> with_jpeg_exif(const std::vector<uchar>& jpeg, int orientation) {
    std::vector<uchar> payload = {'E', 'x', 'i', 'f', 0, 0};
    const std::vector<uchar> tiff = exif_orientation(orientation);
    payload.insert(payload.end(), tiff.begin(), tiff.end());
    const size_t len = payload.size() + 2;
    std::vector<uchar> seg = {0xFF, 0xE1, static_cast<uchar>(len >> 8), static_cast<uchar>(len & 0xFF)};
    seg.insert(seg.end(), payload.begin(), payload.end());
    std::vector<uchar> out(jpeg.begin(), jpeg.begin() + 2);
    out.insert(out.end(), seg.begin(), seg.end());
    out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
    return out;
}

uint32_t crc32(const uchar* data, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        c ^= data[i];
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return c ^ 0xFFFFFFFFu;
}

void put_be32(std::vector<uchar>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uchar>(v >> shift));
}

// `png` with an eXIf chunk right after its IHDR chunk (signature 8 bytes,
// IHDR 25).
std::vector<uchar> with_png_exif(const std::vector<uchar>& png, int orientation) {
    std::vector<uchar> body = {'e', 'X', 'I', 'f'};
    const std::vector<uchar> tiff = exif_orientation(orientation);
    body.insert(body.end(), tiff.begin(), tiff.end());
    std::vector<uchar> chunk;
    put_be32(chunk, static_cast<uint32_t>(tiff.size()));
    chunk.insert(chunk.end(), body.begin(), body.end());
    put_be32(chunk, crc32(body.data(), body.size()));
    std::vector<uchar> out(png.begin(), png.begin() + 33);
    out.insert(out.end(), chunk.begin(), chunk.end());
    out.insert(out.end(), png.begin() + 33, png.end());
    return out;
}

TEST(CliInput, FilesThatAreNoImage) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    std::string error;
    EXPECT_TRUE(read_image(dir.file("missing.png"), error).empty());
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;

    ASSERT_TRUE(write_bytes(dir.file("garbage.png"), {'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'}));
    error.clear();
    EXPECT_TRUE(read_image(dir.file("garbage.png"), error).empty());
    EXPECT_FALSE(error.empty());

    ASSERT_TRUE(write_bytes(dir.file("empty.jpg"), {}));
    error.clear();
    EXPECT_TRUE(read_image(dir.file("empty.jpg"), error).empty());
    EXPECT_FALSE(error.empty());

    // A PNG cut in half.
    std::vector<uchar> png;
    cv::Mat img(64, 64, CV_8UC3);
    cv::randu(img, 0, 255);
    ASSERT_TRUE(cv::imencode(".png", img, png));
    png.resize(png.size() / 2);
    ASSERT_TRUE(write_bytes(dir.file("cut.png"), png));
    error.clear();
    EXPECT_TRUE(read_image(dir.file("cut.png"), error).empty());
    EXPECT_FALSE(error.empty());
}

TEST(CliInput, GreyAndDeepImagesBecomeEightBitColour) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    std::string error;

    // Grey is read as three equal planes, not as one plane (which the
    // library would invert).
    cv::Mat grey(20, 30, CV_8UC1, cv::Scalar(200));
    grey(cv::Rect(0, 0, 10, 5)).setTo(cv::Scalar(10));
    ASSERT_TRUE(cv::imwrite(dir.file("grey.png"), grey));
    cv::Mat got = read_image(dir.file("grey.png"), error);
    ASSERT_EQ(got.type(), CV_8UC3) << error;
    EXPECT_EQ(got.at<cv::Vec3b>(2, 2), cv::Vec3b(10, 10, 10));
    EXPECT_EQ(got.at<cv::Vec3b>(15, 25), cv::Vec3b(200, 200, 200));

    // 16-bit BGRA: scaled to 8 bits, the alpha plane kept.
    cv::Mat deep(20, 30, CV_16UC4, cv::Scalar(257 * 10, 257 * 20, 257 * 30, 65535));
    deep(cv::Rect(0, 0, 10, 5)).setTo(cv::Scalar(0, 0, 0, 257 * 128));
    ASSERT_TRUE(cv::imwrite(dir.file("deep.png"), deep));
    got = read_image(dir.file("deep.png"), error);
    ASSERT_EQ(got.type(), CV_8UC4) << error;
    EXPECT_EQ(got.at<cv::Vec4b>(15, 25), cv::Vec4b(10, 20, 30, 255));
    EXPECT_EQ(got.at<cv::Vec4b>(2, 2), cv::Vec4b(0, 0, 0, 128));

    // 16-bit grey without alpha: three planes of 8 bits.
    cv::Mat deep_grey(20, 30, CV_16UC1, cv::Scalar(257 * 77));
    ASSERT_TRUE(cv::imwrite(dir.file("deep_grey.png"), deep_grey));
    got = read_image(dir.file("deep_grey.png"), error);
    ASSERT_EQ(got.type(), CV_8UC3) << error;
    EXPECT_EQ(got.at<cv::Vec3b>(10, 10), cv::Vec3b(77, 77, 77));
}

TEST(CliInput, ExifOrientationIsApplied) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    std::string error;

    // Stored 60 wide, 40 high, a white block at the top left; orientation 6
    // asks for a quarter turn clockwise, which puts the block at the top
    // right of a 40 x 60 image.
    cv::Mat stored(40, 60, CV_8UC3, cv::Scalar::all(0));
    stored(cv::Rect(0, 0, 20, 10)).setTo(cv::Scalar::all(255));
    std::vector<uchar> jpeg;
    ASSERT_TRUE(cv::imencode(".jpg", stored, jpeg, {cv::IMWRITE_JPEG_QUALITY, 100}));
    ASSERT_TRUE(write_bytes(dir.file("turned.jpg"), with_jpeg_exif(jpeg, 6)));
    cv::Mat got = read_image(dir.file("turned.jpg"), error);
    ASSERT_EQ(got.type(), CV_8UC3) << error;
    EXPECT_EQ(got.size(), cv::Size(40, 60));
    EXPECT_GT(got.at<cv::Vec3b>(3, 36)[0], 200);  // the block, now top right
    EXPECT_LT(got.at<cv::Vec3b>(3, 3)[0], 50);

    // With an alpha plane the same turn is applied to all four planes: the
    // colour block and an alpha mark at the bottom left of the stored image
    // come out at the top right and the top left.
    cv::Mat bgra(40, 60, CV_8UC4, cv::Scalar(0, 0, 0, 255));
    bgra(cv::Rect(0, 0, 20, 10)).setTo(cv::Scalar(255, 255, 255, 255));
    bgra(cv::Rect(0, 30, 10, 10)).setTo(cv::Scalar(0, 0, 0, 0));
    std::vector<uchar> png;
    ASSERT_TRUE(cv::imencode(".png", bgra, png));
    ASSERT_TRUE(write_bytes(dir.file("turned.png"), with_png_exif(png, 6)));
    got = read_image(dir.file("turned.png"), error);
    ASSERT_EQ(got.type(), CV_8UC4) << error;
    EXPECT_EQ(got.size(), cv::Size(40, 60));
    EXPECT_EQ(got.at<cv::Vec4b>(3, 36), cv::Vec4b(255, 255, 255, 255));
    EXPECT_EQ(got.at<cv::Vec4b>(3, 3), cv::Vec4b(0, 0, 0, 0));
    EXPECT_EQ(got.at<cv::Vec4b>(50, 20), cv::Vec4b(0, 0, 0, 255));

    // Without orientation the alpha file comes back as stored.
    ASSERT_TRUE(write_bytes(dir.file("plain.png"), png));
    got = read_image(dir.file("plain.png"), error);
    ASSERT_EQ(got.type(), CV_8UC4) << error;
    EXPECT_EQ(cv::norm(got, bgra, cv::NORM_INF), 0.0);
}

TEST(CliInput, RotateClockwise) {
    cv::Mat img(2, 3, CV_8UC1, cv::Scalar(0));
    img.at<uchar>(0, 0) = 9;
    cv::Mat r = img.clone();
    ASSERT_TRUE(varnel_cli::rotate_clockwise(r, 90));
    EXPECT_EQ(r.size(), cv::Size(2, 3));
    EXPECT_EQ(r.at<uchar>(0, 1), 9);  // top left to top right
    r = img.clone();
    ASSERT_TRUE(varnel_cli::rotate_clockwise(r, 180));
    EXPECT_EQ(r.at<uchar>(1, 2), 9);
    r = img.clone();
    ASSERT_TRUE(varnel_cli::rotate_clockwise(r, 270));
    EXPECT_EQ(r.size(), cv::Size(2, 3));
    EXPECT_EQ(r.at<uchar>(2, 0), 9);  // top left to bottom left
    r = img.clone();
    EXPECT_FALSE(varnel_cli::rotate_clockwise(r, 45));
    EXPECT_EQ(cv::norm(r, img, cv::NORM_INF), 0.0);
}

}  // namespace
