// Helpers shared by the tests: standard output captured around a call, a
// substring test, a white page with black bars, and a minimal protobuf
// writer for small ONNX networks made inside a test. Header-only; includes
// no header of the library, so a test that declares the library's interface
// itself can use it too.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

namespace varnel_test {

// Everything `fn` writes to standard output; stdout is flushed before the
// capture ends, since zel_log does not flush.
inline std::string captured(const std::function<void()>& fn) {
    testing::internal::CaptureStdout();
    fn();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

inline bool contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

// A white 8-bit three-channel page of cols x rows with each rectangle
// filled black.
inline cv::Mat page(int cols, int rows, const std::vector<cv::Rect>& bars) {
    cv::Mat img(rows, cols, CV_8UC3, cv::Scalar::all(255));
    for (const cv::Rect& r : bars) img(r).setTo(cv::Scalar::all(0));
    return img;
}

// ------------------------------------------------------------ ONNX writer

// Protobuf wire format, just enough for ONNX models: varint and
// length-delimited fields.
class Pb {
public:
    std::string bytes;
    Pb& varint(uint64_t v) {
        while (v >= 0x80) {
            bytes.push_back(char((v & 0x7F) | 0x80));
            v >>= 7;
        }
        bytes.push_back(char(v));
        return *this;
    }
    Pb& i64(int field, int64_t v) { return tag(field, 0).varint(uint64_t(v)); }
    Pb& str(int field, const std::string& s) { return tag(field, 2).varint(s.size()).raw(s); }
    Pb& msg(int field, const Pb& m) { return str(field, m.bytes); }

private:
    Pb& tag(int field, int wire) { return varint(uint64_t(field) << 3 | uint64_t(wire)); }
    Pb& raw(const std::string& s) {
        bytes += s;
        return *this;
    }
};

// A float tensor (raw data) and a one-dimensional int64 tensor.
inline Pb onnx_tensor_f(const std::string& name, const std::vector<int64_t>& dims, const std::vector<float>& v) {
    Pb t;
    for (auto d : dims) t.i64(1, d);
    t.i64(2, 1);  // FLOAT
    t.str(8, name);
    t.str(9, std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(float)));
    return t;
}

inline Pb onnx_tensor_i64(const std::string& name, const std::vector<int64_t>& v) {
    Pb t;
    t.i64(1, int64_t(v.size()));
    t.i64(2, 7);  // INT64
    t.str(8, name);
    t.str(9, std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(int64_t)));
    return t;
}

inline Pb onnx_node(const std::string& op, const std::vector<std::string>& in, const std::string& out,
                    const Pb* attr = nullptr) {
    Pb n;
    for (const auto& s : in) n.str(1, s);
    n.str(2, out);
    n.str(3, out + "_node");
    n.str(4, op);
    if (attr != nullptr) n.msg(5, *attr);
    return n;
}

// A float N x channels x H x W value (N, H, W left open).
inline Pb onnx_value_info(const std::string& name, int channels) {
    Pb shape;
    shape.msg(1, Pb().str(2, "N")).msg(1, Pb().i64(1, channels)).msg(1, Pb().str(2, "H")).msg(1, Pb().str(2, "W"));
    Pb tensor_type;
    tensor_type.i64(1, 1).msg(2, shape);
    return Pb().str(1, name).msg(2, Pb().msg(1, tensor_type));
}

// A float value whose shape is not declared (an empty shape record).
inline Pb onnx_value_info_any(const std::string& name) {
    Pb tensor_type;
    tensor_type.i64(1, 1).msg(2, Pb());
    return Pb().str(1, name).msg(2, Pb().msg(1, tensor_type));
}

// The model around a graph: IR version 6, opset 11, and a doc string long
// enough for the library's model file format (at least 771 payload bytes).
inline std::string onnx_model(const Pb& graph) {
    Pb m;
    m.i64(1, 6);
    m.str(6, std::string(900, '.'));
    m.msg(7, graph);
    m.msg(8, Pb().str(1, "").i64(2, 11));
    return m.bytes;
}

// A network that only reshapes its N x 3 x H x W input x into the fixed
// shape `shape`: it runs for inputs of exactly as many values and fails
// for every other input size.
inline std::string fixed_reshape_model(const std::vector<int64_t>& shape) {
    Pb g;
    g.msg(1, onnx_node("Reshape", {"x", "fixed_shape"}, "y"));
    g.str(2, "fixed_reshape");
    g.msg(5, onnx_tensor_i64("fixed_shape", shape));
    g.msg(11, onnx_value_info("x", 3));
    g.msg(12, onnx_value_info_any("y"));
    return onnx_model(g);
}

}  // namespace varnel_test
