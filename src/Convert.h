// Polymorphic base of the two network classes.
#pragma once

#include <string>
#include <vector>

class Convert {
public:
    Convert() : precision("fp32"), min_shape{1, 3, 20, 20}, opt_shape{1, 3, 512, 512}, max_shape{100, 3, 640, 640} {}
    virtual ~Convert();

    bool buildEngine(const std::string& onnx_path, const std::string& engine_path);
    bool deserializeEngine(const std::string& engine_path);
    int Model_Init(const std::string& model_dir, const std::string& onnx_name, const std::string& engine_name);

    std::string precision;
    std::vector<int> min_shape;
    std::vector<int> opt_shape;
    std::vector<int> max_shape;
};
