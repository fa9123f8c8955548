// Host tensors of the inference engine: float32 values in host memory with
// a shape stored in the tensor's own dimension order.
#include <climits>
#include <cstring>
#include <new>

#include "engine_impl.h"

namespace MNN {

namespace engine {

long long elementCount(const std::vector<int>& shape) {
    if (shape.empty()) return 0;
    long long n = 1;
    for (int d : shape) {
        if (d < 0) return -1;
        n *= d;
        if (n > kMaxElements) return -1;
    }
    return n;
}

bool validInputShape(const std::vector<int>& shape) {
    if (shape.empty() || shape.size() > kMaxInputDims) return false;
    // A negative extent counts as -1 and a zero extent as 0 elements.
    return elementCount(shape) > 0;
}

std::vector<int> convertShape(const std::vector<int>& shape, Tensor::DimensionType from, Tensor::DimensionType to) {
    if (shape.size() < 3 || channelLast(from) == channelLast(to)) return shape;
    std::vector<int> out(shape);
    if (channelLast(to)) {
        // N C S1 .. Sk -> N S1 .. Sk C
        out.erase(out.begin() + 1);
        out.push_back(shape[1]);
    } else {
        // N S1 .. Sk C -> N C S1 .. Sk
        out.pop_back();
        out.insert(out.begin() + 1, shape.back());
    }
    return out;
}

bool reshape(Tensor* t, const std::vector<int>& shape) {
    Tensor::Impl* im = t->impl();
    const long long n = elementCount(shape);
    if (n < 0) {
        im->shape.clear();
        im->data.clear();
        return false;
    }
    im->shape = shape;
    im->hasStorage = true;
    im->data.resize(static_cast<size_t>(n));
    return true;
}

}  // namespace engine

namespace {

// Copies the values of `src` into `dst`. Tensors of the same dimension
// order (or of fewer than three dimensions) are copied as they are stored,
// and only their element counts must agree; between the channel-first and
// the channel-last orders the values are transposed, and the shapes must
// describe the same tensor.
bool copyValues(const Tensor::Impl& src, Tensor::Impl& dst) {
    if (&src == &dst) return true;
    if (!src.hasStorage || !dst.hasStorage) return false;
    const long long n = engine::elementCount(src.shape);
    if (n < 0 || n != engine::elementCount(dst.shape)) return false;
    if (n == 0) return true;
    const float* in = src.data.data();
    float* out = dst.data.data();
    if (src.shape.size() < 3 || engine::channelLast(src.type) == engine::channelLast(dst.type)) {
        std::memcpy(out, in, static_cast<size_t>(n) * sizeof(float));
        return true;
    }
    if (engine::convertShape(src.shape, src.type, dst.type) != dst.shape) return false;
    // Per batch element, a C x S matrix (channel-first) is the transpose of
    // the S x C matrix (channel-last), S being the product of the spatial
    // extents.
    const bool toLast = engine::channelLast(dst.type);
    const long long batch = src.shape[0];
    const long long channels = toLast ? src.shape[1] : src.shape.back();
    if (batch == 0 || channels == 0) return true;
    const long long spatial = n / batch / channels;
    const long long rows = toLast ? channels : spatial;
    const long long cols = toLast ? spatial : channels;
    for (long long b = 0; b < batch; ++b) {
        const float* s = in + b * rows * cols;
        float* d = out + b * rows * cols;
        for (long long r = 0; r < rows; ++r)
            for (long long c = 0; c < cols; ++c) d[c * rows + r] = s[r * cols + c];
    }
    return true;
}

}  // namespace

Tensor::Tensor() : mImpl(new Impl) {}

Tensor::Tensor(const Tensor* tensor, DimensionType type, bool allocMemory) : mImpl(new Impl) {
    mImpl->type = type;
    mImpl->hasStorage = allocMemory;
    if (tensor != nullptr) mImpl->shape = engine::convertShape(tensor->mImpl->shape, tensor->mImpl->type, type);
    if (allocMemory) mImpl->data.assign(static_cast<size_t>(engine::elementCount(mImpl->shape)), 0.0f);
}

Tensor::~Tensor() { delete mImpl; }

Tensor* Tensor::createFloat(const std::vector<int>& shape, void* data, DimensionType dimType) {
    const long long n = engine::elementCount(shape);
    if (n < 0) return nullptr;
    Tensor* t = new (std::nothrow) Tensor();
    if (t == nullptr) return nullptr;
    try {
        t->mImpl->shape = shape;
        t->mImpl->type = dimType;
        if (data != nullptr) {
            const float* values = static_cast<const float*>(data);
            t->mImpl->data.assign(values, values + n);
        } else {
            t->mImpl->data.assign(static_cast<size_t>(n), 0.0f);
        }
    } catch (const std::bad_alloc&) {
        delete t;
        return nullptr;
    }
    return t;
}

void Tensor::destroy(Tensor* tensor) { delete tensor; }

bool Tensor::copyFromHostTensor(const Tensor* hostTensor) {
    return hostTensor != nullptr && copyValues(*hostTensor->mImpl, *mImpl);
}

bool Tensor::copyToHostTensor(Tensor* hostTensor) const {
    return hostTensor != nullptr && copyValues(*mImpl, *hostTensor->mImpl);
}

std::vector<int> Tensor::shape() const { return mImpl->shape; }

int Tensor::dimensions() const { return static_cast<int>(mImpl->shape.size()); }

int Tensor::elementSize() const {
    const long long n = engine::elementCount(mImpl->shape);
    return n < 0 ? 0 : static_cast<int>(n);
}

int Tensor::size() const { return elementSize() * static_cast<int>(sizeof(float)); }

void* Tensor::buffer() const {
    if (!mImpl->hasStorage || mImpl->data.empty()) return nullptr;
    return mImpl->data.data();
}

// A tensor without shape reports batch 0, so that the product of the four
// accessors never claims values it does not hold.
int Tensor::batch() const { return mImpl->shape.empty() ? 0 : mImpl->shape[0]; }

int Tensor::channel() const {
    const std::vector<int>& s = mImpl->shape;
    if (s.size() < 2) return 1;
    return engine::channelLast(mImpl->type) ? s.back() : s[1];
}

int Tensor::height() const {
    const std::vector<int>& s = mImpl->shape;
    if (s.size() < 3) return 1;
    return engine::channelLast(mImpl->type) ? s[1] : s[2];
}

int Tensor::width() const {
    const std::vector<int>& s = mImpl->shape;
    if (s.size() < 4) return 1;
    return engine::channelLast(mImpl->type) ? s[2] : s[3];
}

Tensor::DimensionType Tensor::getDimensionType() const { return mImpl->type; }

}  // namespace MNN
