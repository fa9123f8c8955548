// Model interpreter and sessions of the inference engine. The model payload
// is an ONNX graph, run on the CPU.
#pragma once

#include <cstddef>
#include <vector>

#include "ErrorCode.hpp"
#include "MNNForwardType.h"
#include "Tensor.hpp"

namespace MNN {

class Session;

class Interpreter {
public:
    // Null for any payload the engine cannot load; never throws.
    static Interpreter* createFromBuffer(const void* buffer, size_t size);
    static Interpreter* createFromFile(const char* file);
    ~Interpreter();
    Interpreter(const Interpreter&) = delete;
    Interpreter& operator=(const Interpreter&) = delete;

    Session* createSession(const ScheduleConfig& config);
    bool releaseSession(Session* session);
    void resizeSession(Session* session);
    // Drops the model description; existing sessions keep running.
    void releaseModel();
    ErrorCode runSession(Session* session) const;

    Tensor* getSessionInput(const Session* session, const char* name);
    Tensor* getSessionOutput(const Session* session, const char* name);

    void resizeTensor(Tensor* tensor, const std::vector<int>& dims);
    void resizeTensor(Tensor* tensor, int batch, int channel, int height, int width);

    struct Impl;

private:
    Interpreter();
    Impl* mImpl;
};

}  // namespace MNN
