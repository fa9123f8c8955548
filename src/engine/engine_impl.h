// Internal state of the inference engine: tensor storage, sessions and the
// interpreter's model. Not installed; only the engine's own sources use it.
#pragma once

#include <climits>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/dnn.hpp>

#include "MNN/Interpreter.hpp"
#include "MNN/Tensor.hpp"
#include "engine_limits.h"

namespace MNN {

struct Tensor::Impl {
    // Extents in the tensor's own storage order; empty = no shape yet.
    std::vector<int> shape;
    DimensionType type = CAFFE;
    // A tensor made without memory has no storage and host() gives null.
    bool hasStorage = true;
    std::vector<float> data;
};

namespace engine {

// Most dimensions a session input may have: OpenCV's dense matrices, which
// carry the input to the network, have at most 32 (CV_MAX_DIM of its C
// interface).
constexpr size_t kMaxInputDims = 32;

// True when a session input may take `shape`: at least one dimension, at
// most kMaxInputDims, every extent positive and at most kMaxElements values
// in all. Anything else the engine refuses before OpenCV sees it.
bool validInputShape(const std::vector<int>& shape);

// True for the channel-last storage order.
inline bool channelLast(Tensor::DimensionType type) { return type == Tensor::TENSORFLOW; }

// `shape` (stored in order `from`) rewritten in order `to`: between the
// channel-first and the channel-last orders the channel axis (axis 1 of
// NCHW, the last axis of NHWC) moves; tensors of fewer than three
// dimensions read the same in both.
std::vector<int> convertShape(const std::vector<int>& shape, Tensor::DimensionType from, Tensor::DimensionType to);

// Gives `t` the shape `shape` with storage for it. Storage is zero-filled
// on growth; capacity is kept, so repeated resizes do not reallocate. An
// invalid shape leaves the tensor without shape and data and returns false.
bool reshape(Tensor* t, const std::vector<int>& shape);

// False unless `buffer` is a well-formed protobuf ModelProto with a graph
// whose tensors hold as much data as their dimensions say and whose nodes
// use only names defined before them (OpenCV's importer checks neither).
bool wellFormedOnnx(const void* buffer, size_t size);

}  // namespace engine

// One inference context: its thread count and its own input and output
// tensors. The network handle is shared with the interpreter and any other
// session of the same model.
class Session {
public:
    cv::dnn::Net net;
    int numThread = 1;
    std::string inputName;
    std::string outputName;
    std::unique_ptr<Tensor, void (*)(Tensor*)> input{nullptr, &Tensor::destroy};
    std::unique_ptr<Tensor, void (*)(Tensor*)> output{nullptr, &Tensor::destroy};
};

struct Interpreter::Impl {
    // The loaded network; empty after releaseModel().
    cv::dnn::Net net;
    // Name of the network's first input and of its default output.
    std::string inputName;
    std::string outputName;
    std::list<std::unique_ptr<Session>> sessions;

    Session* find(const Session* s) const;
};

}  // namespace MNN
