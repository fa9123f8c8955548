// Model interpreter and sessions over OpenCV's dnn module: the model payload
// is an ONNX graph, parsed once and run on the CPU.
#include <climits>
#include <fstream>
#include <iterator>
#include <new>

#include "engine_impl.h"

namespace MNN {

namespace {

// Sets OpenCV's process-wide thread count for the lifetime of the scope and
// restores the previous count when it ends, on every path.
class ThreadCountScope {
public:
    explicit ThreadCountScope(int threads) {
        try {
            previous_ = cv::getNumThreads();
            if (previous_ != threads) {
                cv::setNumThreads(threads);
                changed_ = true;
            }
        } catch (...) {
            changed_ = false;
        }
    }
    ~ThreadCountScope() {
        if (!changed_) return;
        try {
            cv::setNumThreads(previous_);
        } catch (...) {
        }
    }
    ThreadCountScope(const ThreadCountScope&) = delete;
    ThreadCountScope& operator=(const ThreadCountScope&) = delete;

private:
    int previous_ = 0;
    bool changed_ = false;
};

// Stores the network output `out` (any depth, any continuity) as float32
// values and shape in `t`; false, with `t` left without shape, when the
// output holds more values than a tensor may.
bool storeOutput(const cv::Mat& out, Tensor* t) {
    std::vector<int> shape(out.size.p, out.size.p + out.dims);
    if (!engine::reshape(t, shape)) return false;
    Tensor::Impl* im = t->impl();
    if (im->data.empty()) return true;
    cv::Mat dst(out.dims, out.size.p, CV_32F, im->data.data());
    if (out.depth() == CV_32F)
        out.copyTo(dst);
    else
        out.convertTo(dst, CV_32F);
    return true;
}

void clearTensor(Tensor* t) {
    t->impl()->shape.clear();
    t->impl()->data.clear();
}

}  // namespace

Session* Interpreter::Impl::find(const Session* s) const {
    if (s == nullptr) return nullptr;
    for (const auto& p : sessions)
        if (p.get() == s) return p.get();
    return nullptr;
}

Interpreter::Interpreter() : mImpl(new Impl) {}

Interpreter::~Interpreter() { delete mImpl; }

Interpreter* Interpreter::createFromBuffer(const void* buffer, size_t size) {
    // The ONNX parser takes the byte count as an int.
    if (buffer == nullptr || size == 0 || size > static_cast<size_t>(INT_MAX)) return nullptr;
    if (!engine::wellFormedOnnx(buffer, size)) return nullptr;
    try {
        cv::dnn::Net net = cv::dnn::readNetFromONNX(static_cast<const char*>(buffer), size);
        if (net.empty()) return nullptr;
        const std::vector<std::string> layers = net.getLayerNames();
        if (layers.empty() || net.getUnconnectedOutLayersNames().empty()) return nullptr;
        net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
        net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
        std::unique_ptr<Interpreter> interpreter(new Interpreter());
        interpreter->mImpl->net = net;
        // forward() without a name runs to the last layer; that layer's
        // output is the default output.
        interpreter->mImpl->outputName = layers.back();
        return interpreter.release();
    } catch (...) {
        return nullptr;
    }
}

Interpreter* Interpreter::createFromFile(const char* file) {
    if (file == nullptr) return nullptr;
    try {
        std::ifstream in(file, std::ios::binary);
        if (!in) return nullptr;
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (in.bad()) return nullptr;
        return createFromBuffer(bytes.data(), bytes.size());
    } catch (...) {
        return nullptr;
    }
}

Session* Interpreter::createSession(const ScheduleConfig& config) {
    if (mImpl->net.empty()) return nullptr;
    try {
        std::unique_ptr<Session> s(new Session());
        s->net = mImpl->net;
        s->numThread = config.numThread > 0 ? config.numThread : 1;
        s->outputName = mImpl->outputName;
        s->input.reset(Tensor::create<float>({}, nullptr, Tensor::CAFFE));
        s->output.reset(Tensor::create<float>({}, nullptr, Tensor::CAFFE));
        if (!s->input || !s->output) return nullptr;
        mImpl->sessions.push_back(std::move(s));
        return mImpl->sessions.back().get();
    } catch (...) {
        return nullptr;
    }
}

bool Interpreter::releaseSession(Session* session) {
    for (auto it = mImpl->sessions.begin(); it != mImpl->sessions.end(); ++it) {
        if (it->get() == session && session != nullptr) {
            mImpl->sessions.erase(it);
            return true;
        }
    }
    return false;
}

// Buffers are sized by the network on the next run, for whatever shape the
// input has then; nothing to prepare here.
void Interpreter::resizeSession(Session* session) {}

void Interpreter::releaseModel() {
    // Sessions hold their own reference to the network and keep running.
    mImpl->net = cv::dnn::Net();
}

ErrorCode Interpreter::runSession(Session* session) const {
    Session* s = mImpl->find(session);
    if (s == nullptr) return INVALID_VALUE;
    Tensor::Impl* in = s->input->impl();
    // Only an input the engine takes (resizeTensor refuses every other
    // shape) with storage for all of its values is run.
    if (!engine::validInputShape(in->shape) ||
        in->data.size() != static_cast<size_t>(engine::elementCount(in->shape))) {
        clearTensor(s->output.get());
        return INPUT_DATA_ERROR;
    }
    ThreadCountScope threads(s->numThread);
    try {
        // The blob is a header over the input tensor's storage.
        const cv::Mat blob(static_cast<int>(in->shape.size()), in->shape.data(), CV_32F, in->data.data());
        s->net.setInput(blob);
        const cv::Mat out = s->net.forward(s->outputName);
        if (!storeOutput(out, s->output.get())) return COMPUTE_SIZE_ERROR;
        return NO_ERROR;
    } catch (const std::bad_alloc&) {
        clearTensor(s->output.get());
        return OUT_OF_MEMORY;
    } catch (const cv::Exception&) {
        clearTensor(s->output.get());
        return COMPUTE_SIZE_ERROR;
    } catch (...) {
        clearTensor(s->output.get());
        return NOT_SUPPORT;
    }
}

Tensor* Interpreter::getSessionInput(const Session* session, const char* name) {
    Session* s = mImpl->find(session);
    if (s == nullptr) return nullptr;
    if (name == nullptr) return s->input.get();
    try {
        // Only the network's first input is fed.
        if (s->net.getLayer(0)->outputNameToIndex(name) == 0) return s->input.get();
    } catch (...) {
    }
    return nullptr;
}

Tensor* Interpreter::getSessionOutput(const Session* session, const char* name) {
    Session* s = mImpl->find(session);
    if (s == nullptr) return nullptr;
    if (name == nullptr || s->outputName == name) return s->output.get();
    return nullptr;
}

// A shape the engine cannot run (see engine::validInputShape: no dimension,
// too many, an extent of 0 or less, more values than kMaxElements) is
// refused: the tensor is left without shape and data, so that a following
// runSession reports INPUT_DATA_ERROR instead of running on it.
void Interpreter::resizeTensor(Tensor* tensor, const std::vector<int>& dims) {
    if (tensor == nullptr) return;
    if (!engine::validInputShape(dims)) {
        clearTensor(tensor);
        return;
    }
    try {
        engine::reshape(tensor, dims);
    } catch (const std::bad_alloc&) {
        clearTensor(tensor);
    }
}

void Interpreter::resizeTensor(Tensor* tensor, int batch, int channel, int height, int width) {
    resizeTensor(tensor, std::vector<int>{batch, channel, height, width});
}

}  // namespace MNN
