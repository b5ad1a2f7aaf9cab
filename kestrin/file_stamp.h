#pragma once
// What a file on disk looks like from outside: enough to tell that someone else wrote it since
// (an atomic save puts a new file in its place; a write in place changes its time or size).

#include <QString>
#include <QtGlobal>

namespace kestrin {

struct FileStamp {
    bool exists = false;
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    qint64 modifiedNs = 0; ///< last modification, in nanoseconds since the epoch

    /// The stamp of `path` now (through symbolic links); `exists` is false when it cannot be seen.
    static FileStamp of(const QString& path);
    bool operator==(const FileStamp& o) const {
        return exists == o.exists && device == o.device && inode == o.inode && size == o.size &&
               modifiedNs == o.modifiedNs;
    }
    bool operator!=(const FileStamp& o) const { return !(*this == o); }
};

} // namespace kestrin
