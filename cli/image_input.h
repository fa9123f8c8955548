// Image files for the command-line reader: which file names are images, and
// reading one into the 8-bit form the library takes.
#pragma once

#include <string>

#include <opencv2/core.hpp>

namespace varnel_cli {

// True when the name's extension (any case) is one of the image formats
// OpenCV reads: bmp, dib, jpg, jpeg, jpe, jp2, png, webp, pbm, pgm, ppm, pxm,
// pnm, pfm, sr, ras, tif, tiff, exr, hdr, pic.
bool has_image_extension(const std::string& path);

// Reads the image file at `path` as an 8-bit matrix: BGR, or BGRA when the
// file has an alpha plane (a grey + alpha file becomes BGRA too), so that the
// library's rule for four channels applies. A grey file without alpha is
// read as BGR: the library would invert a one-channel image. Deeper samples
// are scaled to 8 bits (16-bit by 1/257, floating point from 0..1), and the
// EXIF orientation is applied as OpenCV applies it to colour reads. Returns
// an empty matrix and sets `error` when the file cannot be read or decoded.
cv::Mat read_image(const std::string& path, std::string& error);

// Turns `img` clockwise by `degrees` (0, 90, 180 or 270). Returns false,
// leaving `img` as it is, for any other angle.
bool rotate_clockwise(cv::Mat& img, int degrees);

}  // namespace varnel_cli
