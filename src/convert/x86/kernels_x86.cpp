/*
 * The x86 kernel sets: SSE2 (every x86-64 processor; 32-bit builds use -msse2), AVX and AVX-512,
 * the last two compiled for their instruction set by function attributes and chosen when cpuid
 * and xgetbv say that the processor and the system support them.
 */
#include "convert/hq_decimator.h"
#include "convert/kernels.h"

#if defined(__x86_64__) || defined(__i386__)

#include <string.h>

#include <type_traits>

#if defined(__SSE2__)
#include <cpuid.h>
#include <emmintrin.h>

/*
 * Outputs of HalfBand N at a time, neighbours in the N lanes of a vector, each lane in HalfBand's
 * order (a multiply, then an add: no FMA). PAIRS known at compile time (0: at run time) unrolls
 * the taps, which are broadcast once per call. Returns how many it made, a multiple of N. Always
 * inlined, so that each wrapper below compiles it for its own instruction set.
 */
template <int N, uint32_t PAIRS>
__attribute__((always_inline)) static inline uint32_t HalfBandLanes(const double *taps, uint32_t pairs,
                                                                    const double *odds, const double *evens,
                                                                    double *y, uint32_t outputs)
{
    typedef double V __attribute__((vector_size(8 * N)));
    if (PAIRS != 0)
        pairs = PAIRS;
    V tap[PAIRS + 1];
    for (uint32_t t = 0; t <= PAIRS; t++)
        tap[t] = taps[t] - V{};
#define Tap(t) (PAIRS != 0 ? tap[t] : taps[t] - V{})
#define Load(p)                                                                                              \
    (__extension__({                                                                                         \
        V v_;                                                                                                \
        memcpy(&v_, (p), sizeof v_);                                                                         \
        v_;                                                                                                  \
    }))
    uint32_t i = 0;
    for (; i + N - 1 < outputs; i += N) {
        const double *o = odds + i;
        V a0 = {}, a1 = {};
        uint32_t t = 0;
#pragma GCC unroll 20
        for (; t + 1 < pairs; t += 2) {
            a0 = a0 + Tap(t) * (Load(o + t) + Load(o + 2 * pairs - 1 - t));
            a1 = a1 + Tap(t + 1) * (Load(o + t + 1) + Load(o + 2 * pairs - 2 - t));
        }
        if (t < pairs)
            a0 = a0 + Tap(t) * (Load(o + t) + Load(o + 2 * pairs - 1 - t));
        const V v = (a0 + a1) + Tap(pairs) * Load(evens + i);
        memcpy(y + i, &v, sizeof v);
    }
#undef Load
#undef Tap
    return i;
}

__attribute__((always_inline)) static inline uint32_t HalfBandPairs(const double *taps, uint32_t pairs,
                                                                    const double *odds, const double *evens,
                                                                    double *y, uint32_t outputs)
{
    return HalfBandLanes<2, 0>(taps, pairs, odds, evens, y, outputs);
}

template <uint32_t PAIRS>
__attribute__((target("avx"))) static uint32_t HalfBandQuads(const double *taps, uint32_t pairs,
                                                             const double *odds, const double *evens,
                                                             double *y, uint32_t outputs)
{
    return HalfBandLanes<4, PAIRS>(taps, pairs, odds, evens, y, outputs);
}

template <uint32_t PAIRS>
__attribute__((target("avx512f"))) static uint32_t HalfBandOcts(const double *taps, uint32_t pairs,
                                                                const double *odds, const double *evens,
                                                                double *y, uint32_t outputs)
{
    return HalfBandLanes<8, PAIRS>(taps, pairs, odds, evens, y, outputs);
}

/* run(P) with P the stage's pair count as a compile-time constant for the stages' lengths (15, 19,
   31, 111 and 143 taps), which unrolls the taps; 0 for any other. */
template <typename Run>
__attribute__((always_inline)) static inline uint32_t Unrolled(uint32_t pairs, Run run)
{
    switch (pairs) {
    case 4:
        return run(std::integral_constant<uint32_t, 4>());
    case 5:
        return run(std::integral_constant<uint32_t, 5>());
    case 8:
        return run(std::integral_constant<uint32_t, 8>());
    case 28:
        return run(std::integral_constant<uint32_t, 28>());
    case 36:
        return run(std::integral_constant<uint32_t, 36>());
    default:
        return run(std::integral_constant<uint32_t, 0>());
    }
}

