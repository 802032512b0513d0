// Logging, throwing and buffer helpers of the directory reader.
#include "rdfd/ReaderSupport.h"

#include <cstring>
#include <new>

namespace kzvol::rdfd {

EvDebug& ReaderLog() {
    static EvDebug log;
    return log;
}

void Throw(RDFDExceptionCodes code, const char* message) {
    throw new RDFDException(code, message);
}

void LogPassing(const char* context, bool skipQuit) {
    try {
        throw;
    } catch (RDFDException* e) {
        if (skipQuit && std::strstr(e->GetErrorMsg(), "Quit flag set") != nullptr)
            return;
        ReaderLog().Error(context, "%s", e->GetErrorMsg());
    } catch (...) {
        ReaderLog().Error(context, "UnHandled Exception");
    }
}

std::unique_ptr<char[]> AllocBuffer(size_t size, const char* context, const char* what) {
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[size]);
    if (!buffer) {
        ReaderLog().Error(context, "%s . Error:%d", what, GetLastError());
        Throw(RDFD_EXC_SYSTEM, "Could not allocate memory");
    }
    return buffer;
}

}  // namespace kzvol::rdfd
