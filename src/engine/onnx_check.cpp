// Structural check of an ONNX model before OpenCV parses it.
//
// OpenCV's ONNX importer trusts the sizes inside the model: a tensor whose
// stored data is shorter than its dimensions say is read past its end. The
// check walks the protobuf wire format of the model, its graphs, nodes,
// attributes and tensors, and refuses a payload that is not well-formed
// protobuf or that holds a tensor whose data does not match its
// dimensions. Only sizes are examined; the importer judges the rest.
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine_impl.h"

namespace MNN {
namespace engine {

namespace {

// Protobuf wire types.
enum : int { kVarint = 0, kFixed64 = 1, kBytes = 2, kFixed32 = 5 };

// Field numbers of the ONNX messages that lead to tensors.
enum : uint32_t {
    kModelGraph = 7,
    kGraphNode = 1,
    kGraphInitializer = 5,
    kGraphInput = 11,
    kNodeInput = 1,
    kNodeOutput = 2,
    kValueInfoName = 1,
    kNodeOpType = 4,
    kNodeAttribute = 5,
    kAttrName = 1,
    kAttrInt = 3,
    kAttrInts = 8,
    kAttrTensor = 5,
    kAttrGraph = 6,
    kAttrTensors = 10,
    kAttrGraphs = 11,
    kTensorDims = 1,
    kTensorDataType = 2,
    kTensorFloatData = 4,
    kTensorInt32Data = 5,
    kTensorStringData = 6,
    kTensorInt64Data = 7,
    kTensorName = 8,
    kTensorRawData = 9,
    kTensorDoubleData = 10,
    kTensorUint64Data = 11,
    kTensorExternalData = 13,
    kTensorDataLocation = 14,
};

// Nested graphs (subgraph attributes) deeper than this are refused.
constexpr int kMaxDepth = 16;

struct Reader {
    const unsigned char* p;
    const unsigned char* end;

    bool done() const { return p == end; }

    bool varint(uint64_t& v) {
        v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (p == end) return false;
            const unsigned char b = *p++;
            v |= static_cast<uint64_t>(b & 0x7F) << shift;
            if ((b & 0x80) == 0) return true;
        }
        return false;
    }

    // One field key; false at a malformed key or a group (wire types 3, 4).
    bool key(uint32_t& field, int& wire) {
        uint64_t k = 0;
        if (!varint(k)) return false;
        field = static_cast<uint32_t>(k >> 3);
        wire = static_cast<int>(k & 7);
        return field != 0 && k >> 3 <= 0x1FFFFFFF &&
               (wire == kVarint || wire == kFixed64 || wire == kBytes || wire == kFixed32);
    }

    bool bytes(Reader& sub) {
        uint64_t n = 0;
        if (!varint(n) || n > static_cast<uint64_t>(end - p)) return false;
        sub = Reader{p, p + n};
        p += n;
        return true;
    }

    bool skip(int wire) {
        uint64_t v = 0;
        Reader sub{};
        switch (wire) {
            case kVarint: return varint(v);
            case kFixed64: return advance(8);
            case kFixed32: return advance(4);
            case kBytes: return bytes(sub);
            default: return false;
        }
    }

