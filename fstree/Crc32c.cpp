// CRC-32C by table lookup, eight bytes per step (slicing-by-8), or with the
// SSE4.2 CRC32 instruction when the processor has it.
#include "fstree/Crc32c.h"

#include <cstring>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "slicing tables assume little-endian words");

namespace kzvol {
namespace {

constexpr uint32_t kPolynomial = 0x82F63B78u;  // reflected Castagnoli

struct Tables {
    uint32_t t[8][256];
    Tables() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? (c >> 1) ^ kPolynomial : c >> 1;
            t[0][i] = c;
        }
        for (uint32_t i = 0; i < 256; ++i)
            for (int s = 1; s < 8; ++s)
                t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    }
};

const Tables& GetTables() {
    static const Tables tables;
    return tables;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) uint32_t Crc32cHardware(uint32_t crc, const void* data,
                                                          size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    uint64_t state = ~crc;
    for (; size >= 8; p += 8, size -= 8) {
        uint64_t word = 0;
        std::memcpy(&word, p, 8);
        state = __builtin_ia32_crc32di(state, word);
    }
    auto narrow = static_cast<uint32_t>(state);
    for (; size > 0; ++p, --size)
        narrow = __builtin_ia32_crc32qi(narrow, *p);
    return ~narrow;
}

bool HasHardwareCrc() {
    static const bool has = __builtin_cpu_supports("sse4.2");
    return has;
}
#endif

}  // namespace

uint32_t Crc32c(uint32_t crc, const void* data, size_t size) {
#if defined(__x86_64__)
    if (HasHardwareCrc())
        return Crc32cHardware(crc, data, size);
#endif
    return Crc32cPortable(crc, data, size);
}

uint32_t Crc32cPortable(uint32_t crc, const void* data, size_t size) {
    const Tables& tb = GetTables();
    const auto* p = static_cast<const unsigned char*>(data);
    crc = ~crc;
    while (size >= 8) {
        uint32_t lo = 0, hi = 0;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + 4, 4);
        lo ^= crc;
        crc = tb.t[7][lo & 0xFF] ^ tb.t[6][(lo >> 8) & 0xFF] ^ tb.t[5][(lo >> 16) & 0xFF] ^
              tb.t[4][lo >> 24] ^ tb.t[3][hi & 0xFF] ^ tb.t[2][(hi >> 8) & 0xFF] ^
              tb.t[1][(hi >> 16) & 0xFF] ^ tb.t[0][hi >> 24];
        p += 8;
        size -= 8;
    }
    while (size-- > 0)
        crc = (crc >> 8) ^ tb.t[0][(crc ^ *p++) & 0xFF];
    return ~crc;
}

}  // namespace kzvol
