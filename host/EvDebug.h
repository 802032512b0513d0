// The host's debug log. A log object is cheap: it only forwards formatted lines to
// the current Env, which decides where they go and which DebugLvl levels are shown.
#pragma once

#include <cstdarg>
#include <string>

#include "host/Format.h"

class EvDebug {
  public:
    // The file instance names the log; null means the process's default log.
    explicit EvDebug(const char* fileInstance = nullptr);

    void Debug(const char* context, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void Error(const char* context, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void DebugLvl(const char* context, int level, const char* format, ...)
        __attribute__((format(printf, 4, 5)));
};
