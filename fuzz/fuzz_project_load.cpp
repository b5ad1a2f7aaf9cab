// Fuzzes Project::load, the door through which outside bytes reach the core library.
//
// Each input is written to a file in a RAM folder and loaded into a project that already holds
// something. For every input:
// - the load succeeds, or throws a kestrin::Error whose message names the file;
// - a failed load leaves the project exactly as it was;
// - a project that loaded saves, and the saved file loads back to the same document;
// - a project that loaded takes one more object (in bounded time and memory: libFuzzer's limits),
//   and that step is recorded, undone and redone exactly: undo gives back the project as loaded,
//   ids included, and redo the project with the object;
// - no list in a project that loaded is longer than a robot has joints (the property panel
//   shows one row per value: its own bound is tested with the studio);
// - a project that loaded is whole: everything in it can be deleted, and what is left still
//   saves as a file that loads.
// Anything else (a crash, a sanitizer report, a leak, another exception, a broken promise above)
// aborts, and libFuzzer keeps the input.

#include "kestrin/error.h"
#include "kestrin/items.h"
#include "kestrin/project.h"
#include "kestrin/undo_history.h"
#include "kestrin/variable.h"
#include "kestrin/workspace.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QString>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <vector>

namespace {

QTemporaryDir* g_dir = nullptr; // lives until the process ends
QString g_input;
QString g_saved;

[[noreturn]] void fault(const char* what, const QString& detail) {
    std::fprintf(stderr, "\nfuzz_project_load: %s\n  %s\n", what, qPrintable(detail));
    std::fflush(stderr);
    std::abort();
}

void writeInput(const uint8_t* data, size_t size) {
    QFile f(g_input);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        f.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size)) != static_cast<qint64>(size))
        fault("cannot write the input file", f.errorString());
}

QByteArray documentOf(const kestrin::Project& project) {
    return QJsonDocument(project.toJson()).toJson();
}

/// A saved project must load back to the very same document.
void checkRoundTrip(const kestrin::Project& loaded) {
    const QByteArray before = documentOf(loaded);
    try {
        loaded.save(g_saved);
        kestrin::Project back;
        back.load(g_saved);
        if (documentOf(back) != before)
            fault("a saved project loads back different", QString::fromUtf8(before));
    } catch (const kestrin::Error& e) {
        fault("a project that loaded cannot be saved and loaded again", e.message());
    }
}

/// Saving, then loading what was saved, must work whatever the project holds.
void checkSavesAndLoads(const kestrin::Project& project, const char* after) {
    try {
        project.save(g_saved);
        kestrin::Project back;
        back.load(g_saved);
    } catch (const kestrin::Error& e) {
        fault(after, e.message());
    }
}

/// Adds a desk, records it as a step, undoes and redoes it: each must give back exactly what was.
void checkAddUndoRedo(kestrin::Project& project) {
    const QJsonObject loaded = project.toJson(true);
    try {
        new kestrin::Desk(project.workspace(), QStringLiteral("Added"));
        const QJsonObject added = project.toJson(true);
        if (!project.history().record(QStringLiteral("Add Desk")))
            fault("adding a desk recorded no step", QString());
        project.history().undo();
        if (project.toJson(true) != loaded)
            fault("undo does not give back the project as loaded", QString::fromUtf8(documentOf(project)));
        project.history().redo();
        if (project.toJson(true) != added)
            fault("redo does not give back the project with the desk",
                  QString::fromUtf8(documentOf(project)));
    } catch (const kestrin::Error& e) {
        fault("adding a desk to a project that loaded, or undoing it, failed", e.message());
    }
}

/// What the property panel would show one row each for: never more than a robot has joints.
void checkListLengths(const kestrin::Project& project) {
    constexpr int cap = kestrin::MotionLimits::kMaxJoints;
    const auto tooLong = [](const kestrin::Distribution* d) { return d && d->dim() > cap; };
    for (const kestrin::Variable* v : project.variableList()) {
        bool over = false;
        if (auto* l = dynamic_cast<const kestrin::MotionLimits*>(v))
            over = l->jointVelocity().size() > cap;
        else if (auto* j = dynamic_cast<const kestrin::JointPositionTarget*>(v))
            over = tooLong(&j->jointPositions());
        else if (auto* t = dynamic_cast<const kestrin::TaskRegionTarget*>(v))
            over = tooLong(t->seedJointPositions());
        else if (auto* m = dynamic_cast<const kestrin::MixtureTarget*>(v))
            over = m->targetGenerators().size() > cap;
        if (over)
            fault("a variable holds more values than a robot has joints", v->name());
    }
}

/// Deletes everything, a piece at a time, the way a user can. Objects go first (a robot takes its
/// tool frames along), so that actions and targets that named them are left unset, not dangling.
void deleteEverything(kestrin::Project& project) {
    kestrin::Workspace* ws = project.workspace();
    for (std::vector<kestrin::WorkspaceObject*> objects; !(objects = ws->objects()).empty();)
        ws->remove(objects.back());
    checkSavesAndLoads(project, "a project whose objects were deleted cannot be saved and loaded again");
    while (!project.programList().empty())
        project.removeBehavior(project.programList().front());
    for (std::vector<kestrin::Variable*> variables; !(variables = project.variableList()).empty();)
        project.removeVariable(variables.front());
    checkSavesAndLoads(project, "an emptied project cannot be saved and loaded again");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const QString base =
        QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    g_dir = new QTemporaryDir(base + QStringLiteral("/kestrin-fuzz-XXXXXX"));
    if (!g_dir->isValid())
        fault("cannot make a temporary folder", g_dir->errorString());
    g_input = g_dir->filePath(QStringLiteral("input.kestrin"));
    g_saved = g_dir->filePath(QStringLiteral("saved.kestrin"));
    std::atexit([] { delete g_dir; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    writeInput(data, size);

    kestrin::Project project;
    new kestrin::Desk(project.workspace(), QStringLiteral("Already here"));
    const QByteArray untouched = documentOf(project);
    try {
        project.load(g_input);
    } catch (const kestrin::Error& e) {
        if (!e.message().contains(g_input))
            fault("a load failure does not name the file", e.message());
        if (documentOf(project) != untouched)
            fault("a failed load changed the project", e.message());
        return 0;
    } catch (const std::exception& e) {
        fault("load threw something other than a kestrin::Error", QString::fromLocal8Bit(e.what()));
    }
    checkRoundTrip(project);
    checkListLengths(project);
    checkAddUndoRedo(project);
    deleteEverything(project);
    return 0;
}
