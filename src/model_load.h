// Loading a network from a model file into an engine interpreter with one
// CPU session, and releasing it again; shared by the detector and the
// recogniser. Internal to the library (not installed).
#pragma once

#include <memory>
#include <string>

#include <MNN/Interpreter.hpp>

namespace OCR {

// Reads the model file at model_path (header checked, payload decoded),
// creates the interpreter from it and a CPU session of 2 threads at high
// precision. A session of an earlier model is released before the
// interpreter is replaced. Returns 0, -1002 when the reader gives nothing
// (the earlier model stays) or -1 when the engine refuses the model (nothing
// is left loaded), each failure after a level-1 line. The file's existence
// is the caller's to check.
int load_engine_model(const std::string& model_path, std::shared_ptr<MNN::Interpreter>& interpreter,
                      MNN::Session*& session);

// Releases the session, then the model, and empties both handles; does
// nothing for handles that hold nothing.
void release_engine_model(std::shared_ptr<MNN::Interpreter>& interpreter, MNN::Session*& session);

}  // namespace OCR
