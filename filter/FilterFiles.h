// Files the filter subsystem keeps for the driver beside a filter device: the boot
// script regeneration, the cluster client's state directory, and the directory
// creation both use. Internal to the library.
#pragma once

#include <string>

namespace kzvol {

// Rebuilds the driver's boot script with its snapshot tool; the result is ignored.
void RegenerateBootScript();

// Makes sure `dir` exists: when it is missing, "mkdir -p  DIR" runs through the
// operating system's shell. False, logged under `context`, when it cannot be made
// or accessed.
bool EnsureDirectory(const char* context, const std::string& dir);

// "<shared>/qnbf/qnbf<minor>", the state directory of a cluster client's device.
std::string StateDirectory(const std::string& shared, int minor);

}  // namespace kzvol
