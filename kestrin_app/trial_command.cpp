#include "trial_command.h"

#include "command_line.h"
#include "trial_runner.h"

#include <kestrin/atomic_file.h>
#include <kestrin/error.h>
#include <kestrin/project.h>

#include <QElapsedTimer>
#include <QFileInfo>
#include <QThread>
#include <cstdio>
#include <limits>

namespace {

constexpr int kBadUsage = 2;

int usageError(const QString& message) {
    std::fprintf(stderr, "kestrin-studio: %s\n", qUtf8Printable(message));
    return kBadUsage;
}

/// A whole number in [min, max] given for `option`, or nothing (after saying what is wrong).
std::optional<qulonglong> number(const QString& text, const char* option, qulonglong min, qulonglong max) {
    bool ok = false;
    const qulonglong value = text.trimmed().toULongLong(&ok);
    if (!ok || value < min || value > max) {
        usageError(QStringLiteral("%1 needs a whole number from %2 to %3, not '%4'.")
                       .arg(QLatin1String(option))
                       .arg(min)
                       .arg(max)
                       .arg(text));
        return std::nullopt;
    }
    return value;
}

/// Writes the results where asked; the summary goes where the person reads it.
int report(const kestrin::TrialResults& results, const std::optional<QString>& path) {
    const kestrin::TrialSummary summary = kestrin::TrialSummary::of(results.records);
    const QByteArray lines = results.toJsonLines();
    if (path) {
        try {
            kestrin::writeFileAtomically(*path, lines, QStringLiteral("the trial results"));
        } catch (const kestrin::Error& e) {
            return usageError(e.message());
        }
        std::printf("%s\nResults written to '%s'.\n", qUtf8Printable(summary.text(results.info)),
                    qUtf8Printable(*path));
    } else {
        std::fwrite(lines.constData(), 1, size_t(lines.size()), stdout);
        std::fprintf(stderr, "%s\n", qUtf8Printable(summary.text(results.info)));
    }
    std::fflush(stdout);
    return summary.faulted ? 1 : 0;
}

QString describeDraw(const kestrin::Draw& d) {
    QStringList values;
    for (double v : d.values)
        values << QString::number(v, 'g', 10);
    QString text = QStringLiteral("  '%1' drew [%2] for '%3'")
                       .arg(d.variable, values.join(QStringLiteral(", ")), d.behavior);
    if (d.values.size() == 6 && d.attempts != 1)
        text += QStringLiteral(" (pose %1 of those drawn)").arg(d.attempts);
    return text;
}

} // namespace

bool wantsTrials(const TrialOptions& o) {
    return o.trials || o.seed || o.jobs || o.shard || o.results || o.replay;
}

