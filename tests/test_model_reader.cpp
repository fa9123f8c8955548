// Model file reader: size limits, header markers and header line, flag 0,
// every failure message with a null result and the file closed, and the
// decoded payload.
#include <gtest/gtest.h>

#include <dirent.h>
#include <dlfcn.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "encode.h"
#include "encode_internal.h"
#include "model_dir.h"
#include "utils.h"
#include "zel_log.h"

// ---------------------------------------------------------- fault injection
// fread is replaced for this test program so that a chosen call can come
// back short. -1: no fault; n >= 0: the n-th following call returns 0 items.
static int g_fread_fault_countdown = -1;

extern "C" size_t fread(void* ptr, size_t size, size_t n, FILE* fp) {
    using Fn = size_t (*)(void*, size_t, size_t, FILE*);
    static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "fread"));
    if (g_fread_fault_countdown >= 0 && g_fread_fault_countdown-- == 0) return 0;
    return real(ptr, size, n, fp);
}

namespace {

using Bytes = std::vector<unsigned char>;

int count_open_fds() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n;
}

struct Header {
    unsigned char magic = 0x11;
    std::string version = "1.02";
    int encode_type = 0;
    std::string id = "detector";
    int fw = 0, l = 0, xor_len = 0, des_len = 0;
    unsigned char tail_magic = 0x11;

    Bytes bytes() const {
        Bytes h(29, 0);
        h[0] = magic;
        memcpy(&h[1], version.data(), std::min<size_t>(4, version.size()));
        h[5] = static_cast<unsigned char>(encode_type);
        memcpy(&h[6], id.data(), std::min<size_t>(15, id.size()));
        h[21] = static_cast<unsigned char>(fw);
        h[22] = static_cast<unsigned char>(l);
        h[23] = static_cast<unsigned char>(xor_len);
        h[24] = static_cast<unsigned char>(des_len);
        h[25] = 0xAB;  // reserved bytes: never read
        h[26] = 0xCD;
        h[27] = 0xEF;
        h[28] = tail_magic;
        return h;
    }
    _s_model_head head() const {
        _s_model_head r;
        Bytes b = bytes();
        memcpy(&r, b.data(), sizeof(r));
        return r;
    }
};

Bytes random_bytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    Bytes b(n);
    for (auto& c : b) c = static_cast<unsigned char>(gen());
    return b;
}

class ModelReader : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp_.ok());
        dir_ = tmp_.path();
        zel_set_log_dummy(0);
        zel_set_log_file(nullptr);
        g_fread_fault_countdown = -1;
    }
    void TearDown() override { g_fread_fault_countdown = -1; }

    std::string write_file(const std::string& name, const Bytes& data) {
        std::string path = dir_ + "/" + name;
        FILE* fp = fopen(path.c_str(), "wb");
        EXPECT_NE(fp, nullptr);
        if (fp != nullptr) {
            if (!data.empty()) fwrite(data.data(), 1, data.size(), fp);
            fclose(fp);
        }
        return path;
    }
    std::string write_model(const std::string& name, const Header& h, const Bytes& payload) {
        Bytes all = h.bytes();
        all.insert(all.end(), payload.begin(), payload.end());
        return write_file(name, all);
    }
    // A file of `size` bytes that starts with `prefix` and is sparse after it.
    std::string sparse_file(const std::string& name, const Bytes& prefix, off_t size) {
        std::string path = write_file(name, prefix);
        EXPECT_EQ(truncate(path.c_str(), size), 0);
        return path;
    }

    // Runs the reader with standard output captured.
    unsigned char* read(const std::string& path, long& len, int flag, std::string& out) {
        testing::internal::CaptureStdout();
        unsigned char* buf = read_model_from_file(path, len, flag);
        fflush(stdout);
        out = testing::internal::GetCapturedStdout();
        return buf;
    }

    varnel_test::ModelDir tmp_;  // a fresh directory, removed with its files
    std::string dir_;
};

TEST_F(ModelReader, MissingFileIsReportedBeforeAnyCheck) {
    const std::string path = dir_ + "/absent.p";
    long len = 123;
    std::string out;
    const int fds = count_open_fds();
    EXPECT_EQ(read(path, len, 1, out), nullptr);
    EXPECT_EQ(out, "open model file [" + path + "] fail.\n");
    EXPECT_EQ(len, 0);
    EXPECT_EQ(count_open_fds(), fds);
}

