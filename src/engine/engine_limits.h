// Size limits of the inference engine, for the engine's own sources and for
// callers that can tell the size of an input before they build it.
// Internal to the library (not installed).
#pragma once

#include <climits>
#include <vector>

namespace MNN {
namespace engine {

// Most values a tensor may hold: INT_MAX / 4 = 536,870,911 floats, just
// under 2 GiB. The byte count must fit the int that Tensor::size() reports,
// and OpenCV's dnn module counts the elements of a blob in int as well; a
// larger input is refused rather than handed to it. For scale: 81 full-HD
// pages preprocessed for detection (81 x 3 x 1120 x 1952 values) fit, 82
// do not.
constexpr long long kMaxElements = INT_MAX / static_cast<long long>(sizeof(float));

// Element count of `shape`, or -1 when an extent is negative or the count
// passes kMaxElements. An empty shape holds no element.
long long elementCount(const std::vector<int>& shape);

}  // namespace engine
}  // namespace MNN
