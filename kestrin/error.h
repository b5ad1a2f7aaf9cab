#pragma once
// Failures of the core library. Every message names the object, field or file concerned and
// says what is wrong, so that it can be shown to the user as it stands.

#include <QString>
#include <stdexcept>

namespace kestrin {

/// Base of every failure raised by the core library.
class Error : public std::runtime_error {
public:
    explicit Error(const QString& message) : std::runtime_error(message.toStdString()) {}
    QString message() const { return QString::fromStdString(what()); }
};

/// A name is empty, blank or otherwise unusable.
class NameError : public Error {
    using Error::Error;
};

/// Something looked up by name (a robot, a behavior, a variable) does not exist.
class NotFoundError : public Error {
    using Error::Error;
};

/// A value handed to a setter or constructor is out of range or of the wrong shape.
class ValueError : public Error {
    using Error::Error;
};

/// A file cannot be read or written (missing, a folder, no permission, disk full).
class FileError : public Error {
    using Error::Error;
};

/// A project file was read but its content is not a valid project.
class FormatError : public Error {
    using Error::Error;
};

} // namespace kestrin
