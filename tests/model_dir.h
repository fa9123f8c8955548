// Test helpers: model files in the library's own format and temporary model
// directories. Header-only; the scrambling itself is the library's
// encode_model_buffer, so tests using this header link libvarnel.
//
//   varnel_test::ModelDir dir;                       // mkdtemp under /tmp
//   ASSERT_TRUE(dir.ok());
//   ASSERT_TRUE(dir.add_model("boxv3.p", varnel_test::data_path("det_dark.onnx")));
//   ASSERT_TRUE(dir.add_copy("ocrv3_cn.txt", varnel_test::data_path("rec_bars_dict.txt")));
//   init_crnn(dir.path(), "cpu", 0) ...                // removed when `dir` goes
//
// or, for the usual three files, varnel_test::make_test_model_dir().
#pragma once

#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "encode.h"

namespace varnel_test {

#ifdef VARNEL_SOURCE_DIR
// Path of a file in the repository's tests/data directory.
inline std::string data_path(const std::string& name) { return std::string(VARNEL_SOURCE_DIR) + "/tests/data/" + name; }
#endif

// Whole file as bytes; false when it cannot be read.
inline bool read_bytes(const std::string& path, std::vector<unsigned char>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

inline bool write_bytes(const std::string& path, const unsigned char* data, size_t n) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(n));
    return static_cast<bool>(out.flush());
}

// The header the library's reader expects in front of a payload that is
// scrambled over its whole length: both markers 0x11, encoding type 3,
// XOR over the whole payload (xor_len 0xFF), DES over its first eighth
// (des_len 0xFF), version "0001", id "test".
inline _s_model_head test_model_head() {
    _s_model_head h;
    std::memset(&h, 0, sizeof h);
    h.magic = 0x11;
    std::memcpy(h.version, "0001", 4);
    h.encode_type = 3;
    std::memcpy(h.id, "test", 4);
    h.xor_len = static_cast<signed char>(0xFF);
    h.des_len = static_cast<signed char>(0xFF);
    h.tail_magic = 0x11;
    return h;
}

// Model file bytes for `payload`: header plus the payload scrambled so that
// the reader's decoding (DES over len / 8 bytes, then XOR over len / 8
// blocks) restores it. The reader refuses files under 800 bytes, i.e.
// payloads under 771 bytes.
inline std::vector<unsigned char> model_file_bytes(const std::vector<unsigned char>& payload) {
    const _s_model_head h = test_model_head();
    std::vector<unsigned char> file(sizeof h + payload.size());
    std::memcpy(file.data(), &h, sizeof h);
    if (payload.empty()) return file;
    std::memcpy(file.data() + sizeof h, payload.data(), payload.size());
    const long len = static_cast<long>(payload.size());
    encode_model_buffer(file.data() + sizeof h, static_cast<int>(len / 8), static_cast<int>(len / 8));
    return file;
}

// Writes `model_path` as a model file wrapping the engine payload `payload`.
inline bool write_model_bytes(const std::vector<unsigned char>& payload, const std::string& model_path) {
    const std::vector<unsigned char> file = model_file_bytes(payload);
    return write_bytes(model_path, file.data(), file.size());
}

// Writes `model_path` as a model file wrapping the engine payload read from
// `payload_path` (e.g. tests/data/det_dark.onnx).
inline bool write_model_file(const std::string& payload_path, const std::string& model_path) {
    std::vector<unsigned char> payload;
    return read_bytes(payload_path, payload) && write_model_bytes(payload, model_path);
}

// A fresh directory under /tmp, removed with its contents when the object
// is destroyed. Movable, not copyable.
class ModelDir {
public:
    ModelDir() {
        char tmpl[] = "/tmp/varnel-models-XXXXXX";
        if (mkdtemp(tmpl) != nullptr) path_ = tmpl;
    }
    ~ModelDir() { remove(); }
    ModelDir(ModelDir&& other) noexcept : path_(std::move(other.path_)) { other.path_.clear(); }
    ModelDir& operator=(ModelDir&& other) noexcept {
        if (this != &other) {
            remove();
            path_ = std::move(other.path_);
            other.path_.clear();
        }
        return *this;
    }
    ModelDir(const ModelDir&) = delete;
    ModelDir& operator=(const ModelDir&) = delete;

    bool ok() const { return !path_.empty(); }
    // The directory, without a trailing separator.
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

    // A model file `name` wrapping the payload at `payload_path`.
    bool add_model(const std::string& name, const std::string& payload_path) const {
        return ok() && write_model_file(payload_path, file(name));
    }
    // A model file `name` wrapping the payload bytes `payload` (e.g. a
    // network generated by the test).
    bool add_model_bytes(const std::string& name, const std::vector<unsigned char>& payload) const {
        return ok() && write_model_bytes(payload, file(name));
    }
    bool add_model_bytes(const std::string& name, const std::string& payload) const {
        return add_model_bytes(name, std::vector<unsigned char>(payload.begin(), payload.end()));
    }
    // A copy of `source` (e.g. a dictionary) stored as `name`.
    bool add_copy(const std::string& name, const std::string& source) const {
        std::vector<unsigned char> bytes;
        return ok() && read_bytes(source, bytes) && write_bytes(file(name), bytes.data(), bytes.size());
    }
    // A file `name` holding `contents` as they are.
    bool add_text(const std::string& name, const std::string& contents) const {
        return ok() && write_bytes(file(name), reinterpret_cast<const unsigned char*>(contents.data()), contents.size());
    }

private:
    void remove() {
        if (path_.empty()) return;
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
        path_.clear();
    }
    std::string path_;
};

// A model directory holding `models` (file name -> payload path, each
// wrapped as a model file) and a copy of the dictionary `dict_source` named
// `dict_name` (skipped when `dict_name` is empty). `ok` tells whether every
// file was written.
inline ModelDir make_model_dir(const std::vector<std::pair<std::string, std::string>>& models,
                               const std::string& dict_name, const std::string& dict_source, bool* ok = nullptr) {
    ModelDir dir;
    bool good = dir.ok();
    for (const auto& m : models) good = good && dir.add_model(m.first, m.second);
    if (!dict_name.empty()) good = good && dir.add_copy(dict_name, dict_source);
    if (ok != nullptr) *ok = good;
    return dir;
}

#ifdef VARNEL_SOURCE_DIR
// The library's three files made from the test networks: "boxv3.p" from
// det_dark.onnx, "ocrv4_cn.p" from rec_bars.onnx and "ocrv3_cn.txt" from
// rec_bars_dict.txt.
inline ModelDir make_test_model_dir(bool* ok = nullptr) {
    return make_model_dir({{"boxv3.p", data_path("det_dark.onnx")}, {"ocrv4_cn.p", data_path("rec_bars.onnx")}},
                          "ocrv3_cn.txt", data_path("rec_bars_dict.txt"), ok);
}
#endif

}  // namespace varnel_test
