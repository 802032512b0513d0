// The user's snapshot handler script, run around an image backup.
#pragma once

#include <string>

#include "host/Export.h"

// Runs "<product home>/Base/ImgPodSnapHandler.sh" with `second`, then `first`
// (each brings its own leading blank), then " -jobid <jobId>", and waits for it.
// True when the script started and ended on its own within 30 minutes, whatever
// its exit status; false otherwise. A script still running after 30 minutes is
// sent SIGINT and waited for. Blocks the calling thread meanwhile.
KZVOL_API bool FireUserGivenScript(std::string first, std::string second, unsigned long long jobId);
