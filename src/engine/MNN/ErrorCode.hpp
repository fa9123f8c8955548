#pragma once

namespace MNN {

enum ErrorCode {
    NO_ERROR = 0,
    OUT_OF_MEMORY = 1,
    NOT_SUPPORT = 2,
    COMPUTE_SIZE_ERROR = 3,
    NO_EXECUTION = 4,
    INVALID_VALUE = 5,
    INPUT_DATA_ERROR = 10,
    CALL_BACK_STOP = 11,
};

}  // namespace MNN
