// Helpers of filter device creation and deletion: the boot script regeneration and
// directory creation. Internal to the library.
#pragma once

#include <string>

namespace kzvol {

// The boot script is written beside its name, made executable and flushed, and
// renamed over the old one only when the snapshot tool succeeded: a failing tool
// leaves the old script, never an empty one. The stand-in's tool recognises
// these two lines.
constexpr char kBootScriptCommand[] =
    "/sbin/kzsnap -c 'create_script' > /sbin/qnbf-bootscript1.rc.new && "
    "chmod 744 -- /sbin/qnbf-bootscript1.rc.new && sync -- /sbin/qnbf-bootscript1.rc.new && "
    "mv -f -- /sbin/qnbf-bootscript1.rc.new /sbin/qnbf-bootscript1.rc";
constexpr char kDropNewBootScript[] = "rm -f -- /sbin/qnbf-bootscript1.rc.new";

// Rebuilds the driver's boot script with its snapshot tool. The script is replaced
// only when the tool succeeded; a failure is logged under `context` and keeps the
// old script. Callers go on either way.
void RegenerateBootScript(const char* context);

// Makes sure `dir` exists: when it is missing, "mkdir -p -- DIR" runs through the
// operating system's shell. False, logged under `context`, when it cannot be made
// or accessed.
bool EnsureDirectory(const char* context, const std::string& dir);

}  // namespace kzvol
