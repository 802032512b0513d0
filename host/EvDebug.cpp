// Formats log calls and hands them to the current Env.
#include "host/EvDebug.h"

#include "host/Env.h"

using kzvol::CurrentEnv;
using kzvol::LogKind;

EvDebug::EvDebug(const char*) {}

void EvDebug::Debug(const char* context, const char* format, ...) {
    va_list args;
    va_start(args, format);
    CurrentEnv()->Log(LogKind::Debug, 0, context, kzvol::FormatV(format, args));
    va_end(args);
}

void EvDebug::Error(const char* context, const char* format, ...) {
    va_list args;
    va_start(args, format);
    CurrentEnv()->Log(LogKind::Error, 0, context, kzvol::FormatV(format, args));
    va_end(args);
}

void EvDebug::DebugLvl(const char* context, int level, const char* format, ...) {
    if (!CurrentEnv()->DebugLevelShown(level))
        return;
    va_list args;
    va_start(args, format);
    CurrentEnv()->Log(LogKind::DebugLvl, level, context, kzvol::FormatV(format, args));
    va_end(args);
}
