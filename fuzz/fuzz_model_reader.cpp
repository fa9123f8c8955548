// libFuzzer target for the model file reader and the payload decoder.
//
// Each input is written to one temporary file per process and read back
// with flag 1 (header, decoding) and flag 0 (as stored). Inputs of at least
// 29 bytes are also decoded directly: the first 29 bytes as the header, the
// rest copied into a heap block of exactly its size, so that the address
// sanitizer reports any byte read or written past the payload.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "encode.h"
#include "utils.h"
#include "zel_log.h"

namespace {

std::string g_path;

void remove_temp_file() {
    if (!g_path.empty()) unlink(g_path.c_str());
}

bool write_input(const uint8_t* data, size_t size) {
    FILE* fp = fopen(g_path.c_str(), "wb");
    if (fp == nullptr) return false;
    const bool ok = size == 0 || fwrite(data, 1, size, fp) == size;
    return fclose(fp) == 0 && ok;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char tmpl[] = "/tmp/varnel_fuzz_XXXXXX";
    const int fd = mkstemp(tmpl);
    if (fd < 0) {
        perror("mkstemp");
        abort();
    }
    close(fd);
    g_path = tmpl;
    atexit(remove_temp_file);
    // The reader's lines go to standard output; libFuzzer reports on
    // standard error, so standard output is dropped to keep runs fast.
    if (freopen("/dev/null", "w", stdout) == nullptr) abort();
    zel_set_log_dummy(1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!write_input(data, size)) abort();

    for (int flag : {1, 0}) {
        long len = -1;
        unsigned char* buf = read_model_from_file(g_path, len, flag);
        if (buf != nullptr) {
            const long expect = flag == 1 ? static_cast<long>(size) - 29 : static_cast<long>(size);
            if (len != expect) abort();
            if (flag != 1 && memcmp(buf, data, size) != 0) abort();
            free(buf);
        }
    }

    if (size >= sizeof(_s_model_head)) {
        _s_model_head head;
        memcpy(&head, data, sizeof(head));
        const size_t payload_len = size - sizeof(head);
        unsigned char* payload = static_cast<unsigned char*>(malloc(payload_len == 0 ? 1 : payload_len));
        if (payload == nullptr) abort();
        if (payload_len > 0) memcpy(payload, data + sizeof(head), payload_len);
        decode_model_buffer(payload, static_cast<long>(payload_len), head);
        free(payload);
    }
    return 0;
}
