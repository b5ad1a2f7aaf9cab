#include "log.h"

Q_LOGGING_CATEGORY(lcApp, "kestrin.app", QtInfoMsg)
