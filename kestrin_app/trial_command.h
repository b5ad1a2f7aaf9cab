#pragma once
// The command line of trials:
//   kestrin-studio --run PROGRAM FILE --trials N [--seed S] [--jobs J] [--shard I/K] [--results PATH]
//   kestrin-studio --run PROGRAM FILE --replay T [--seed S]
//   kestrin-studio --merge PATH... [--results PATH]
// Results go to PATH as JSON Lines, or to standard output without --results (the summary for a
// person then goes to standard error). Exit status: 0 every trial completed, 1 some faulted,
// 2 bad usage or a file that cannot be read or written (the message says which).

#include <QString>
#include <QStringList>
#include <optional>

/// The trial options as given; an option not given is empty.
struct TrialOptions {
    QString program;
    QString file;
    std::optional<QString> trials, seed, jobs, shard, results, replay;
};

/// True when any option of trials was given, so that --run is not a plain run.
bool wantsTrials(const TrialOptions& options);

int runTrialCommand(const TrialOptions& options);
int runMergeCommand(const QStringList& paths, const std::optional<QString>& results);
