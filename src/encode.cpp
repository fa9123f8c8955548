// Model payload scrambling: an 8-byte XOR mask over 8-byte blocks and DES
// (FIPS 46-3, electronic-codebook mode) over a leading part of the payload.
//
// The DES block function is table driven: the permutations and the S-boxes
// of MyDesClass are folded once into byte-indexed permutation tables and
// combined S-box + P tables, and the expansion is done with two rotations,
// which gives exactly the bits of the textbook bit-by-bit algorithm at a
// fraction of its cost.
#include "encode.h"
#include "encode_internal.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// ---------------------------------------------------------------- DES tables
// 1-based bit positions; bit 1 is the most significant bit of byte 0.

// Permuted choice 1 (64-bit key -> 56 bits).
constexpr int kPC1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18, 10, 2,  59, 51, 43,
                          35, 27, 19, 11, 3,  60, 52, 44, 36, 63, 55, 47, 39, 31, 23, 15, 7,  62, 54,
                          46, 38, 30, 22, 14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

// Initial permutation.
constexpr int kIP[64] = {58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
                         62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
                         57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,
                         61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};

// Left rotations of the key halves before each round (entry 0 unused).
constexpr int kShifts[17] = {-1, 1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

// Permuted choice 2 (56 bits -> 48-bit round sub-key).
constexpr int kPC2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,
                          26, 8,  16, 7,  27, 20, 13, 2,  41, 52, 31, 37, 47, 55, 30, 40,
                          51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

// Expansion E (32 -> 48 bits).
constexpr int kE[48] = {32, 1,  2,  3,  4,  5,  4,  5,  6,  7,  8,  9,  8,  9,  10, 11,
                        12, 13, 12, 13, 14, 15, 16, 17, 16, 17, 18, 19, 20, 21, 20, 21,
                        22, 23, 24, 25, 24, 25, 26, 27, 28, 29, 28, 29, 30, 31, 32, 1};

// S-boxes, 4 rows of 16 each, row by row.
constexpr int kS[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8,  3,  10, 6,  12, 5,  9,  0, 7,  0, 15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5,  3,  8,  4,  1,  14, 8,  13, 6, 2, 11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2,  4,  9,  1,  7,  5,  11, 3,  14, 10, 0, 6,  13},
    {15, 1,  8,  14, 6,  11, 3,  4,  9,  7, 2,  13, 12, 0, 5,  10, 3,  13, 4,  7,  15, 2,
     8,  14, 12, 0,  1,  10, 6,  9,  11, 5, 0,  14, 7,  11, 10, 4, 13, 1,  5,  8,  12, 6,
     9,  3,  2,  15, 13, 8,  10, 1,  3,  15, 4,  2,  11, 6,  7,  12, 0,  5,  14, 9},
    {10, 0,  9,  14, 6,  3,  15, 5,  1,  13, 12, 7,  11, 4,  2,  8,  13, 7,  0,  9, 3, 4,
     6,  10, 2,  8,  5,  14, 12, 11, 15, 1,  13, 6,  4,  9,  8,  15, 3,  0,  11, 1, 2, 12,
     5,  10, 14, 7,  1,  10, 13, 0,  6,  9,  8,  7,  4,  15, 14, 3,  11, 5,  2,  12},
    {7,  13, 14, 3, 0,  6,  9,  10, 1,  2, 8, 5,  11, 12, 4,  15, 13, 8,  11, 5,  6,  15,
     0,  3,  4,  7, 2,  12, 1,  10, 14, 9, 10, 6, 9,  0,  12, 11, 7,  13, 15, 1,  3,  14,
     5,  2,  8,  4, 3,  15, 0,  6,  10, 1, 13, 8, 9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4,  1,  7,  10, 11, 6, 8,  5,  3,  15, 13, 0,  14, 9,  14, 11, 2,  12, 4,  7,
     13, 1,  5,  0,  15, 10, 3,  9, 8,  6,  4,  2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,
     6,  3,  0,  14, 11, 8,  12, 7, 1,  14, 2,  13, 6,  15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9,  2,  6,  8, 0,  13, 3,  4,  14, 7,  5,  11, 10, 15, 4,  2,  7,  12,
     9,  5,  6,  1,  13, 14, 0,  11, 3, 8,  9,  14, 15, 5,  2,  8,  12, 3,  7,  0,  4,  10,
     1,  13, 11, 6,  4,  3,  2,  12, 9, 5,  15, 10, 11, 14, 1,  7,  6,  0,  8,  13},
    {4,  11, 2,  14, 15, 0,  8,  13, 3, 12, 9,  7, 5, 10, 6,  1,  13, 0,  11, 7,  4,  9,
     1,  10, 14, 3,  5,  12, 2,  15, 8, 6,  1,  4, 11, 13, 12, 3,  7,  14, 10, 15, 6,  8,
     0,  5,  9,  2,  6,  11, 13, 8,  1, 4,  10, 7, 9, 5,  0,  15, 14, 2,  3,  12},
    {13, 2,  8,  4, 6,  15, 11, 1, 10, 9,  3,  14, 5,  0,  12, 7,  1,  15, 13, 8,  10, 3,
     7,  4,  12, 5, 6,  11, 0,  14, 9, 2,  7,  11, 4,  1,  9,  12, 14, 2,  0,  6,  10, 13,
     15, 3,  5,  8, 2,  1,  14, 7,  4, 10, 8,  13, 15, 12, 9,  0,  3,  5,  6,  11},
};

