// Private, writable /etc and /sbin (overlays in the test's mount namespace) with the
// stand-in kzsnap as /sbin/kzsnap, for tests that change fstab or the boot script.
#pragma once

#include <string>

namespace kzvol::testing {

// Prepares the overlays once per process (inside the private namespace): empty
// when ready, else why not (SystemUnavailableReason() first).
const std::string& PrivateMachineFiles();

}  // namespace kzvol::testing
