// Internal helpers of CheckSum: the two exception rules (public operations answer
// false, inner ones rethrow; both log first) and small file-system tests.
#pragma once

#include <exception>
#include <string>

#include "host/EvDebug.h"
#include "host/KzException.h"

namespace kzvol::checksum {

constexpr int kLineSize = 4096;
constexpr int kRecordTail = 65;  // digest and newline

// Runs `body` and answers its result; any exception is logged under `context` and
// answered with false.
template <typename Body>
bool AnswerFalseOnThrow(EvDebug& log, const char* context, Body&& body) {
    try {
        return body();
    } catch (const std::exception& e) {
        log.Error(context, "%s", e.what());
    } catch (const KzException& e) {
        log.Error(context, "KzException: %s", e.getMessage());
    } catch (...) {
        log.Error(context, "UnHandled Exception");
    }
    return false;
}

// Runs `body`; any exception is logged under `context` and rethrown. `kzFormat`
// formats the message of the host's KzException.
template <typename Body>
auto LogAnyAndRethrow(EvDebug& log, const char* context, Body&& body,
                      const char* kzFormat = "KzException: %s") -> decltype(body()) {
    try {
        return body();
    } catch (const std::exception& e) {
        log.Error(context, "%s", e.what());
        throw;
    } catch (const KzException& e) {
        log.Error(context, kzFormat, e.getMessage());
        throw;
    } catch (...) {
        log.Error(context, "UnHandled Exception");
        throw;
    }
}

bool PathExists(const std::string& path);
bool IsDirectory(const std::string& path);

}  // namespace kzvol::checksum
