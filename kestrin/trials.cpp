#include "trials.h"

#include "error.h"
#include "project.h"
#include "project_file.h"
#include "workspace.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <algorithm>
#include <cmath>

namespace kestrin {

namespace {

constexpr quint64 kGolden = 0x9E3779B97F4A7C15ULL;

quint64 splitmix64(quint64 x) {
    x += kGolden;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

const std::vector<std::pair<FaultKind, QString>>& kindNames() {
    static const std::vector<std::pair<FaultKind, QString>> names = {
        {FaultKind::Unreachable, QStringLiteral("unreachable")},
        {FaultKind::Collision, QStringLiteral("collision")},
        {FaultKind::JointLimit, QStringLiteral("joint limit")},
        {FaultKind::NothingToGrasp, QStringLiteral("nothing to grasp")},
        {FaultKind::Timeout, QStringLiteral("timeout")},
        {FaultKind::Other, QStringLiteral("other")},
    };
    return names;
}

QString seedText(quint64 seed) {
    return QString::number(seed);
}

quint64 seedFrom(const QJsonValue& value, const QString& where) {
    bool ok = false;
    const quint64 seed = value.toString().toULongLong(&ok);
    if (!value.isString() || !ok)
        throw FormatError(
            QStringLiteral("%1: the seed must be a whole number written as a string.").arg(where));
    return seed;
}

int intFrom(const QJsonObject& json, const QString& key, const QString& where, int min) {
    const QJsonValue v = json.value(key);
    const double d = v.toDouble(-1);
    if (!v.isDouble() || d != std::floor(d) || d < min || d > 1e9)
        throw FormatError(
            QStringLiteral("%1: '%2' must be a whole number from %3 on.").arg(where, key).arg(min));
    return int(d);
}

QString stringFrom(const QJsonObject& json, const QString& key, const QString& where) {
    const QJsonValue v = json.value(key);
    if (!v.isString())
        throw FormatError(QStringLiteral("%1: '%2' must be a string.").arg(where, key));
    return v.toString();
}

/// Nearest-rank percentile of sorted values.
double percentile(const std::vector<double>& sorted, double p) {
    const auto rank = size_t(std::ceil(p * double(sorted.size())));
    return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

QString shardText(const TrialRunInfo& info) {
    return QStringLiteral("%1/%2").arg(info.shard).arg(info.shards);
}

QString csvField(QString text) {
    if (text.contains(QLatin1Char(',')) || text.contains(QLatin1Char('"')) ||
        text.contains(QLatin1Char('\n'))) {
        text.replace(QLatin1String("\""), QLatin1String("\"\""));
        return QLatin1Char('"') + text + QLatin1Char('"');
    }
    return text;
}

QString listOfTrials(const std::vector<int>& trials) {
    QStringList shown;
    for (size_t i = 0; i < trials.size() && i < 10; ++i)
        shown << QString::number(trials[i]);
    if (trials.size() > 10)
        shown << QStringLiteral("... (%1 in all)").arg(trials.size());
    return shown.join(QStringLiteral(", "));
}

} // namespace

quint64 trialSeed(quint64 baseSeed, int trial) {
    return splitmix64(splitmix64(baseSeed) ^ (quint64(trial) * kGolden));
}

QString faultKindName(FaultKind kind) {
    for (const auto& [k, name] : kindNames())
        if (k == kind)
            return name;
    return QString();
}

FaultKind faultKindFromName(const QString& name, const QString& where) {
    for (const auto& [k, n] : kindNames())
        if (n == name)
            return k;
    QStringList known;
    for (const auto& entry : kindNames())
        known << QLatin1Char('\'') + entry.second + QLatin1Char('\'');
    throw FormatError(QStringLiteral("%1: '%2' is not a kind of fault (known: %3).")
                          .arg(where, name, known.join(QStringLiteral(", "))));
}

std::pair<double, double> wilsonInterval(int successes, int n) {
    if (n <= 0)
        return {0.0, 0.0};
    constexpr double z = 1.959963984540054; // the normal quantile of 0.975
    const double p = double(successes) / n;
    const double z2n = z * z / n;
    const double centre = (p + z2n / 2) / (1 + z2n);
    const double half = z * std::sqrt(p * (1 - p) / n + z2n / (4 * n)) / (1 + z2n);
    return {std::max(0.0, centre - half), std::min(1.0, centre + half)};
}

std::vector<int> shardTrials(int trials, int shard, int shards) {
    if (shards < 1 || shard < 1 || shard > shards)
        throw ValueError(QStringLiteral("Shard %1/%2 does not exist: a shard is I/K with 1 <= I <= K.")
                             .arg(shard)
                             .arg(shards));
    if (trials < 0)
        throw ValueError(QStringLiteral("The number of trials cannot be negative (%1).").arg(trials));
    std::vector<int> out;
    for (int t = shard; t <= trials; t += shards)
        out.push_back(t);
    return out;
}

// --- Records -----------------------------------------------------------------------------------

QJsonObject TrialRecord::toJson() const {
    QJsonObject json{
        {QStringLiteral("kind"), QStringLiteral("trial")},
        {QStringLiteral("trial"), trial},
        {QStringLiteral("seed"), seedText(seed)},
        {QStringLiteral("outcome"), completed ? QStringLiteral("completed") : QStringLiteral("faulted")},
        {QStringLiteral("seconds"), seconds}};
    if (!completed) {
        json.insert(QStringLiteral("fault_kind"), faultKindName(faultKind));
        json.insert(QStringLiteral("reason"), reason);
        json.insert(QStringLiteral("behavior"), behavior);
    }
    QJsonArray drawn;
    for (const Draw& d : draws) {
        QJsonArray values;
        for (double v : d.values)
            values.append(v);
        drawn.append(QJsonObject{{QStringLiteral("behavior"), d.behavior},
                                 {QStringLiteral("variable"), d.variable},
                                 {QStringLiteral("values"), values},
                                 {QStringLiteral("attempts"), d.attempts}});
    }
    json.insert(QStringLiteral("draws"), drawn);
    return json;
}

TrialRecord TrialRecord::fromJson(const QJsonObject& json, const QString& where) {
    TrialRecord r;
    r.trial = intFrom(json, QStringLiteral("trial"), where, 1);
    r.seed = seedFrom(json.value(QStringLiteral("seed")), where);
    const QString outcome = stringFrom(json, QStringLiteral("outcome"), where);
    if (outcome != QLatin1String("completed") && outcome != QLatin1String("faulted"))
        throw FormatError(QStringLiteral("%1: the outcome must be 'completed' or 'faulted', not '%2'.")
                              .arg(where, outcome));
    r.completed = outcome == QLatin1String("completed");
    const QJsonValue seconds = json.value(QStringLiteral("seconds"));
    if (!seconds.isDouble() || !(seconds.toDouble() >= 0))
        throw FormatError(QStringLiteral("%1: 'seconds' must be a number of seconds.").arg(where));
    r.seconds = seconds.toDouble();
    if (!r.completed) {
        r.faultKind = faultKindFromName(stringFrom(json, QStringLiteral("fault_kind"), where), where);
        r.reason = stringFrom(json, QStringLiteral("reason"), where);
        r.behavior = stringFrom(json, QStringLiteral("behavior"), where);
    }
    const QJsonValue drawn = json.value(QStringLiteral("draws"));
    if (!drawn.isArray())
        throw FormatError(QStringLiteral("%1: 'draws' must be a list.").arg(where));
    for (const QJsonValue& v : drawn.toArray()) {
        const QJsonObject d = v.toObject();
        Draw draw;
        draw.behavior = stringFrom(d, QStringLiteral("behavior"), where);
        draw.variable = stringFrom(d, QStringLiteral("variable"), where);
        draw.attempts = intFrom(d, QStringLiteral("attempts"), where, 0);
        for (const QJsonValue& x : d.value(QStringLiteral("values")).toArray()) {
            if (!x.isDouble())
                throw FormatError(
                    QStringLiteral("%1: a drawn value of '%2' is not a number.").arg(where, draw.variable));
            draw.values.push_back(x.toDouble());
        }
        r.draws.push_back(std::move(draw));
    }
    return r;
}

bool TrialRecord::operator==(const TrialRecord& o) const {
    if (draws.size() != o.draws.size())
        return false;
    for (size_t i = 0; i < draws.size(); ++i)
        if (draws[i].behavior != o.draws[i].behavior || draws[i].variable != o.draws[i].variable ||
            draws[i].values != o.draws[i].values || draws[i].attempts != o.draws[i].attempts)
            return false;
    return trial == o.trial && seed == o.seed && completed == o.completed && faultKind == o.faultKind &&
           reason == o.reason && behavior == o.behavior && seconds == o.seconds;
}

// --- Summary -----------------------------------------------------------------------------------

TrialSummary TrialSummary::of(const std::vector<TrialRecord>& records) {
    TrialSummary s;
    std::vector<double> cycles;
    for (const TrialRecord& r : records) {
        ++s.ran;
        if (r.completed) {
            ++s.completed;
            cycles.push_back(r.seconds);
        } else {
            ++s.faulted;
            ++s.faultsByKind[faultKindName(r.faultKind)];
            ++s.faultsByBehavior[r.behavior.isEmpty() ? QStringLiteral("(no behavior)") : r.behavior];
        }
    }
    s.successRate = s.ran ? double(s.completed) / s.ran : 0.0;
    std::tie(s.wilsonLow, s.wilsonHigh) = wilsonInterval(s.completed, s.ran);
    if (!cycles.empty()) {
        std::sort(cycles.begin(), cycles.end());
        const size_t n = cycles.size();
        s.cycleMin = cycles.front();
        s.cycleMax = cycles.back();
        s.cycleMedian = n % 2 ? cycles[n / 2] : (cycles[n / 2 - 1] + cycles[n / 2]) / 2;
        s.cycleP95 = percentile(cycles, 0.95);
    }
    return s;
}

QJsonObject TrialSummary::toJson(const TrialRunInfo& info) const {
    QJsonObject byKind, byBehavior;
    for (auto it = faultsByKind.begin(); it != faultsByKind.end(); ++it)
        byKind.insert(it.key(), it.value());
    for (auto it = faultsByBehavior.begin(); it != faultsByBehavior.end(); ++it)
        byBehavior.insert(it.key(), it.value());
    QJsonObject json{{QStringLiteral("kind"), QStringLiteral("summary")},
                     {QStringLiteral("file"), info.file},
                     {QStringLiteral("project_sha256"), info.projectHash},
                     {QStringLiteral("program"), info.program},
                     {QStringLiteral("seed"), seedText(info.seed)},
                     {QStringLiteral("trials"), info.trials},
                     {QStringLiteral("ran"), ran},
                     {QStringLiteral("completed"), completed},
                     {QStringLiteral("faulted"), faulted},
                     {QStringLiteral("success_rate"), successRate},
                     {QStringLiteral("wilson_95"), QJsonArray{wilsonLow, wilsonHigh}},
                     {QStringLiteral("faults_by_kind"), byKind},
                     {QStringLiteral("faults_by_behavior"), byBehavior}};
    if (info.shards > 0)
        json.insert(QStringLiteral("shard"), shardText(info));
    if (cycleMin)
        json.insert(QStringLiteral("cycle_seconds"), QJsonObject{{QStringLiteral("min"), *cycleMin},
                                                                 {QStringLiteral("median"), *cycleMedian},
                                                                 {QStringLiteral("p95"), *cycleP95},
                                                                 {QStringLiteral("max"), *cycleMax}});
    return json;
}

QString TrialSummary::text(const TrialRunInfo& info) const {
    QStringList lines;
    QString head = QStringLiteral("Program '%1': %2 of %3 trials completed (%4%, 95% interval %5% to %6%)")
                       .arg(info.program)
                       .arg(completed)
                       .arg(ran)
                       .arg(100 * successRate, 0, 'f', 1)
                       .arg(100 * wilsonLow, 0, 'f', 1)
                       .arg(100 * wilsonHigh, 0, 'f', 1);
    if (info.shards > 0)
        head += QStringLiteral(", shard %1 of a run of %2 trials").arg(shardText(info)).arg(info.trials);
    lines << head + QLatin1Char('.');
    if (faulted) {
        QStringList kinds, behaviors;
        for (auto it = faultsByKind.begin(); it != faultsByKind.end(); ++it)
            kinds << QStringLiteral("%1 %2").arg(it.value()).arg(it.key());
        for (auto it = faultsByBehavior.begin(); it != faultsByBehavior.end(); ++it)
            behaviors << QStringLiteral("%1 in '%2'").arg(it.value()).arg(it.key());
        lines << QStringLiteral("Faults by kind: %1.").arg(kinds.join(QStringLiteral(", ")));
        lines << QStringLiteral("Faults by behavior: %1.").arg(behaviors.join(QStringLiteral(", ")));
    }
    if (cycleMin)
        lines << QStringLiteral(
                     "Cycle time (simulated): min %1 s, median %2 s, 95th percentile %3 s, max %4 s.")
                     .arg(*cycleMin, 0, 'f', 3)
                     .arg(*cycleMedian, 0, 'f', 3)
                     .arg(*cycleP95, 0, 'f', 3)
                     .arg(*cycleMax, 0, 'f', 3);
    return lines.join(QLatin1Char('\n'));
}

// --- Result files ------------------------------------------------------------------------------

QByteArray TrialResults::toJsonLines() const {
    QByteArray out;
    for (const TrialRecord& r : records)
        out += QJsonDocument(r.toJson()).toJson(QJsonDocument::Compact) + '\n';
    out += QJsonDocument(TrialSummary::of(records).toJson(info)).toJson(QJsonDocument::Compact) + '\n';
    return out;
}

QByteArray TrialResults::toCsv() const {
    QStringList lines{QStringLiteral("trial,seed,outcome,fault_kind,behavior,seconds,reason,draws")};
    for (const TrialRecord& r : records) {
        QStringList drawn;
        for (const Draw& d : r.draws) {
            QStringList values;
            for (double v : d.values)
                values << QString::number(v, 'g', 17);
            drawn << QStringLiteral("%1=%2").arg(d.variable, values.join(QLatin1Char(' ')));
        }
        lines << QStringList{QString::number(r.trial),
                             seedText(r.seed),
                             r.completed ? QStringLiteral("completed") : QStringLiteral("faulted"),
                             faultKindName(r.faultKind),
                             csvField(r.behavior),
                             QString::number(r.seconds, 'g', 17),
                             csvField(r.reason),
                             csvField(drawn.join(QStringLiteral("; ")))}
                     .join(QLatin1Char(','));
    }
    return (lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8();
}

TrialResults TrialResults::fromJsonLines(const QByteArray& text, const QString& label) {
    TrialResults results;
    bool haveSummary = false;
    int summaryRan = 0;
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        if (line.isEmpty())
            continue;
        const QString where = QStringLiteral("'%1' line %2").arg(label).arg(i + 1);
        if (haveSummary)
            throw FormatError(QStringLiteral("%1: there is more after the summary line.").arg(where));
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject())
            throw FormatError(
                QStringLiteral("%1 is not a JSON object: is this a trial results file?").arg(where));
        const QJsonObject json = doc.object();
        const QString kind = json.value(QStringLiteral("kind")).toString();
        if (kind == QLatin1String("trial")) {
            results.records.push_back(TrialRecord::fromJson(json, where));
        } else if (kind == QLatin1String("summary")) {
            haveSummary = true;
            TrialRunInfo& info = results.info;
            info.file = stringFrom(json, QStringLiteral("file"), where);
            info.projectHash = stringFrom(json, QStringLiteral("project_sha256"), where);
            info.program = stringFrom(json, QStringLiteral("program"), where);
            info.seed = seedFrom(json.value(QStringLiteral("seed")), where);
            info.trials = intFrom(json, QStringLiteral("trials"), where, 0);
            summaryRan = intFrom(json, QStringLiteral("ran"), where, 0);
            if (json.contains(QStringLiteral("shard"))) {
                const QStringList parts =
                    stringFrom(json, QStringLiteral("shard"), where).split(QLatin1Char('/'));
                bool okI = false, okK = false;
                info.shard = parts.value(0).toInt(&okI);
                info.shards = parts.value(1).toInt(&okK);
                if (parts.size() != 2 || !okI || !okK || info.shard < 1 || info.shard > info.shards)
                    throw FormatError(
                        QStringLiteral("%1: the shard must read I/K with 1 <= I <= K.").arg(where));
            }
        } else {
            throw FormatError(
                QStringLiteral("%1: a line of trial results is a 'trial' or the 'summary', not '%2'.")
                    .arg(where, kind));
        }
    }
    if (!haveSummary)
        throw FormatError(
            QStringLiteral("'%1' ends before its summary line: the trials that wrote it did not finish.")
                .arg(label));
    if (summaryRan != int(results.records.size()))
        throw FormatError(QStringLiteral("'%1' has %2 trial lines, but its summary counts %3.")
                              .arg(label)
                              .arg(results.records.size())
                              .arg(summaryRan));
    const TrialRunInfo& info = results.info;
    const std::vector<int> expected =
        info.shards > 0 ? shardTrials(info.trials, info.shard, info.shards) : shardTrials(info.trials, 1, 1);
    const QSet<int> belongs(expected.begin(), expected.end());
    QSet<int> seen;
    for (const TrialRecord& r : results.records) {
        if (!belongs.contains(r.trial))
            throw FormatError(QStringLiteral("'%1' holds trial %2, which is not one of %3.")
                                  .arg(label)
                                  .arg(r.trial)
                                  .arg(info.shards > 0 ? QStringLiteral("shard %1").arg(shardText(info))
                                                       : QStringLiteral("its %1 trials").arg(info.trials)));
        if (seen.contains(r.trial))
            throw FormatError(QStringLiteral("'%1' holds trial %2 twice.").arg(label).arg(r.trial));
        seen.insert(r.trial);
        if (r.seed != trialSeed(info.seed, r.trial))
            throw FormatError(
                QStringLiteral("'%1': trial %2 ran with seed %3, which is not the seed base seed %4 "
                               "gives it.")
                    .arg(label)
                    .arg(r.trial)
                    .arg(seedText(r.seed), seedText(info.seed)));
    }
    std::sort(results.records.begin(), results.records.end(),
              [](const TrialRecord& a, const TrialRecord& b) { return a.trial < b.trial; });
    return results;
}

TrialResults TrialResults::read(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw FileError(QStringLiteral("Cannot read trial results '%1': %2.").arg(path, file.errorString()));
    return fromJsonLines(file.readAll(), path);
}

TrialResults mergeTrialResults(const std::vector<TrialResults>& shards, const QStringList& labels) {
    if (shards.empty())
        throw ValueError(QStringLiteral("Nothing to merge: name the result files of the shards."));
    auto label = [&labels](size_t i) { return labels.value(int(i), QStringLiteral("shard %1").arg(i + 1)); };
    const TrialRunInfo& first = shards.front().info;
    TrialResults merged;
    merged.info = first;
    merged.info.shard = merged.info.shards = 0;
    QMap<int, size_t> from; // trial -> index of the shard it came from
    for (size_t i = 0; i < shards.size(); ++i) {
        const TrialRunInfo& info = shards[i].info;
        auto differ = [&](const QString& what, const QString& a, const QString& b) {
            throw ValueError(
                QStringLiteral("Cannot merge '%1' and '%2': they are trials of different %3 (%4 and %5).")
                    .arg(label(0), label(i), what, a, b));
        };
        if (info.projectHash != first.projectHash)
            differ(QStringLiteral("project files"), first.file, info.file);
        if (info.program != first.program)
            differ(QStringLiteral("programs"), QLatin1Char('\'') + first.program + QLatin1Char('\''),
                   QLatin1Char('\'') + info.program + QLatin1Char('\''));
        if (info.seed != first.seed)
            differ(QStringLiteral("seeds"), seedText(first.seed), seedText(info.seed));
        if (info.trials != first.trials)
            differ(QStringLiteral("numbers of trials"), QString::number(first.trials),
                   QString::number(info.trials));
        for (const TrialRecord& r : shards[i].records) {
            if (from.contains(r.trial))
                throw ValueError(QStringLiteral("Cannot merge: trial %1 is in both '%2' and '%3'.")
                                     .arg(r.trial)
                                     .arg(label(from.value(r.trial)), label(i)));
            from.insert(r.trial, i);
            merged.records.push_back(r);
        }
    }
    std::vector<int> missing;
    for (int t = 1; t <= first.trials; ++t)
        if (!from.contains(t))
            missing.push_back(t);
    if (!missing.empty())
        throw ValueError(
            QStringLiteral("Cannot merge: %1 of the %2 trials are in none of the files (trials %3); "
                           "merge the results of every shard.")
                .arg(missing.size())
                .arg(first.trials)
                .arg(listOfTrials(missing)));
    std::sort(merged.records.begin(), merged.records.end(),
              [](const TrialRecord& a, const TrialRecord& b) { return a.trial < b.trial; });
    return merged;
}

// --- Running a trial ---------------------------------------------------------------------------

namespace {
struct Cancelled {};
} // namespace

TrialProject::TrialProject(const QJsonObject& document, const QString& label)
    : m_project(std::make_unique<Project>()) {
    m_project->fromJson(document, label);
    m_start = m_project->workspace()->_getState();
}

TrialProject::~TrialProject() = default;

std::optional<TrialRecord> TrialProject::run(const QString& program, quint64 baseSeed, int trial,
                                             const std::function<bool()>& cancelled) {
    m_project->workspace()->_setState(m_start);
    TrialRecord record;
    record.trial = trial;
    record.seed = trialSeed(baseSeed, trial);
    ProgramRunner runner(m_project.get(), record.seed);
    runner.setTimeLimit(kTrialTimeLimit);
    if (cancelled)
        runner.setBehaviorCallback([&cancelled](const Behavior*) {
            if (cancelled())
                throw Cancelled{};
        });
    RunOutcome outcome;
    try {
        outcome = runner.run(program);
    } catch (const Cancelled&) {
        return std::nullopt;
    }
    record.completed = outcome.completed;
    record.faultKind = outcome.faultKind;
    record.reason = outcome.reason;
    record.behavior = outcome.faultedBehavior;
    record.seconds = outcome.simulatedSeconds;
    record.draws = std::move(outcome.draws);
    record.collidingObjects = std::move(outcome.collidingObjects);
    return record;
}

QString projectHash(const Project& project) {
    return QString::fromLatin1(
        QCryptographicHash::hash(ProjectFile::text(project), QCryptographicHash::Sha256).toHex());
}

} // namespace kestrin
