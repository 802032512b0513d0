// The driver-mode members around the change bitmaps as one table, each called on a
// volume object with a bitmap type and a buffer whose size is the one the driver gets.
#pragma once

#include <vector>

#include "filter/QnbfProtocol.h"
#include "filter/QnbfVolInfo.h"
#include "volume/KZVolume.h"

namespace kzvol::testing {

using Bits = std::vector<unsigned char>;

struct BitmapMember {
    const char* name;
    bool (*call)(KZVolumeUnix&, KZVBitmapType, Bits&);
    bool typed;  // takes a bitmap type
};

inline bool GetVolInfo(KZVolumeUnix& v) {
    QNBFVolInfo_t info;
    return v.QNBFGetVolInfo(info);
}
inline bool PrepareDataBlock(KZVolumeUnix& v, Bits& b) {
    qn_getdatablockbmp_arg arg{0, uint32_t(b.size()), reinterpret_cast<uint64_t>(b.data())};
    return v.QNBFPrepareDataBlock("", &arg);
}

#define KZ_MEMBER(typed, call)                                                         \
    {                                                                                  \
#call, [](KZVolumeUnix & v, KZVBitmapType t, Bits & b) { return call; }, typed \
    }

inline const std::vector<BitmapMember>& BitmapMembers() {
    static const std::vector<BitmapMember> members = {
        KZ_MEMBER(false, GetVolInfo(v)),
        KZ_MEMBER(true, v.QNBFGetVolBitmap(t, b.data(), b.size(), false)),
        KZ_MEMBER(true, v.QNBFGetAndClrVolBitmap(t, b.data(), b.size(), false)),
        KZ_MEMBER(true, v.QNBFSetVolBitmap(t, b.data())),
        KZ_MEMBER(true, v.QNBFClearVolBitmap(t)),
        KZ_MEMBER(true, v.QNBFSaveVolBitmap(t)),
        KZ_MEMBER(true, v.QNBFMergeVolBitmap(t, b.data(), b.size())),
        KZ_MEMBER(false, PrepareDataBlock(v, b)),
    };
    return members;
}
#undef KZ_MEMBER

}  // namespace kzvol::testing
