// Payload decoding: XOR step, DES step, decode_model_buffer's step sizes and
// bounds, and the DES block function against published known answers and
// against a plain bit-by-bit rendering of the algorithm.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "encode.h"
#include "encode_internal.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes from_hex(const char* hex) {
    Bytes out;
    for (size_t i = 0; hex[i] != '\0' && hex[i + 1] != '\0'; i += 2) {
        char pair[3] = {hex[i], hex[i + 1], '\0'};
        out.push_back(static_cast<unsigned char>(strtoul(pair, nullptr, 16)));
    }
    return out;
}

Bytes random_bytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    Bytes b(n);
    for (auto& c : b) c = static_cast<unsigned char>(gen());
    return b;
}

_s_model_head make_head(int type, int xor_len, int des_len) {
    _s_model_head h;
    memset(&h, 0, sizeof(h));
    h.magic = 0x11;
    h.tail_magic = 0x11;
    h.encode_type = static_cast<signed char>(type);
    h.xor_len = static_cast<signed char>(xor_len);
    h.des_len = static_cast<signed char>(des_len);
    return h;
}

// ------------------------------------------------ reference DES, bit by bit
// Straight from the standard's description, one bit per array element, using
// the tables MyDesClass holds.
struct BitDes {
    MyDesClass t;

    static std::vector<int> to_bits(const unsigned char* bytes, int nbits) {
        std::vector<int> bits(nbits);
        for (int i = 0; i < nbits; ++i) bits[i] = (bytes[i / 8] >> (7 - i % 8)) & 1;
        return bits;
    }

    static std::vector<int> permute(const std::vector<int>& in, const int* table, int n) {
        std::vector<int> out(n);
        for (int i = 0; i < n; ++i) out[i] = in[table[i] - 1];
        return out;
    }

    // FIPS 46-3 key schedule into records 1..16.
    void key_schedule(const unsigned char key[8], key_set ks[17]) const {
        memset(ks, 0, sizeof(key_set) * 17);
        std::vector<int> cd = permute(to_bits(key, 64), t.initial_key_permutaion, 56);
        std::vector<int> c(cd.begin(), cd.begin() + 28), d(cd.begin() + 28, cd.end());
        for (int r = 1; r <= 16; ++r) {
            for (int s = 0; s < t.key_shift_sizes[r]; ++s) {
                c.push_back(c.front());
                c.erase(c.begin());
                d.push_back(d.front());
                d.erase(d.begin());
            }
            std::vector<int> joined(c);
            joined.insert(joined.end(), d.begin(), d.end());
            std::vector<int> sub = permute(joined, t.sub_key_permutation, 48);
            for (int i = 0; i < 48; ++i)
                if (sub[i]) ks[r].sub_key[i / 8] |= static_cast<unsigned char>(0x80 >> (i % 8));
        }
    }

    void block(const unsigned char in[8], unsigned char out[8], const key_set ks[17], int mode) const {
        const int* sboxes[8] = {t.S1, t.S2, t.S3, t.S4, t.S5, t.S6, t.S7, t.S8};
        std::vector<int> ip = permute(to_bits(in, 64), t.initial_message_permutation, 64);
        std::vector<int> l(ip.begin(), ip.begin() + 32), r(ip.begin() + 32, ip.end());
        for (int round = 1; round <= 16; ++round) {
            std::vector<int> k = to_bits(ks[mode != 0 ? round : 17 - round].sub_key, 48);
            std::vector<int> e = permute(r, t.message_expansion, 48);
            for (int i = 0; i < 48; ++i) e[i] ^= k[i];
            std::vector<int> s_out;
            for (int g = 0; g < 8; ++g) {
                const int* b = &e[6 * g];
                int row = b[0] * 2 + b[5];
                int col = b[1] * 8 + b[2] * 4 + b[3] * 2 + b[4];
                int v = sboxes[g][row * 16 + col];
                for (int j = 3; j >= 0; --j) s_out.push_back((v >> j) & 1);
            }
            std::vector<int> f = permute(s_out, t.right_sub_message_permutation, 32);
            std::vector<int> next(32);
            for (int i = 0; i < 32; ++i) next[i] = l[i] ^ f[i];
            l = r;
            r = next;
        }
        std::vector<int> pre(r);
        pre.insert(pre.end(), l.begin(), l.end());
        std::vector<int> fp = permute(pre, t.final_message_permutation, 64);
        memset(out, 0, 8);
        for (int i = 0; i < 64; ++i)
            if (fp[i]) out[i / 8] |= static_cast<unsigned char>(0x80 >> (i % 8));
    }
};

