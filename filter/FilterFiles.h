// Helpers of filter device creation and deletion: the boot script regeneration and
// directory creation. Internal to the library.
#pragma once

#include <string>

namespace kzvol {

// Rebuilds the driver's boot script with its snapshot tool. The script is replaced
// only when the tool succeeded; a failure is logged under `context` and keeps the
// old script. Callers go on either way.
void RegenerateBootScript(const char* context);

// Makes sure `dir` exists: when it is missing, "mkdir -p -- DIR" runs through the
// operating system's shell. False, logged under `context`, when it cannot be made
// or accessed.
bool EnsureDirectory(const char* context, const std::string& dir);

}  // namespace kzvol
