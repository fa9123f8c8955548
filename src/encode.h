// Model payload scrambling: an 8-byte XOR mask over 8-byte blocks and DES
// (electronic-codebook mode) over a leading part, as the header's encoding
// type asks.
#pragma once

// The 29-byte model file header, read raw from the first 29 bytes of a
// model file. Every field is one byte or a byte string, so there is no
// padding and no byte order.
struct _s_model_head {
    unsigned char magic;       // 0x11 when valid
    char version[4];           // version text, no terminator; only logged
    signed char encode_type;   // 1, 2: XOR of 800 blocks; 3: DES then XOR
    char id[15];               // identifier text, NUL ends it early; only logged
    signed char fw;            // only logged
    signed char l;             // only logged
    signed char xor_len;       // type 3: XOR blocks = value * 8; 0xFF = whole payload
    signed char des_len;       // type 3: DES bytes = value * 8; 0xFF = payload / 8
    unsigned char reserved[3]; // never read
    unsigned char tail_magic;  // 0x11 when valid
};
static_assert(sizeof(_s_model_head) == 29, "model header must be 29 bytes");

// One record of the DES key schedule: the first 6 bytes hold the 48-bit
// round sub-key (first bit = most significant bit of byte 0).
struct key_set {
    unsigned char sub_key[6];
    unsigned char spare[10];
};

// DES tables of FIPS 46-3, 1-based bit positions / S-box entries.
class MyDesClass {
public:
    MyDesClass();

    int initial_key_permutaion[56];
    int initial_message_permutation[64];
    int key_shift_sizes[17];
    int sub_key_permutation[48];
    int message_expansion[48];
    int S1[64];
    int S2[64];
    int S3[64];
    int S4[64];
    int S5[64];
    int S6[64];
    int S7[64];
    int S8[64];
    int right_sub_message_permutation[32];
    int final_message_permutation[64];

    // One 8-byte DES block; mode 0 decrypts, anything else encrypts.
    void process_message(unsigned char* in_block, unsigned char* out_block, key_set* key_sets, int mode);
};

int decode_model_buffer(unsigned char* buf, long len, _s_model_head head);
int _decode_model_buffer1(unsigned char* buf, int nblocks);
int _decode_model_buffer2(unsigned char* buf, int n, int mode);
void _des_decode(unsigned char* in, unsigned char* out, unsigned char* key, int len, int mode);
int encode_model_buffer(unsigned char* buf, int n_xor, int n_des);
