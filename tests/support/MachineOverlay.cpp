// Overlays on /etc and /sbin with the stand-in kzsnap installed.
#include "tests/support/MachineOverlay.h"

#include "tests/support/SystemHarness.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {

const std::string& PrivateMachineFiles() {
    static const std::string reason = [] {
        std::string error = SystemUnavailableReason(), out;
        for (const char* dir : {"/etc", "/sbin"})
            if (!error.empty() || !OverlayDirectory(dir, &error))
                return error;
        const std::string install = "cp " KZVOL_KZSNAP " /sbin/kzsnap && chmod 755 /sbin/kzsnap";
        if (RunCommandLine(install + " 2>&1", &out) != 0)
            return "cannot install kzsnap into the /sbin overlay: " + out;
        return std::string();
    }();
    return reason;
}

}  // namespace kzvol::testing
