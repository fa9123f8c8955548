// Process-wide clock and switches.
#pragma once

// Debug-show switch: on only when exactly 1.
extern int g_debug_show;
// Device switch: 1 selects the GPU back end, anything else the CPU road.
// Set by init_crnn, read by batch detection and recognition.
extern int g_use_cuda;

// Wall-clock time in milliseconds (gettimeofday).
double zel_get_current_time();
bool isDebugShow();
void setDebugShow(int v);
