// Block buffer cache: whole-buffer refills at the requested offset, oldest-fill-first
// replacement, a shortcut for consecutive requests inside the most recent buffer.
#include "rdfd/BufferCache.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "host/EvDebug.h"
#include "rdfd/RDFDException.h"

namespace {

EvDebug g_log;
const char kCtorContext[] = "BufferCache :: BufferCache";
const char kReadContext[] = "BufferCache :: ReadFromCache";

}  // namespace

BufferCache::BufferCache(ReadCallBack readCallBack, void* context, unsigned int cacheSize,
                         unsigned int bufferCount)
    : m_pReadCallBack(readCallBack),
      m_pContext(context),
      m_nCacheSize(cacheSize),
      m_nBufferCount(bufferCount),
      m_nBufferSize(bufferCount == 0 ? 0 : cacheSize / bufferCount) {
    if (bufferCount == 0)
        return;
    try {
        m_slots.resize(bufferCount);
        m_slotUsed.assign(bufferCount, false);
    } catch (const std::bad_alloc&) {
        g_log.Error(kCtorContext, "Could not allocate memory for the BufCache. ErrorCode:%d",
                    GetLastError());
        throw new RDFDException(RDFD_EXC_SYSTEM, "Could not allocate memory for the BufCache");
    }
    for (unsigned int i = 0; i < bufferCount; ++i) {
        m_slots[i].reset(new (std::nothrow) char[m_nBufferSize]);
        if (!m_slots[i]) {
            g_log.Error(kCtorContext,
                        "Could not allocate memory for the BufCache[i]. i:%u ErrorCode:%d", i,
                        GetLastError());
            throw new RDFDException(RDFD_EXC_SYSTEM, "Could not allocate memory for BufCache[i]");
        }
    }
}

BufferCache::~BufferCache() {
    m_slots.clear();
    g_log.Debug("BufferCache :: ~BufferCache",
                "Stats ==> Hits:%llu\tMisses:%llu\tPrevCacheHits:%llu\n", m_nHits, m_nMisses,
                m_nPrevCacheHits);
}

unsigned int BufferCache::ReadFromCache(char* buffer, unsigned int size,
                                        unsigned long long offset) {
    if (PassesThrough(size, offset, true))
        return m_pReadCallBack(m_pContext, buffer, size, offset);
    if (TryHit(buffer, size, offset))
        return size;
    ++m_nMisses;
    return Fill(buffer, size, offset, offset);
}

unsigned int BufferCache::ReadAligned(char* buffer, unsigned int size, unsigned long long offset) {
    if (m_nBufferSize == 0)
        return ReadFromCache(buffer, size, offset);
    const unsigned long long start = offset - offset % m_nBufferSize;
    if (offset + size > start + m_nBufferSize || PassesThrough(size, start, false))
        return ReadFromCache(buffer, size, offset);
    if (TryHit(buffer, size, offset))
        return size;
    ++m_nMisses;
    return Fill(buffer, size, offset, start);
}

bool BufferCache::PassesThrough(unsigned int size, unsigned long long offset, bool log) const {
    if (m_nBufferSize == 0 || size > m_nBufferSize)
        return true;
    if (m_nDeviceSize != 0 && offset + m_nBufferSize > m_nDeviceSize) {
        if (log) {
            g_log.Debug(kReadContext,
                        "Offset %llu + BufferSize %u > DeviceSize %llu. Read size %u.\n", offset,
                        m_nBufferSize, m_nDeviceSize, size);
        }
        return true;
    }
    return false;
}

bool BufferCache::TryHit(char* buffer, unsigned int size, unsigned long long offset) {
    if (m_bLastHitValid && !m_entries.empty() && m_nLastHitOffset <= offset &&
        offset + size <= m_nLastHitOffset + m_nBufferSize) {
        ++m_nPrevCacheHits;
        std::memcpy(buffer, m_slots[m_nLastHitSlot].get() + (offset - m_nLastHitOffset), size);
        return true;
    }
    unsigned long long key = 0;
    const long slot = FindCovering(offset, size, &key);
    if (slot >= 0) {
        ++m_nHits;
        std::memcpy(buffer, m_slots[slot].get() + (offset - key), size);
        m_nLastHitSlot = static_cast<unsigned int>(slot);
        m_nLastHitOffset = key;
        m_bLastHitValid = true;
        return true;
    }
    return false;
}

long BufferCache::FindCovering(unsigned long long offset, unsigned int size,
                               unsigned long long* key) const {
    auto it = m_entries.upper_bound(offset);
    if (it == m_entries.begin())
        return -1;
    --it;
    if (it->first + m_nBufferSize < offset + size)
        return -1;
    *key = it->first;
    return static_cast<long>(it->second);
}

// While the cache fills, the lowest free slot; afterwards the slot of the oldest fill.
unsigned int BufferCache::ChooseSlot() {
    if (m_entries.size() < m_nBufferCount) {
        for (unsigned int i = 0; i < m_nBufferCount; ++i) {
            if (!m_slotUsed[i])
                return i;
        }
    }
    const TimeIndex oldest = m_fillOrder.front();
    m_fillOrder.pop_front();
    if (m_entries.erase(oldest.offset) == 0) {
        g_log.Error(kReadContext, "Improper cond. LruIndex:%u,LruOffset:%llu\n", oldest.slot,
                    oldest.offset);
    }
    Forget(oldest.slot);
    return oldest.slot;
}

// The slot's contents are about to change: nothing may be served from it any more.
void BufferCache::Forget(unsigned int slot) {
    m_slotUsed[slot] = false;
    if (m_nLastHitSlot == slot)
        m_bLastHitValid = false;
}

unsigned int BufferCache::Fill(char* buffer, unsigned int size, unsigned long long offset,
                               unsigned long long start) {
    const unsigned int slot = ChooseSlot();
    char* data = m_slots[slot].get();
    const unsigned int got = m_pReadCallBack(m_pContext, data, m_nBufferSize, start);
    const bool whole = got == m_nBufferSize;
    const unsigned long long needed = offset - start + size;
    if (got == 0 || (!whole && got < needed)) {
        g_log.Debug(kReadContext, "Error. Ret %d, BufferSize %u, Size %u\n", static_cast<int>(got),
                    m_nBufferSize, size);
        // What the callback delivered of the request itself, which may start further
        // into the window: never a count the request's bytes did not come with.
        const unsigned long long skip = offset - start;
        const auto part = static_cast<unsigned int>(got > skip ? got - skip : 0);
        std::memcpy(buffer, data + skip, part);
        return part;
    }
    std::memcpy(buffer, data + (offset - start), size);
    // A short refill served this request; its buffer is not entered, so later
    // requests never see the bytes the callback left undelivered.
    if (!whole)
        return size;
    m_fillOrder.push_back(TimeIndex{start, slot});
    m_entries.emplace(start, slot);
    m_slotUsed[slot] = true;
    m_nLastHitSlot = slot;
    m_nLastHitOffset = start;
    m_bLastHitValid = true;
    return size;
}