// Encrypts (mode 1) or decrypts (mode 0) one block with the library's
// block function under a schedule derived from `key`.
Bytes lib_block(const Bytes& key, const Bytes& in, int mode) {
    BitDes ref;
    key_set ks[17];
    ref.key_schedule(key.data(), ks);
    Bytes input(in), out(8, 0);
    MyDesClass des;
    des.process_message(input.data(), out.data(), ks, mode);
    return out;
}

// The mask as seen through the XOR step: XOR of a zero block.
Bytes xor_mask() {
    Bytes zero(8, 0);
    _decode_model_buffer1(zero.data(), 1);
    return zero;
}

// ----------------------------------------------------------------- DES block

TEST(DesBlock, PublishedKnownAnswers) {
    struct Kat {
        const char* key;
        const char* plain;
        const char* cipher;
    };
    const Kat kats[] = {
        {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
        {"0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815"},  // "Now is t"
        {"0E329232EA6D0D73", "8787878787878787", "0000000000000000"},
        {"0101010101010101", "8000000000000000", "95F8A5E5DD31D900"},  // variable plaintext
        {"8001010101010101", "0000000000000000", "95A8D72813DAA94D"},  // variable key
    };
    for (const Kat& k : kats) {
        SCOPED_TRACE(k.key);
        const Bytes key = from_hex(k.key), plain = from_hex(k.plain), cipher = from_hex(k.cipher);
        EXPECT_EQ(lib_block(key, plain, 1), cipher);
        EXPECT_EQ(lib_block(key, cipher, 0), plain);
    }
}

TEST(DesBlock, FastPathEqualsBitByBitReference) {
    std::mt19937 gen(20240611);
    BitDes ref;
    MyDesClass des;
    for (int trial = 0; trial < 300; ++trial) {
        Bytes key = random_bytes(8, gen());
        key_set ks[17];
        ref.key_schedule(key.data(), ks);
        for (int b = 0; b < 8; ++b) {
            Bytes in = random_bytes(8, gen());
            for (int mode : {0, 1, 7}) {
                Bytes expect(8), got(8, 0);
                ref.block(in.data(), expect.data(), ks, mode);
                des.process_message(in.data(), got.data(), ks, mode);
                ASSERT_EQ(got, expect) << "trial " << trial << " mode " << mode;
            }
        }
    }
}

TEST(DesBlock, RoundTripFullOutputAndInPlace) {
    BitDes ref;
    key_set ks[17];
    const Bytes key = from_hex("A1B2C3D4E5F60718");
    ref.key_schedule(key.data(), ks);
    MyDesClass des;
    Bytes in = from_hex("DEADBEEF00C0FFEE");

    // The output block is fully written whatever it held before.
    Bytes out_a(8, 0x00), out_b(8, 0xFF);
    des.process_message(in.data(), out_a.data(), ks, 1);
    des.process_message(in.data(), out_b.data(), ks, 1);
    EXPECT_EQ(out_a, out_b);
    EXPECT_NE(out_a, in);

    Bytes back(8, 0x5A);
    des.process_message(out_a.data(), back.data(), ks, 0);
    EXPECT_EQ(back, in);

    // Input and output may be the same block.
    Bytes same(in);
    des.process_message(same.data(), same.data(), ks, 1);
    EXPECT_EQ(same, out_a);
}

TEST(DesTables, HoldTheStandardTables) {
    MyDesClass d;
    EXPECT_EQ(d.initial_key_permutaion[0], 57);
    EXPECT_EQ(d.initial_key_permutaion[55], 4);
    EXPECT_EQ(d.key_shift_sizes[0], -1);
    int total_shift = 0;
    for (int i = 1; i <= 16; ++i) total_shift += d.key_shift_sizes[i];
    EXPECT_EQ(total_shift, 28);  // the halves come back to where they started
    EXPECT_EQ(d.sub_key_permutation[47], 32);
    // Initial and final permutations are inverse to each other.
    for (int i = 0; i < 64; ++i) EXPECT_EQ(d.final_message_permutation[d.initial_message_permutation[i] - 1], i + 1);
}

// ------------------------------------------------------------- ECB steps

TEST(DesSteps, DesDecodeEqualsDecodeBuffer2AndKeepsTail) {
    const Bytes plain = random_bytes(83, 7);  // 10 blocks + 3 bytes
    for (int mode : {0, 1}) {
        Bytes via_buffer2(plain);
        _decode_model_buffer2(via_buffer2.data(), static_cast<int>(via_buffer2.size()), mode);

        Bytes in(plain), out(plain.size(), 0xCC);
        unsigned char key_a[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        _des_decode(in.data(), out.data(), key_a, static_cast<int>(in.size()), mode);
        EXPECT_EQ(out, via_buffer2);
        EXPECT_EQ(in, plain);  // input untouched

        // The key argument does not change the result.
        Bytes out2(plain.size(), 0);
        unsigned char key_b[8] = {9, 9, 9, 9, 9, 9, 9, 9};
        _des_decode(in.data(), out2.data(), key_b, static_cast<int>(in.size()), mode);
        EXPECT_EQ(out2, out);

        // The 3 trailing bytes pass unchanged; every whole block changed.
        EXPECT_TRUE(std::equal(out.begin() + 80, out.end(), plain.begin() + 80));
        for (int b = 0; b < 10; ++b)
            EXPECT_FALSE(std::equal(out.begin() + 8 * b, out.begin() + 8 * b + 8, plain.begin() + 8 * b)) << b;
    }
}

TEST(DesSteps, ElectronicCodebookBlocksAreIndependent) {
    Bytes buf(32, 0x42);  // four equal blocks
    buf[17] ^= 1;         // block 2 differs
    _decode_model_buffer2(buf.data(), 32, 1);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 8, buf.begin() + 8));
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 8, buf.begin() + 24));
    EXPECT_FALSE(std::equal(buf.begin(), buf.begin() + 8, buf.begin() + 16));
}

