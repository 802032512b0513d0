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
// Multiplies two polynomials modulo the CRC polynomial, bit-reflected (the top
// bit is x^0).
uint32_t MultModP(uint32_t a, uint32_t b) {
    uint32_t product = 0;
    for (uint32_t m = 1u << 31; m != 0; m >>= 1) {
        if (a & m)
            product ^= b;
        b = (b & 1) ? (b >> 1) ^ kPolynomial : b >> 1;
    }
    return product;
}

// Long spans are checksummed as three interleaved streams of kStride bytes, so
// that three CRC32 instructions are in flight at once; the streams' registers
// are then joined by shifting them over the bytes that follow (a multiplication
// by x^(8n), done by table: the shift is linear in the register's bytes).
constexpr size_t kStride = 1024;

struct ShiftTables {
    uint32_t by1[4][256], by2[4][256];  // shifts over kStride and 2 * kStride bytes
    ShiftTables() {
        uint32_t x8 = 1u << 23, one = 1u << 31, xn = one;  // x^8, x^0
        for (size_t i = 0; i < kStride; ++i)
            xn = MultModP(xn, x8);
        uint32_t x2n = MultModP(xn, xn);
        for (int byte = 0; byte < 4; ++byte)
            for (uint32_t v = 0; v < 256; ++v) {
                by1[byte][v] = MultModP(v << (8 * byte), xn);
                by2[byte][v] = MultModP(v << (8 * byte), x2n);
            }
    }
    static uint32_t Apply(const uint32_t (&t)[4][256], uint32_t r) {
        return t[0][r & 0xFF] ^ t[1][(r >> 8) & 0xFF] ^ t[2][(r >> 16) & 0xFF] ^ t[3][r >> 24];
    }
};

const ShiftTables& GetShiftTables() {
    static const ShiftTables tables;
    return tables;
}

__attribute__((target("sse4.2"))) inline uint64_t Crc8(uint64_t state, const unsigned char* p) {
    uint64_t word = 0;
    std::memcpy(&word, p, 8);
    return __builtin_ia32_crc32di(state, word);
}

__attribute__((target("sse4.2"))) uint32_t Crc32cHardware(uint32_t crc, const void* data,
                                                          size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    uint64_t state = static_cast<uint32_t>(~crc);
    if (size >= 3 * kStride) {
        const ShiftTables& shift = GetShiftTables();
        for (; size >= 3 * kStride; p += 3 * kStride, size -= 3 * kStride) {
            uint64_t b = 0, c = 0;
            for (size_t i = 0; i < kStride; i += 8) {
                state = Crc8(state, p + i);
                b = Crc8(b, p + kStride + i);
                c = Crc8(c, p + 2 * kStride + i);
            }
            state = ShiftTables::Apply(shift.by2, static_cast<uint32_t>(state)) ^
                    ShiftTables::Apply(shift.by1, static_cast<uint32_t>(b)) ^ c;
        }
    }
    for (; size >= 8; p += 8, size -= 8)
        state = Crc8(state, p);
    auto narrow = static_cast<uint32_t>(state);
    if (size & 4) {
        uint32_t word = 0;
        std::memcpy(&word, p, 4);
        narrow = __builtin_ia32_crc32si(narrow, word);
        p += 4;
    }
    if (size & 2) {
        uint16_t half = 0;
        std::memcpy(&half, p, 2);
        narrow = __builtin_ia32_crc32hi(narrow, half);
        p += 2;
    }
    if (size & 1)
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
