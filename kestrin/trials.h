#pragma once
// Randomised trials of a program: one run is one sample of the draws its variables and task
// regions make, so a program is judged over many runs, each from the same cell state with a seed
// of its own. This file holds one trial and what is made of many; running trials side by side
// is the caller's (the core library starts no threads).
//
// Trials are numbered from 1. Trial t of a run with base seed S draws with trialSeed(S, t)
// whatever else runs, so any trial replays alone, on any machine.
//
// Results are JSON Lines: one line per trial in trial order, then one summary line. Seeds are
// written as decimal strings (a 64-bit seed does not fit a JSON number); times are simulated
// seconds.

#include "program_runner.h"
#include "workspace_state.h"

#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace kestrin {

class Project;

/// A trial that runs past this much simulated time faults as timed out.
constexpr double kTrialTimeLimit = 3600.0;

/// Seed of trial `trial` of a run with base seed `baseSeed` (splitmix64 of the two).
quint64 trialSeed(quint64 baseSeed, int trial);

/// "unreachable", "collision", "joint limit", "nothing to grasp", "timeout" or "other"; empty
/// for None.
QString faultKindName(FaultKind kind);
/// The kind of that name; throws FormatError naming `where` for an unknown one.
FaultKind faultKindFromName(const QString& name, const QString& where);

/// The 95% Wilson score interval of `successes` out of `n` (both ends 0 when n is 0).
std::pair<double, double> wilsonInterval(int successes, int n);

/// Trials `shard`, shard + shards, shard + 2 shards, ... up to `trials`. Throws ValueError
/// unless 1 <= shard <= shards and trials >= 0.
std::vector<int> shardTrials(int trials, int shard, int shards);

/// What one trial came to.
struct TrialRecord {
    int trial = 0;
    quint64 seed = 0;
    bool completed = false;
    FaultKind faultKind = FaultKind::None;
    QString reason;
    /// The behavior that faulted (empty when it completed).
    QString behavior;
    double seconds = 0;
    std::vector<Draw> draws;
    /// Ids of the objects that met, when a collision faulted it (not written to results).
    std::vector<quint64> collidingObjects;

    QJsonObject toJson() const;
    /// Throws FormatError naming `where` for a line that is not a trial record.
    static TrialRecord fromJson(const QJsonObject& json, const QString& where);
    bool operator==(const TrialRecord& o) const;
    bool operator!=(const TrialRecord& o) const { return !(*this == o); }
};

/// Which run a set of trials belongs to.
struct TrialRunInfo {
    /// Absolute path of the project file; empty for a project that was not read from a file.
    QString file;
    /// SHA-256 (hex) of the project the trials started from, as its file text.
    QString projectHash;
    QString program;
    quint64 seed = 1;
    /// Trials of the whole run (N).
    int trials = 0;
    /// This part of the run: shard `shard` of `shards` (1-based); both 0 for the whole run.
    int shard = 0;
    int shards = 0;
};

/// Outcome counts and cycle times of a set of trials.
struct TrialSummary {
    int ran = 0;
    int completed = 0;
    int faulted = 0;
    double successRate = 0;
    double wilsonLow = 0, wilsonHigh = 0;
    QMap<QString, int> faultsByKind;
    QMap<QString, int> faultsByBehavior;
    /// Simulated seconds of the completed trials (no values when none completed).
    std::optional<double> cycleMin, cycleMedian, cycleP95, cycleMax;

    static TrialSummary of(const std::vector<TrialRecord>& records);
    QJsonObject toJson(const TrialRunInfo& info) const;
    /// A few lines for a person to read.
    QString text(const TrialRunInfo& info) const;
};

/// A run's trials (in trial order) and what they belong to.
struct TrialResults {
    TrialRunInfo info;
    std::vector<TrialRecord> records;

    /// The JSON Lines text: the records, then the summary.
    QByteArray toJsonLines() const;
    /// One line per trial with a header line: trial, seed, outcome, fault kind, behavior, simulated
    /// seconds, reason, draws.
    QByteArray toCsv() const;
    /// Reads what toJsonLines wrote, checking that it is whole: every line a trial of this run or
    /// its summary, the summary last, its counts matching the lines. Throws FormatError naming
    /// `label` and the line.
    static TrialResults fromJsonLines(const QByteArray& text, const QString& label);
    /// fromJsonLines of a file; also throws FileError when it cannot be read.
    static TrialResults read(const QString& path);
};

/// The whole run made of its shards. Throws ValueError naming the files when they are of
/// different project files, programs, seeds or numbers of trials, when a trial is in two of them,
/// or when a trial of the run is in none. `labels` name the shards in messages.
TrialResults mergeTrialResults(const std::vector<TrialResults>& shards, const QStringList& labels);

/// A copy of a project that trials run on, one trial after another; each trial starts from the
/// cell state the copy was made with. Use each copy from one thread at a time; copies made from
/// the same document are independent of each other.
class TrialProject {
public:
    /// `document` is a project as Project::toJson(true) writes it (ids kept, so that colliding
    /// objects name the original's objects). Throws what Project::fromJson throws.
    TrialProject(const QJsonObject& document, const QString& label);
    ~TrialProject();

    /// Runs trial `trial` of `program` with base seed `baseSeed`. `cancelled` is asked as each
    /// behavior starts; when it says true the trial is broken off and nothing is returned.
    std::optional<TrialRecord> run(const QString& program, quint64 baseSeed, int trial,
                                   const std::function<bool()>& cancelled = {});

    Project& project() const { return *m_project; }

private:
    std::unique_ptr<Project> m_project;
    WorkspaceState m_start;
};

/// SHA-256 (hex) of the project's file text: what TrialRunInfo::projectHash holds.
QString projectHash(const Project& project);

} // namespace kestrin
