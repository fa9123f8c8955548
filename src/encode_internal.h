// Step sizes of model payload decoding, shared by the decoder, the model
// tool and the tests. Internal to the library (not installed).
#pragma once

#include "encode.h"

// The step sizes decode_model_buffer uses for a payload of `len` bytes under
// `head`: XOR blocks and DES bytes (DES covers the whole blocks of that
// many bytes), each limited to the payload's whole blocks. Returns -1 for an
// encoding type that is not scrambled (counts 0), else 0. An encoder that
// passes these counts to encode_model_buffer produces a payload that
// decode_model_buffer restores.
int model_buffer_counts(long len, const _s_model_head& head, long& xor_blocks, long& des_bytes);
