// The exception of the extent checksum classes. FileIO throws it by value for every
// failure; callers catch it by reference as std::exception. The text is built once,
// at construction, so what() never allocates.
#pragma once

#include <cstdint>
#include <exception>

#include "host/Export.h"

// What kind of failure a KyException reports. This library throws
// KY_SYSTEM_EXCEPTION for failures of the operating system, KY_APPLICATION_EXCEPTION
// for misuse and bad input, and KY_FILE_NOT_FOUND for reading a missing file.
enum KyExceptionTypes : int32_t {
    KY_SYSTEM_EXCEPTION = 0,
    KY_APPLICATION_EXCEPTION = 1,
    KY_SYSTEM_ERROR = 2,
    KY_FILE_NOT_FOUND = 3,
    KY_APPLICATION_ERROR = 4,
};

class KZVOL_API KyException : public std::exception {
  public:
    // The text is "Exception in <where>\tType:<type word>\tMsg:<message>", cut to
    // 4095 characters.
    KyException(const char* where, KyExceptionTypes type, const char* message) noexcept;
    ~KyException() override;

    const char* what() const noexcept override;
    KyExceptionTypes getType() const noexcept { return m_eType; }

    // The word a type value stands for in the text ("SYSTEM_EXCEPTION", ...).
    static const char* TypeWord(int type) noexcept;

  private:
    char m_szText[4096];
    KyExceptionTypes m_eType;
};