// Permutation P of the S-box output.
constexpr int kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                        2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};

// Final permutation (inverse of the initial one).
constexpr int kFP[64] = {40, 8, 48, 16, 56, 24, 64, 32, 39, 7, 47, 15, 55, 23, 63, 31,
                         38, 6, 46, 14, 54, 22, 62, 30, 37, 5, 45, 13, 53, 21, 61, 29,
                         36, 4, 44, 12, 52, 20, 60, 28, 35, 3, 43, 11, 51, 19, 59, 27,
                         34, 2, 42, 10, 50, 18, 58, 26, 33, 1, 41, 9,  49, 17, 57, 25};

// ------------------------------------------------------- the project's values
// XOR mask, one byte per byte position of an 8-byte block.
constexpr unsigned char kMask0 = 0xA7, kMask1 = 0x1F, kMask2 = 0x5C, kMask3 = 0xD2;
constexpr unsigned char kMask4 = 0x38, kMask5 = 0x6B, kMask6 = 0xE4, kMask7 = 0x91;

// DES key from which the round sub-keys are derived (FIPS 46-3 key schedule).
void build_des_key(unsigned char key[8]) {
    key[0] = 0x5B;
    key[1] = 0x3D;
    key[2] = 0x97;
    key[3] = 0xE0;
    key[4] = 0x26;
    key[5] = 0xB9;
    key[6] = 0x4C;
    key[7] = 0xF1;
}

// ------------------------------------------------------- fast DES machinery
struct FastDesTables {
    uint64_t ip[8][256];  // initial permutation, one table per input byte
    uint64_t fp[8][256];  // final permutation, one table per input byte
    uint32_t sp[8][64];   // S-box g followed by P, indexed by the 6-bit group
};

// Bit `pos` (1-based, 1 = most significant) of a `width`-bit value.
inline uint64_t bit_of(uint64_t v, int pos, int width) { return (v >> (width - pos)) & 1u; }

inline uint32_t rotr32(uint32_t v, int n) { return (v >> n) | (v << ((32 - n) & 31)); }

// Byte-indexed tables for a 64-bit permutation: out[k][v] holds the output
// bits contributed by input byte k having value v.
void build_perm64(uint64_t (*out)[256], const int* table) {
    for (int k = 0; k < 8; ++k) {
        for (int v = 0; v < 256; ++v) {
            uint64_t input = static_cast<uint64_t>(v) << ((7 - k) * 8);
            uint64_t r = 0;
            for (int i = 0; i < 64; ++i) r |= bit_of(input, table[i], 64) << (63 - i);
            out[k][v] = r;
        }
    }
}

// The expansion E takes 6-bit group g (g = 0..7) from bit positions 4g to
// 4g + 5 of the right half, circularly (position 0 standing for 32). With
// the half as an integer (position p = bit 32 - p), group g is therefore
// rotr(R, 27 - 4g) & 0x3F: the even groups lie 8 bits apart in rotr(R, 3)
// (at shifts 24, 16, 8, 0) and the odd groups in rotr(R, 7) (group 7 at
// shift 24, groups 1, 3, 5 at 16, 8, 0). The round function uses that
// layout; the sub-key's 6-bit groups are arranged the same way.
constexpr int kEvenShift[4] = {24, 16, 8, 0};  // groups 0, 2, 4, 6 in rotr(R, 3)
constexpr int kOddShift[4] = {16, 8, 0, 24};   // groups 1, 3, 5, 7 in rotr(R, 7)

