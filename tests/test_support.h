// Helpers shared by the tests: standard output captured around a call, and
// a substring test. Header-only; includes no header of the library, so a
// test that declares the library's interface itself can use it too.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include <gtest/gtest.h>

namespace varnel_test {

// Everything `fn` writes to standard output; stdout is flushed before the
// capture ends, since zel_log does not flush.
inline std::string captured(const std::function<void()>& fn) {
    testing::internal::CaptureStdout();
    fn();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

inline bool contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

}  // namespace varnel_test
