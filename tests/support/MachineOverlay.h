// Private, writable /etc and /sbin for system tests that change the machine's
// configuration (/etc/fstab, /etc/fstab.orig, the driver's boot script): overlays
// inside the test's mount namespace, with the stand-in snapshot tool kzsnap
// installed as /sbin/kzsnap there. The real machine is never touched.
#pragma once

#include <string>

namespace kzvol::testing {

// Prepares the overlays once per process; empty when ready, else why not. Call it
// only once SystemUnavailableReason() is empty (inside the private namespace).
const std::string& PrivateMachineFiles();

}  // namespace kzvol::testing
