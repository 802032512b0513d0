// Builds the reader exception's text from its code and message, and the two errno
// helpers used by the reader's log lines.
#include "rdfd/RDFDException.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kMaxMessageChars = 226;

const char* TypeWord(RDFDExceptionCodes code) {
    switch (code) {
        case RDFD_EXC_APPLICATION:
            return "APPLICATION";
        case RDFD_EXC_FS:
            return "FS";
        case RDFD_EXC_SYSTEM:
            return "SYSTEM";
        case RDFD_EXC_READ:
            return "READ";
    }
    return "UNKNOWN";
}

}  // namespace

RDFDException::RDFDException(RDFDExceptionCodes code, const char* message) : m_code(code) {
    if (message == nullptr) {
        std::snprintf(m_szText, sizeof m_szText, "%s", TypeWord(code));
        return;
    }
    std::snprintf(m_szText, sizeof m_szText, "%s\t%.*s", TypeWord(code),
                  static_cast<int>(kMaxMessageChars), message);
}

int GetLastError() {
    return errno;
}

void RDFDFormatError(std::string& out) {
    const int saved = errno;
    const char* text = std::strerror(saved);
    out.assign(text != nullptr ? text : "");
    errno = saved;
}
