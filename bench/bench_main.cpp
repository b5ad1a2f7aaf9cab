// kestrin-bench: the performance figures of Kestrin Studio, each measured against its own
// baseline in the same run, then one table of figure, value, target and whether it is met.
// Everything that draws needs a display: run it under xvfb-run (scripts/bench.sh does).
//
// kestrin-bench [benchmark options]     run the benchmarks, then print the table
// kestrin-bench --cell-memory N         (used by the benchmarks) build a cell of N objects on
//                                       screen and print the peak resident memory in kB
// kestrin-bench --cell-file N PATH      write the benchmarks' cell of N objects to the project
//                                       file PATH (to open it in the studio)

#include "benchmarks.h"
#include "cell_generator.h"
#include "cell_harness.h"
#include "results_table.h"

#include <kestrin/project.h>

#include <QApplication>
#include <QLoggingCategory>
#include <QSurfaceFormat>
#include <QVTKOpenGLNativeWidget.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <exception>

namespace {

/// Passes every run on to the console and keeps it for the table.
class CollectingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            results.add(run);
    }
    kestrin_bench::ResultsTable results;
};

} // namespace

int main(int argc, char** argv) {
    QSurfaceFormat::setDefaultFormat(QVTKOpenGLNativeWidget::defaultFormat());
    // What the studio logs while it works (a program run, a save) is not what is measured here.
    QLoggingCategory::setFilterRules(QStringLiteral("kestrin.*.info=false"));
    QApplication app(argc, argv);

    try {
        if (argc == 3 && std::strcmp(argv[1], "--cell-memory") == 0)
            return kestrin_bench::runCellMemoryChild(argc, argv, std::atoi(argv[2]));
        if (argc == 4 && std::strcmp(argv[1], "--cell-file") == 0) {
            kestrin::Project project;
            kestrin_bench::populateCell(project, std::atoi(argv[2]));
            project.save(QString::fromLocal8Bit(argv[3]));
            return 0;
        }

        benchmark::Initialize(&argc, argv);
        if (benchmark::ReportUnrecognizedArguments(argc, argv))
            return 2;
        kestrin_bench::registerEditingBenchmarks();
        kestrin_bench::registerUndoBenchmarks();
        kestrin_bench::registerProjectFileBenchmarks();
        kestrin_bench::registerSimulationBenchmarks();
        kestrin_bench::registerTrialBenchmarks();
        kestrin_bench::registerCollisionBenchmarks();
        kestrin_bench::registerMeshBenchmarks();
        kestrin_bench::registerProcessBenchmarks(QCoreApplication::applicationFilePath());

        CollectingReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
        benchmark::Shutdown();
        std::fflush(stdout);
        kestrin_bench::CellHarness::release();
        reporter.results.print(stdout);
        std::fflush(stdout);
    } catch (const std::exception& e) {
        kestrin_bench::CellHarness::release();
        std::fprintf(stderr, "kestrin-bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
