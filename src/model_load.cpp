// Loading a network from a model file into an engine interpreter with one
// CPU session, and releasing it again.
#include "model_load.h"

#include <cstdlib>

#include "utils.h"
#include "zel_log.h"

namespace OCR {

int load_engine_model(const std::string& model_path, std::shared_ptr<MNN::Interpreter>& interpreter,
                      MNN::Session*& session) {
    long len = 0;
    unsigned char* buffer = read_model_from_file(model_path, len, 1);
    if (buffer == nullptr) {
        zel_log(1, "load model %s fail.", model_path.c_str());
        return -1002;
    }

    // A session of an earlier model belongs to the interpreter about to be
    // replaced: release it first.
    if (session != nullptr && interpreter) {
        interpreter->releaseSession(session);
    }
    session = nullptr;
    interpreter.reset(MNN::Interpreter::createFromBuffer(buffer, static_cast<size_t>(len)));
    free(buffer);
    if (!interpreter) {
        zel_log(1, "load model %s fail.", model_path.c_str());
        return -1;
    }
    zel_log(1, "model [%s] loaded", model_path.c_str());

    MNN::ScheduleConfig schedule_config;
    schedule_config.type = MNN_FORWARD_CPU;
    schedule_config.numThread = 2;
    MNN::BackendConfig backend_config;
    backend_config.precision = MNN::BackendConfig::Precision_High;
    schedule_config.backendConfig = &backend_config;
    session = interpreter->createSession(schedule_config);
    return 0;
}

void release_engine_model(std::shared_ptr<MNN::Interpreter>& interpreter, MNN::Session*& session) {
    if (session != nullptr && interpreter) {
        interpreter->releaseSession(session);
    }
    session = nullptr;
    if (interpreter) {
        interpreter->releaseModel();
        interpreter.reset();
    }
}

}  // namespace OCR
