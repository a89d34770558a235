// CRC-32 of the zip format (polynomial 0xEDB88320, reflected). Long runs are folded with carry-less
// multiplication where the processor has it (PCLMULQDQ, checked once with CPUID); otherwise, and for the
// short head and tail, eight bytes per step with eight tables ("slice-by-8"). The tables are computed by
// the compiler, so the program needs no start-up code for them.
#include "install/contents.h"

#include <cpuid.h>
#include <wmmintrin.h>
#include <smmintrin.h>

struct Crc32Tables {
    UINT32 table[8][256];
};

static constexpr Crc32Tables MakeCrc32Tables() {
    Crc32Tables tables = {};
    for (UINT32 i = 0; i < 256; ++i) {
        UINT32 crc = i;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        tables.table[0][i] = crc;
    }
    // table[k][i]: the CRC of byte i followed by k zero bytes.
    for (int k = 1; k < 8; ++k)
        for (UINT32 i = 0; i < 256; ++i) {
            UINT32 previous = tables.table[k - 1][i];
            tables.table[k][i] = (previous >> 8) ^ tables.table[0][previous & 0xFF];
        }
    return tables;
}

static constexpr Crc32Tables CRC32_TABLES = MakeCrc32Tables();

static inline UINT32 LoadLittle32(const BYTE* data) {
    UINT32 value;
    __builtin_memcpy(&value, data, sizeof(value));
    return value;
}

// The CRC register (inverted form) carried over bytes eight at a time.
static UINT32 SliceBy8(UINT32 crc, const BYTE* data, SIZE_T length) {
    const UINT32(*t)[256] = CRC32_TABLES.table;
    while (length > 0 && ((UINT_PTR)data & 7) != 0) {
        crc = t[0][(crc ^ *data++) & 0xFF] ^ (crc >> 8);
        --length;
    }
    while (length >= 8) {
        UINT32 low = LoadLittle32(data) ^ crc;
        UINT32 high = LoadLittle32(data + 4);
        crc = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
              t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^ t[1][(high >> 16) & 0xFF] ^ t[0][high >> 24];
        data += 8;
        length -= 8;
    }
    while (length > 0) {
        crc = t[0][(crc ^ *data++) & 0xFF] ^ (crc >> 8);
        --length;
    }
    return crc;
}

// Folding constants of the reflected polynomial: x^(4*128+32) and x^(4*128-32) mod P for the four-way
// fold, x^(128+32) and x^(128-32) for the one-way fold, x^64 for 64 to 32 bits, then P and mu for the
// Barrett reduction.
alignas(16) static const UINT64 FOLD_BY_4[2] = {0x154442BD4ull, 0x1C6E41596ull};
alignas(16) static const UINT64 FOLD_BY_1[2] = {0x1751997D0ull, 0x0CCAA009Eull};
alignas(16) static const UINT64 FOLD_64[2] = {0x163CD6124ull, 0};
alignas(16) static const UINT64 BARRETT[2] = {0x1DB710641ull, 0x1F7011641ull};

__attribute__((target("pclmul,sse4.1"))) static inline __m128i Fold(__m128i value, __m128i constants,
                                                                    __m128i next) {
    __m128i low = _mm_clmulepi64_si128(value, constants, 0x00);
    __m128i high = _mm_clmulepi64_si128(value, constants, 0x11);
    return _mm_xor_si128(_mm_xor_si128(high, low), next);
}

// The register over a length that is at least 64 and a multiple of 16.
__attribute__((target("pclmul,sse4.1"))) static UINT32 FoldCarryless(UINT32 crc, const BYTE* data,
                                                                     SIZE_T length) {
    __m128i x1 = _mm_xor_si128(_mm_loadu_si128((const __m128i*)data), _mm_cvtsi32_si128((int)crc));
    __m128i x2 = _mm_loadu_si128((const __m128i*)(data + 16));
    __m128i x3 = _mm_loadu_si128((const __m128i*)(data + 32));
    __m128i x4 = _mm_loadu_si128((const __m128i*)(data + 48));
    __m128i k = _mm_load_si128((const __m128i*)FOLD_BY_4);
    for (data += 64, length -= 64; length >= 64; data += 64, length -= 64) {
        x1 = Fold(x1, k, _mm_loadu_si128((const __m128i*)data));
        x2 = Fold(x2, k, _mm_loadu_si128((const __m128i*)(data + 16)));
        x3 = Fold(x3, k, _mm_loadu_si128((const __m128i*)(data + 32)));
        x4 = Fold(x4, k, _mm_loadu_si128((const __m128i*)(data + 48)));
    }
    k = _mm_load_si128((const __m128i*)FOLD_BY_1);
    x1 = Fold(Fold(Fold(x1, k, x2), k, x3), k, x4);
    for (; length >= 16; data += 16, length -= 16)
        x1 = Fold(x1, k, _mm_loadu_si128((const __m128i*)data));

    // 128 to 64 bits, then 64 to 32.
    __m128i mask = _mm_setr_epi32(~0, 0, ~0, 0);
    x2 = _mm_clmulepi64_si128(x1, k, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
    k = _mm_loadl_epi64((const __m128i*)FOLD_64);
    x2 = _mm_srli_si128(x1, 4);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, mask), k, 0x00), x2);
    // Barrett reduction to 32 bits.
    k = _mm_load_si128((const __m128i*)BARRETT);
    x2 = _mm_clmulepi64_si128(_mm_and_si128(x1, mask), k, 0x10);
    x2 = _mm_clmulepi64_si128(_mm_and_si128(x2, mask), k, 0x00);
    return (UINT32)_mm_extract_epi32(_mm_xor_si128(x1, x2), 1);
}

// 0 not yet asked, 1 without carry-less multiplication, 2 with it. Asking twice is harmless.
static volatile LONG carrylessState = 0;

static BOOL HasCarryless() {
    LONG state = carrylessState;
    if (state == 0) {
        unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
        BOOL has = __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & bit_PCLMUL) && (ecx & bit_SSE4_1);
        state = has ? 2 : 1;
        carrylessState = state;
    }
    return state == 2;
}

static const SIZE_T CARRYLESS_MINIMUM = 256;

UINT32 Crc32Update(UINT32 crc, const BYTE* data, SIZE_T length) {
    crc = ~crc;
    if (length >= CARRYLESS_MINIMUM && HasCarryless()) {
        SIZE_T folded = length & ~(SIZE_T)15;
        crc = FoldCarryless(crc, data, folded);
        data += folded;
        length -= folded;
    }
    return ~SliceBy8(crc, data, length);
}