int runTrialCommand(const TrialOptions& o) {
    if (o.file.isEmpty())
        return usageError(
            QStringLiteral("--run needs a project file: kestrin-studio --run PROGRAM FILE --trials N"));
    if (o.trials && o.replay)
        return usageError(QStringLiteral("--trials runs many trials and --replay one: give one of them."));
    if (!o.trials && !o.replay)
        return usageError(
            QStringLiteral("--seed, --jobs, --shard and --results go with --trials N (or --seed with "
                           "--replay T)."));
    if (o.replay && (o.jobs || o.shard || o.results))
        return usageError(
            QStringLiteral("--replay runs one trial: --jobs, --shard and --results do not go with it."));

    quint64 seed = 1;
    if (o.seed) {
        const auto s = number(*o.seed, "--seed", 0, std::numeric_limits<quint64>::max());
        if (!s)
            return kBadUsage;
        seed = *s;
    }
    int trials = 0, jobs = 1, shard = 0, shards = 0, replay = 0;
    if (o.trials) {
        const auto n = number(*o.trials, "--trials", 1, 100000000);
        if (!n)
            return kBadUsage;
        trials = int(*n);
    }
    if (o.replay) {
        const auto t = number(*o.replay, "--replay", 1, 100000000);
        if (!t)
            return kBadUsage;
        replay = int(*t);
    }
    if (o.jobs) {
        const auto j = number(*o.jobs, "--jobs", 1, 1024);
        if (!j)
            return kBadUsage;
        jobs = int(*j);
    }
    if (o.shard) {
        const QStringList parts = o.shard->split(QLatin1Char('/'));
        bool okI = false, okK = false;
        shard = parts.value(0).toInt(&okI);
        shards = parts.value(1).toInt(&okK);
        if (parts.size() != 2 || !okI || !okK || shards < 1 || shard < 1 || shard > shards)
            return usageError(
                QStringLiteral("--shard needs I/K, shard I of K with 1 <= I <= K (such as 2/4), not '%1'.")
                    .arg(*o.shard));
    }

    const QString path = QFileInfo(o.file).absoluteFilePath();
    kestrin::Project project;
    try {
        project.load(path);
    } catch (const kestrin::Error& e) {
        return usageError(e.message());
    }
    if (!project.programs().contains(o.program))
        return usageError(missingProgramMessage(path, o.program, project.programs().keys()));
    TrialPlan plan = trialPlanFor(project, path, o.program, seed);

    if (replay) {
        plan.trials = {replay};
        std::vector<kestrin::TrialRecord> records;
        try {
            records = runTrials(plan);
        } catch (const kestrin::Error& e) {
            return usageError(e.message());
        }
        const kestrin::TrialRecord& r = records.front();
        std::printf("Trial %d of program '%s' (base seed %llu, trial seed %llu) drew:\n", r.trial,
                    qUtf8Printable(o.program), static_cast<unsigned long long>(seed),
                    static_cast<unsigned long long>(r.seed));
        if (r.draws.empty())
            std::printf("  nothing\n");
        for (const kestrin::Draw& d : r.draws)
            std::printf("%s\n", qUtf8Printable(describeDraw(d)));
        if (r.completed)
            std::printf("It completed after %.3f s of simulated time.\n", r.seconds);
        else
            std::printf("It faulted (%s) in '%s' after %.3f s of simulated time: %s\n",
                        qUtf8Printable(kestrin::faultKindName(r.faultKind)), qUtf8Printable(r.behavior),
                        r.seconds, qUtf8Printable(r.reason));
        return r.completed ? 0 : 1;
    }

    kestrin::TrialResults results;
    results.info.file = path;
    results.info.projectHash = kestrin::projectHash(project);
    results.info.program = o.program;
    results.info.seed = seed;
    results.info.trials = trials;
    results.info.shard = shard;
    results.info.shards = shards;
    plan.trials = shards ? kestrin::shardTrials(trials, shard, shards) : kestrin::shardTrials(trials, 1, 1);
    plan.jobs = jobs;
    QElapsedTimer wall;
    wall.start();
    try {
        results.records = runTrials(plan);
    } catch (const kestrin::Error& e) {
        return usageError(e.message());
    }
    const double seconds = wall.nsecsElapsed() / 1e9;
    const int threads = std::min(jobs, std::max(1, int(plan.trials.size())));
    std::fprintf(stderr, "Ran %d trials on %d thread%s in %.2f s.\n", int(results.records.size()), threads,
                 threads == 1 ? "" : "s", seconds);
    return report(results, o.results);
}

int runMergeCommand(const QStringList& paths, const std::optional<QString>& results) {
    if (paths.isEmpty())
        return usageError(
            QStringLiteral("--merge needs the result files of the shards: kestrin-studio --merge PATH..."));
    std::vector<kestrin::TrialResults> shards;
    try {
        for (const QString& path : paths)
            shards.push_back(kestrin::TrialResults::read(path));
        return report(kestrin::mergeTrialResults(shards, paths), results);
    } catch (const kestrin::Error& e) {
        return usageError(e.message());
    }
}
