// Project files of the largest cell, on one thread: loading against parsing the same bytes with
// Qt's JSON parser, saving against writing a prebuilt document of the same content through
// QSaveFile.

#include "benchmarks.h"
#include "cell_generator.h"

#include <kestrin/kestrin.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <memory>

namespace kestrin_bench {

namespace {

QByteArray readAll(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw kestrin::FileError(QStringLiteral("Cannot read '%1': %2").arg(path, file.errorString()));
    return file.readAll();
}

void loadProject(benchmark::State& state, int objects) {
    const QString path = cellFile(objects);
    for (auto _ : state) {
        auto project = std::make_unique<kestrin::Project>();
        project->load(path);
        state.PauseTiming();
        project.reset();
        state.ResumeTiming();
    }
    state.counters["bytes"] = double(QFileInfo(path).size());
}

void parseJson(benchmark::State& state, int objects) {
    const QByteArray bytes = readAll(cellFile(objects));
    for (auto _ : state) {
        QJsonDocument doc = QJsonDocument::fromJson(bytes);
        benchmark::DoNotOptimize(doc);
        state.PauseTiming();
        doc = QJsonDocument();
        state.ResumeTiming();
    }
}

void saveProject(benchmark::State& state, int objects) {
    kestrin::Project project;
    project.load(cellFile(objects));
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("saved.kestrin"));
    for (auto _ : state)
        project.save(path);
}

// The least any save must do: serialise the document and write it atomically.
void writeJson(benchmark::State& state, int objects) {
    kestrin::Project project;
    project.load(cellFile(objects));
    const QJsonObject document = project.toJson();
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("written.json"));
    for (auto _ : state) {
        const QByteArray bytes = QJsonDocument(document).toJson(QJsonDocument::Indented);
        QSaveFile out(path);
        if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit()) {
            state.SkipWithError("cannot write the JSON file");
            break;
        }
    }
}

} // namespace

void registerProjectFileBenchmarks() {
    const int largest = cellSizes().back();
    const std::string n = "/" + std::to_string(largest);
    for (auto [name, fn] : {std::pair{"LoadProject", loadProject}, std::pair{"ParseJson", parseJson},
                            std::pair{"SaveProject", saveProject}, std::pair{"WriteJson", writeJson}})
        // Repeated, with the repetitions of all four interleaved at random (scripts/bench.sh asks
        // for that), and the median taken: on a shared machine a slow spell then falls on a
        // figure and its baseline alike, instead of on whichever ran during it.
        benchmark::RegisterBenchmark((name + n).c_str(), fn, largest)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond)
            ->MinTime(0.3)
            ->Repetitions(9)
            ->ReportAggregatesOnly(true);
}

} // namespace kestrin_bench