TEST_F(ModelReader, SizeLimitsAt799And800) {
    const int fds = count_open_fds();
    const std::string small = write_file("small.p", Header().bytes());
    ASSERT_EQ(truncate(small.c_str(), 799), 0);
    long len = 55;
    std::string out;
    EXPECT_EQ(read(small, len, 1, out), nullptr);
    EXPECT_EQ(out, "model file [" + small + "] length is invalid = 799.\n");
    EXPECT_EQ(len, 0);
    // flag 0 applies the same size check.
    EXPECT_EQ(read(small, len, 0, out), nullptr);
    EXPECT_EQ(out, "model file [" + small + "] length is invalid = 799.\n");

    Header h;
    const Bytes payload = random_bytes(771, 1);
    const std::string ok = write_model("ok.p", h, payload);
    unsigned char* buf = read(ok, len, 1, out);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(len, 771);
    EXPECT_EQ(Bytes(buf, buf + len), payload);
    free(buf);
    EXPECT_EQ(out, "load model [" + ok + "]=800\nv[1.02] e[00] id[detector] fw[00] l[00]\n");
    EXPECT_EQ(count_open_fds(), fds);
}

TEST_F(ModelReader, EitherMarkerMakesTheHeaderValid) {
    const Bytes payload = random_bytes(900, 2);
    struct Case {
        unsigned char head, tail;
        bool valid;
    };
    const Case cases[] = {{0x11, 0x00, true}, {0x00, 0x11, true}, {0x11, 0x11, true}, {0x00, 0x00, false},
                          {0x12, 0x10, false}};
    const int fds = count_open_fds();
    for (const Case& c : cases) {
        Header h;
        h.magic = c.head;
        h.tail_magic = c.tail;
        const std::string path = write_model("m.p", h, payload);
        long len = 0;
        std::string out;
        unsigned char* buf = read(path, len, 1, out);
        const std::string size_line = "load model [" + path + "]=929\n";
        if (c.valid) {
            ASSERT_NE(buf, nullptr);
            EXPECT_EQ(Bytes(buf, buf + len), payload);
            EXPECT_EQ(out.rfind(size_line, 0), 0u) << out;
            free(buf);
        } else {
            EXPECT_EQ(buf, nullptr);
            EXPECT_EQ(out, size_line + "model file format is not valid[" + path + "]\n");
            EXPECT_EQ(len, 929);  // the file size, as the header check left it
        }
    }
    EXPECT_EQ(count_open_fds(), fds);
}

TEST_F(ModelReader, FlagZeroReturnsTheWholeFileAsStored) {
    Header h;
    h.magic = 0x00;
    h.tail_magic = 0x00;  // not a valid header: flag 0 does not look at it
    h.encode_type = 3;
    h.xor_len = 0xFF;
    h.des_len = 0xFF;
    const Bytes payload = random_bytes(771, 3);
    const std::string path = write_model("raw.p", h, payload);
    Bytes whole = h.bytes();
    whole.insert(whole.end(), payload.begin(), payload.end());

    long len = 0;
    std::string out;
    unsigned char* buf = read(path, len, 0, out);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(len, 800);
    EXPECT_EQ(Bytes(buf, buf + len), whole);
    free(buf);
    EXPECT_EQ(out, "load model [" + path + "]=800\n");

    // Any flag other than 1 behaves the same.
    buf = read(path, len, 7, out);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(Bytes(buf, buf + len), whole);
    free(buf);
}

