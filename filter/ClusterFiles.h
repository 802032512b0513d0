// The files a cluster client keeps for its filter devices in the shared directory
// (its job results directory). Internal to the library; the messages go to the log
// under the context of the creation or deletion that asks.
#pragma once

#include <string>

#include "filter/QnbfProtocol.h"
#include "volume/KZVolume.h"

namespace kzvol {

// Before the add request: finds the shared directory (*shared), writes its
// qnbf.conf and puts the serial number of `device` into add->serial. False, logged,
// on the first failure.
bool PrepareClusterClient(KZVolumeUnix& vol, std::string& device, qn_addnode_arg* add,
                          std::string* shared);

// After the device is started: adds `device` to shared_disks and writes the state
// directory of `minor` (volume, node, qnbf_minor, extent_size). False, logged, when
// the list or the directory cannot be made; the four files are written unchecked.
bool RecordClusterDevice(const std::string& shared, std::string& device, int minor,
                         const std::string& serial, unsigned long extentBytes);

// After the driver deleted the device: removes its state directory and its
// shared_disks entry as far as possible. False only when the state directory's
// "volume" file cannot be read.
bool ForgetClusterDevice(KZVolumeUnix& vol, int minor);

}  // namespace kzvol
