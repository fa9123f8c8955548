// model_tool: writes and verifies model files.
//
//   model_tool pack <payload> <out.p> [--type N] [--xor-len B] [--des-len B]
//                   [--version TEXT] [--id TEXT] [--fw B] [--l B]
//   model_tool check <file.p> <payload>
//
// pack puts the 29-byte header in front of the payload and scrambles the
// payload so that the library's reader restores it; check reads a model
// file back through the library and compares it with the payload.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "encode.h"
#include "encode_internal.h"
#include "utils.h"

namespace {

constexpr long kHeaderSize = static_cast<long>(sizeof(_s_model_head));
constexpr long kMinPayload = 800 - kHeaderSize;
constexpr long kMaxPayload = 2000000000 - kHeaderSize;

void usage(FILE* out) {
    fprintf(out,
            "usage:\n"
            "  model_tool pack <payload> <out.p> [--type N] [--xor-len B] [--des-len B]\n"
            "                  [--version TEXT] [--id TEXT] [--fw B] [--l B]\n"
            "  model_tool check <file.p> <payload>\n"
            "\n"
            "pack options (B is a byte: 0..255 or -128..-1, decimal or 0x hex):\n"
            "  --type N      encoding type (default 3); 1, 2: XOR of the first 800 blocks;\n"
            "                3: DES and XOR sized by --des-len / --xor-len; other: stored plain\n"
            "  --xor-len B   type 3 XOR part: B * 8 blocks, 0xff = whole payload (default 0xff)\n"
            "  --des-len B   type 3 DES part: B * 8 bytes, 0xff = first eighth (default 0xff)\n"
            "  --version T   version text, at most 4 characters (default \"v001\")\n"
            "  --id T        identifier text, at most 15 characters (default \"varnel\")\n"
            "  --fw B, --l B header bytes, only informative (default 0)\n");
}

// Parses a byte value: -128..255, decimal or 0x-prefixed hex.
bool parse_byte(const char* text, signed char& out) {
    errno = 0;
    char* end = nullptr;
    long v = strtol(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || v < -128 || v > 255) return false;
    out = static_cast<signed char>(static_cast<unsigned char>(v & 0xFF));
    return true;
}

bool read_file(const char* path, std::vector<unsigned char>& data) {
    FILE* fp = fopen(path, "rb");
    if (fp == nullptr) {
        fprintf(stderr, "model_tool: cannot open %s: %s\n", path, strerror(errno));
        return false;
    }
    data.clear();
    unsigned char chunk[1 << 16];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), fp)) > 0) data.insert(data.end(), chunk, chunk + n);
    const bool failed = ferror(fp) != 0;
    fclose(fp);
    if (failed) {
        fprintf(stderr, "model_tool: error reading %s\n", path);
        return false;
    }
    return true;
}