TEST(DesSteps, Buffer2ModesRoundTripOverPrefix) {
    const Bytes plain = random_bytes(200, 11);
    Bytes buf(plain);
    _decode_model_buffer2(buf.data(), 45, 1);  // 5 whole blocks of the first 45 bytes
    EXPECT_FALSE(std::equal(buf.begin(), buf.begin() + 40, plain.begin()));
    EXPECT_TRUE(std::equal(buf.begin() + 40, buf.end(), plain.begin() + 40));
    _decode_model_buffer2(buf.data(), 45, 0);
    EXPECT_EQ(buf, plain);

    // Fewer than 8 bytes, zero or negative counts: nothing to do.
    for (int n : {7, 0, -8}) {
        Bytes b(plain);
        EXPECT_EQ(_decode_model_buffer2(b.data(), n, 1), 0);
        EXPECT_EQ(b, plain);
    }
}

TEST(XorStep, SelfInverseOnlyCountedBlocksAndNoOpCounts) {
    const Bytes mask = xor_mask();
    EXPECT_NE(mask, Bytes(8, 0));

    const Bytes plain = random_bytes(100, 3);
    Bytes buf(plain);
    EXPECT_EQ(_decode_model_buffer1(buf.data(), 5), 0);
    for (size_t i = 0; i < plain.size(); ++i)
        ASSERT_EQ(buf[i], i < 40 ? static_cast<unsigned char>(plain[i] ^ mask[i % 8]) : plain[i]) << i;
    _decode_model_buffer1(buf.data(), 5);
    EXPECT_EQ(buf, plain);

    for (int n : {0, -3}) {
        Bytes b(plain);
        EXPECT_EQ(_decode_model_buffer1(b.data(), n), 0);
        EXPECT_EQ(b, plain);
    }
}

// ------------------------------------------------------ decode_model_buffer