/* The widest kernels up to `kernel` for as many outputs as they take; returns how many they made. */
__attribute__((always_inline)) static inline uint32_t HalfBandWide(uint32_t kernel, const double *taps,
                                                                   uint32_t pairs, const double *odds,
                                                                   const double *evens, double *y,
                                                                   uint32_t outputs)
{
    uint32_t i = 0;
    if (kernel >= HQ_KERNEL_AVX512)
        i = Unrolled(pairs, [&](auto p) {
            return HalfBandOcts<decltype(p)::value>(taps, pairs, odds, evens, y, outputs);
        });
    return i + Unrolled(pairs, [&](auto p) {
               return HalfBandQuads<decltype(p)::value>(taps, pairs, odds + i, evens + i, y + i, outputs - i);
           });
}

/* The widest kernels up to each set, for as many outputs as they take. */
static uint32_t HalfBandSse2(const double *taps, uint32_t pairs, const double *odds, const double *evens,
                             double *y, uint32_t outputs)
{
    return HalfBandPairs(taps, pairs, odds, evens, y, outputs);
}
static uint32_t HalfBandAvx(const double *taps, uint32_t pairs, const double *odds, const double *evens,
                            double *y, uint32_t outputs)
{
    uint32_t i = HalfBandWide(HQ_KERNEL_AVX, taps, pairs, odds, evens, y, outputs);
    return i + HalfBandPairs(taps, pairs, odds + i, evens + i, y + i, outputs - i);
}
static uint32_t HalfBandAvx512(const double *taps, uint32_t pairs, const double *odds, const double *evens,
                               double *y, uint32_t outputs)
{
    uint32_t i = HalfBandWide(HQ_KERNEL_AVX512, taps, pairs, odds, evens, y, outputs);
    return i + HalfBandPairs(taps, pairs, odds + i, evens + i, y + i, outputs - i);
}

/* DSF block groups to frames: two channels by byte unpacking, three to eight by transposing eight
   bytes of every channel at a time; the last frames (and other channel counts) as the plain kernel. */
void Deinterleave(uint8_t *dest, const uint8_t *staging, uint32_t blockSize, uint32_t channels)
{
    if (channels == 1) {
        memcpy(dest, staging, blockSize);
        return;
    }
    uint32_t i = 0;
    if (channels == 2) {
        const uint8_t *left = staging;
        const uint8_t *right = staging + blockSize;
        for (; i + 16 <= blockSize; i += 16) {
            __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i *>(left + i));
            __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i *>(right + i));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(dest + 2 * i), _mm_unpacklo_epi8(l, r));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(dest + 2 * i + 16), _mm_unpackhi_epi8(l, r));
        }
        for (; i < blockSize; i++) {
            dest[2 * i] = left[i];
            dest[2 * i + 1] = right[i];
        }
        return;
    }
    if (channels <= 8) {
        /* Eight bytes of every channel, transposed into eight frames of eight bytes, each frame
           stored whole at its place; the bytes a store writes beyond its frame belong to the next
           frame, which is stored after it. Rows past the last channel repeat it: their bytes land
           where the next frame goes. */
        const uint8_t *rows[8];
        for (uint32_t ch = 0; ch < 8; ch++)
            rows[ch] = staging + static_cast<size_t>(ch < channels ? ch : channels - 1) * blockSize;
        /* The last frame's store must end inside the group. */
        const size_t end = static_cast<size_t>(blockSize) * channels;
        for (; static_cast<size_t>(i + 7) * channels + 8 <= end; i += 8) {
            __m128i row[8];
#pragma GCC unroll 8
            for (uint32_t ch = 0; ch < 8; ch++)
                row[ch] = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(rows[ch] + i));
            __m128i a0 = _mm_unpacklo_epi8(row[0], row[1]), a1 = _mm_unpacklo_epi8(row[2], row[3]);
            __m128i a2 = _mm_unpacklo_epi8(row[4], row[5]), a3 = _mm_unpacklo_epi8(row[6], row[7]);
            __m128i b0 = _mm_unpacklo_epi16(a0, a1), b1 = _mm_unpackhi_epi16(a0, a1);
            __m128i b2 = _mm_unpacklo_epi16(a2, a3), b3 = _mm_unpackhi_epi16(a2, a3);
            const __m128i frames[4] = {_mm_unpacklo_epi32(b0, b2), _mm_unpackhi_epi32(b0, b2),
                                       _mm_unpacklo_epi32(b1, b3), _mm_unpackhi_epi32(b1, b3)};
            uint8_t *d = dest + static_cast<size_t>(i) * channels;
#pragma GCC unroll 4
            for (int k = 0; k < 4; k++) {
                _mm_storel_epi64(reinterpret_cast<__m128i *>(d + 2 * k * channels), frames[k]);
                _mm_storel_epi64(reinterpret_cast<__m128i *>(d + (2 * k + 1) * channels),
                                 _mm_unpackhi_epi64(frames[k], frames[k]));
            }
        }
    }
    DeinterleaveFrom(dest, staging, blockSize, channels, i);
}

