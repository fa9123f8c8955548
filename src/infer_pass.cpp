// One forward pass through an engine session, shared by the two network
// classes.
#include "infer_pass.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>

#include <MNN/Tensor.hpp>

#include "engine_limits.h"
#include "zel_log.h"

namespace OCR {

namespace {

struct TensorDestroyer {
    void operator()(MNN::Tensor* t) const { MNN::Tensor::destroy(t); }
};
using TensorPtr = std::unique_ptr<MNN::Tensor, TensorDestroyer>;

// "1 x 3 x 32 x 32" for the log lines.
std::string shape_text(const std::vector<int>& shape) {
    std::string s;
    for (size_t i = 0; i < shape.size(); ++i) {
        if (i > 0) s += " x ";
        s += std::to_string(shape[i]);
    }
    return s.empty() ? std::string("(none)") : s;
}

const char* error_name(MNN::ErrorCode code) {
    switch (code) {
        case MNN::OUT_OF_MEMORY: return "out of memory";
        case MNN::NOT_SUPPORT: return "not supported";
        case MNN::COMPUTE_SIZE_ERROR: return "the network cannot run at this size";
        case MNN::NO_EXECUTION: return "no execution";
        case MNN::INVALID_VALUE: return "invalid session";
        case MNN::INPUT_DATA_ERROR: return "no usable input";
        case MNN::CALL_BACK_STOP: return "stopped";
        default: return "engine error";
    }
}

void log_failure(const std::string& why) { zel_log(1, "inference failed: %s", why.c_str()); }

// The failure path: one level-1 line naming the cause, no output.
float* no_output(std::vector<int>& output_shape, const std::string& why) {
    log_failure(why);
    output_shape.clear();
    return nullptr;
}

std::string refusal(const std::vector<int>& input_shape) {
    return "the engine refused an input of " + shape_text(input_shape) + " values";
}

}  // namespace

float* run_forward_pass(MNN::Interpreter* interpreter, MNN::Session* session, float* input,
                        std::vector<int>& input_shape, std::vector<int>& output_shape) {
    if (interpreter == nullptr || session == nullptr) return no_output(output_shape, "no model loaded");
    if (input == nullptr) return no_output(output_shape, "no input values");
    if (input_shape.size() != 4) {
        return no_output(output_shape, "input shape " + shape_text(input_shape) + " is not four-dimensional");
    }
    size_t n = 1;
    for (int d : input_shape) {
        if (d <= 0) {
            return no_output(output_shape, "input shape " + shape_text(input_shape) + " has an empty dimension");
        }
        n *= static_cast<size_t>(d);
    }

    MNN::Tensor* input_tensor = interpreter->getSessionInput(session, nullptr);
    if (input_tensor == nullptr) return no_output(output_shape, "the session has no input");
    // The session follows the input size of every call.
    interpreter->resizeTensor(input_tensor, input_shape[0], input_shape[1], input_shape[2], input_shape[3]);
    interpreter->resizeSession(session);
    // The engine refuses an input it cannot take (more values than a
    // tensor may hold, or no memory for them) by leaving the tensor without
    // that shape.
    if (input_tensor->shape() != input_shape) {
        return no_output(output_shape, refusal(input_shape));
    }

    {
        TensorPtr nchw(MNN::Tensor::create<float>(input_tensor->shape(), nullptr, MNN::Tensor::CAFFE));
        if (!nchw) {
            return no_output(output_shape, "no memory for an input of " + shape_text(input_shape) + " values");
        }
        float* host = nchw->host<float>();
        // Never more than the host tensor holds.
        const size_t room = static_cast<size_t>(std::max(nchw->elementSize(), 0));
        const size_t count = std::min(n, room);
        for (size_t i = 0; i < count; ++i) {
            host[i] = input[i];
        }
        if (!input_tensor->copyFromHostTensor(nchw.get())) {
            return no_output(output_shape, "the input could not be handed to the engine");
        }
    }

    const MNN::ErrorCode code = interpreter->runSession(session);
    if (code != MNN::NO_ERROR) {
        return no_output(output_shape, std::string(error_name(code)) + " (engine code " + std::to_string(code) +
                                           ") on an input of " + shape_text(input_shape) + " values");
    }

    MNN::Tensor* output = interpreter->getSessionOutput(session, nullptr);
    if (output == nullptr || output->elementSize() <= 0) {
        return no_output(output_shape, "no output for an input of " + shape_text(input_shape) + " values");
    }
    std::unique_ptr<MNN::Tensor> output_host(new MNN::Tensor(output, output->getDimensionType(), true));
    if (!output->copyToHostTensor(output_host.get())) {
        return no_output(output_shape, "the output could not be read back");
    }

    const int out_batch = output->batch();
    const int out_channel = output->channel();
    const int out_height = output->height();
    const int out_width = output->width();
    output_shape.clear();
    output_shape.push_back(out_batch);
    output_shape.push_back(out_channel);
    output_shape.push_back(out_height);
    output_shape.push_back(out_width);

    size_t out_count = 1;
    for (int d : output_shape) {
        out_count *= static_cast<size_t>(std::max(d, 0));
    }
    auto* result = new float[out_count];
    const size_t avail = static_cast<size_t>(std::max(output_host->elementSize(), 0));
    const size_t copied = std::min(out_count, avail);
    if (copied > 0) {
        std::memcpy(result, output_host->host<float>(), copied * sizeof(float));
    }
    if (copied < out_count) {
        std::fill(result + copied, result + out_count, 0.0f);
    }
    return result;
}

bool engine_takes_input_size(const std::vector<int>& input_shape) {
    if (MNN::engine::elementCount(input_shape) >= 0) return true;
    log_failure(refusal(input_shape));
    return false;
}

}  // namespace OCR
