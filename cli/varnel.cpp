// varnel: reads the text lines of image files and folders and prints them
// in reading order, as plain text, JSON Lines or tab-separated rows.
//
//   varnel [options] PATH...      (varnel --help describes the options)
//
// Each image is one request to the library. The library prints its notices
// with printf on standard output, so for the whole run file descriptor 1 is
// pointed at standard error (--verbose) or /dev/null, and the results go to
// a stream on the original standard output.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <regex>
#include <string>
#include <system_error>
#include <vector>

#include <opencv2/core.hpp>

#include "crnn.h"
#include "image_input.h"
#include "reading_order.h"
#include "text_format.h"
#include "zel_log.h"

namespace fs = std::filesystem;

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitModels = 3;

const char* const kModelFiles[] = {"boxv3.p", "ocrv4_cn.p", "ocrv3_cn.txt"};

// A pattern that matches no text, the empty one included: handed to the
// library when no --regex is given.
const char* const kNeverMatches = "(?!)";

const char* const kHelp =
    "usage: varnel [options] PATH...\n"
    "\n"
    "Reads the text lines of images and prints them in reading order. Each PATH\n"
    "is an image file or a folder (its images, sorted by name); \"-\" reads a list\n"
    "of paths from standard input, one per line. Images of any size and any\n"
    "format OpenCV reads; a photo's EXIF orientation is applied and an alpha\n"
    "plane is kept (where it varies, it carries the ink). In a folder, files\n"
    "whose extension is not an image's are skipped with a note.\n"
    "\n"
    "Reading order assumes an upright page: rows top to bottom, left to right\n"
    "within a row, measured along the page's dominant line direction; columns\n"
    "with an empty band at least two line heights wide between them are read one\n"
    "after the other. Turn a sideways or upside-down image with --rotate.\n"
    "\n"
    "Output (one format for the whole run):\n"
    "  (default)         each image's lines as plain text, under a \"==> PATH <==\"\n"
    "                    header when there is more than one image\n"
    "                      varnel scan.png\n"
    "  --json            one JSON object per image per line: path, width, height,\n"
    "                    ms (time of the recognition), lines (text, points: four\n"
    "                    [x, y] corners from the top-left clockwise, matched,\n"
    "                    order: the line's reading-order index)\n"
    "                      varnel --json photos/ > photos.jsonl\n"
    "  --tsv             one row per line: path, order, x1 y1 x2 y2 x3 y3 x4 y4,\n"
    "                    matched, text (tab, newline, carriage return and\n"
    "                    backslash written as \\t \\n \\r \\\\)\n"
    "                      varnel --tsv scans/ | cut -f 13\n"
    "\n"
    "Options:\n"
    "  --regex PATTERN   a line's `matched` is 1 when PATTERN, an ECMAScript\n"
    "                    regular expression (std::regex), is found anywhere in\n"
    "                    its text; the search runs over the text's UTF-8 bytes,\n"
    "                    so '.' matches one byte. Without it `matched` is 0.\n"
    "                      varnel --json --regex '[0-9]{4}-[0-9]{2}-[0-9]{2}' invoice.jpg\n"
    "  --only-matches    print only the lines that match --regex\n"
    "                      varnel --only-matches --regex 'DN-[0-9-]+' scans/\n"
    "  -r, --recursive   also read the images in subfolders\n"
    "                      varnel -r archive/\n"
    "  --rotate DEGREES  turn every image clockwise by 90, 180 or 270 degrees\n"
    "                    before it is read\n"
    "                      varnel --rotate 90 sideways.jpg\n"
    "  --models DIR      the model directory (boxv3.p, ocrv4_cn.p, ocrv3_cn.txt);\n"
    "                    default: $VARNEL_MODELS, else the models installed with\n"
    "                    varnel (../share/varnel/models beside its bin folder)\n"
    "                      varnel --models ~/varnel-models page.png\n"
    "  -q, --quiet       no progress line (shown on a terminal for several images)\n"
    "                      varnel -q scans/ > scans.txt\n"
    "  -v, --verbose     the library's notices and timings on standard error\n"
    "                      varnel -v page.png\n"
    "  -h, --help        this text\n"
    "                      varnel --help\n"
    "  --                the arguments after it are paths\n"
    "                      varnel -- -scan.png\n"
    "\n"
    "Exit status: 0 every image was read; 1 a path or image failed (the message\n"
    "names it and the others are still read); 2 usage error or invalid pattern;\n"
    "3 the models do not load.\n";

