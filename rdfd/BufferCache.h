// Block buffer cache of the on-disk directory reader. Each miss becomes one read of a
// whole buffer starting at the requested offset; later requests that fall inside a
// held buffer are answered by copying. Buffers are replaced oldest fill first (a hit
// does not reorder them). Reads larger than a buffer, reads whose buffer would reach
// past the device's end, and every read of a cache without buffers go straight to the
// callback. The cache never writes.
//
// Threads: one cache belongs to one reader and is used from the caller's thread only.
#pragma once

#include <list>
#include <map>
#include <memory>
#include <vector>

#include "host/Export.h"
#include "rdfd/RDFDCallBacks.h"

// One entry of the fill-order list.
struct TimeIndex {
    unsigned long long offset;
    unsigned int slot;
};

class KZVOL_API BufferCache {
  public:
    // Allocates `bufferCount` buffers of cacheSize / bufferCount bytes (none when the
    // count is 0). Throws RDFDException* code 2 when memory cannot be had.
    BufferCache(ReadCallBack readCallBack, void* context, unsigned int cacheSize,
                unsigned int bufferCount);
    // Logs the statistics.
    ~BufferCache();
    BufferCache(const BufferCache&) = delete;
    BufferCache& operator=(const BufferCache&) = delete;

    // Device size in bytes; 0 means unknown. No buffer is filled past it.
    void SetDeviceSize(unsigned long long size) { m_nDeviceSize = size; }

    // Fills `buffer` with `size` bytes from `offset` and returns `size`; on failure
    // returns how many of them the callback delivered (0 or a short count), and
    // fills only those. A buffer is entered only after a full buffer-size read, so a
    // hit never serves bytes the callback did not deliver.
    unsigned int ReadFromCache(char* buffer, unsigned int size, unsigned long long offset);
    // The same, except that a miss fills the buffer-size window aligned to the
    // buffer size that holds the request, so that requests in any order within a
    // window share one fill. A request across two windows, or in a window reaching
    // past the device's end, is read as ReadFromCache reads it.
    unsigned int ReadAligned(char* buffer, unsigned int size, unsigned long long offset);

    unsigned int GetCacheSize() const { return m_nCacheSize; }
    unsigned int GetBufferCount() const { return m_nBufferCount; }
    unsigned int GetBufferSize() const { return m_nBufferSize; }
    unsigned long long GetHits() const { return m_nHits; }
    unsigned long long GetMisses() const { return m_nMisses; }
    unsigned long long GetPrevCacheHits() const { return m_nPrevCacheHits; }
    // Number of buffers currently holding device data.
    size_t GetEntryCount() const { return m_entries.size(); }

  private:
    // The slot of an entry covering [offset, offset + size), or -1.
    long FindCovering(unsigned long long offset, unsigned int size, unsigned long long* key) const;
    unsigned int ChooseSlot();
    void Forget(unsigned int slot);
    // True when the request is served by the direct read of the pass-through rules.
    bool PassesThrough(unsigned int size, unsigned long long offset, bool log) const;
    // Serves the request from a held buffer; false on a miss.
    bool TryHit(char* buffer, unsigned int size, unsigned long long offset);
    // Fills a buffer with the device bytes from `start` (at or below `offset`) and
    // serves the request from it.
    unsigned int Fill(char* buffer, unsigned int size, unsigned long long offset,
                      unsigned long long start);

    ReadCallBack m_pReadCallBack;
    void* m_pContext;
    std::vector<std::unique_ptr<char[]>> m_slots;
    unsigned int m_nCacheSize;
    unsigned int m_nBufferCount;
    unsigned int m_nBufferSize;
    unsigned long long m_nDeviceSize = 0;
    unsigned int m_nLastHitSlot = 0;
    unsigned long long m_nLastHitOffset = 0;
    bool m_bLastHitValid = false;  // false once the last-hit slot lost its entry
    unsigned long long m_nHits = 0;
    unsigned long long m_nMisses = 0;
    unsigned long long m_nPrevCacheHits = 0;
    std::map<unsigned long long, unsigned int> m_entries;  // fill offset -> slot
    std::list<TimeIndex> m_fillOrder;                      // oldest fill first
    std::vector<bool> m_slotUsed;
};
