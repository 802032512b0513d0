// The memory-mode fixture with a channel in front of its driver recording every request
// as sent (and refusing those a test picks), the driver lookups, and the driver-mode members around
// the change bitmaps as one table.
#pragma once

#include <linux/ioctl.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "filter/QnbfLookup.h"
#include "filter/QnbfVolInfo.h"
#include "tests/support/MemoryDriver.h"

namespace kzvol::testing {

class RecordedDriver : public MemoryDriver, public DriverChannel {
  protected:
    void SetUp() override {
        MemoryDriver::SetUp();
        SetDriverChannel(this);
    }
    int OpenNode(const std::string& p, int f) override { return driver().OpenNode(p, f); }
    int Request(int fd, unsigned long request, void* arg) override {
        auto* bytes = static_cast<unsigned char*>(arg);
        seen_.push_back(request);
        records_.emplace_back(bytes, bytes + (arg ? _IOC_SIZE(request) : 0));
        if (const int err = refuse_ ? refuse_(request, arg) : 0)
            return errno = err, -1;
        return driver().Request(fd, request, arg);
    }
    // The errno a request is refused with, 0 to pass it on.
    std::function<int(unsigned long, void*)> refuse_;
    // The requests sent, in order.
    std::vector<unsigned long>& seen() { return seen_; }
    unsigned long LastRequest() { return seen_.back(); }
    int Count(unsigned long request) { return std::count(seen_.begin(), seen_.end(), request); }
    // The record of the request sent `back` requests before the last one.
    template <typename T>
    T Sent(size_t back = 0) {
        T value;
        std::memcpy(&value, records_.rbegin()[back].data(), sizeof value);
        return value;
    }

  private:
    std::vector<unsigned long> seen_;
    std::vector<std::vector<unsigned char>> records_;
};

// Driver lookups of a device by node name or by (snapshot) minor.
inline bool ByName(std::string name, qn_getinfo_arg* out) {
    return get_qnbf_dev_info(name.data(), out, QN_LOOKUP_BY_NAME);
}
inline bool ByMinor(uint32_t minor, qn_getinfo_arg* out, int mode = QN_LOOKUP_BY_MINOR) {
    return get_qnbf_dev_info(reinterpret_cast<char*>(&minor), out, mode);
}

using Bits = std::vector<unsigned char>;

template <typename T>
T& Lvalue(T&& value) {
    return value;
}

struct BitmapMember {
    const char* name;
    bool (*call)(KZVolumeUnix&, KZVBitmapType, Bits&);
    bool typed;  // takes a bitmap type
};

// clang-format off
#define KZ_MEMBER(typed, call) \
    BitmapMember{#call, [](KZVolumeUnix& v, KZVBitmapType t, Bits& b) { return call; }, typed}
// clang-format on

// Each called with a buffer whose size is the one the driver gets.
inline const std::vector<BitmapMember>& BitmapMembers() {
    static const std::vector<BitmapMember> members = {
        KZ_MEMBER(false, v.QNBFGetVolInfo(Lvalue(QNBFVolInfo_t{}))),
        KZ_MEMBER(true, v.QNBFGetVolBitmap(t, b.data(), b.size(), false)),
        KZ_MEMBER(true, v.QNBFGetAndClrVolBitmap(t, b.data(), b.size(), false)),
        KZ_MEMBER(true, v.QNBFSetVolBitmap(t, b.data())),
        KZ_MEMBER(true, v.QNBFClearVolBitmap(t)),
        KZ_MEMBER(true, v.QNBFSaveVolBitmap(t)),
        KZ_MEMBER(true, v.QNBFMergeVolBitmap(t, b.data(), b.size())),
        KZ_MEMBER(false,
                  v.QNBFPrepareDataBlock("", &Lvalue(qn_getdatablockbmp_arg{0, uint32_t(b.size()),
                                                                            uint64_t(b.data())}))),
    };
    return members;
}
#undef KZ_MEMBER

}  // namespace kzvol::testing