TEST_F(ModelReader, HeaderLineFormatting) {
    struct Case {
        int type, fw, l;
        std::string version, id, line;
    };
    const std::string id15 = "ABCDEFGHIJKLMNO";
    const std::string id_nul("ab\0cdefg", 8);
    const Case cases[] = {
        {0x03, 0x05, 0x7F, "v2.1", id15, "v[v2.1] e[03] id[ABCDEFGHIJKLMNO] fw[05] l[7f]"},
        {0x83, 0x80, 0xFE, "abcd", id_nul, "v[abcd] e[ffffff83] id[ab] fw[ffffff80] l[fffffffe]"},
        {0x07, 0x00, 0x00, "x", "", "v[x] e[07] id[] fw[00] l[00]"},
    };
    for (const Case& c : cases) {
        Header h;
        h.encode_type = c.type;
        h.fw = c.fw;
        h.l = c.l;
        h.version = c.version;
        h.id = c.id;
        const Bytes payload = random_bytes(1000, 4);
        const std::string path = write_model("h.p", h, payload);
        long len = 0;
        std::string out;
        unsigned char* buf = read(path, len, 1, out);
        ASSERT_NE(buf, nullptr);
        // Types 3 with zero counts, 0x83 and 7 leave the payload as stored.
        EXPECT_EQ(Bytes(buf, buf + len), payload);
        free(buf);
        EXPECT_EQ(out, "load model [" + path + "]=1029\n" + c.line + "\n");
    }

    // Quiet logging drops the header line but not the level-1 size line.
    Header h;
    const std::string path = write_model("q.p", h, random_bytes(800, 5));
    zel_set_log_dummy(1);
    long len = 0;
    std::string out;
    unsigned char* buf = read(path, len, 1, out);
    zel_set_log_dummy(0);
    free(buf);
    EXPECT_EQ(out, "load model [" + path + "]=829\n");
}

TEST_F(ModelReader, DecodesScrambledPayloads) {
    const Bytes payload = random_bytes(50000, 6);
    const int settings[][3] = {{3, 0xFF, 0xFF}, {3, 2, 3}, {1, 0, 0}, {2, 0, 0}, {3, 127, 127}};
    for (const auto& s : settings) {
        Header h;
        h.encode_type = s[0];
        h.xor_len = s[1];
        h.des_len = s[2];
        long n_xor = 0, n_des = 0;
        ASSERT_EQ(model_buffer_counts(static_cast<long>(payload.size()), h.head(), n_xor, n_des), 0);
        Bytes scrambled(payload);
        encode_model_buffer(scrambled.data(), static_cast<int>(n_xor), static_cast<int>(n_des));
        ASSERT_NE(scrambled, payload);
        const std::string path = write_model("s.p", h, scrambled);
        long len = 0;
        std::string out;
        unsigned char* buf = read(path, len, 1, out);
        ASSERT_NE(buf, nullptr);
        EXPECT_EQ(len, 50000);
        EXPECT_TRUE(Bytes(buf, buf + len) == payload) << "type " << s[0] << " xor " << s[1] << " des " << s[2];
        free(buf);
    }
}

TEST_F(ModelReader, ShortReadsFailCleanly) {
    const Bytes payload = random_bytes(1000, 7);
    const std::string path = write_model("r.p", Header(), payload);
    const int fds = count_open_fds();
    long len = 0;
    std::string out;

    g_fread_fault_countdown = 0;  // the header read comes back short
    EXPECT_EQ(read(path, len, 1, out), nullptr);
    EXPECT_EQ(out, "load model [" + path + "]=1029\nread model file [" + path + "] too short\n");
    EXPECT_EQ(len, 1029);
    EXPECT_EQ(count_open_fds(), fds);

    g_fread_fault_countdown = 1;  // header fine, payload read short
    EXPECT_EQ(read(path, len, 1, out), nullptr);
    EXPECT_EQ(out, "load model [" + path + "]=1029\nv[1.02] e[00] id[detector] fw[00] l[00]\nread model file [" + path +
                       "] error\n");
    EXPECT_EQ(len, 1000);  // the payload length
    EXPECT_EQ(count_open_fds(), fds);

    g_fread_fault_countdown = 0;  // flag 0: the one read is the whole file
    EXPECT_EQ(read(path, len, 0, out), nullptr);
    EXPECT_EQ(out, "load model [" + path + "]=1029\nread model file [" + path + "] error\n");
    EXPECT_EQ(count_open_fds(), fds);
    g_fread_fault_countdown = -1;
}

