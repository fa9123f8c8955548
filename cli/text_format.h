// Escaping for the command-line reader's JSON Lines and tab-separated
// output.
#pragma once

#include <string>

namespace varnel_cli {

// `text` as a JSON string literal, quotes included: quote, backslash and
// control characters escaped; every byte that is not part of a valid UTF-8
// sequence (stray continuation bytes, cut or overlong sequences, surrogates,
// code points past U+10FFFF) becomes U+FFFD.
std::string json_string(const std::string& text);

// `text` as one field of a tab-separated row: backslash, tab, newline and
// carriage return written as \\, \t, \n and \r; other bytes unchanged.
std::string tsv_field(const std::string& text);

}  // namespace varnel_cli
