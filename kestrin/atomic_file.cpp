#include "atomic_file.h"

#include "error.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrin {

namespace {

/// Permission bits kept from the old file (not set-user-ID and the like).
constexpr mode_t kPermissionBits = S_IRWXU | S_IRWXG | S_IRWXO;

/// Why `out` failed; Qt has no words for a write that simply stopped short.
QString reasonOf(const QSaveFile& out) {
    return out.error() != QFileDevice::NoError ? out.errorString()
                                               : QStringLiteral("not all of the data could be written");
}

/// fsync(fd), again when a signal cuts it short. A file system that cannot sync this file
/// (EINVAL, EROFS) counts as success: there is nothing more to do for it.
bool syncToDisk(int fd) {
    for (;;) {
        if (::fsync(fd) == 0)
            return true;
        if (errno == EINTR)
            continue;
        return errno == EINVAL || errno == EROFS;
    }
}

/// Gives the open temporary file `fd` the permissions, owner and group of the file it replaces.
/// What the process may not set is said in the returned messages.
QStringList takeOverOwnership(int fd, const struct stat& old, const QString& what, const QString& file) {
    QStringList warnings;
    if (::fchmod(fd, old.st_mode & kPermissionBits) != 0) {
        const QString reason = qt_error_string(errno);
        warnings << QStringLiteral("Saved %1 to '%2', but could not keep its permissions (%3): %4.")
                        .arg(what, file, QString::number(old.st_mode & kPermissionBits, 8), reason);
    }
    struct stat now;
    if (::fstat(fd, &now) != 0 || (now.st_uid == old.st_uid && now.st_gid == old.st_gid))
        return warnings;
    if (::fchown(fd, old.st_uid, old.st_gid) == 0)
        return warnings;
    const int error = errno;
    // A user who may not give the file away may still keep its group (one of theirs).
    if (now.st_gid != old.st_gid && ::fchown(fd, static_cast<uid_t>(-1), old.st_gid) == 0)
        now.st_gid = old.st_gid;
    warnings << QStringLiteral(
                    "Saved %1 to '%2', but could not keep its owner and group (user %3, group %4): %5; "
                    "it now belongs to user %6, group %7.")
                    .arg(what, file, QString::number(old.st_uid), QString::number(old.st_gid),
                         qt_error_string(error), QString::number(now.st_uid), QString::number(now.st_gid));
    return warnings;
}

} // namespace

QStringList writeFileAtomically(const QString& file, const QByteArray& bytes, const QString& what) {
    if (file.isEmpty())
        throw FileError(QStringLiteral("No file name was given to save %1 to.").arg(what));
    const auto failure = [&](const QString& reason) {
        return FileError(QStringLiteral("Cannot save %1 to '%2': %3").arg(what, file, reason));
    };
    const auto leftAsItWas = [&](const QString& reason) {
        return failure(QStringLiteral("%1 (the file was left as it was).").arg(reason));
    };

    // What is there now, through symlinks (QSaveFile writes to a link's target).
    struct stat old;
    const bool exists = ::stat(QFile::encodeName(file).constData(), &old) == 0;
    if (exists && S_ISDIR(old.st_mode))
        throw failure(QStringLiteral("it is a folder."));
    // The rename at the end would put a plain file in the place of a pipe or a device node
    // (/dev/null for everyone, when saving as root).
    if (exists && !S_ISREG(old.st_mode))
        throw failure(QStringLiteral("it is a device, pipe or socket, not a file."));
    const QFileInfo dir(QFileInfo(file).absolutePath());
    if (!dir.exists())
        throw failure(QStringLiteral("the folder '%1' does not exist.")
                          .arg(QDir::toNativeSeparators(dir.absoluteFilePath())));
    if (!dir.isDir())
        throw failure(
            QStringLiteral("'%1' is not a folder.").arg(QDir::toNativeSeparators(dir.absoluteFilePath())));

    // Unbuffered, so that each write reaches the file at once and its failure is seen here:
    // through Qt's buffer the last 16 KB would only be written by commit(), which does not check
    // that they were. On every throw below, QSaveFile removes its temporary file as it goes.
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        // The new file is made beside the old one: a folder that may not be written to is why.
        if (::faccessat(AT_FDCWD, QFile::encodeName(dir.absoluteFilePath()).constData(), W_OK | X_OK,
                        AT_EACCESS) != 0)
            throw failure(QStringLiteral("%1: the folder '%2' may not be written to.")
                              .arg(out.errorString(), QDir::toNativeSeparators(dir.absoluteFilePath())));
        throw failure(out.errorString() + QLatin1Char('.'));
    }
    // A write that stops part-way (a full disk, a file-size limit) reports no error of its own;
    // writing the rest makes the next write fail with the reason.
    for (qint64 written = 0; written < bytes.size();) {
        const qint64 n = out.write(bytes.constData() + written, bytes.size() - written);
        if (n <= 0)
            throw leftAsItWas(reasonOf(out));
        written += n;
    }
    if (!out.flush() || out.error() != QFileDevice::NoError)
        throw leftAsItWas(reasonOf(out));
    const int fd = out.handle();
    // Set before the rename, so that the file never appears under its name with the wrong owner.
    const QStringList warnings = exists ? takeOverOwnership(fd, old, what, file) : QStringList();
    // Some file systems (network ones, and any with delayed allocation) only report a full disk
    // here; commit() syncs too but does not look at the result.
    if (!syncToDisk(fd))
        throw leftAsItWas(qt_error_string(errno));
    if (!out.commit())
        throw leftAsItWas(out.errorString());
    return warnings;
}

} // namespace kestrin
