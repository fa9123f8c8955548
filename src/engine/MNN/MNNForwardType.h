// Forward (back-end) types and configuration records of the inference engine.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

typedef enum {
    MNN_FORWARD_CPU = 0,
    MNN_FORWARD_AUTO = 4,
} MNNForwardType;

namespace MNN {

struct BackendConfig {
    enum MemoryMode { Memory_Normal = 0, Memory_High, Memory_Low };
    MemoryMode memory = Memory_Normal;

    enum PowerMode { Power_Normal = 0, Power_High, Power_Low };
    PowerMode power = Power_Normal;

    enum PrecisionMode { Precision_Normal = 0, Precision_High, Precision_Low };
    PrecisionMode precision = Precision_Normal;

    void* sharedContext = nullptr;
};

struct ScheduleConfig {
    // Names of intermediate tensors to keep for inspection (unused here).
    std::vector<std::string> saveTensors;
    MNNForwardType type = MNN_FORWARD_CPU;
    // Threads the session runs with.
    int numThread = 4;
    MNNForwardType backupType = MNN_FORWARD_CPU;
    BackendConfig* backendConfig = nullptr;
};

}  // namespace MNN
