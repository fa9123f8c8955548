// Logging: standard output plus an optional, size-capped log file; and the
// UTF-8 aware text cutting that the logger and the layers above it share.
#include "zel_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "text_util.h"

int g_log_dummy = 0;
int g_log_file_dummy = 1;
char g_log_file_name[200] = {0};

namespace {

constexpr size_t kLineBufferSize = 1024;
// Room for the message itself: the line also needs "\n" and the NUL.
constexpr size_t kMaxMessage = kLineBufferSize - 2;
// A log file that has grown past this size starts over with the next line.
constexpr uint64_t kMaxLogFileSize = 10000000;

// Formats one line into `line` (kLineBufferSize bytes): the message, "\n",
// NUL. A message longer than kMaxMessage bytes is cut to fit, and the cut
// is moved back so that it never splits a UTF-8 multi-byte character.
void format_line(char* line, const char* fmt, va_list ap) {
    // One byte more than the message may keep, so that the first byte past
    // the cut is known and the cut can be checked against it.
    int n = vsnprintf(line, kMaxMessage + 2, fmt, ap);
    size_t len;
    if (n < 0) {
        len = 0;  // formatting failed: emit an empty line rather than garbage
    } else {
        // The buffer holds at most kMaxMessage + 1 bytes of the message.
        const size_t held = static_cast<size_t>(n) <= kMaxMessage ? static_cast<size_t>(n) : kMaxMessage + 1;
        len = OCR::detail::utf8_cut(line, held, kMaxMessage);
    }
    line[len] = '\n';
    line[len + 1] = '\0';
}

// Formats and prints one line at `level` (dropped while quiet unless the
// level is 1) and, when asked and file logging is on, appends it to the
// log file.
void log_line(int level, bool to_file, const char* fmt, va_list ap) {
    if (g_log_dummy != 0 && level != 1) return;
    char line[kLineBufferSize];
    format_line(line, fmt, ap);
    printf("%s", line);
    if (to_file && g_log_file_dummy != 1) write_log_file(line);
}

// A line that goes to standard output only (never to the log file); used
// for the logger's own errors.
void stdout_only(int level, const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

void stdout_only(int level, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_line(level, false, fmt, ap);
    va_end(ap);
}

}  // namespace

void zel_log(int level, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_line(level, true, fmt, ap);
    va_end(ap);
}

void zel_set_log_dummy(int v) { g_log_dummy = v; }

void zel_set_log_file(const char* path) {
    if (path == nullptr) {
        g_log_file_dummy = 1;  // file logging off, the name is kept
        return;
    }
    size_t n = strlen(path);
    if (n >= sizeof(g_log_file_name)) {
        // The path does not fit: refuse it and keep the current settings.
        stdout_only(1, "log file path too long: %d characters", n > 0x7fffffff ? 0x7fffffff : static_cast<int>(n));
        return;
    }
    // memmove: the host may hand back g_log_file_name itself.
    memmove(g_log_file_name, path, n + 1);
    g_log_file_dummy = 0;
}

uint64_t get_file_size(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0) return 0;
    return static_cast<uint64_t>(st.st_size);
}

void write_log_file(const char* text) {
    const char* mode = get_file_size(g_log_file_name) > kMaxLogFileSize ? "w" : "a";
    FILE* fp = fopen(g_log_file_name, mode);
    if (fp == nullptr) {
        stdout_only(0, "open log file [%s] error", g_log_file_name);
        return;
    }
    fwrite(text, 1, strlen(text), fp);
    fclose(fp);
}

namespace OCR {
namespace detail {

size_t utf8_cut(const char* text, size_t len, size_t max_bytes) {
    if (len <= max_bytes) return len;
    // text[cut] is the first byte left out; while it continues a character
    // (10xxxxxx), move the cut back to that character's lead byte. At most
    // three continuation bytes follow a lead byte; text that is not UTF-8
    // keeps the plain byte cut.
    size_t cut = max_bytes;
    for (int back = 0; back < 3 && cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80; ++back) --cut;
    if ((static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) cut = max_bytes;
    return cut;
}

std::string utf8_prefix(const std::string& text, size_t max_bytes) {
    size_t len = text.find('\0');
    if (len == std::string::npos) len = text.size();
    return text.substr(0, utf8_cut(text.data(), len, max_bytes));
}

}  // namespace detail
}  // namespace OCR
