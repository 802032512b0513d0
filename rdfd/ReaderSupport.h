// Small helpers shared by the reader's files: throwing with a log line, logging an
// exception on its way through a level, and buffers whose allocation failure is
// reported as the reader's own exception.
#pragma once

#include <memory>

#include "host/EvDebug.h"
#include "rdfd/RDFDException.h"

namespace kzvol::rdfd {

// The inode bitmap block of a group whose bitmap was never initialised: no block.
constexpr unsigned int kNoInodeBitmap = 0xFFFFFFFFu;

// Every layer of the reader logs through this one object.
EvDebug& ReaderLog();

// Throws a new RDFDException (the caller has logged the cause).
[[noreturn]] void Throw(RDFDExceptionCodes code, const char* message);

// To be called inside catch (...): logs the exception in flight under `context`
// ("%s" of its text, or "UnHandled Exception" for other types) and returns, so the
// caller can rethrow. With `skipQuit` a quit is not logged again.
void LogPassing(const char* context, bool skipQuit);

// Runs `body` and answers its result; an exception on its way out is logged under
// `context` (see LogPassing) and rethrown unchanged. Every layer of the walk goes
// through here, so its log shows the path an exception took.
template <typename Body>
auto LogAndRethrow(const char* context, bool skipQuit, Body&& body) -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        LogPassing(context, skipQuit);
        throw;
    }
}

// A buffer of `size` bytes. On failure logs `what` with errno under
// `context` ("... Error:%d") and throws code 2 "Could not allocate memory".
std::unique_ptr<char[]> AllocBuffer(size_t size, const char* context, const char* what);

}  // namespace kzvol::rdfd
