// Model file reading: a 64 MB type-3 file (XOR over the whole payload, DES
// over its first eighth) read and decoded, and the DES step on its own.
#include <benchmark/benchmark.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "encode.h"
#include "encode_internal.h"
#include "utils.h"
#include "zel_log.h"

namespace {

constexpr long kFileSize = 64L * 1024 * 1024;
constexpr long kPayload = kFileSize - static_cast<long>(sizeof(_s_model_head));

// The temporary model file, written once per process and removed at exit.
struct ModelFile {
    std::string dir, path;

    ModelFile() {
        char tmpl[] = "/tmp/varnel_bench_XXXXXX";
        if (mkdtemp(tmpl) == nullptr) {
            perror("mkdtemp");
            exit(1);
        }
        dir = tmpl;
        path = dir + "/model.p";

        _s_model_head head;
        memset(&head, 0, sizeof(head));
        head.magic = 0x11;
        head.tail_magic = 0x11;
        memcpy(head.version, "b001", 4);
        head.encode_type = 3;
        head.xor_len = static_cast<signed char>(0xFF);
        head.des_len = static_cast<signed char>(0xFF);

        std::vector<unsigned char> payload(static_cast<size_t>(kPayload));
        std::mt19937_64 gen(42);
        for (size_t i = 0; i + 8 <= payload.size(); i += 8) {
            uint64_t v = gen();
            memcpy(&payload[i], &v, 8);
        }
        long n_xor = 0, n_des = 0;
        model_buffer_counts(kPayload, head, n_xor, n_des);
        encode_model_buffer(payload.data(), static_cast<int>(n_xor), static_cast<int>(n_des));

        FILE* fp = fopen(path.c_str(), "wb");
        if (fp == nullptr || fwrite(&head, 1, sizeof(head), fp) != sizeof(head) ||
            fwrite(payload.data(), 1, payload.size(), fp) != payload.size() || fclose(fp) != 0) {
            perror("writing the benchmark model file");
            exit(1);
        }
    }
    ~ModelFile() {
        unlink(path.c_str());
        rmdir(dir.c_str());
    }
};

const ModelFile& model_file() {
    static const ModelFile file;
    return file;
}

void BM_ReadModelType3(benchmark::State& state) {
    const std::string& path = model_file().path;
    zel_set_log_dummy(1);  // keep the header line out of the report
    for (auto _ : state) {
        long len = 0;
        unsigned char* buf = read_model_from_file(path, len, 1);
        if (buf == nullptr || len != kPayload) {
            state.SkipWithError("read_model_from_file failed");
            break;
        }
        benchmark::DoNotOptimize(buf[len - 1]);
        free(buf);
    }
    zel_set_log_dummy(0);
    state.SetBytesProcessed(state.iterations() * kFileSize);
}
BENCHMARK(BM_ReadModelType3)->Unit(benchmark::kMillisecond)->UseRealTime();

// The DES step of that file alone: the first eighth of the payload.
void BM_DesStep(benchmark::State& state) {
    const int n = static_cast<int>(kPayload / 8);
    std::vector<unsigned char> buf(static_cast<size_t>(n), 0x5A);
    for (auto _ : state) {
        _decode_model_buffer2(buf.data(), n, 0);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(n));
}
BENCHMARK(BM_DesStep)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