/* Sixteen bytes at a time, the plain kernel's swaps with 16-bit shifts (the masks drop the bits
   that cross into the neighbouring byte). */
void ReverseBits(uint8_t *out, const uint8_t *in, size_t n)
{
    size_t i = 0;
    const __m128i m1 = _mm_set1_epi8(0x55), m2 = _mm_set1_epi8(0x33), m4 = _mm_set1_epi8(0x0F);
    for (; i + 16 <= n; i += 16) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i));
        x = _mm_or_si128(_mm_and_si128(_mm_srli_epi16(x, 1), m1), _mm_slli_epi16(_mm_and_si128(x, m1), 1));
        x = _mm_or_si128(_mm_and_si128(_mm_srli_epi16(x, 2), m2), _mm_slli_epi16(_mm_and_si128(x, m2), 2));
        x = _mm_or_si128(_mm_and_si128(_mm_srli_epi16(x, 4), m4), _mm_slli_epi16(_mm_and_si128(x, m4), 4));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), x);
    }
    ReverseBitsFrom(out, in, n, i);
}

/* The designed filter's scalar kernels in every set: gathering table entries into vectors costs
   more instructions than the scalar additions save. */
static const ConvertKernels sse2Kernels = {
    "sse2",           /* name */
    nullptr,          /* pcmPrepare */
    PcmUnrolledFloat, /* pcmFloat */
    PcmUnrolledInt16, /* pcmInt16 */
    Deinterleave,     /* deinterleave */
    ReverseBits,      /* reverseBits */
    PackDopPlain,     /* packDop */
    HalfBandSse2,     /* hqHalfBand */
};
static const ConvertKernels avxKernels = {
    "avx",            /* name */
    nullptr,          /* pcmPrepare */
    PcmUnrolledFloat, /* pcmFloat */
    PcmUnrolledInt16, /* pcmInt16 */
    Deinterleave,     /* deinterleave */
    ReverseBits,      /* reverseBits */
    PackDopPlain,     /* packDop */
    HalfBandAvx,      /* hqHalfBand */
};
static const ConvertKernels avx512Kernels = {
    "avx512",         /* name */
    nullptr,          /* pcmPrepare */
    PcmUnrolledFloat, /* pcmFloat */
    PcmUnrolledInt16, /* pcmInt16 */
    Deinterleave,     /* deinterleave */
    ReverseBits,      /* reverseBits */
    PackDopPlain,     /* packDop */
    HalfBandAvx512,   /* hqHalfBand */
};
/* In the order of HQ_KERNEL_*, which index this list. */
const ConvertKernels *const platformKernelSets[] = {&convertKernelsPlain, &sse2Kernels, &avxKernels,
                                                    &avx512Kernels};

uint32_t PlatformKernelsUsable(void)
{
    /* Asked of the processor directly (cpuid, and xgetbv for the registers the system saves):
       the compiler's own check would add a constructor to the library. */
    unsigned a, b, c, d;
    if (__get_cpuid(1, &a, &b, &c, &d) && (c & bit_OSXSAVE) && (c & bit_AVX)) {
        unsigned lo, hi;
        __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        if ((lo & 0x06) == 0x06) { /* SSE and AVX state */
            /* AVX-512: opmask and both halves of the upper registers saved too. */
            if (__get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_AVX512F) && (lo & 0xE6) == 0xE6)
                return 4;
            return 3;
        }
    }
    return 2;
}

#else /* x86 without SSE2: the scalar kernels */

const ConvertKernels *const platformKernelSets[] = {&convertKernelsPlain, &convertKernelsScalar};

uint32_t PlatformKernelsUsable(void)
{
    return 2;
}

#endif
#endif
