// Debug drawing of results into desktop windows, active only while the
// debug-show switch is on.
#include "draw.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include <opencv2/freetype.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

#include "global.h"
#include "text_util.h"

namespace {

// The label font: the desktop font where it exists, else the first existing
// CJK font of Debian's packages.
const char* const kLabelFonts[] = {
    "/System/Library/Fonts/STHeiti Light.ttc",
    "/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc",
    "/usr/share/fonts/truetype/arphic/uming.ttc",
    "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc",
};

// A label holds at most this many bytes of text (a 256-byte buffer with its
// terminating zero).
constexpr size_t kMaxLabelBytes = 255;

bool file_exists(const char* path) {
    struct stat st;
    return stat(path, &st) == 0;
}

std::string label_font() {
    for (const char* font : kLabelFonts) {
        if (file_exists(font)) return font;
    }
    return kLabelFonts[0];  // none exists: the font loading reports the desktop font
}

// Local X displays are named ":N", ":N.S" or "unix:N"; their socket is
// /tmp/.X11-unix/XN. Returns -1 for a display on another host.
int local_display_number(const std::string& display) {
    std::string rest;
    if (!display.empty() && display[0] == ':') {
        rest = display.substr(1);
    } else if (display.compare(0, 5, "unix:") == 0) {
        rest = display.substr(5);
    } else {
        return -1;
    }
    if (rest.empty() || rest[0] < '0' || rest[0] > '9') return -1;
    return atoi(rest.c_str());
}

// Whether a window can be shown. The image library's window back end ends
// the whole process when it finds no display, so the display is tried
// first: with libX11 (loaded at run time) by opening a connection, without
// it by looking for the local server's socket.
bool display_reachable(std::string& why) {
    const char* platform = getenv("QT_QPA_PLATFORM");
    if (platform != nullptr && (strncmp(platform, "offscreen", 9) == 0 || strncmp(platform, "minimal", 7) == 0)) {
        return true;  // windows that need no display
    }
    const char* display = getenv("DISPLAY");
    if (display == nullptr || display[0] == '\0') {
        why = "DISPLAY is not set";
        return false;
    }
    void* x11 = dlopen("libX11.so.6", RTLD_LAZY | RTLD_LOCAL);
    if (x11 != nullptr) {
        typedef void* (*OpenDisplayFn)(const char*);
        typedef int (*CloseDisplayFn)(void*);
        auto open_display = reinterpret_cast<OpenDisplayFn>(dlsym(x11, "XOpenDisplay"));
        auto close_display = reinterpret_cast<CloseDisplayFn>(dlsym(x11, "XCloseDisplay"));
        if (open_display != nullptr && close_display != nullptr) {
            void* dpy = open_display(display);
            if (dpy != nullptr) close_display(dpy);
            dlclose(x11);
            if (dpy == nullptr) why = std::string("cannot open display ") + display;
            return dpy != nullptr;
        }
        dlclose(x11);
    }
    const int number = local_display_number(display);
    if (number < 0) return true;  // a remote display cannot be checked here
    const std::string socket_path = "/tmp/.X11-unix/X" + std::to_string(number);
    if (!file_exists(socket_path.c_str())) {
        why = std::string("no X server for display ") + display;
        return false;
    }
    return true;
}

void show(const char* window, const cv::Mat& img) {
    std::string why;
    if (!display_reachable(why)) {
        CV_Error(cv::Error::StsError, cv::format("cannot show window \"%s\": %s", window, why.c_str()));
    }
    cv::imshow(window, img);
}

}  // namespace

void draw_box_result(const cv::Mat& img, std::vector<BOX_RESULT>& results) {
    if (!isDebugShow()) return;

    cv::Ptr<cv::freetype::FreeType2> ft2 = cv::freetype::createFreeType2();
    ft2->loadFontData(label_font(), 0);

    cv::Mat showmat = img;  // shares the caller's pixels: the drawing stays in the image
    int baseline = 0;
    for (const BOX_RESULT& res : results) {
        if (res.matched == -1) continue;
        if (res.points.size() < 4) continue;  // not a quadrilateral: nothing to draw
        const cv::Scalar scalar = res.matched == 1 ? cv::Scalar(0, 255, 0) : cv::Scalar(0, 0, 255);
        cv::line(showmat, res.points[0], res.points[1], scalar, 1, 8, 0);
        cv::line(showmat, res.points[1], res.points[2], scalar, 1, 8, 0);
        cv::line(showmat, res.points[2], res.points[3], scalar, 1, 8, 0);
        cv::line(showmat, res.points[3], res.points[0], scalar, 1, 8, 0);

        const std::string label = OCR::detail::utf8_prefix(res.text, kMaxLabelBytes);
        if (label.empty()) continue;  // measures 0 x 0: no background, no text
        cv::Size label_size = ft2->getTextSize(label, 16, -1, &baseline);
        int x = res.points[0].x;
        int y = res.points[0].y - label_size.height;
        if (y < 0) y = 0;
        if (x + label_size.width > showmat.cols) x = showmat.cols - label_size.width;
        cv::rectangle(showmat, cv::Rect(x, y, label_size.width, label_size.height), cv::Scalar(255, 255, 255), -1, 8,
                      0);
        ft2->putText(showmat, label, cv::Point(x, y + label_size.height), 16, cv::Scalar::all(0), -1, 8, true);
    }
    show("boxes", showmat);
}

void draw_text_box(const cv::Mat& img, CvRect& rect) {
    if (!isDebugShow()) return;
    cv::Mat showmat = img.clone();
    if (rect.width > 0) cv::rectangle(showmat, cv::Rect(rect.x, rect.y, rect.width, rect.height), cv::Scalar(0, 255, 0), 1, 8, 0);
    show("textbox", showmat);
}
