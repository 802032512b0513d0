// Replacing a file's contents without ever leaving it half-written: the new
// contents go to a temporary file made with mkstemp in the target's directory,
// are flushed and fsynced, take the target's mode, and are renamed over it.
#pragma once

#include <sys/types.h>

#include <string>

#include "host/Export.h"

namespace kzvol {

// True when `path` now holds `contents`. On false the target is unchanged and no
// temporary file is left; errno tells why. A new file gets `modeIfNew`.
KZVOL_API bool ReplaceFileContents(const std::string& path, const std::string& contents,
                                   mode_t modeIfNew = 0644);

}  // namespace kzvol
