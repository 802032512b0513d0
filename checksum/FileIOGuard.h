// Internal helpers of FileIO: the rule every member follows when it throws (log the
// exception's text under its own context, then rethrow) and the fork guard's view
// of the current process id.
#pragma once

#include <sys/types.h>

#include <atomic>

#include "checksum/KyException.h"
#include "host/EvDebug.h"

namespace kzvol::checksum {

// Process id of the caller, kept current across fork() by a child handler, so that
// the fork guard costs a load instead of a getpid call per line read.
extern std::atomic<pid_t> g_currentPid;
pid_t StartTrackingPid();
inline pid_t CurrentPid() {
    const pid_t pid = g_currentPid.load(std::memory_order_relaxed);
    return pid != 0 ? pid : StartTrackingPid();
}

// Logs and throws "Improper Usage" under `context`.
[[noreturn]] void RefuseForkedUse(const char* context);

// The fork guard: an object is used only by the process that constructed it.
inline void CheckOwner(pid_t owner, const char* context) {
    if (CurrentPid() != owner)
        RefuseForkedUse(context);
}

// Runs `body`; a KyException is logged with `Error` using `format` (which takes the
// exception's text), anything else as "UnHandled Exception"; both are rethrown.
template <typename Body>
auto LogAndRethrow(EvDebug& log, const char* context, const char* format, Body&& body)
    -> decltype(body()) {
    try {
        return body();
    } catch (const KyException& e) {
        log.Error(context, format, e.what());
        throw;
    } catch (...) {
        log.Error(context, "UnHandled Exception");
        throw;
    }
}

}  // namespace kzvol::checksum
