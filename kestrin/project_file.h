#pragma once
// Project files: a project read from its file, all or nothing, and written back whole or not at
// all. The file is versioned JSON (KS_PROJECT_FORMAT_VERSION): a top level naming the format and
// its version around the workspace's objects, the variables and the programs, each of which
// reads and writes its own fields (readJson/writeJson, with json_io.h).

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

namespace kestrin {

class Project;

class ProjectFile {
public:
    /// Reads `file` into `project`, all or nothing: on failure the project is left exactly as it
    /// was. Throws FileError (missing, a folder, unreadable, too large) or FormatError (not JSON,
    /// a key repeated in one object, wrong fields, unknown kinds, dangling references, newer
    /// format), each naming the file. The project's undo history starts anew at what was loaded.
    static void load(Project& project, const QString& file);
    /// Writes `project` to `file` with writeFileAtomically: the file is replaced whole or not at
    /// all. Throws FileError naming the path and the reason; returns the warnings that
    /// writeFileAtomically returns.
    static QStringList save(const Project& project, const QString& file);
    /// What save writes: toJson(project) as QJsonDocument writes it, indented.
    static QByteArray text(const Project& project);

    /// The whole project as a project-file document. With `withIds`, objects keep their ids
    /// (for the undo history).
    static QJsonObject toJson(const Project& project, bool withIds = false);
    /// Makes `project` hold what `json` holds, all or nothing as load; `fileLabel` names where
    /// the document came from in messages.
    static void fromJson(Project& project, const QJsonObject& json, const QString& fileLabel);
};

} // namespace kestrin
