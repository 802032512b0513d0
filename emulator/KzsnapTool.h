// kzsnap, the stand-in driver's counterpart of the driver installation's snapshot
// tool, as a function that both the kzsnap program and `kzvol emulator kzsnap`
// run. "-c create_script" prints a boot script that re-creates every filter
// device the stand-in knows; "-a DEVICE -e BYTES [-s SERIAL]" is what each line
// of that script runs: add the filter device over DEVICE and start it, as the
// driver does at boot (a saved bitmap is loaded again, nothing is reset).
#pragma once

#include <string>
#include <vector>

namespace kzvol::emulator {

// Runs kzsnap with `args` (no program name) against the stand-in whose state
// directory is `stateDir`; the script's lines call `self`. Exit status: 0 done,
// 1 failed, 2 wrong arguments (with the usage on standard error).
int RunKzsnap(const std::vector<std::string>& args, const std::string& stateDir,
              const std::string& self);

}  // namespace kzvol::emulator
