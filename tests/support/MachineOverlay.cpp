// Overlays on /etc and /sbin with the stand-in kzsnap installed.
#include "tests/support/MachineOverlay.h"

#include <sys/stat.h>

#include "tests/support/SystemHarness.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

std::string Prepare() {
    if (!SystemUnavailableReason().empty())
        return SystemUnavailableReason();
    std::string error;
    for (const char* dir : {"/etc", "/sbin"})
        if (!OverlayDirectory(dir, &error))
            return error;
    std::string out;
    if (RunCommandLine(std::string("cp ") + KZVOL_KZSNAP + " /sbin/kzsnap 2>&1", &out) != 0 ||
        ::chmod("/sbin/kzsnap", 0755) != 0)
        return "cannot install kzsnap into the /sbin overlay: " + out;
    return std::string();
}

}  // namespace

const std::string& PrivateMachineFiles() {
    static const std::string reason = Prepare();
    return reason;
}

}  // namespace kzvol::testing
