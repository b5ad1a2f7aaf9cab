// Figures taken from whole processes: start-up to the first frame of the demo cell against a
// minimal Qt and VTK program that shows one cube, and peak memory with a cell of each size.

#include "benchmarks.h"
#include "cell_harness.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
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
        !QFileInfo(output).isFile()) {
        std::fprintf(stderr, "%s failed:\n%s\n", qPrintable(program),
                     process.readAllStandardError().constData());
        return -1;
    }
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
            if (s < 0) {
                state.SkipWithError("kestrin-studio --screenshot failed");
                return;
            }
            // The baseline's view gets the size of the studio's (the screenshot's size).
            const QSize view = QImageReader(studioShot).size();
            const double b = timeProcess(
                QStringLiteral(KESTRIN_STARTUP_BASELINE_PATH),
                {baselineShot, QString::number(view.width()), QString::number(view.height())}, baselineShot);
            if (b < 0) {
                state.SkipWithError("the start-up baseline failed");
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
        child.start(self, {QStringLiteral("--cell-memory"), QString::number(objects)});
        if (!child.waitForFinished(600000) || child.exitCode() != 0) {
            std::fprintf(stderr, "%s\n", child.readAllStandardError().constData());
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
    // VmHWM rather than getrusage: the peak that getrusage reports survives exec, so a child of
    // a large parent would report the parent's peak.
    QFile status(QStringLiteral("/proc/self/status"));
    long peakKb = -1;
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("VmHWM:"))
                peakKb = line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    std::printf("%ld\n", peakKb);
    CellHarness::release();
    return peakKb > 0 ? 0 : 1;
}

} // namespace kestrin_bench
