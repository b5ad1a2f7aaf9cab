#pragma once
// The application log: the Qt logging category "kestrin.app".

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcApp)