// True when `e` is the expansion with the layout described above.
bool expansion_has_window_layout(const int* e) {
    for (int g = 0; g < 8; ++g)
        for (int j = 0; j < 6; ++j) {
            int pos = (4 * g + j + 31) % 32 + 1;  // 4g + j circularly, 1-based
            if (e[6 * g + j] != pos) return false;
        }
    return true;
}

FastDesTables* make_fast_tables() {
    const MyDesClass des;  // the tables as the standard gives them
    if (!expansion_has_window_layout(des.message_expansion)) abort();  // cannot happen: fixed table
    FastDesTables* t = new FastDesTables;
    build_perm64(t->ip, des.initial_message_permutation);
    build_perm64(t->fp, des.final_message_permutation);
    const int* sboxes[8] = {des.S1, des.S2, des.S3, des.S4, des.S5, des.S6, des.S7, des.S8};
    for (int g = 0; g < 8; ++g) {
        for (int six = 0; six < 64; ++six) {
            int row = ((six >> 4) & 2) | (six & 1);
            int col = (six >> 1) & 0xF;
            uint64_t s_out = static_cast<uint64_t>(sboxes[g][row * 16 + col] & 0xF) << (28 - 4 * g);
            uint32_t p = 0;
            for (int i = 0; i < 32; ++i)
                p |= static_cast<uint32_t>(bit_of(s_out, des.right_sub_message_permutation[i], 32)) << (31 - i);
            t->sp[g][six] = p;
        }
    }
    return t;
}

// Built once, on first use; static initialisation is thread-safe, and the
// tables are read-only afterwards.
const FastDesTables& fast_tables() {
    static const FastDesTables* const tables = make_fast_tables();
    return *tables;
}

// The 16 round sub-keys in the order of use for one direction, each split
// into its eight 6-bit groups laid out like the groups of the expanded half.
struct RoundKeys {
    uint32_t even[16];
    uint32_t odd[16];
};

RoundKeys round_keys(const key_set* key_sets, int mode) {
    RoundKeys rk;
    for (int r = 1; r <= 16; ++r) {
        const unsigned char* sk = key_sets[mode != 0 ? r : 17 - r].sub_key;
        uint64_t v = 0;
        for (int b = 0; b < 6; ++b) v = (v << 8) | sk[b];
        uint32_t even = 0, odd = 0;
        for (int i = 0; i < 4; ++i) {
            even |= static_cast<uint32_t>((v >> (42 - 6 * (2 * i))) & 0x3F) << kEvenShift[i];
            odd |= static_cast<uint32_t>((v >> (42 - 6 * (2 * i + 1))) & 0x3F) << kOddShift[i];
        }
        rk.even[r - 1] = even;
        rk.odd[r - 1] = odd;
    }
    return rk;
}

// N independent blocks at a time: the rounds of one block form a chain of
// dependent table look-ups, so several blocks are interleaved to keep the
// processor busy. `in` and `out` may be the same memory.
template <int N>
inline void des_blocks(const FastDesTables& t, const RoundKeys& rk, const unsigned char* in, unsigned char* out) {
    uint32_t l[N], r[N];
    for (int b = 0; b < N; ++b) {
        const unsigned char* p = in + 8 * b;
        uint64_t x = t.ip[0][p[0]] | t.ip[1][p[1]] | t.ip[2][p[2]] | t.ip[3][p[3]] | t.ip[4][p[4]] |
                     t.ip[5][p[5]] | t.ip[6][p[6]] | t.ip[7][p[7]];
        l[b] = static_cast<uint32_t>(x >> 32);
        r[b] = static_cast<uint32_t>(x);
    }
    for (int round = 0; round < 16; ++round) {
        const uint32_t ke = rk.even[round], ko = rk.odd[round];
        for (int b = 0; b < N; ++b) {
            const uint32_t u = rotr32(r[b], 3) ^ ke;
            const uint32_t v = rotr32(r[b], 7) ^ ko;
            const uint32_t f = t.sp[0][(u >> 24) & 0x3F] | t.sp[2][(u >> 16) & 0x3F] | t.sp[4][(u >> 8) & 0x3F] |
                               t.sp[6][u & 0x3F] | t.sp[7][(v >> 24) & 0x3F] | t.sp[1][(v >> 16) & 0x3F] |
                               t.sp[3][(v >> 8) & 0x3F] | t.sp[5][v & 0x3F];
            const uint32_t next = l[b] ^ f;
            l[b] = r[b];
            r[b] = next;
        }
    }
    for (int b = 0; b < N; ++b) {
        // Halves joined as R then L.
        const uint64_t pre = (static_cast<uint64_t>(r[b]) << 32) | l[b];
        const uint64_t y = t.fp[0][pre >> 56] | t.fp[1][(pre >> 48) & 0xFF] | t.fp[2][(pre >> 40) & 0xFF] |
                           t.fp[3][(pre >> 32) & 0xFF] | t.fp[4][(pre >> 24) & 0xFF] | t.fp[5][(pre >> 16) & 0xFF] |
                           t.fp[6][(pre >> 8) & 0xFF] | t.fp[7][pre & 0xFF];
        unsigned char* q = out + 8 * b;
        for (int i = 0; i < 8; ++i) q[i] = static_cast<unsigned char>(y >> (56 - 8 * i));
    }
}