enum class Format { kPlain, kJson, kTsv };

struct Options {
    Format format = Format::kPlain;
    bool format_set = false;
    bool have_regex = false;
    std::string regex;
    bool only_matches = false;
    bool recursive = false;
    int rotate = 0;
    std::string models;
    bool quiet = false;
    bool verbose = false;
    std::vector<std::string> paths;
};

void usage_error(const std::string& message) {
    fprintf(stderr, "varnel: %s\nTry 'varnel --help'.\n", message.c_str());
}

// Fills `opt` from the command line. Returns -1 to go on, otherwise the exit
// status (0 after --help).
int parse_args(int argc, char** argv, Options& opt) {
    bool paths_only = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (paths_only || arg == "-" || arg.empty() || arg[0] != '-') {
            opt.paths.push_back(arg);
            continue;
        }
        if (arg == "--") {
            paths_only = true;
            continue;
        }
        // --name=value or --name value for the options that take a value.
        std::string value;
        bool inline_value = false;
        const size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
            inline_value = true;
        }
        const bool takes_value = arg == "--regex" || arg == "--rotate" || arg == "--models";
        if (takes_value && !inline_value) {
            if (i + 1 >= argc) {
                usage_error("option " + arg + " needs a value");
                return kExitUsage;
            }
            value = argv[++i];
        } else if (!takes_value && inline_value) {
            usage_error("option " + arg + " takes no value");
            return kExitUsage;
        }

        if (arg == "-h" || arg == "--help") {
            fputs(kHelp, stdout);
            return 0;
        } else if (arg == "--json" || arg == "--tsv") {
            const Format f = arg == "--json" ? Format::kJson : Format::kTsv;
            if (opt.format_set && opt.format != f) {
                usage_error("--json and --tsv exclude each other");
                return kExitUsage;
            }
            opt.format = f;
            opt.format_set = true;
        } else if (arg == "--regex") {
            opt.have_regex = true;
            opt.regex = value;
        } else if (arg == "--only-matches") {
            opt.only_matches = true;
        } else if (arg == "-r" || arg == "--recursive") {
            opt.recursive = true;
        } else if (arg == "--rotate") {
            if (value != "0" && value != "90" && value != "180" && value != "270") {
                usage_error("--rotate takes 90, 180 or 270, not '" + value + "'");
                return kExitUsage;
            }
            opt.rotate = std::atoi(value.c_str());
        } else if (arg == "--models") {
            if (value.empty()) {
                usage_error("--models needs a directory");
                return kExitUsage;
            }
            opt.models = value;
        } else if (arg == "-q" || arg == "--quiet") {
            opt.quiet = true;
        } else if (arg == "-v" || arg == "--verbose") {
            opt.verbose = true;
        } else {
            usage_error("unknown option " + arg);
            return kExitUsage;
        }
    }
    if (opt.only_matches && !opt.have_regex) {
        usage_error("--only-matches needs --regex");
        return kExitUsage;
    }
    if (opt.paths.empty()) {
        usage_error("no PATH given");
        return kExitUsage;
    }
    return -1;
}

// The folder that holds this executable; empty when it cannot be found.
fs::path executable_dir() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : exe.parent_path();
}

// The model directory: --models, else $VARNEL_MODELS, else the directory
// installed with the tool, else (running from the build tree) the source
// tree's models/.
std::string model_dir(const Options& opt) {
    if (!opt.models.empty()) return opt.models;
    const char* env = getenv("VARNEL_MODELS");
    if (env != nullptr && env[0] != '\0') return env;
    const fs::path exe_dir = executable_dir();
    const fs::path installed = (exe_dir / VARNEL_CLI_MODELDIR_REL).lexically_normal();
    std::error_code ec;
    if (!exe_dir.empty() && fs::is_directory(installed, ec)) return installed.string();
    if (!exe_dir.empty() && fs::equivalent(exe_dir, VARNEL_CLI_BUILD_DIR, ec)) {
        return std::string(VARNEL_SOURCE_DIR) + "/models";
    }
    return installed.string();
}

