// The extent hash tracker fed with digests computed elsewhere: the backup hashes
// extents on its worker threads and asks the tracker, in extent order, only
// whether each digest differs from the previous point's.
//
// Threads: used from one thread, like the tracker.
#pragma once

#include <string>

#include "checksum/CheckSum.h"

namespace kzvol::backup {

class DigestTracker : public CheckSum {
  public:
    using CheckSum::CheckSum;

    // Sets *changed to whether `digest` (64 bytes) of extent `name` differs from the
    // previous backup's (always true for a full one); false when the tracker fails
    // (it logs the cause).
    bool Changed(const std::string& name, const unsigned char* digest, bool* changed) {
        try {
            return DidThisExtentChange(name, reinterpret_cast<const char*>(digest), changed);
        } catch (...) {
            return false;
        }
    }
};

}  // namespace kzvol::backup
