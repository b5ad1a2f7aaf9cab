#pragma once
// Helpers shared by the test programs.

#include <QByteArray>
#include <QString>

/// Clears CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH from the effective capabilities of the
/// calling thread (the one the tests run in), so that file permissions apply even when the
/// tests run as root, as they do in CI. Returns true when neither is effective afterwards;
/// for other users it changes nothing and returns true.
bool dropFileAccessOverride();
/// Clears (`effective` false) or sets again (true) capability `cap` (CAP_CHOWN, ...) in the
/// effective capabilities of the calling thread; only one still permitted can be set again.
/// True when the capability is as asked afterwards.
bool setEffectiveCapability(int cap, bool effective);

/// The whole content of a file; a null QByteArray when it cannot be read.
QByteArray readFileBytes(const QString& path);
/// Writes `bytes` as the whole content of `path`; false on failure.
bool writeFileBytes(const QString& path, const QByteArray& bytes);