// The progress line on standard error: images done, images per second, time
// left. Other messages clear it first so that they do not run into it.
class Progress {
public:
    Progress(size_t total, bool shown) : total_(total), shown_(shown), start_(Clock::now()) {}

    void update(size_t done) {
        if (!shown_) return;
        const double secs = std::chrono::duration<double>(Clock::now() - start_).count();
        const double rate = secs > 0.0 ? static_cast<double>(done) / secs : 0.0;
        char left[32] = "--:--";
        if (done > 0) {
            const long remaining = static_cast<long>(secs / static_cast<double>(done) *
                                                     static_cast<double>(total_ - done) + 0.5);
            snprintf(left, sizeof left, "%ld:%02ld", remaining / 60, remaining % 60);
        }
        fprintf(stderr, "\r%zu/%zu images, %.2f images/s, %s left\033[K", done, total_, rate, left);
        fflush(stderr);
        active_ = true;
    }

    // Clears the progress line before another message.
    void clear() {
        if (!active_) return;
        fputs("\r\033[K", stderr);
        fflush(stderr);
        active_ = false;
    }

private:
    using Clock = std::chrono::steady_clock;
    size_t total_;
    bool shown_;
    bool active_ = false;
    Clock::time_point start_;
};

// The image files named by the paths, in order; a failure for every path
// that is neither a file nor a folder that can be listed.
struct Inputs {
    std::vector<std::string> images;
    int failures = 0;
};

void add_folder(const fs::path& dir, bool recursive, Inputs& in) {
    std::error_code ec;
    std::vector<fs::directory_entry> entries;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) entries.push_back(*it);
    if (ec) {
        fprintf(stderr, "varnel: %s: cannot list the folder: %s\n", dir.c_str(), ec.message().c_str());
        ++in.failures;
        return;
    }
    std::sort(entries.begin(), entries.end(), [](const fs::directory_entry& a, const fs::directory_entry& b) {
        return a.path().filename().string() < b.path().filename().string();
    });
    for (const fs::directory_entry& e : entries) {
        const fs::path& p = e.path();
        if (e.is_directory(ec)) {
            // A linked folder is not followed: it could lead back up the tree.
            if (recursive && !e.is_symlink(ec)) add_folder(p, true, in);
            else if (recursive) fprintf(stderr, "varnel: skipping %s: a linked folder\n", p.c_str());
        } else if (!e.is_regular_file(ec)) {
            fprintf(stderr, "varnel: skipping %s: not a regular file\n", p.c_str());
        } else if (!varnel_cli::has_image_extension(p.filename().string())) {
            fprintf(stderr, "varnel: skipping %s: not an image file\n", p.c_str());
        } else {
            in.images.push_back(p.string());
        }
    }
}

// A path named on the command line or on standard input: a folder is
// listed, anything else is taken as an image whatever its extension.
void add_path(const std::string& path, bool recursive, Inputs& in) {
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (!fs::exists(st)) {
        fprintf(stderr, "varnel: %s: %s\n", path.c_str(),
                ec ? ec.message().c_str() : "No such file or directory");
        ++in.failures;
    } else if (fs::is_directory(st)) {
        add_folder(path, recursive, in);
    } else {
        in.images.push_back(path);
    }
}

Inputs collect_inputs(const Options& opt) {
    Inputs in;
    for (const std::string& path : opt.paths) {
        if (path != "-") {
            add_path(path, opt.recursive, in);
            continue;
        }
        std::string line;
        while (std::getline(std::cin, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!line.empty()) add_path(line, opt.recursive, in);
        }
    }
    return in;
}

