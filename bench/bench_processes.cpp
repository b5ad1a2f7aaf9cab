// Figures taken from whole processes: start-up to the first frame of the demo cell against a
// minimal Qt and VTK program that shows one cube, and peak memory with a cell of each size.

#include "benchmarks.h"
#include "cell_harness.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>
#include <vector>

namespace kestrin_bench {

namespace {

// Runs of each program; the figures are their medians.
constexpr int kStartupRuns = 7;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

/// Wall-clock milliseconds from starting `program` until it ended; -1 when it failed or did not
/// write `output`.
double timeProcess(const QString& program, const QStringList& arguments, const QString& output) {
    QFile::remove(output);
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    const double ms = clock.nsecsElapsed() / 1e6;
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0 ||
        !QFileInfo(output).isFile())
        return -1;
    return ms;
}

void startup(benchmark::State& state) {
    QTemporaryDir folder;
    const QString studioShot = folder.filePath(QStringLiteral("studio.png"));
    const QString baselineShot = folder.filePath(QStringLiteral("baseline.png"));
    std::vector<double> studio, baseline;
    for (auto _ : state) {
        // Alternate, so that both see the same load on the machine.
        for (int i = 0; i < kStartupRuns; ++i) {
            const double s = timeProcess(QStringLiteral(KESTRIN_STUDIO_PATH),
                                         {QStringLiteral("--screenshot"), studioShot}, studioShot);
            const double b =
                timeProcess(QStringLiteral(KESTRIN_STARTUP_BASELINE_PATH), {baselineShot}, baselineShot);
            if (s < 0 || b < 0) {
                state.SkipWithError(s < 0 ? "kestrin-studio --screenshot failed"
                                          : "the start-up baseline failed");
                return;
            }
            studio.push_back(s);
            baseline.push_back(b);
        }
    }
    state.counters["studio_ms"] = median(studio);
    state.counters["baseline_ms"] = median(baseline);
}

QString self;

void peakMemory(benchmark::State& state, int objects) {
    double peakKb = -1;
    for (auto _ : state) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(self, {QStringLiteral("--cell-memory"), QString::number(objects)});
        if (!child.waitForFinished(600000) || child.exitCode() != 0) {
            state.SkipWithError("the child process that builds the cell failed");
            return;
        }
        bool ok = false;
        peakKb = QString::fromLatin1(child.readAllStandardOutput()).trimmed().toDouble(&ok);
        if (!ok) {
            state.SkipWithError("the child process printed no peak memory");
            return;
        }
    }
    state.counters["peak_mb"] = peakKb / 1024.0;
}

} // namespace

void registerProcessBenchmarks(const QString& selfPath) {
    self = selfPath;
    benchmark::RegisterBenchmark("Startup", startup)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1);
    std::vector<int> sizes{0};
    sizes.insert(sizes.end(), cellSizes().begin(), cellSizes().end());
    for (int n : sizes)
        benchmark::RegisterBenchmark(("PeakMemory/" + std::to_string(n)).c_str(), peakMemory, n)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond)
            ->Iterations(1);
}

int runCellMemoryChild(int, char**, int objects) {
    CellHarness::instance().ensureCell(objects);
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%ld\n", usage.ru_maxrss);
    CellHarness::release();
    return 0;
}

} // namespace kestrin_bench