    bool advance(size_t n) {
        if (static_cast<size_t>(end - p) < n) return false;
        p += n;
        return true;
    }
};

// Number of varints in a packed field.
bool countVarints(Reader r, uint64_t& count) {
    uint64_t v = 0;
    while (!r.done()) {
        if (!r.varint(v)) return false;
        ++count;
    }
    return true;
}

// Adds the values of a repeated scalar field, packed or not, to `count`.
bool countRepeated(Reader& r, int wire, int fixedWidth, uint64_t& count) {
    if (wire == kBytes) {
        Reader sub{};
        if (!r.bytes(sub)) return false;
        if (fixedWidth == 0) return countVarints(sub, count);
        const size_t n = static_cast<size_t>(sub.end - sub.p);
        if (n % static_cast<size_t>(fixedWidth) != 0) return false;
        count += n / static_cast<size_t>(fixedWidth);
        return true;
    }
    const int expected = fixedWidth == 0 ? kVarint : (fixedWidth == 4 ? kFixed32 : kFixed64);
    if (wire != expected) return false;
    ++count;
    return r.skip(wire);
}

// Bytes per element of an ONNX data type; 0 for strings and unknown types.
uint64_t elementBytes(uint64_t type) {
    switch (type) {
        case 2: case 3: case 9: return 1;             // uint8, int8, bool
        case 4: case 5: case 10: case 16: return 2;   // uint16, int16, float16, bfloat16
        case 1: case 6: case 12: return 4;            // float, int32, uint32
        case 7: case 11: case 13: case 14: return 8;  // int64, double, uint64, complex64
        case 15: return 16;                           // complex128
        default: return 0;
    }
}

bool checkGraph(Reader r, int depth);

std::string text(const Reader& r) { return std::string(reinterpret_cast<const char*>(r.p), static_cast<size_t>(r.end - r.p)); }

// Checks a TensorProto; its name, when asked for, goes to `name`.
bool checkTensor(Reader r, std::string* name = nullptr) {
    uint64_t elements = 1;
    uint64_t dataType = 0;
    bool hasRaw = false;
    uint64_t rawBytes = 0;
    uint64_t floats = 0, int32s = 0, strings = 0, int64s = 0, doubles = 0, uint64s = 0;
    bool external = false;
    // The element count may not exceed what any payload could hold.
    const uint64_t limit = uint64_t(1) << 40;
    while (!r.done()) {
        uint32_t field = 0;
        int wire = 0;
        if (!r.key(field, wire)) return false;
        uint64_t v = 0;
        Reader sub{};
        switch (field) {
            case kTensorDims: {
                std::vector<int64_t> dims;
                if (wire == kBytes) {
                    if (!r.bytes(sub)) return false;
                    while (!sub.done()) {
                        if (!sub.varint(v)) return false;
                        dims.push_back(static_cast<int64_t>(v));
                    }
                } else if (wire == kVarint) {
                    if (!r.varint(v)) return false;
                    dims.push_back(static_cast<int64_t>(v));
                } else {
                    return false;
                }
                for (int64_t d : dims) {
                    // The importer holds extents as int.
                    if (d < 0 || d > INT32_MAX) return false;
                    if (d != 0 && elements > limit / static_cast<uint64_t>(d)) return false;
                    elements *= static_cast<uint64_t>(d);
                }
                break;
            }
            case kTensorDataType:
                if (wire != kVarint || !r.varint(dataType)) return false;
                break;
            case kTensorRawData:
                if (wire != kBytes || !r.bytes(sub)) return false;
                hasRaw = true;
                rawBytes = static_cast<uint64_t>(sub.end - sub.p);
                break;
            case kTensorFloatData:
                if (!countRepeated(r, wire, 4, floats)) return false;
                break;
            case kTensorInt32Data:
                if (!countRepeated(r, wire, 0, int32s)) return false;
                break;
            case kTensorStringData:
                if (wire != kBytes || !r.bytes(sub)) return false;
                ++strings;
                break;
            case kTensorInt64Data:
                if (!countRepeated(r, wire, 0, int64s)) return false;
                break;
            case kTensorDoubleData:
                if (!countRepeated(r, wire, 8, doubles)) return false;
                break;
            case kTensorUint64Data:
                if (!countRepeated(r, wire, 0, uint64s)) return false;
                break;
            case kTensorName:
                if (wire != kBytes || !r.bytes(sub)) return false;
                if (name != nullptr) *name = text(sub);
                break;
            case kTensorExternalData:
                if (!r.skip(wire)) return false;
                external = true;
                break;
            case kTensorDataLocation:
                if (wire != kVarint || !r.varint(v)) return false;
                external = external || v != 0;
                break;
            default:
                if (!r.skip(wire)) return false;
        }
    }
    // Data held outside the model cannot be reached from a buffer.
    if (external) return false;
    if (dataType == 8) return strings == elements;  // strings
    const uint64_t width = elementBytes(dataType);
    if (width == 0) return false;
    if (hasRaw) return rawBytes == elements * width;
    switch (dataType) {
        case 1: return floats == elements;
        case 14: return floats == 2 * elements;
        case 7: return int64s == elements;
        case 11: return doubles == elements;
        case 15: return doubles == 2 * elements;
        case 12: case 13: return uint64s == elements;
        default: return int32s == elements;  // the narrow integer, bool and 16-bit float types
    }
}

// The attribute values of a node that the node check examines.
struct NodeAttributes {
    std::vector<int64_t> perm;  // "perm" (Transpose)
    int64_t group = 1;          // "group" (Conv, ConvTranspose); 1 when absent
};

// Checks an AttributeProto; an attribute named "perm" leaves its integers,
// one named "group" its integer, in `attrs`.
bool checkAttribute(Reader r, int depth, NodeAttributes& attrs) {
    std::string name;
    std::vector<int64_t> ints;
    bool hasInt = false;
    int64_t single = 0;
    while (!r.done()) {
        uint32_t field = 0;
        int wire = 0;
        if (!r.key(field, wire)) return false;
        Reader sub{};
        uint64_t v = 0;
        if ((field == kAttrTensor || field == kAttrTensors) && wire == kBytes) {
            if (!r.bytes(sub) || !checkTensor(sub)) return false;
        } else if ((field == kAttrGraph || field == kAttrGraphs) && wire == kBytes) {
            if (!r.bytes(sub) || !checkGraph(sub, depth + 1)) return false;
        } else if (field == kAttrName && wire == kBytes) {
            if (!r.bytes(sub)) return false;
            name = text(sub);
        } else if (field == kAttrInt && wire == kVarint) {
            if (!r.varint(v)) return false;
            hasInt = true;
            single = static_cast<int64_t>(v);
        } else if (field == kAttrInts && wire == kBytes) {
            if (!r.bytes(sub)) return false;
            while (!sub.done()) {
                if (!sub.varint(v)) return false;
                ints.push_back(static_cast<int64_t>(v));
            }
        } else if (field == kAttrInts && wire == kVarint) {
            if (!r.varint(v)) return false;
            ints.push_back(static_cast<int64_t>(v));
        } else if (!r.skip(wire)) {
            return false;
        }
    }
    if (name == "perm") attrs.perm = ints;
    // A "group" without an integer value counts as 0 and is refused.
    if (name == "group") attrs.group = hasInt ? single : 0;
    return true;
}

// True when `perm` holds each of 0 .. size - 1 once.
bool isPermutation(const std::vector<int64_t>& perm) {
    std::vector<bool> seen(perm.size(), false);
    for (int64_t a : perm) {
        if (a < 0 || a >= static_cast<int64_t>(perm.size()) || seen[static_cast<size_t>(a)]) return false;
        seen[static_cast<size_t>(a)] = true;
    }
    return true;
}

// Checks a NodeProto; its input and output names go to `inputs`, `outputs`.
// A Transpose must carry a true permutation: the importer indexes axes by
// it unchecked. A convolution's group count must be a positive int: the
// importer divides the channel counts by it unchecked, and a count of 0
// ends the process with a division fault.
bool checkNode(Reader r, int depth, std::vector<std::string>& inputs, std::vector<std::string>& outputs) {
    std::string op;
    NodeAttributes attrs;
    while (!r.done()) {
        uint32_t field = 0;
        int wire = 0;
        if (!r.key(field, wire)) return false;
        Reader sub{};
        if (field == kNodeAttribute && wire == kBytes) {
            if (!r.bytes(sub) || !checkAttribute(sub, depth, attrs)) return false;
        } else if ((field == kNodeInput || field == kNodeOutput) && wire == kBytes) {
            if (!r.bytes(sub)) return false;
            (field == kNodeInput ? inputs : outputs).push_back(text(sub));
        } else if (field == kNodeOpType && wire == kBytes) {
            if (!r.bytes(sub)) return false;
            op = text(sub);
        } else if (!r.skip(wire)) {
            return false;
        }
    }
    if (op == "Transpose" && !isPermutation(attrs.perm)) return false;
    return !((op == "Conv" || op == "ConvTranspose") && (attrs.group < 1 || attrs.group > INT32_MAX));
}

// Name of a ValueInfoProto (a graph input).
bool valueInfoName(Reader r, std::string& name) {
    while (!r.done()) {
        uint32_t field = 0;
        int wire = 0;
        if (!r.key(field, wire)) return false;
        Reader sub{};
        if (field == kValueInfoName && wire == kBytes) {
            if (!r.bytes(sub)) return false;
            name = text(sub);
        } else if (!r.skip(wire)) {
            return false;
        }
    }
    return true;
}

// Checks a GraphProto. In the main graph (depth 0) every node input must
// name a graph input, an initializer or an output of an earlier node (the
// importer dereferences what it finds under that name); a nested graph may
// also use names of its enclosing graphs, so there only tensors are checked.
bool checkGraph(Reader r, int depth) {
    if (depth > kMaxDepth) return false;
    std::unordered_set<std::string> known;
    std::vector<Reader> nodes;
    while (!r.done()) {
        uint32_t field = 0;
        int wire = 0;
        if (!r.key(field, wire)) return false;
        Reader sub{};
        std::string name;
        if (field == kGraphNode && wire == kBytes) {
            if (!r.bytes(sub)) return false;
            nodes.push_back(sub);
        } else if (field == kGraphInitializer && wire == kBytes) {
            if (!r.bytes(sub) || !checkTensor(sub, &name)) return false;
            known.insert(name);
        } else if (field == kGraphInput && wire == kBytes) {
            if (!r.bytes(sub) || !valueInfoName(sub, name)) return false;
            known.insert(name);
        } else if (!r.skip(wire)) {
            return false;
        }
    }
    // Nodes in their stored (topological) order.
    std::vector<std::string> inputs, outputs;
    for (const Reader& node : nodes) {
        inputs.clear();
        outputs.clear();
        if (!checkNode(node, depth, inputs, outputs)) return false;
        if (depth > 0) continue;
        for (const std::string& in : inputs)
            if (!in.empty() && known.count(in) == 0) return false;
        known.insert(outputs.begin(), outputs.end());
    }
    return true;
}

}  // namespace

bool wellFormedOnnx(const void* buffer, size_t size) {
    if (buffer == nullptr || size == 0) return false;
    const unsigned char* p = static_cast<const unsigned char*>(buffer);
    Reader r{p, p + size};
    bool hasGraph = false;
    while (!r.done()) {
        uint32_t field = 0;
        int wire = 0;
        if (!r.key(field, wire)) return false;
        Reader sub{};
        if (field == kModelGraph && wire == kBytes) {
            if (!r.bytes(sub) || !checkGraph(sub, 0)) return false;
            hasGraph = true;
        } else if (!r.skip(wire)) {
            return false;
        }
    }
    return hasGraph;
}

}  // namespace engine
}  // namespace MNN
