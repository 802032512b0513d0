// What the bitmap and snapshot members of a driver-mode KZVolumeUnix share: the
// preconditions on the object (open admin node, minor number), each operation with
// its own messages; the driver's number for a bitmap type; and the information
// request for the object's own filter device. Internal to the library.
#pragma once

#include <cstdint>

#include "filter/QnbfProtocol.h"
#include "volume/KZVolume.h"

namespace kzvol {

enum class HandleRule {
    OpenOnDemand,  // call Open when m_hVolume is not usable; message with errno
    FailAtOnce,    // fail when m_hVolume is not usable
    NotTested,
};

struct Preconditions {
    const char* context;
    HandleRule handle;
    const char* handleFailed;  // errno, or m_hVolume and errno when reportsHandle
    bool reportsHandle;
    const char* badMinor;  // given m_QnbfNodeMinorno
};

// The handle and minor checks in that order; false after logging the failed one.
bool CheckDriverVolume(KZVolumeUnix& volume, const Preconditions& checks);

// The driver's bitmap kind for `type`; false, logged under `context`, for a type
// that names no bitmap.
bool DriverBitmapKind(KZVBitmapType type, const char* context, uint32_t* kind);

// QNBF_GET_INFO for the object's filter device on its main descriptor into a
// zeroed record: the request's return value.
int AskOwnInfo(const KZVolumeUnix& volume, qn_getinfo_arg* info);

// A descriptor is usable when it is neither -1 nor 0.
inline bool UsableHandle(int fd) {
    return fd != -1 && fd != 0;
}

}  // namespace kzvol