// Standard output for results while file descriptor 1 carries the library's
// printing elsewhere.
class Redirect {
public:
    // Points descriptor 1 at standard error (to_stderr) or /dev/null; the
    // results go to out(). ok() is false when that could not be set up.
    explicit Redirect(bool to_stderr) {
        fflush(stdout);
        std::cout.flush();
        const int saved = dup(STDOUT_FILENO);
        if (saved < 0) return;
        const int sink = to_stderr ? dup(STDERR_FILENO) : open("/dev/null", O_WRONLY);
        if (sink < 0 || dup2(sink, STDOUT_FILENO) < 0) {
            if (sink >= 0) close(sink);
            close(saved);
            return;
        }
        close(sink);
        fcntl(saved, F_SETFD, FD_CLOEXEC);
        out_ = fdopen(saved, "w");
        if (out_ == nullptr) close(saved);
    }

    ~Redirect() {
        if (out_ != nullptr) fclose(out_);
    }

    bool ok() const { return out_ != nullptr; }
    FILE* out() const { return out_; }

    // Writes what is buffered and closes the results stream; false when
    // anything written to it was lost.
    bool finish() {
        fflush(stdout);
        std::cout.flush();
        if (out_ == nullptr) return false;
        const bool failed = fflush(out_) != 0 || ferror(out_) != 0;
        const bool closed = fclose(out_) == 0;
        out_ = nullptr;
        return !failed && closed;
    }

private:
    FILE* out_ = nullptr;
};

cv::Point corner(const BOX_RESULT& r, size_t k) { return k < r.points.size() ? r.points[k] : cv::Point(0, 0); }

