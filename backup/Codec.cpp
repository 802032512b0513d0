// zstd with one compression and one decompression context per thread.
#include "backup/Codec.h"

#include <zstd.h>

#include <memory>

namespace kzvol::backup {
namespace {

struct FreeCCtx {
    void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct FreeDCtx {
    void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};

ZSTD_CCtx* ThreadCCtx() {
    thread_local std::unique_ptr<ZSTD_CCtx, FreeCCtx> ctx(ZSTD_createCCtx());
    return ctx.get();
}

ZSTD_DCtx* ThreadDCtx() {
    thread_local std::unique_ptr<ZSTD_DCtx, FreeDCtx> ctx(ZSTD_createDCtx());
    return ctx.get();
}

}  // namespace

size_t CompressedCapacity(size_t length) {
    return ZSTD_compressBound(length);
}

uint32_t CompressExtent(const char* in, uint32_t length, char* out, size_t outCapacity) {
    ZSTD_CCtx* ctx = ThreadCCtx();
    if (!ctx)
        return 0;
    const size_t n = ZSTD_compressCCtx(ctx, out, outCapacity, in, length, kCompressionLevel);
    return ZSTD_isError(n) || n >= length ? 0 : static_cast<uint32_t>(n);
}

bool DecompressExtent(const char* in, uint32_t storedLength, char* out, uint32_t length) {
    ZSTD_DCtx* ctx = ThreadDCtx();
    if (!ctx || ZSTD_findFrameCompressedSize(in, storedLength) != storedLength ||
        ZSTD_getFrameContentSize(in, storedLength) != length)
        return false;
    const size_t n = ZSTD_decompressDCtx(ctx, out, length, in, storedLength);
    return !ZSTD_isError(n) && n == length;
}

}  // namespace kzvol::backup
