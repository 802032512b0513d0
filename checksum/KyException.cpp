// KyException: text formatting and the type words.
#include "checksum/KyException.h"

#include <cstdio>

KyException::KyException(const char* where, KyExceptionTypes type, const char* message) noexcept
    : m_eType(type) {
    std::snprintf(m_szText, sizeof m_szText, "Exception in %s\tType:%s\tMsg:%s", where ? where : "",
                  TypeWord(type), message ? message : "");
}

KyException::~KyException() = default;

const char* KyException::what() const noexcept {
    return m_szText;
}

const char* KyException::TypeWord(int type) noexcept {
    switch (type) {
        case KY_SYSTEM_EXCEPTION:
        case KY_SYSTEM_ERROR:
            return "SYSTEM_EXCEPTION";
        case KY_APPLICATION_EXCEPTION:
        case KY_FILE_NOT_FOUND:
        case KY_APPLICATION_ERROR:
            return "APPLICATION_EXCEPTION";
        default:
            return "UNKNOWN_EXCEPTION";
    }
}