// One image's results in the chosen format. `order` lists the records in
// reading order.
std::string format_image(const Options& opt, const std::string& path, const cv::Mat& img, double ms,
                         const std::vector<BOX_RESULT>& lines, const std::vector<size_t>& order,
                         bool with_header, bool& first_block) {
    std::string s;
    char buf[128];
    switch (opt.format) {
    case Format::kPlain: {
        std::string body;
        for (size_t idx : order) {
            if (opt.only_matches && lines[idx].matched != 1) continue;
            body += lines[idx].text;
            body += '\n';
        }
        if (opt.only_matches && body.empty()) break;
        if (with_header) {
            if (!first_block) s += '\n';
            s += "==> " + path + " <==\n";
        }
        first_block = false;
        s += body;
        break;
    }
    case Format::kJson: {
        snprintf(buf, sizeof buf, ",\"width\":%d,\"height\":%d,\"ms\":%.1f,\"lines\":[", img.cols, img.rows, ms);
        s += "{\"path\":" + varnel_cli::json_string(path) + buf;
        bool first = true;
        for (size_t pos = 0; pos < order.size(); ++pos) {
            const BOX_RESULT& r = lines[order[pos]];
            if (opt.only_matches && r.matched != 1) continue;
            if (!first) s += ',';
            first = false;
            s += "{\"text\":" + varnel_cli::json_string(r.text) + ",\"points\":[";
            for (size_t k = 0; k < 4; ++k) {
                const cv::Point p = corner(r, k);
                snprintf(buf, sizeof buf, "%s[%d,%d]", k == 0 ? "" : ",", p.x, p.y);
                s += buf;
            }
            snprintf(buf, sizeof buf, "],\"matched\":%d,\"order\":%zu}", r.matched, pos);
            s += buf;
        }
        s += "]}\n";
        break;
    }
    case Format::kTsv: {
        const std::string field = varnel_cli::tsv_field(path);
        for (size_t pos = 0; pos < order.size(); ++pos) {
            const BOX_RESULT& r = lines[order[pos]];
            if (opt.only_matches && r.matched != 1) continue;
            s += field;
            snprintf(buf, sizeof buf, "\t%zu", pos);
            s += buf;
            for (size_t k = 0; k < 4; ++k) {
                const cv::Point p = corner(r, k);
                snprintf(buf, sizeof buf, "\t%d\t%d", p.x, p.y);
                s += buf;
            }
            snprintf(buf, sizeof buf, "\t%d\t", r.matched);
            s += buf;
            s += varnel_cli::tsv_field(r.text);
            s += '\n';
        }
        break;
    }
    }
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    const int parsed = parse_args(argc, argv, opt);
    if (parsed >= 0) return parsed;

    // The library compiles the pattern only after recognising an image; an
    // invalid one is refused here, before any image is read.
    std::string pattern = opt.have_regex ? opt.regex : kNeverMatches;
    try {
        std::regex check(pattern);
    } catch (const std::regex_error& e) {
        fprintf(stderr, "varnel: invalid pattern '%s': %s\n", opt.regex.c_str(), e.what());
        return kExitUsage;
    }

    // The library ends the process when the dictionary cannot be opened, so
    // every model file is checked before it is loaded.
    std::string models = model_dir(opt);
    for (const char* name : kModelFiles) {
        const std::string file = models + "/" + name;
        FILE* fp = fopen(file.c_str(), "rb");
        if (fp == nullptr) {
            fprintf(stderr, "varnel: the models do not load: %s: %s (set --models or VARNEL_MODELS)\n",
                    file.c_str(), strerror(errno));
            return kExitModels;
        }
        fclose(fp);
    }

    const Inputs inputs = collect_inputs(opt);
    int failures = inputs.failures;

    Redirect redirect(opt.verbose);
    if (!redirect.ok()) {
        fprintf(stderr, "varnel: cannot set up standard output: %s\n", strerror(errno));
        return kExitFailed;
    }
    zel_set_log_dummy(opt.verbose ? 0 : 1);
    const int init = init_crnn(models, "cpu", 0);
    fflush(stdout);
    if (init != 0) {
        uninit_crnn();
        redirect.finish();
        fprintf(stderr, "varnel: the models in %s do not load (code %d)%s\n", models.c_str(), init,
                opt.verbose ? "" : "; --verbose shows why");
        return kExitModels;
    }

    const size_t total = inputs.images.size();
    Progress progress(total, total > 1 && !opt.quiet && isatty(STDERR_FILENO));
    progress.update(0);
    bool first_block = true;
    for (size_t i = 0; i < total; ++i) {
        const std::string& path = inputs.images[i];
        std::string error;
        cv::Mat img = varnel_cli::read_image(path, error);
        if (img.empty()) {
            progress.clear();
            fprintf(stderr, "varnel: %s: cannot read the image: %s\n", path.c_str(), error.c_str());
            ++failures;
            progress.update(i + 1);
            continue;
        }
        varnel_cli::rotate_clockwise(img, opt.rotate);

        std::vector<BOX_RESULT> lines;
        int found = -1;
        std::string what = "the library refused it";
        if (opt.verbose) progress.clear();
        const auto start = std::chrono::steady_clock::now();
        try {
            found = crnn_ocr(img, 0, 0, 0, 0, 0, 0.0f, nullptr, &pattern[0], lines);
        } catch (const std::exception& e) {
            what = e.what();
        }
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        fflush(stdout);
        if (found < 0) {
            progress.clear();
            fprintf(stderr, "varnel: %s: recognition failed: %s%s\n", path.c_str(), what.c_str(),
                    opt.verbose ? "" : " (--verbose shows the library's message)");
            ++failures;
            progress.update(i + 1);
            continue;
        }
        // Without --regex nothing matches, whatever the library reported.
        if (!opt.have_regex) {
            for (BOX_RESULT& r : lines) r.matched = 0;
        }

        std::vector<std::vector<cv::Point>> corners;
        corners.reserve(lines.size());
        for (const BOX_RESULT& r : lines) corners.push_back(r.points);
        const std::vector<size_t> order = varnel_cli::reading_order(corners);
        const std::string text = format_image(opt, path, img, ms, lines, order, total > 1, first_block);
        fwrite(text.data(), 1, text.size(), redirect.out());
        fflush(redirect.out());
        progress.update(i + 1);
    }
    progress.clear();
    uninit_crnn();

    if (!redirect.finish()) {
        fprintf(stderr, "varnel: writing the results failed\n");
        return kExitFailed;
    }
    return failures > 0 ? kExitFailed : 0;
}