// FIPS 46-3 key schedule: permuted choice 1, per-round left rotations of the
// two 28-bit halves, permuted choice 2. Record 0 stays zero.
void build_key_schedule(const MyDesClass& des, const unsigned char key[8], key_set key_sets[17]) {
    memset(key_sets, 0, sizeof(key_set) * 17);
    uint64_t k = 0;
    for (int b = 0; b < 8; ++b) k = (k << 8) | key[b];
    uint64_t cd = 0;
    for (int i = 0; i < 56; ++i) cd = (cd << 1) | bit_of(k, des.initial_key_permutaion[i], 64);
    uint32_t c = static_cast<uint32_t>(cd >> 28) & 0x0FFFFFFF;
    uint32_t d = static_cast<uint32_t>(cd) & 0x0FFFFFFF;
    for (int r = 1; r <= 16; ++r) {
        int s = des.key_shift_sizes[r];
        c = ((c << s) | (c >> (28 - s))) & 0x0FFFFFFF;
        d = ((d << s) | (d >> (28 - s))) & 0x0FFFFFFF;
        uint64_t joined = (static_cast<uint64_t>(c) << 28) | d;
        uint64_t sub = 0;
        for (int i = 0; i < 48; ++i) sub = (sub << 1) | bit_of(joined, des.sub_key_permutation[i], 56);
        for (int b = 0; b < 6; ++b) key_sets[r].sub_key[b] = static_cast<unsigned char>(sub >> (40 - 8 * b));
    }
}

// The library's own schedule, built from its key for the calling step.
void project_key_schedule(unsigned char key[8], key_set key_sets[17]) {
    build_des_key(key);
    const MyDesClass des;
    build_key_schedule(des, key, key_sets);
}

// ECB over the whole blocks of `len` bytes with a given schedule. `out`
// first receives a copy of `in` (so trailing bytes pass unchanged); the
// blocks are then processed in `out`. `in` may equal `out`.
void des_ecb(const unsigned char* in, unsigned char* out, size_t len, int mode, const key_set* key_sets) {
    if (in != out) memmove(out, in, len);
    const FastDesTables& t = fast_tables();
    const RoundKeys rk = round_keys(key_sets, mode);
    const size_t nblocks = len / 8;
    size_t i = 0;
    for (; i + 4 <= nblocks; i += 4) des_blocks<4>(t, rk, out + 8 * i, out + 8 * i);
    for (; i < nblocks; ++i) des_blocks<1>(t, rk, out + 8 * i, out + 8 * i);
}

// XOR of the first `nblocks` 8-byte blocks with the mask.
void xor_blocks(unsigned char* buf, size_t nblocks) {
    const unsigned char mask_bytes[8] = {kMask0, kMask1, kMask2, kMask3, kMask4, kMask5, kMask6, kMask7};
    uint64_t mask;
    memcpy(&mask, mask_bytes, 8);  // same byte order as the blocks it is applied to
    for (size_t i = 0; i < nblocks; ++i) {
        uint64_t v;
        memcpy(&v, buf + 8 * i, 8);
        v ^= mask;
        memcpy(buf + 8 * i, &v, 8);
    }
}

// DES in place over the whole blocks of the first `n` bytes of `buf`, with
// the library's schedule built for this call.
void des_range(unsigned char* buf, size_t n, int mode) {
    if (n < 8) return;
    unsigned char key[8];
    key_set key_sets[17];
    project_key_schedule(key, key_sets);
    const size_t whole = n - n % 8;
    // The blocks are processed into a scratch block and copied back. If the
    // scratch block cannot be had, the same result is produced in place: the
    // block function reads each input block completely before it writes.
    unsigned char* scratch = static_cast<unsigned char*>(malloc(whole));
    if (scratch != nullptr) {
        des_ecb(buf, scratch, whole, mode, key_sets);
        memcpy(buf, scratch, whole);
        free(scratch);
    } else {
        des_ecb(buf, buf, whole, mode, key_sets);
    }
}

}  // namespace

