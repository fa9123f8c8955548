// One forward pass through an engine session, shared by the two network
// classes: input tensor resized to the input shape, input copied in through
// a host tensor, session run, output copied out into a new[] array.
// Internal to the library (not installed).
#pragma once

#include <vector>

#include <MNN/Interpreter.hpp>

namespace OCR {

// Returns a new[] float array holding batch x channel x height x width values
// and sets output_shape to exactly those four dimensions (cleared first).
float* run_forward_pass(MNN::Interpreter* interpreter, MNN::Session* session, float* input,
                        std::vector<int>& input_shape, std::vector<int>& output_shape);

// False, after the level-1 line a pass refused by the engine logs, when an
// input of `input_shape` holds more values than the engine takes. Lets a
// caller that knows the input's shape early skip building a doomed input.
bool engine_takes_input_size(const std::vector<int>& input_shape);

}  // namespace OCR
