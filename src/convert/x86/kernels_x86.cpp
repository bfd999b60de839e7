/*
 * The x86 kernel sets: SSE2 (every x86-64 processor; 32-bit builds use -msse2), AVX (with AVX2)
 * and AVX-512, the last two compiled for their instruction set by function attributes and chosen
 * when cpuid and xgetbv say that the processor and the system support them.
 */
#include "convert/hq_decimator.h"
#include "convert/kernels.h"

#if defined(__x86_64__) || defined(__i386__)

#include <string.h>

#include <type_traits>

#if defined(__SSE2__)
#include <cpuid.h>
#include <emmintrin.h>
#include <immintrin.h>

/*
 * Outputs of HqHalfBand eight at a time, neighbours in the lanes of a vector: the even lanes'
 * inputs (the odd lanes' from the load one value on, which reads one past the last) times the
 * Q31 tap into 64-bit lanes (vpmuldq) and added up, the sums held within
 * 2^62, and the rounded quotients by 2^31 are bits 31 to 62 of each. Exact integer sums: the
 * plain loop's values. PAIRS known at compile time (0: at run time) unrolls the taps. Returns
 * how many it made, a multiple of 8.
 */
__attribute__((target("avx2"), always_inline)) static inline __m256i Load8(const int32_t *p)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}

/* 64-bit lanes held within -2^62 to 2^62 - 1. */
__attribute__((target("avx2"), always_inline)) static inline __m256i Hold62(__m256i v)
{
    const __m256i most = _mm256_set1_epi64x((int64_t{1} << 62) - 1),
                  least = _mm256_set1_epi64x(-(int64_t{1} << 62));
    v = _mm256_blendv_epi8(v, most, _mm256_cmpgt_epi64(v, most));
    return _mm256_blendv_epi8(v, least, _mm256_cmpgt_epi64(least, v));
}

template <uint32_t PAIRS>
__attribute__((target("avx2"))) static uint32_t HalfBandOcts(const int32_t *taps, uint32_t pairs,
                                                             const int32_t *odds, const int32_t *evens,
                                                             int32_t *y, uint32_t outputs)
{
    if (PAIRS != 0)
        pairs = PAIRS;
    uint32_t i = 0;
    for (; i + 7 < outputs; i += 8) {
        const int32_t *o = odds + i, *hi = odds + i + 2 * pairs - 1;
        /* Four sums, each its own chain of additions (nested ones spill registers). */
        __m256i even = _mm256_set1_epi64x(int64_t{1} << 30), odd = even, even2 = _mm256_setzero_si256(),
                odd2 = even2;
#pragma GCC unroll 2
        for (uint32_t t = 0; t < pairs; t++) {
            const __m256i tap = _mm256_set1_epi32(taps[t]);
            even = _mm256_add_epi64(even, _mm256_mul_epi32(Load8(o + t), tap));
            even2 = _mm256_add_epi64(even2, _mm256_mul_epi32(Load8(hi - t), tap));
            odd = _mm256_add_epi64(odd, _mm256_mul_epi32(Load8(o + t + 1), tap));
            odd2 = _mm256_add_epi64(odd2, _mm256_mul_epi32(Load8(hi - t + 1), tap));
        }
        even = _mm256_add_epi64(even, even2), odd = _mm256_add_epi64(odd, odd2);
        const __m256i centre = _mm256_set1_epi32(taps[pairs]);
        even = Hold62(_mm256_add_epi64(even, _mm256_mul_epi32(Load8(evens + i), centre)));
        odd = Hold62(_mm256_add_epi64(odd, _mm256_mul_epi32(Load8(evens + i + 1), centre)));
        const __m256i v = _mm256_blend_epi32(_mm256_srli_epi64(even, 31), _mm256_slli_epi64(odd, 1), 0xAA);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(y + i), v);
    }
    return i;
}

/* The stages' lengths (15, 19, 31, 39, 111, 119 and 127 taps) with their taps unrolled; 0 for any other. */
static uint32_t HalfBandAvx2(const int32_t *taps, uint32_t pairs, const int32_t *odds, const int32_t *evens,
                             int32_t *y, uint32_t outputs)
{
    switch (pairs) {
    case 4:
        return HalfBandOcts<4>(taps, pairs, odds, evens, y, outputs);
    case 5:
        return HalfBandOcts<5>(taps, pairs, odds, evens, y, outputs);
    case 8:
        return HalfBandOcts<8>(taps, pairs, odds, evens, y, outputs);
    case 10:
        return HalfBandOcts<10>(taps, pairs, odds, evens, y, outputs);
    case 28:
        return HalfBandOcts<28>(taps, pairs, odds, evens, y, outputs);
    case 30:
        return HalfBandOcts<30>(taps, pairs, odds, evens, y, outputs);
    case 32:
        return HalfBandOcts<32>(taps, pairs, odds, evens, y, outputs);
    default:
        return HalfBandOcts<0>(taps, pairs, odds, evens, y, outputs);
    }
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
    nullptr,          /* hqHalfBand: SSE2 has no signed 32 x 32-bit products */
};
static const ConvertKernels avxKernels = {
    "avx",            /* name */
    nullptr,          /* pcmPrepare */
    PcmUnrolledFloat, /* pcmFloat */
    PcmUnrolledInt16, /* pcmInt16 */
    Deinterleave,     /* deinterleave */
    ReverseBits,      /* reverseBits */
    PackDopPlain,     /* packDop */
    HalfBandAvx2,     /* hqHalfBand */
};
static const ConvertKernels avx512Kernels = {
    "avx512",         /* name */
    nullptr,          /* pcmPrepare */
    PcmUnrolledFloat, /* pcmFloat */
    PcmUnrolledInt16, /* pcmInt16 */
    Deinterleave,     /* deinterleave */
    ReverseBits,      /* reverseBits */
    PackDopPlain,     /* packDop */
    HalfBandAvx2,     /* hqHalfBand */
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
            /* The AVX set needs AVX2 (its half-band kernel); AVX-512: opmask and both halves of
               the upper registers saved too. */
            if (!__get_cpuid_count(7, 0, &a, &b, &c, &d) || !(b & bit_AVX2))
                return 2;
            if ((b & bit_AVX512F) && (lo & 0xE6) == 0xE6)
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