MyDesClass::MyDesClass() {
    memcpy(initial_key_permutaion, kPC1, sizeof(kPC1));
    memcpy(initial_message_permutation, kIP, sizeof(kIP));
    memcpy(key_shift_sizes, kShifts, sizeof(kShifts));
    memcpy(sub_key_permutation, kPC2, sizeof(kPC2));
    memcpy(message_expansion, kE, sizeof(kE));
    memcpy(S1, kS[0], sizeof(S1));
    memcpy(S2, kS[1], sizeof(S2));
    memcpy(S3, kS[2], sizeof(S3));
    memcpy(S4, kS[3], sizeof(S4));
    memcpy(S5, kS[4], sizeof(S5));
    memcpy(S6, kS[5], sizeof(S6));
    memcpy(S7, kS[6], sizeof(S7));
    memcpy(S8, kS[7], sizeof(S8));
    memcpy(right_sub_message_permutation, kP, sizeof(kP));
    memcpy(final_message_permutation, kFP, sizeof(kFP));
}

void MyDesClass::process_message(unsigned char* in_block, unsigned char* out_block, key_set* key_sets, int mode) {
    if (in_block == nullptr || out_block == nullptr || key_sets == nullptr) return;
    const RoundKeys rk = round_keys(key_sets, mode);
    des_blocks<1>(fast_tables(), rk, in_block, out_block);
}

int model_buffer_counts(long len, const _s_model_head& head, long& xor_blocks_out, long& des_bytes_out) {
    xor_blocks_out = 0;
    des_bytes_out = 0;
    const long payload = len > 0 ? len : 0;
    const long whole_blocks = payload / 8;
    long x = 0;
    long d = 0;
    switch (head.encode_type) {
    case 1:
    case 2:
        x = 800;
        break;
    case 3:
        x = static_cast<unsigned char>(head.xor_len) == 0xFF ? whole_blocks : static_cast<long>(head.xor_len) * 8;
        d = static_cast<unsigned char>(head.des_len) == 0xFF ? payload / 8 : static_cast<long>(head.des_len) * 8;
        break;
    default:
        return -1;
    }
    // Neither step reaches past the payload's whole blocks.
    xor_blocks_out = x <= 0 ? 0 : (x < whole_blocks ? x : whole_blocks);
    des_bytes_out = d <= 0 ? 0 : (d < payload ? d : payload);
    return 0;
}

int decode_model_buffer(unsigned char* buf, long len, _s_model_head head) {
    long n_xor = 0;
    long n_des = 0;
    if (model_buffer_counts(len, head, n_xor, n_des) != 0) return -1;
    if (buf == nullptr) return 0;
    // DES first, then XOR: the reverse of encode_model_buffer.
    if (n_des > 0) des_range(buf, static_cast<size_t>(n_des), 0);
    if (n_xor > 0) xor_blocks(buf, static_cast<size_t>(n_xor));
    return 0;
}

int _decode_model_buffer1(unsigned char* buf, int nblocks) {
    if (buf == nullptr || nblocks <= 0) return 0;
    xor_blocks(buf, static_cast<size_t>(nblocks));
    return 0;
}

int _decode_model_buffer2(unsigned char* buf, int n, int mode) {
    if (buf == nullptr || n <= 0) return 0;
    des_range(buf, static_cast<size_t>(n), mode);
    return 0;
}

void _des_decode(unsigned char* in, unsigned char* out, unsigned char* key, int len, int mode) {
    // The result depends on the library's round sub-keys alone; `key` is
    // accepted for the interface and not used.
    (void)key;
    if (in == nullptr || out == nullptr || len <= 0) return;
    unsigned char own_key[8];
    key_set key_sets[17];
    project_key_schedule(own_key, key_sets);
    des_ecb(in, out, static_cast<size_t>(len), mode, key_sets);
}

int encode_model_buffer(unsigned char* buf, int n_xor, int n_des) {
    if (buf == nullptr) return 0;
    if (n_xor > 0) xor_blocks(buf, static_cast<size_t>(n_xor));
    if (n_des >= 1) des_range(buf, static_cast<size_t>(n_des), 1);
    return 0;
}
