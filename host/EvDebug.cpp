// Formats log calls and hands them to the current Env.
#include "host/EvDebug.h"

#include <cstdio>

#include "host/Env.h"

namespace kzvol {

std::string FormatV(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    char small[512];
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0)
        return std::string();
    if (static_cast<size_t>(n) < sizeof small)
        return std::string(small, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out = FormatV(format, args);
    va_end(args);
    return out;
}

}  // namespace kzvol

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
