// Logging: one call for every stage, standard output plus an optional,
// size-capped log file, under two host switches (quiet, log file).
#pragma once

#include <cstdint>

// Quiet switch: while non-zero only level-1 lines are emitted.
extern int g_log_dummy;
// File switch: exactly 1 means no log file; anything else appends every
// emitted line to g_log_file_name.
extern int g_log_file_dummy;
// Log file path, NUL-terminated, at most 199 characters.
extern char g_log_file_name[200];

// Formats like printf, appends "\n", prints to standard output and, when file
// logging is on, appends the same bytes to the log file.
void zel_log(int level, const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

void zel_set_log_dummy(int v);
void zel_set_log_file(const char* path);

// Size in bytes reported by stat, 0 when stat fails.
uint64_t get_file_size(const char* path);
// Appends one finished line to the log file (opened and closed per line).
void write_log_file(const char* text);
