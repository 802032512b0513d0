// kzsnap: the stand-in driver's counterpart of the driver installation's snapshot
// tool (see emulator/KzsnapTool.h). The stand-in driver is the one whose state
// directory KZVOL_EMULATOR names, else /run/kzvol-emulator; the boot script it
// writes calls /sbin/kzsnap. Exit status: 0 done, 1 failed, 2 wrong arguments.
#include <cstdlib>
#include <string>
#include <vector>

#include "emulator/KzsnapTool.h"

int main(int argc, char** argv) {
    const char* env = std::getenv("KZVOL_EMULATOR");
    const std::string stateDir = env && *env ? env : "/run/kzvol-emulator";
    return kzvol::emulator::RunKzsnap(std::vector<std::string>(argv + 1, argv + argc), stateDir,
                                      "/sbin/kzsnap");
}
