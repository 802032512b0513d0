// Finding the qnbf driver's filter devices: the device list, the information of one
// device looked up by node name, minor or snapshot minor, and the device-number
// split. Each call opens the admin node itself and closes it before returning, so
// calls keep no state and may run on several threads.
#pragma once

#include <sys/stat.h>

#include <string>

#include "filter/QnbfProtocol.h"
#include "host/Export.h"

// Finds one filter device and copies its whole record into `out`. `key` is the node
// name for QN_LOOKUP_BY_NAME, else a pointer to an unsigned 32-bit minor (of the
// device, or of one of its snapshots for QN_LOOKUP_BY_SNAP_MINOR). False when no
// device matched, a request failed or the mode is unknown; `out` is then untouched.
KZVOL_API bool get_qnbf_dev_info(char* key, qn_getinfo_arg* out, int mode);

class KZVolumeUnix;
// Binds a driver-mode volume object to the filter device `node` (a node path or its
// last component) by asking the driver for the device of that name, as
// QNBFSetMinorno does for cluster virtual clients; unlike a look at the node itself
// it works where the node has no file. False, the object untouched, when the driver
// lists no such device.
KZVOL_API bool QnbfBindByName(KZVolumeUnix& volume, const std::string& node);

// Major and minor number of st->st_rdev.
KZVOL_API unsigned int qn_getmajor(struct stat* st);
KZVOL_API unsigned int qn_getminor(struct stat* st);
