// The directory reader's exception. Every layer of the reader throws a pointer to a
// newly allocated RDFDException; intermediate layers log its text and rethrow the same
// pointer, and the entry points log it, delete it and answer false.
#pragma once

#include <cstdint>
#include <string>

#include "host/Export.h"

enum RDFDExceptionCodes : int32_t {
    RDFD_EXC_APPLICATION = 0,  // misuse, callback refusal, unsupported platform or fs, quit
    RDFD_EXC_FS = 1,           // file-system content that cannot be walked
    RDFD_EXC_SYSTEM = 2,       // memory or file failures
    RDFD_EXC_READ = 3,         // short or failed device reads
};

class KZVOL_API RDFDException {
  public:
    // The text is the code's type word ("APPLICATION", "FS", "SYSTEM", "READ", else
    // "UNKNOWN"), then, when a message is given, a tab and at most 226 of its characters.
    RDFDException(RDFDExceptionCodes code, const char* message);

    RDFDExceptionCodes GetCode() const { return m_code; }
    const char* GetErrorMsg() const { return m_szText; }

  private:
    RDFDExceptionCodes m_code;
    char m_szText[256];
};

// The calling thread's errno.
KZVOL_API int GetLastError();
// Assigns the system's text for the current errno to `out`.
KZVOL_API void RDFDFormatError(std::string& out);
