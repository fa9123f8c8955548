// Process-wide clock and the debug-show switch.
#include "global.h"

#include <sys/time.h>

int g_debug_show = 0;

double zel_get_current_time() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<double>(tv.tv_sec) * 1000.0 + static_cast<double>(tv.tv_usec) / 1000.0;
}

bool isDebugShow() { return g_debug_show == 1; }

void setDebugShow(int v) { g_debug_show = v; }
