#pragma once
// Replacing a file's content whole or not at all.

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace kestrin {

/// Writes `bytes` as the whole content of `file`: the file is replaced whole or not at all. The
/// bytes go to a temporary file beside it, every write is checked, and the data is on the disk
/// before the temporary file is renamed over `file`. On failure `file` is left byte for byte as it
/// was, and no temporary file is left behind. A symlink is followed (it stays a link to the new
/// content). Saving over an existing file keeps its owner, group and permissions.
///
/// Throws FileError naming `file` and the reason: no name given, a folder, a device, pipe or
/// socket, a missing folder, no permission, a full disk, a file-size limit. `what` names the
/// content in those messages: "Cannot save <what> to '<file>': ...".
///
/// Returns what a save that succeeded could not keep of the old file (its owner or group, when
/// the process may not set them), as messages for a log; empty when all was kept.
///
/// Touches no shared state, so that it may run on any thread (for example to write a snapshot
/// of a project's bytes in the background).
QStringList writeFileAtomically(const QString& file, const QByteArray& bytes,
                                const QString& what = QStringLiteral("the project"));

} // namespace kestrin
