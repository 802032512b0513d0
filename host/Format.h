// printf-style formatting into a std::string, for log lines and the tool's text.
#pragma once

#include <cstdarg>
#include <string>

namespace kzvol {
std::string FormatV(const char* format, va_list args);
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
}  // namespace kzvol
