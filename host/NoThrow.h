// The guard of operations documented as never throwing: what the host services
// throw (KzException) or the standard library throws is logged under the
// operation's context and answered with failure.
#pragma once

#include <exception>

#include "host/EvDebug.h"
#include "host/KzException.h"

namespace kzvol {

// Runs `fn` (returning bool); false, with one Error line, when it throws.
template <typename Fn>
bool FalseOnThrow(EvDebug& log, const char* context, Fn&& fn) {
    try {
        return fn();
    } catch (const KzException& e) {
        log.Error(context, "KzException: %s", e.getMessage());
    } catch (const std::exception& e) {
        log.Error(context, "Exception: %s", e.what());
    }
    return false;
}

}  // namespace kzvol
