// The assembled point: the chain's extents read through PointExtents, and a small
// cache of checked extents.
#include "backup/PointReader.h"

#include <algorithm>
#include <cstring>

namespace kzvol::backup {

PointReader::PointReader(const Repository& repo, uint64_t cacheBytes)
    : repo_(repo), cacheBytes_(cacheBytes) {}

PointReader::~PointReader() = default;

bool PointReader::Open(const std::string& id, std::string* error) {
    if (!repo_.Chain(id, &chain_, error))
        return false;
    if (chain_.front().kind != Kind::Full) {
        *error = "the chain of backup " + id + " does not start with a full backup";
        return false;
    }
    cache_.clear();
    cached_.clear();
    cacheBytes_ = std::max(cacheBytes_, 2 * chain_.front().extentBytes);
    return extents_.Open(repo_, chain_, error);
}

uint32_t PointReader::LengthOf(uint64_t number) const {
    return ExtentLength(size(), chain_.front().extentBytes, number);
}

const char* PointReader::Extent(uint64_t number, std::string* error) {
    if (auto hit = cached_.find(number); hit != cached_.end()) {
        cache_.splice(cache_.begin(), cache_, hit->second);
        return cache_.front().data.get();
    }
    const uint64_t extentBytes = chain_.front().extentBytes;
    std::unique_ptr<char[]> data;
    if (cache_.size() * extentBytes + extentBytes > cacheBytes_) {
        data = std::move(cache_.back().data);  // reuse the oldest buffer
        cached_.erase(cache_.back().number);
        cache_.pop_back();
    } else {
        data.reset(new char[extentBytes]);
    }
    if (!extents_.Read(number, data.get(), error))
        return nullptr;
    loaded_ += LengthOf(number);
    cache_.push_front(Cached{number, std::move(data)});
    cached_[number] = cache_.begin();
    return cache_.front().data.get();
}

bool PointReader::Read(char* out, uint64_t length, uint64_t offset, std::string* error) {
    if (offset > size() || length > size() - offset) {
        *error = "a read of " + std::to_string(length) + " bytes at " + std::to_string(offset) +
                 " passes the end of the volume (" + std::to_string(size()) + " bytes)";
        return false;
    }
    const uint64_t extentBytes = chain_.front().extentBytes;
    while (length > 0) {
        const uint64_t number = offset / extentBytes, within = offset % extentBytes;
        const char* data = Extent(number, error);
        if (!data)
            return false;
        const uint64_t n = std::min<uint64_t>(length, LengthOf(number) - within);
        std::memcpy(out, data + within, n);
        out += n;
        offset += n;
        length -= n;
    }
    return true;
}

}  // namespace kzvol::backup