int pack(int argc, char** argv) {
    if (argc < 4) {
        usage(stderr);
        return 2;
    }
    const char* payload_path = argv[2];
    const char* out_path = argv[3];

    _s_model_head head;
    memset(&head, 0, sizeof(head));
    head.magic = 0x11;
    head.tail_magic = 0x11;
    head.encode_type = 3;
    head.xor_len = static_cast<signed char>(0xFF);
    head.des_len = static_cast<signed char>(0xFF);
    std::string version = "v001";
    std::string id = "varnel";

    for (int i = 4; i < argc; ++i) {
        const std::string opt = argv[i];
        if (i + 1 >= argc) {
            fprintf(stderr, "model_tool: option %s needs a value\n", opt.c_str());
            return 2;
        }
        const char* value = argv[++i];
        signed char* byte_field = nullptr;
        if (opt == "--type") byte_field = &head.encode_type;
        else if (opt == "--xor-len") byte_field = &head.xor_len;
        else if (opt == "--des-len") byte_field = &head.des_len;
        else if (opt == "--fw") byte_field = &head.fw;
        else if (opt == "--l") byte_field = &head.l;
        else if (opt == "--version") version = value;
        else if (opt == "--id") id = value;
        else {
            fprintf(stderr, "model_tool: unknown option %s\n", opt.c_str());
            usage(stderr);
            return 2;
        }
        if (byte_field != nullptr && !parse_byte(value, *byte_field)) {
            fprintf(stderr, "model_tool: %s needs a byte value (-128..255), got \"%s\"\n", opt.c_str(), value);
            return 2;
        }
    }
    if (version.size() > sizeof(head.version)) {
        fprintf(stderr, "model_tool: --version takes at most %zu characters, got %zu\n", sizeof(head.version),
                version.size());
        return 2;
    }
    if (id.size() > sizeof(head.id)) {
        fprintf(stderr, "model_tool: --id takes at most %zu characters, got %zu\n", sizeof(head.id), id.size());
        return 2;
    }
    memcpy(head.version, version.data(), version.size());
    memcpy(head.id, id.data(), id.size());

    std::vector<unsigned char> payload;
    if (!read_file(payload_path, payload)) return 1;
    const long len = static_cast<long>(payload.size());
    if (len < kMinPayload || len > kMaxPayload) {
        fprintf(stderr, "model_tool: payload %s has %ld bytes; a model payload needs %ld to %ld bytes\n", payload_path,
                len, kMinPayload, kMaxPayload);
        return 1;
    }

    // The same step sizes the decoder derives from this header, so that
    // decoding undoes exactly what is done here.
    long n_xor = 0;
    long n_des = 0;
    if (model_buffer_counts(len, head, n_xor, n_des) == 0)
        encode_model_buffer(payload.data(), static_cast<int>(n_xor), static_cast<int>(n_des));

    FILE* fp = fopen(out_path, "wb");
    if (fp == nullptr) {
        fprintf(stderr, "model_tool: cannot create %s: %s\n", out_path, strerror(errno));
        return 1;
    }
    bool ok = fwrite(&head, 1, sizeof(head), fp) == sizeof(head) &&
              fwrite(payload.data(), 1, payload.size(), fp) == payload.size();
    ok = (fclose(fp) == 0) && ok;
    if (!ok) {
        fprintf(stderr, "model_tool: error writing %s\n", out_path);
        remove(out_path);
        return 1;
    }
    printf("packed %s -> %s: %ld payload bytes, type %d, xor %ld blocks, des %ld bytes\n", payload_path, out_path, len,
           static_cast<int>(head.encode_type), n_xor, n_des);
    return 0;
}

int check(int argc, char** argv) {
    if (argc != 4) {
        usage(stderr);
        return 2;
    }
    const char* model_path = argv[2];
    const char* payload_path = argv[3];

    std::vector<unsigned char> payload;
    if (!read_file(payload_path, payload)) return 1;

    long len = 0;
    unsigned char* buf = read_model_from_file(model_path, len, 1);
    if (buf == nullptr) {
        fprintf(stderr, "model_tool: %s could not be read as a model file\n", model_path);
        return 1;
    }
    int rc = 0;
    if (static_cast<size_t>(len) != payload.size()) {
        fprintf(stderr, "model_tool: MISMATCH: %s decodes to %ld bytes, %s has %zu\n", model_path, len, payload_path,
                payload.size());
        rc = 1;
    } else {
        for (long i = 0; i < len; ++i) {
            if (buf[i] != payload[static_cast<size_t>(i)]) {
                fprintf(stderr, "model_tool: MISMATCH at byte %ld of the payload: decoded 0x%02x, expected 0x%02x\n", i,
                        buf[i], payload[static_cast<size_t>(i)]);
                rc = 1;
                break;
            }
        }
    }
    free(buf);
    if (rc == 0) printf("OK: %s decodes to %s (%ld bytes)\n", model_path, payload_path, len);
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        usage(stderr);
        return 2;
    }
    const std::string cmd = argv[1];
    if (cmd == "pack") return pack(argc, argv);
    if (cmd == "check") return check(argc, argv);
    if (cmd == "-h" || cmd == "--help") {
        usage(stdout);
        return 0;
    }
    fprintf(stderr, "model_tool: unknown command \"%s\"\n", cmd.c_str());
    usage(stderr);
    return 2;
}
