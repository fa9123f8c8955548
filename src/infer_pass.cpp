// One forward pass through an engine session, shared by the two network
// classes.
#include "infer_pass.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>

#include <MNN/Tensor.hpp>

namespace OCR {

namespace {

struct TensorDestroyer {
    void operator()(MNN::Tensor* t) const { MNN::Tensor::destroy(t); }
};
using TensorPtr = std::unique_ptr<MNN::Tensor, TensorDestroyer>;

}  // namespace

float* run_forward_pass(MNN::Interpreter* interpreter, MNN::Session* session, float* input,
                        std::vector<int>& input_shape, std::vector<int>& output_shape) {
    // Without a loaded session or a four-dimensional input there is nothing
    // to run: no output, empty shape.
    if (interpreter == nullptr || session == nullptr || input == nullptr || input_shape.size() != 4) {
        output_shape.clear();
        return nullptr;
    }
    size_t n = 1;
    for (int d : input_shape) {
        if (d <= 0) {
            output_shape.clear();
            return nullptr;
        }
        n *= static_cast<size_t>(d);
    }

    MNN::Tensor* input_tensor = interpreter->getSessionInput(session, nullptr);
    if (input_tensor == nullptr) {
        output_shape.clear();
        return nullptr;
    }
    // The session follows the input size of every call.
    interpreter->resizeTensor(input_tensor, input_shape[0], input_shape[1], input_shape[2], input_shape[3]);
    interpreter->resizeSession(session);

    {
        TensorPtr nchw(MNN::Tensor::create<float>(input_tensor->shape(), nullptr, MNN::Tensor::CAFFE));
        if (!nchw) {
            output_shape.clear();
            return nullptr;
        }
        float* host = nchw->host<float>();
        // Never more than the host tensor holds, should the engine have kept
        // another input size.
        const size_t room = static_cast<size_t>(std::max(nchw->elementSize(), 0));
        const size_t count = std::min(n, room);
        for (size_t i = 0; i < count; ++i) {
            host[i] = input[i];
        }
        input_tensor->copyFromHostTensor(nchw.get());
    }

    interpreter->runSession(session);

    MNN::Tensor* output = interpreter->getSessionOutput(session, nullptr);
    if (output == nullptr) {
        output_shape.clear();
        return nullptr;
    }
    std::unique_ptr<MNN::Tensor> output_host(new MNN::Tensor(output, output->getDimensionType(), true));
    output->copyToHostTensor(output_host.get());

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

}  // namespace OCR
