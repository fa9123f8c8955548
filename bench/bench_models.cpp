// Speed of the networks through the library's engine sessions (2 threads
// each, as the loaders configure them), for the shipped models ("new",
// models/ of the source tree) and, when given, a second model directory
// ("old") in the same run, with the ratio of the medians new / old.
//
//   DetectorPass: one forward pass of the detector on the input a
//     1280 x 960 page becomes (padded by 20 on every side, sides rounded to
//     multiples of 32: 1 x 3 x 992 x 1312).
//   RecogniserPass: one forward pass of the recogniser on one
//     1 x 3 x 48 x 320 line.
//   RecogniserWidthCycle: the same, with the width stepping through 288,
//     296, ..., 352 and back to 288, so that every pass has a shape the one
//     before it did not have and the engine plans the network anew. The
//     widths average 320: the difference to RecogniserPass is the cost of
//     that re-planning.
//
//   bench_models [--old-models=DIR] [benchmark flags]
//   VARNEL_OLD_MODELS=DIR bench_models --benchmark_repetitions=5
//
// DIR holds boxv3.p, ocrv4_cn.p and ocrv3_cn.txt (scripts/bench_models.sh
// takes them from an earlier commit). Without --benchmark_repetitions the
// run makes 5 repetitions; medians are taken over them (wall-clock time).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "det.h"
#include "rec.h"
#include "zel_log.h"

