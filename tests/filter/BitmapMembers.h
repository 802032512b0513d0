// The driver-mode members around the change bitmaps as one table, for the tests
// that run each of them the same way: the call on a volume object (with a bitmap
// type and a buffer whose size is the one given to the driver) and the log lines
// of its two preconditions.
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
    bool typed;            // takes a bitmap type
    const char* noHandle;  // when the admin node cannot be opened; null: not checked
    bool opensOnDemand;
    const char* noMinor;
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
         false, "open failed errno=2 \n", true, "invalid minor node \n"},
        {"KZVolumeUnix::QNBFGetVolBitmap",
         [](V v, T t, Bits& b) { return v.QNBFGetVolBitmap(t, b.data(), b.size(), false); }, true,
         "failed to open errno=2 \n", true, "invalid minor node=-1 \n"},
        {"KZVolumeUnix::QNBFGetAndClrVolBitmap",
         [](V v, T t, Bits& b) { return v.QNBFGetAndClrVolBitmap(t, b.data(), b.size(), false); },
         true, "Failed to open QNBF node.\n", true, " invalid handle =-1 for minor node \n"},
        {"KZVolumeUnix::QNBFSetVolBitmap",
         [](V v, T t, Bits& b) { return v.QNBFSetVolBitmap(t, b.data()); }, true,
         "Open failed... errno=", false, "Invalid m_QnbfNodeMinorno \n"},
        {"KZVolumeUnix::QNBFClearVolBitmap",
         [](V v, T t, Bits&) { return v.QNBFClearVolBitmap(t); }, true, "failed to open errno=2 \n",
         true, "invalid minorno=-1\n"},
        {"KZVolumeUnix::QNBFSaveVolBitmap", [](V v, T t, Bits&) { return v.QNBFSaveVolBitmap(t); },
         true, "failed to open errno=2\n", true, "INVALID minor no=-1\n"},
        {"KZVolumeUnix::QNBFMergeVolBitmap",
         [](V v, T t, Bits& b) { return v.QNBFMergeVolBitmap(t, b.data(), b.size()); }, true,
         "invalid handle=-1 errno=", false, "invalid m_QnbfNodeMinorno=-1\n"},
        {"KZVolumeUnix::QNBFPrepareDataBlock:",
         [](V v, T, Bits& b) {
             qn_getdatablockbmp_arg arg{0, static_cast<uint32_t>(b.size()),
                                        reinterpret_cast<uint64_t>(b.data())};
             return v.QNBFPrepareDataBlock("", &arg);
         },
         false, nullptr, false, "QNBFGetVolInfo:invalid handle=-1\n"},
    };
    return members;
}

}  // namespace kzvol::testing
