// UTF-8 aware text cutting shared by the logger, the record lines of the
// host entry points and the debug drawing. Defined in the logging unit, the
// lowest layer, so every unit that cuts text may use it. Internal to the
// library (not installed).
#pragma once

#include <cstddef>
#include <string>

namespace OCR {
namespace detail {

// Length of the longest prefix of the `len` bytes at `text` that holds at
// most max_bytes bytes and does not end inside a UTF-8 character: `len`
// itself when it is not above max_bytes, otherwise max_bytes moved back to
// the lead byte of the character it would split. Text that is not UTF-8
// (more than three continuation bytes in a row) keeps the plain byte cut.
// Only text[0 .. max_bytes] is read, so `text` may hold just max_bytes + 1
// bytes of a longer string.
size_t utf8_cut(const char* text, size_t len, size_t max_bytes);

// The text up to its first NUL, cut to at most max_bytes bytes without
// splitting a UTF-8 character.
std::string utf8_prefix(const std::string& text, size_t max_bytes);

}  // namespace detail
}  // namespace OCR
