// Internal helpers of FileIO: the rule every member follows when it throws (log the
// exception's text under its own context, then rethrow) and the fork guard's view
// of the current process id.
#pragma once

#include <sys/types.h>

#include "checksum/KyException.h"
#include "host/EvDebug.h"

namespace kzvol::checksum {

// Process id of the caller, kept current across fork() without a system call per
// read (FileIO reads are far too frequent to pay for getpid each time).
pid_t CurrentPid();

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
