// Cost of cam_grabframe for a 1920x1080 YUYV frame next to a plain memcpy of
// the same byte count: the copy should be nearly all of it. Prints the ratio
// of the two mean CPU times at the end.
#include <string.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "camapi.h"
#include "simcam.h"

namespace {

constexpr unsigned kWidth = 1920;
constexpr unsigned kHeight = 1080;
constexpr size_t kFrameBytes = size_t{kWidth} * kHeight * 2;
constexpr int kRing = 4;
const char kNode[] = "/dev/video0";

// Frames always ready and drawn once per buffer, so only the grab is timed.
bool start_camera() {
    simcam::Camera cam = simcam::default_camera();
    cam.node = kNode;
    cam.paced = false;
    cam.still = true;
    cam.formats = {simcam::one_size_format(V4L2_PIX_FMT_YUYV, kWidth, kHeight, {1, 5})};
    if (!simcam::add_camera(cam)) return false;
    if (cam_open(0, kNode, V4L2_PIX_FMT_YUYV, kWidth, kHeight, 5, 1) != 0) return false;
    return cam_play(0) == 0;
}

void BM_Grab(benchmark::State& state) {
    size_t capacity = 0;
    for (uint32_t len : g_mem_len[0]) capacity = len > capacity ? len : capacity;
    std::vector<unsigned char> frame(capacity);
    int size = 0;
    for (auto _ : state) {
        if (cam_grabframe(0, frame.data(), &size) != 0) {
            state.SkipWithError("cam_grabframe failed");
            break;
        }
        benchmark::DoNotOptimize(frame.data());
        benchmark::ClobberMemory();
    }
    if (static_cast<size_t>(size) != kFrameBytes) state.SkipWithError("unexpected frame size");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFrameBytes));
}

// The same bytes from a ring of four sources, as the grab reads its four
// driver buffers in turn.
void BM_Memcpy(benchmark::State& state) {
    std::vector<std::vector<unsigned char>> ring(kRing, std::vector<unsigned char>(kFrameBytes));
    for (auto& src : ring) memset(src.data(), 0x80, src.size());
    std::vector<unsigned char> frame(kFrameBytes);
    size_t next = 0;
    for (auto _ : state) {
        memcpy(frame.data(), ring[next].data(), kFrameBytes);
        next = (next + 1) % kRing;
        benchmark::DoNotOptimize(frame.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFrameBytes));
}

BENCHMARK(BM_Grab)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMicrosecond);

// Console output as usual, keeping the mean CPU time of each benchmark
// (real time suffers from whatever else the machine runs).
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            bool mean = run.run_type == Run::RT_Aggregate && run.aggregate_name == "mean";
            std::string name = run.run_name.function_name;
            if (mean || (run.run_type == Run::RT_Iteration && !has_mean_[name])) {
                time_[name] = run.GetAdjustedCPUTime();
                has_mean_[name] = has_mean_[name] || mean;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double time(const std::string& name) const {
        auto it = time_.find(name);
        return it == time_.end() ? 0 : it->second;
    }

  private:
    std::map<std::string, double> time_;
    std::map<std::string, bool> has_mean_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (!start_camera()) {
        fprintf(stderr, "capture_bench: cannot stream from the simulated camera\n");
        return 2;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    cam_stop(0);
    cam_close(0);
    double grab = reporter.time("BM_Grab"), copy = reporter.time("BM_Memcpy");
    if (grab > 0 && copy > 0)
        printf("grab / memcpy of %zu bytes (CPU time): %.3fx (%.1f us / %.1f us)\n", kFrameBytes,
               grab / copy, grab, copy);
    benchmark::Shutdown();
    return 0;
}
