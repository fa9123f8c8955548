// File and rotated-rectangle helpers and the model file reader.
#pragma once

#include <cstdio>
#include <string>

#include <opencv2/core.hpp>

#include "encode.h"

bool isFileExists(const std::string& path);
bool calcSafeRect(const cv::RotatedRect& rect, const cv::Mat& img, cv::Rect_<float>& out);
cv::Mat cropRotateRect(cv::Mat& img, cv::RotatedRect& rect);

// Reads a model file. flag 1: header checked and logged, payload decoded;
// any other flag: the whole file as stored. Returns a malloc block (caller
// frees) with len set, or null after a level-1 log line.
unsigned char* read_model_from_file(std::string path, long& len, int flag);
int get_model_header(char* path, _s_model_head& head, long& len, FILE* fp, int flag);
