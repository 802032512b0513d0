// The driver-mode members around the change bitmaps as one table, for the tests
// that run each of them the same way: the call on a volume object, with a bitmap
// type and a buffer whose size is the one given to the driver.
#pragma once

#include <vector>

#include "filter/QnbfProtocol.h"
#include "filter/QnbfVolInfo.h"
#include "volume/KZVolume.h"

namespace kzvol::testing {

using Bits = std::vector<unsigned char>;

struct BitmapMember {
    const char* context;
    bool (*call)(KZVolumeUnix&, KZVBitmapType, Bits&);
    bool typed;  // takes a bitmap type
};

inline const std::vector<BitmapMember>& BitmapMembers() {
    using V = KZVolumeUnix&;
    using T = KZVBitmapType;
    static const std::vector<BitmapMember> members = {
        {"KZVolumeUnix::QNBFGetVolInfo",
         [](V v, T, Bits&) {
             QNBFVolInfo_t info;
             return v.QNBFGetVolInfo(info);
         },
         false},
        {"KZVolumeUnix::QNBFGetVolBitmap",
         [](V v, T t, Bits& b) { return v.QNBFGetVolBitmap(t, b.data(), b.size(), false); }, true},
        {"KZVolumeUnix::QNBFGetAndClrVolBitmap",
         [](V v, T t, Bits& b) { return v.QNBFGetAndClrVolBitmap(t, b.data(), b.size(), false); },
         true},
        {"KZVolumeUnix::QNBFSetVolBitmap",
         [](V v, T t, Bits& b) { return v.QNBFSetVolBitmap(t, b.data()); }, true},
        {"KZVolumeUnix::QNBFClearVolBitmap",
         [](V v, T t, Bits&) { return v.QNBFClearVolBitmap(t); }, true},
        {"KZVolumeUnix::QNBFSaveVolBitmap", [](V v, T t, Bits&) { return v.QNBFSaveVolBitmap(t); },
         true},
        {"KZVolumeUnix::QNBFMergeVolBitmap",
         [](V v, T t, Bits& b) { return v.QNBFMergeVolBitmap(t, b.data(), b.size()); }, true},
        {"KZVolumeUnix::QNBFPrepareDataBlock:",
         [](V v, T, Bits& b) {
             qn_getdatablockbmp_arg arg{0, static_cast<uint32_t>(b.size()),
                                        reinterpret_cast<uint64_t>(b.data())};
             return v.QNBFPrepareDataBlock("", &arg);
         },
         false},
    };
    return members;
}

}  // namespace kzvol::testing
