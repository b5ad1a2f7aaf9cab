#pragma once
// The figures of a kestrin-bench run as one table: figure, value, target, met or not. Targets are
// ratios between runs of the same process; figures without a target are reported as measured.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace kestrin_bench {

class ResultsTable {
public:
    /// Keeps a finished run (the median when repetitions were asked for).
    void add(const benchmark::BenchmarkReporter::Run& run);
    /// Prints the table; rows whose runs are missing (filtered out, failed) say so.
    void print(std::FILE* out) const;

private:
    struct Result {
        double seconds = 0; // wall-clock seconds per iteration
        std::map<std::string, double> counters;
        std::string error;
    };
    struct Row {
        std::string figure, value, target, met;
    };

    const Result* find(const std::string& name) const;
    std::vector<Row> rows() const;

    std::map<std::string, Result> m_results;
};

} // namespace kestrin_bench
