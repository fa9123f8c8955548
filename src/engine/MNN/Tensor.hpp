// Dense float tensors of the inference engine (host memory only).
#pragma once

#include <vector>

namespace MNN {

class Tensor {
public:
    // Storage order: TENSORFLOW = NHWC, CAFFE = NCHW, CAFFE_C4 = NC4HW4
    // (treated as NCHW here).
    enum DimensionType { TENSORFLOW, CAFFE, CAFFE_C4 };

    // A tensor shaped like `tensor`, with the given storage order; with
    // allocMemory it owns zeroed storage of its own.
    Tensor(const Tensor* tensor, DimensionType type = CAFFE, bool allocMemory = true);
    ~Tensor();
    Tensor(const Tensor&) = delete;
    Tensor& operator=(const Tensor&) = delete;

    // A float tensor of `shape`; with data the values are copied in.
    template <typename T>
    static Tensor* create(const std::vector<int>& shape, void* data = nullptr, DimensionType dimType = TENSORFLOW) {
        static_assert(sizeof(T) == 4, "the engine holds 32-bit floats only");
        return createFloat(shape, data, dimType);
    }
    static void destroy(Tensor* tensor);

    bool copyFromHostTensor(const Tensor* hostTensor);
    bool copyToHostTensor(Tensor* hostTensor) const;

    std::vector<int> shape() const;
    int dimensions() const;
    int elementSize() const;
    int size() const;  // bytes

    template <typename T>
    T* host() const {
        return static_cast<T*>(buffer());
    }

    // Dimensions read in the tensor's own storage order: for NCHW a 3-D
    // N x T x K tensor reports batch N, channel T, height K, width 1.
    int batch() const;
    int channel() const;
    int height() const;
    int width() const;
    DimensionType getDimensionType() const;

    struct Impl;
    Impl* impl() const { return mImpl; }

private:
    Tensor();
    static Tensor* createFloat(const std::vector<int>& shape, void* data, DimensionType dimType);
    void* buffer() const;

    Impl* mImpl;
};

}  // namespace MNN