TEST(DecodeModelBuffer, Types1And2XorTheFirst6400Bytes) {
    const Bytes mask = xor_mask();
    const Bytes plain = random_bytes(10000, 5);
    for (int type : {1, 2}) {
        Bytes buf(plain);
        EXPECT_EQ(decode_model_buffer(buf.data(), static_cast<long>(buf.size()), make_head(type, 0x7F, 0x7F)), 0);
        for (size_t i = 0; i < plain.size(); ++i)
            ASSERT_EQ(buf[i], i < 6400 ? static_cast<unsigned char>(plain[i] ^ mask[i % 8]) : plain[i]) << i;
    }
}

TEST(DecodeModelBuffer, Type3DesFirstThenXor) {
    const Bytes plain = random_bytes(1000, 9);
    Bytes expect(plain);
    _decode_model_buffer2(expect.data(), 24, 0);  // des_len 3: 24 bytes
    _decode_model_buffer1(expect.data(), 16);     // xor_len 2: 16 blocks
    Bytes buf(plain);
    EXPECT_EQ(decode_model_buffer(buf.data(), 1000, make_head(3, 2, 3)), 0);
    EXPECT_EQ(buf, expect);
}

TEST(DecodeModelBuffer, Type3FullLengthMarkers) {
    // des_len 0xFF on 1,000 bytes: 125 bytes -> 15 blocks; 120..124 as stored.
    const Bytes plain = random_bytes(1003, 13);
    Bytes buf(plain.begin(), plain.begin() + 1000);
    Bytes expect(buf);
    _decode_model_buffer2(expect.data(), 120, 0);
    EXPECT_EQ(decode_model_buffer(buf.data(), 1000, make_head(3, 0, 0xFF)), 0);
    EXPECT_EQ(buf, expect);
    EXPECT_TRUE(std::equal(buf.begin() + 120, buf.end(), plain.begin() + 120));

    // xor_len 0xFF on 1,003 bytes: 125 blocks; the last 3 bytes as stored.
    const Bytes mask = xor_mask();
    Bytes buf2(plain);
    EXPECT_EQ(decode_model_buffer(buf2.data(), 1003, make_head(3, 0xFF, 0)), 0);
    for (size_t i = 0; i < plain.size(); ++i)
        ASSERT_EQ(buf2[i], i < 1000 ? static_cast<unsigned char>(plain[i] ^ mask[i % 8]) : plain[i]) << i;
}

TEST(DecodeModelBuffer, OffCountsAndUnknownTypesLeavePayload) {
    const Bytes plain = random_bytes(900, 17);
    const int off_pairs[][2] = {{0, 0}, {0x80, 0xFE}, {0xC3, 0x80}};
    for (const auto& p : off_pairs) {
        Bytes buf(plain);
        EXPECT_EQ(decode_model_buffer(buf.data(), 900, make_head(3, p[0], p[1])), 0);
        EXPECT_EQ(buf, plain);
    }
    for (int type : {0, 4, -1, 0x83}) {
        Bytes buf(plain);
        EXPECT_EQ(decode_model_buffer(buf.data(), 900, make_head(type, 0xFF, 0xFF)), -1) << type;
        EXPECT_EQ(buf, plain);
    }
}

TEST(DecodeModelBuffer, StepSizesFromHeader) {
    struct Case {
        long len;
        int type, xor_len, des_len;
        int result;
        long xor_blocks, des_bytes;
    };
    const Case cases[] = {
        {10000, 1, 0, 0, 0, 800, 0},
        {771, 2, 0, 0, 0, 96, 0},  // limited to the payload's whole blocks
        {1003, 3, 0xFF, 0xFF, 0, 125, 125},
        {100000, 3, 127, 127, 0, 1016, 1016},
        {100, 3, 127, 127, 0, 12, 100},
        {100, 3, 0x80, 0xFE, 0, 0, 0},
        {1000, 9, 0xFF, 0xFF, -1, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "len " << c.len << " type " << c.type);
        long x = -1, d = -1;
        EXPECT_EQ(model_buffer_counts(c.len, make_head(c.type, c.xor_len, c.des_len), x, d), c.result);
        EXPECT_EQ(x, c.xor_blocks);
        EXPECT_EQ(d, c.des_bytes);
    }
}

