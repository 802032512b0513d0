// Probes of the mounted system that metadata collection records beside the file
// index: a mount point's options, whether it is mounted with ACLs, and whether
// SELinux is enforcing. Each reads afresh on every call; no state.
#pragma once

#include <string>

#include "host/Export.h"

// The options of the mount-table entry mounted exactly on `mountPath` when its
// type begins with "ext"; "" otherwise (not mounted, other type, no table).
KZVOL_API std::string GetMntOptions(char* mountPath);

// True when the entry mounted on `mountPath` has options containing "acl".
KZVOL_API bool CheckIfACLEnabled(char* mountPath);

// True when "sestatus" reports enforcing mode. Its output goes to "sestatus" in
// the configured temporary directory (Base/dTALMARTEMPDIR) and stays there; false
// when the directory is not configured or the tool cannot run.
KZVOL_API bool CheckIfSELinuxEnforcing();