TEST_F(ModelReader, FilesAroundTheUpperSizeLimit) {
    // Sparse files: only the size is examined, the 2 GB are never read.
    const std::string big = sparse_file("big.p", Header().bytes(), 2000000001);
    long len = 9;
    std::string out;
    EXPECT_EQ(read(big, len, 1, out), nullptr);
    EXPECT_EQ(out, "model file [" + big + "] length is invalid = 2000000001.\n");
    EXPECT_EQ(len, 0);

    Header h;
    h.encode_type = 3;
    const std::string limit = sparse_file("limit.p", h.bytes(), 2000000000);
    FILE* fp = fopen(limit.c_str(), "rb");
    ASSERT_NE(fp, nullptr);
    _s_model_head head;
    len = 0;
    std::vector<char> cpath(limit.begin(), limit.end());
    cpath.push_back('\0');
    testing::internal::CaptureStdout();
    EXPECT_EQ(get_model_header(cpath.data(), head, len, fp, 1), 0);
    fflush(stdout);
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(len, 1999999971);
    EXPECT_EQ(ftell(fp), 29);  // positioned at the payload
    EXPECT_EQ(head.encode_type, 3);
    EXPECT_EQ(out, "load model [" + limit + "]=2000000000\nv[1.02] e[03] id[detector] fw[00] l[00]\n");
    fclose(fp);
}

TEST_F(ModelReader, HeaderStepClosesTheFileOnFailureAndPositionsOnSuccess) {
    const Bytes payload = random_bytes(900, 8);
    Header bad;
    bad.magic = 0;
    bad.tail_magic = 0;
    const std::string bad_path = write_model("bad.p", bad, payload);
    const std::string small_path = write_file("small.p", random_bytes(100, 9));
    const std::string good_path = write_model("good.p", Header(), payload);
    char name[] = "name-for-messages";
    const int fds = count_open_fds();
    _s_model_head head;
    long len = 0;

    for (const std::string& p : {bad_path, small_path}) {
        FILE* fp = fopen(p.c_str(), "rb");
        ASSERT_NE(fp, nullptr);
        testing::internal::CaptureStdout();
        EXPECT_EQ(get_model_header(name, head, len, fp, 1), -1);
        fflush(stdout);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("[name-for-messages]"), std::string::npos) << out;
        EXPECT_EQ(count_open_fds(), fds) << p;  // closed by the header step
    }

    // flag 0: the whole file is the payload, positioned at its start.
    FILE* fp = fopen(good_path.c_str(), "rb");
    ASSERT_NE(fp, nullptr);
    testing::internal::CaptureStdout();
    EXPECT_EQ(get_model_header(name, head, len, fp, 0), 0);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "load model [name-for-messages]=929\n");
    EXPECT_EQ(len, 929);
    EXPECT_EQ(ftell(fp), 0);
    fclose(fp);
}

#if defined(__SANITIZE_ADDRESS__)
#define VARNEL_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VARNEL_UNDER_ASAN 1
#endif
#endif

// The payload block cannot be allocated: run in a child process whose
// address space is capped just above what it already uses.
TEST_F(ModelReader, AllocationFailureIsReported) {
#ifdef VARNEL_UNDER_ASAN
    GTEST_SKIP() << "address-space limits do not mix with the address sanitizer";
#else
    const std::string path = sparse_file("huge.p", Header().bytes(), 1000000029);
    const std::string capture = dir_ + "/stdout.txt";
    EXPECT_EXIT(
        {
            long vm_kb = 0;
            std::ifstream status("/proc/self/status");
            for (std::string line; std::getline(status, line);)
                if (line.rfind("VmSize:", 0) == 0) vm_kb = std::stol(line.substr(7));
            status.close();
            struct rlimit lim;
            lim.rlim_cur = lim.rlim_max = static_cast<rlim_t>(vm_kb + 256 * 1024) * 1024;
            if (setrlimit(RLIMIT_AS, &lim) != 0) _exit(3);
            if (freopen(capture.c_str(), "w", stdout) == nullptr) _exit(4);
            const int fds = count_open_fds();
            long len = 0;
            unsigned char* buf = read_model_from_file(path, len, 1);
            fflush(stdout);
            const int fds_after = count_open_fds();
            std::ifstream in(capture);
            std::stringstream ss;
            ss << in.rdbuf();
            const std::string expect = "load model [" + path +
                                       "]=1000000029\nv[1.02] e[00] id[detector] fw[00] l[00]\n"
                                       "malloc memory 1000000000 error\n";
            const bool ok = buf == nullptr && len == 1000000000 && ss.str() == expect && fds_after == fds;
            if (!ok)
                fprintf(stderr, "buf %p len %ld fds %d/%d output:\n%s", static_cast<void*>(buf), len, fds,
                        fds_after, ss.str().c_str());
            _exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
#endif
}

}  // namespace