// Counts larger than the payload: nothing past the payload is read or
// written. Checked twice: with guard bytes right behind the payload, and on
// an exactly sized heap block (which AddressSanitizer builds watch).
TEST(DecodeModelBuffer, NeverTouchesBytesPastThePayload) {
    const Bytes mask = xor_mask();
    struct Case {
        long len;
        int type, xor_len, des_len;
    };
    const Case cases[] = {
        {771, 1, 0, 0},     {771, 2, 0, 0},       {100, 3, 127, 127}, {101, 3, 0xFF, 127},
        {13, 3, 127, 0xFF}, {7, 3, 127, 127},     {0, 3, 127, 127},   {5, 1, 0, 0},
        {6399, 1, 0, 0},    {1016 + 4, 3, 0, 127}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "len " << c.len << " type " << c.type);
        const Bytes plain = random_bytes(static_cast<size_t>(c.len), static_cast<uint32_t>(c.len));
        const size_t guard = 64;
        unsigned char* block = static_cast<unsigned char*>(malloc(static_cast<size_t>(c.len) + guard));
        ASSERT_NE(block, nullptr);
        if (!plain.empty()) memcpy(block, plain.data(), plain.size());
        memset(block + c.len, 0xE7, guard);

        EXPECT_EQ(decode_model_buffer(block, c.len, make_head(c.type, c.xor_len, c.des_len)), 0);
        for (size_t g = 0; g < guard; ++g) ASSERT_EQ(block[c.len + g], 0xE7) << "guard byte " << g;
        // The trailing part shorter than a block is never touched.
        for (long i = c.len - c.len % 8; i < c.len; ++i) ASSERT_EQ(block[i], plain[static_cast<size_t>(i)]) << i;

        // The exactly sized block: decode a copy held in a block of len bytes.
        unsigned char* exact = static_cast<unsigned char*>(malloc(c.len > 0 ? static_cast<size_t>(c.len) : 1));
        ASSERT_NE(exact, nullptr);
        if (!plain.empty()) memcpy(exact, plain.data(), plain.size());
        decode_model_buffer(exact, c.len, make_head(c.type, c.xor_len, c.des_len));
        EXPECT_TRUE(std::equal(exact, exact + c.len, block));
        free(exact);
        free(block);
    }
    // Types 1/2 on a payload shorter than 6,400 bytes: all of its whole
    // blocks are XORed.
    const Bytes plain = random_bytes(771, 1);
    Bytes buf(plain);
    decode_model_buffer(buf.data(), 771, make_head(1, 0, 0));
    for (size_t i = 0; i < 768; ++i) ASSERT_EQ(buf[i], static_cast<unsigned char>(plain[i] ^ mask[i % 8])) << i;
}

TEST(EncodeModelBuffer, DecodeUndoesEncodeForEveryHeaderSetting) {
    const long lens[] = {0, 7, 8, 100, 771, 1003, 6400, 6401, 20000};
    const int settings[][3] = {{1, 0, 0},     {2, 0, 0},     {3, 0xFF, 0xFF}, {3, 2, 3}, {3, 127, 127},
                               {3, 0xFF, 0},  {3, 0, 0xFF},  {3, 0x80, 5},    {3, 1, 0xFF}};
    for (long len : lens) {
        const Bytes plain = random_bytes(static_cast<size_t>(len), static_cast<uint32_t>(len) + 100);
        for (const auto& s : settings) {
            SCOPED_TRACE(testing::Message() << "len " << len << " type " << s[0] << " xor " << s[1] << " des " << s[2]);
            const _s_model_head head = make_head(s[0], s[1], s[2]);
            long n_xor = 0, n_des = 0;
            ASSERT_EQ(model_buffer_counts(len, head, n_xor, n_des), 0);
            Bytes buf(plain);
            EXPECT_EQ(encode_model_buffer(buf.data(), static_cast<int>(n_xor), static_cast<int>(n_des)), 0);
            if (len >= 8 && (n_xor > 0 || n_des >= 8)) {
                EXPECT_NE(buf, plain);
            }
            EXPECT_EQ(decode_model_buffer(buf.data(), len, head), 0);
            EXPECT_EQ(buf, plain);
        }
    }
}

}  // namespace