namespace {

// The widths of RecogniserWidthCycle: 288 to 352 in steps of 8, mean 320.
std::vector<int> cycle_widths() {
    std::vector<int> w;
    for (int x = 288; x <= 352; x += 8) w.push_back(x);
    return w;
}

struct ModelSet {
    std::string label;
    std::string dir;
    std::unique_ptr<OCR::TextDetect> det;
    std::unique_ptr<OCR::TextRec> rec;
};

// A deterministic input of the given NCHW shape, values in [-1, 1).
std::vector<float> pattern_input(const std::vector<int>& shape) {
    std::vector<float> input(static_cast<size_t>(shape[0]) * shape[1] * shape[2] * shape[3]);
    for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<float>((i * 7919) % 255) / 127.5f - 1.0f;
    return input;
}

// Forward passes over `shapes`, one after the other and round again.
template <class Net>
void run_passes(benchmark::State& state, Net& net, const std::vector<std::vector<int>>& shapes) {
    std::vector<std::vector<float>> inputs;
    for (const auto& s : shapes) inputs.push_back(pattern_input(s));
    std::vector<std::vector<int>> in_shapes = shapes;
    std::vector<int> out_shape;
    size_t k = 0;
    for (auto _ : state) {
        float* out = net.mnn_infer(inputs[k].data(), in_shapes[k], out_shape);
        if (out == nullptr) {
            state.SkipWithError("the network gave no output");
            break;
        }
        benchmark::DoNotOptimize(out[0]);
        delete[] out;
        k = (k + 1) % shapes.size();
    }
    state.counters["out_c"] = out_shape.size() == 4 ? out_shape[1] : 0;
    state.counters["out_h"] = out_shape.size() == 4 ? out_shape[2] : 0;
}

// Loads both networks of `set`; false, with a message, when either fails.
bool load(ModelSet& set) {
    zel_set_log_dummy(1);
    set.det.reset(new OCR::TextDetect());
    set.rec.reset(new OCR::TextRec());
    // Level-1 load lines are printed whatever the quiet switch says; they
    // name the files read.
    if (set.det->initModel_mnn(set.dir, 0, 0) != 0) {
        fprintf(stderr, "bench_models: the detector in %s did not load\n", set.dir.c_str());
        return false;
    }
    if (set.rec->initModel_mnn(set.dir, 0, 0) != 0) {
        fprintf(stderr, "bench_models: the recogniser in %s did not load\n", set.dir.c_str());
        return false;
    }
    return true;
}

// Registers benchmark `kind` (0 detector, 1 recogniser at a fixed width, 2
// recogniser over the width cycle) for `set`.
void register_kind(int kind, ModelSet& set) {
    benchmark::internal::Benchmark* b = nullptr;
    if (kind == 0) {
        b = benchmark::RegisterBenchmark(("DetectorPass/" + set.label).c_str(), [&set](benchmark::State& st) {
            run_passes(st, *set.det, {{1, 3, 992, 1312}});
        });
    } else if (kind == 1) {
        b = benchmark::RegisterBenchmark(("RecogniserPass/" + set.label).c_str(), [&set](benchmark::State& st) {
            run_passes(st, *set.rec, {{1, 3, 48, 320}});
        });
    } else {
        std::vector<std::vector<int>> shapes;
        for (int w : cycle_widths()) shapes.push_back({1, 3, 48, w});
        b = benchmark::RegisterBenchmark(("RecogniserWidthCycle/" + set.label).c_str(),
                                         [&set, shapes](benchmark::State& st) { run_passes(st, *set.rec, shapes); });
    }
    b->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
}

// The console output as usual, and the per-iteration wall time of every
// run kept per benchmark: the medians of the aggregate rows when the run
// reports them, otherwise of the repetitions.
class MedianReporter : public benchmark::ConsoleReporter {
public:
    explicit MedianReporter(bool color) : ConsoleReporter(color ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.error_occurred) continue;
            const std::string name = r.run_name.function_name;
            if (r.run_type == Run::RT_Aggregate) {
                if (r.aggregate_name == "median") aggregate_median_[name] = r.GetAdjustedRealTime();
            } else {
                repetitions_[name].push_back(r.GetAdjustedRealTime());
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // Median in milliseconds; negative when the benchmark gave no time.
    double median(const std::string& name) const {
        auto a = aggregate_median_.find(name);
        if (a != aggregate_median_.end()) return a->second;
        auto r = repetitions_.find(name);
        if (r == repetitions_.end() || r->second.empty()) return -1.0;
        std::vector<double> v = r->second;
        std::sort(v.begin(), v.end());
        const size_t n = v.size();
        return n % 2 == 1 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
    }

private:
    std::map<std::string, double> aggregate_median_;
    std::map<std::string, std::vector<double>> repetitions_;
};

// "12.34" or "-" when the benchmark gave no time (filtered out, failed).
std::string ms(double v) {
    if (v <= 0) return "-";
    char buf[32];
    snprintf(buf, sizeof buf, "%.2f", v);
    return buf;
}

void print_summary(const MedianReporter& rep, const std::vector<ModelSet*>& sets) {
    const bool both = sets.size() == 2;
    printf("\nmedians of the wall time per pass (ms)\n");
    printf("%-22s %10s %10s %9s\n", "", "new", both ? "old" : "", both ? "new/old" : "");
    for (const char* bench : {"DetectorPass", "RecogniserPass", "RecogniserWidthCycle"}) {
        const double n = rep.median(std::string(bench) + "/new");
        printf("%-22s %10s", bench, ms(n).c_str());
        if (both) {
            const double o = rep.median(std::string(bench) + "/old");
            printf(" %10s", ms(o).c_str());
            if (n > 0 && o > 0) printf(" %9.3f", n / o);
        }
        printf("\n");
    }
    for (const ModelSet* s : sets) {
        const double fixed = rep.median("RecogniserPass/" + s->label);
        const double cycle = rep.median("RecogniserWidthCycle/" + s->label);
        if (fixed <= 0 || cycle <= 0) continue;
        printf("re-planning, %s: %.2f ms per pass with a new width vs %.2f ms at a fixed width (%+.2f ms, x%.3f)\n",
               s->label.c_str(), cycle, fixed, cycle - fixed, cycle / fixed);
    }
    if (!both) printf("no second model directory (--old-models=DIR or VARNEL_OLD_MODELS): no ratios\n");
}

}  // namespace

int main(int argc, char** argv) {
    std::string old_dir;
    if (const char* env = getenv("VARNEL_OLD_MODELS")) old_dir = env;
    // Our own flag is taken out before the benchmark library sees the rest.
    std::vector<char*> args;
    bool repetitions_given = false;
    // Colours only on a terminal, and not when --benchmark_color=false asks
    // for none (the flag sets only the library's own console reporter).
    bool color = isatty(fileno(stdout)) != 0;
    const char* const kOld = "--old-models=";
    for (int i = 0; i < argc; ++i) {
        if (i > 0 && strncmp(argv[i], kOld, strlen(kOld)) == 0) {
            old_dir = argv[i] + strlen(kOld);
            continue;
        }
        if (strncmp(argv[i], "--benchmark_repetitions", 23) == 0) repetitions_given = true;
        if (strcmp(argv[i], "--benchmark_color=false") == 0) color = false;
        args.push_back(argv[i]);
    }
    static char kRepetitions[] = "--benchmark_repetitions=5";
    if (!repetitions_given) args.push_back(kRepetitions);
    int args_n = static_cast<int>(args.size());
    args.push_back(nullptr);

    benchmark::Initialize(&args_n, args.data());
    if (benchmark::ReportUnrecognizedArguments(args_n, args.data())) return 1;

    ModelSet shipped{"new", std::string(VARNEL_SOURCE_DIR) + "/models", nullptr, nullptr};
    ModelSet old{"old", old_dir, nullptr, nullptr};
    std::vector<ModelSet*> sets = {&shipped};
    if (!old_dir.empty()) sets.push_back(&old);
    for (ModelSet* s : sets) {
        if (!load(*s)) return 2;
    }
    // Registered kind by kind, new before old, so that a slow drift of the
    // machine's load falls on both sets alike.
    for (int kind = 0; kind < 3; ++kind)
        for (ModelSet* s : sets) register_kind(kind, *s);

    MedianReporter reporter(color);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    print_summary(reporter, sets);
    benchmark::Shutdown();
    return 0;
}
