// Micro-benchmarks: the survey and the partition over a generated chart, and
// the seal transform.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "chart/ChartScanner.h"
#include "format/SealTransform.h"
#include "output/ChartSealer.h"

namespace {

using namespace chartseal;

// A chart of about 16 MiB in the shape gen_chart.py writes, kept in a file
// for the benchmarks that read.
const std::string& chartPath()
{
    static const std::string path = [] {
        std::mt19937 random(3);
        std::string chart = "#TITLE:bench;\n#BPMS:0.000=140.000;\n\n";
        const char* const difficulties[] = {"Beginner", "Easy", "Medium", "Hard", "Challenge"};
        for (int c = 0; chart.size() < (std::size_t{16} << 20); ++c) {
            const bool twice = (c / 5) % 2;
            const std::string style = twice ? "step-double" : "step-single";
            chart += "//---------------" + style + " - " + difficulties[c % 5] + "---\n#NOTES:\n     " + style +
                     ":\n     bench:\n     " + difficulties[c % 5] + ":\n     5:\n     0.5,0.5,0.5,0.5,0.5:\n";
            for (int m = 0; m < 64; ++m) {
                for (int row = 0; row < 8; ++row) {
                    std::string notes(twice ? 8 : 4, '0');
                    notes[random() % notes.size()] = "0124M"[random() % 5];
                    chart += notes + "\n";
                }
                chart += m == 63 ? ";\n" : ",\n";
            }
        }
        const char* dir = std::getenv("TMPDIR");
        std::string file = std::string(dir ? dir : "/tmp") + "/chartseal-micro-XXXXXX";
        const int fd = ::mkstemp(file.data());
        if (fd < 0 || ::write(fd, chart.data(), chart.size()) != static_cast<ssize_t>(chart.size())) std::abort();
        ::close(fd);
        std::atexit([] { ::unlink(chartPath().c_str()); });
        return file;
    }();
    return path;
}

std::size_t countLines()
{
    ChartScanner scanner;
    ChartStream stream = scanner.openChart(chartPath());
    std::size_t lines = 0;
    std::string_view line;
    while (stream.readLine(line)) ++lines;
    return lines;
}

void BM_Survey(benchmark::State& state)
{
    ChartScanner scanner;
    const std::size_t lines = countLines();
    for (auto _ : state) {
        ChartStream stream = scanner.openChart(chartPath());
        benchmark::DoNotOptimize(ChartScanner::survey(stream));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(std::filesystem::file_size(chartPath())));
    state.counters["lines/s"] = benchmark::Counter(static_cast<double>(lines), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_Survey)->Unit(benchmark::kMillisecond);

void BM_Partition(benchmark::State& state)
{
    ChartScanner scanner;
    const std::size_t lines = countLines();
    ChartStream first = scanner.openChart(chartPath());
    const OrdinalTable ordinals = ChartScanner::survey(first);
    std::size_t size = 0;
    for (auto _ : state) {
        SlotSet slots;
        ChartStream stream = scanner.openChart(chartPath());
        ChartScanner::partition(stream, ordinals, slots);
        size = slots.totalSize();
        benchmark::DoNotOptimize(slots);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size));
    state.counters["lines/s"] = benchmark::Counter(static_cast<double>(lines), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_Partition)->Unit(benchmark::kMillisecond);

void BM_SealBytes(benchmark::State& state)
{
    std::string in(static_cast<std::size_t>(state.range(0)), 'x');
    std::string out(in.size(), '\0');
    for (auto _ : state) {
        sealBytes(in.data(), out.data(), in.size(), 0);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SealBytes)->Arg(1 << 20)->Arg(16 << 20);

void BM_SealSlotToDevNull(benchmark::State& state)
{
    // The whole chart as one slot: read back, sealed and written.
    std::error_code ec;
    File chart(systemFileOps(), chartPath(), systemFileOps().openForReading(chartPath(), ec));
    Slot slot;
    slot.add({0, std::filesystem::file_size(chartPath())});
    // The seam creates outputs only new: the device is opened here.
    File out(systemFileOps(), "/dev/null", ::open("/dev/null", O_WRONLY | O_CLOEXEC));
    for (auto _ : state) ChartSealer::sealSlot(slot, chart, out);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(slot.size()));
}
BENCHMARK(BM_SealSlotToDevNull)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
