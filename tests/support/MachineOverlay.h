// Private, writable /etc and /sbin (overlays in the test's mount namespace) for
// system tests that change fstab or the boot script, with the stand-in kzsnap
// installed as /sbin/kzsnap. The real machine is never touched.
#pragma once

#include <string>

namespace kzvol::testing {

// Prepares the overlays once per process (inside the private namespace): empty
// when ready, else why not (SystemUnavailableReason() first).
const std::string& PrivateMachineFiles();

}  // namespace kzvol::testing
