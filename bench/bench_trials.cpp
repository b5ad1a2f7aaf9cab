// Randomised trials of the demo program: trials per second on 1 and 2 threads, and one trial
// against one plain headless run of the same program (SimulateDemo) in the same process.

#include "benchmarks.h"

#include <kestrin/kestrin.h>
#include <kestrin/trials.h>
#include <kestrin_app/trial_runner.h>

#include <benchmark/benchmark.h>

namespace kestrin_bench {

namespace {

constexpr int kTrialsPerBatch = 64;

kestrin::Project& demo() {
    static kestrin::Project project;
    if (project.programs().isEmpty())
        project.load(QStringLiteral(KESTRIN_SOURCE_DIR "/data/templates/demo_cell") +
                     kestrin::KS_PROJECT_FILE_EXT);
    return project;
}

/// A batch of trials on state.range(0) threads, each batch with new seeds.
void trialsThroughput(benchmark::State& state) {
    TrialPlan plan = trialPlanFor(demo(), QStringLiteral("demo"), QStringLiteral("Pick and Place"), 1);
    plan.jobs = int(state.range(0));
    int first = 1;
    for (auto _ : state) {
        plan.trials.clear();
        for (int t = first; t < first + kTrialsPerBatch; ++t)
            plan.trials.push_back(t);
        first += kTrialsPerBatch;
        benchmark::DoNotOptimize(runTrials(plan));
    }
    state.counters["trials"] = kTrialsPerBatch; // per iteration
}

/// One trial of the demo on a project copy, as a thread of runTrials runs it.
void trialDemo(benchmark::State& state) {
    kestrin::TrialProject copy(demo().toJson(true), QStringLiteral("demo"));
    int trial = 1;
    for (auto _ : state) {
        const std::optional<kestrin::TrialRecord> r = copy.run(QStringLiteral("Pick and Place"), 1, trial++);
        if (!r || !r->completed) {
            state.SkipWithError("a trial of the demo did not complete");
            break;
        }
    }
}

} // namespace

void registerTrialBenchmarks() {
    benchmark::RegisterBenchmark("TrialsThroughput", trialsThroughput)
        ->Arg(1)
        ->Arg(2)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond)
        ->MinTime(2.0);
    benchmark::RegisterBenchmark("TrialDemo", trialDemo)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond)
        ->MinTime(1.0);
}

} // namespace kestrin_bench
