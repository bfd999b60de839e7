#include "convert/dsd_bytes.h"

#include <string.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "convert/filter.h"

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define HAVE_AVX2_DEINTERLEAVE 1

/* Six channels, 32 frames at a time, 16 in each 128-bit lane: the channels' bytes are first
   paired (channels 0 and 1, 2 and 3, 4 and 5: one 16-bit unit per frame for each pair, A, B and
   C), then three shuffles place the units of eight frames, A0 B0 C0 A1 B1 C1 ..., in three
   vectors. kSix[k][s] takes pair s's units into output vector k; 0x80 leaves a zero. */
struct SixMasks {
    int8_t m[3][3][32];
};
static constexpr SixMasks MakeSixMasks()
{
    SixMasks r{};
    for (int k = 0; k < 3; k++)
        for (int s = 0; s < 3; s++)
            for (int b = 0; b < 32; b++) {
                const int unit = 8 * k + (b % 16) / 2, frame = unit / 3;
                r.m[k][s][b] =
                    unit % 3 == s ? static_cast<int8_t>(2 * frame + b % 2) : static_cast<int8_t>(-128);
            }
    return r;
}
static constexpr SixMasks kSix = MakeSixMasks();

__attribute__((target("avx2"))) static uint32_t DeinterleaveSix(uint8_t *dest, const uint8_t *staging,
                                                                uint32_t blockSize)
{
    __m256i mask[3][3];
    for (int k = 0; k < 3; k++)
        for (int s = 0; s < 3; s++)
            mask[k][s] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(kSix.m[k][s]));
    uint32_t i = 0;
    for (; i + 32 <= blockSize; i += 32) {
        __m256i lo[3], hi[3];
        for (int s = 0; s < 3; s++) {
            const __m256i a =
                _mm256_loadu_si256(reinterpret_cast<const __m256i *>(staging + 2 * s * blockSize + i));
            const __m256i b =
                _mm256_loadu_si256(reinterpret_cast<const __m256i *>(staging + (2 * s + 1) * blockSize + i));
            lo[s] = _mm256_unpacklo_epi8(a, b); /* frames 0-7 of each lane */
            hi[s] = _mm256_unpackhi_epi8(a, b); /* frames 8-15 */
        }
        __m256i out[6]; /* frames 0-7 in out[0..2], 8-15 in out[3..5], of each lane */
        for (int k = 0; k < 3; k++) {
            out[k] = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(lo[0], mask[k][0]),
                                                     _mm256_shuffle_epi8(lo[1], mask[k][1])),
                                     _mm256_shuffle_epi8(lo[2], mask[k][2]));
            out[3 + k] = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(hi[0], mask[k][0]),
                                                         _mm256_shuffle_epi8(hi[1], mask[k][1])),
                                         _mm256_shuffle_epi8(hi[2], mask[k][2]));
        }
        __m256i *d = reinterpret_cast<__m256i *>(dest + static_cast<size_t>(i) * 6);
        for (int k = 0; k < 3; k++) {
            _mm256_storeu_si256(d + k, _mm256_permute2x128_si256(out[2 * k], out[2 * k + 1], 0x20));
            _mm256_storeu_si256(d + 3 + k, _mm256_permute2x128_si256(out[2 * k], out[2 * k + 1], 0x31));
        }
    }
    return i;
}

static bool HaveAvx2()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}
#endif

void Deinterleave(uint8_t *dest, const uint8_t *staging, uint32_t blockSize, uint32_t channels)
{
    if (channels == 1) {
        memcpy(dest, staging, blockSize);
        return;
    }
    if (channels == 2) {
        const uint8_t *left = staging;
        const uint8_t *right = staging + blockSize;
        uint32_t i = 0;
#if defined(__SSE2__)
        for (; i + 16 <= blockSize; i += 16) {
            __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i *>(left + i));
            __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i *>(right + i));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(dest + 2 * i), _mm_unpacklo_epi8(l, r));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(dest + 2 * i + 16), _mm_unpackhi_epi8(l, r));
        }
#endif
        for (; i < blockSize; i++) {
            dest[2 * i] = left[i];
            dest[2 * i + 1] = right[i];
        }
        return;
    }
    uint32_t i = 0;
#if HAVE_AVX2_DEINTERLEAVE
    if (channels == 6 && HaveAvx2())
        i = DeinterleaveSix(dest, staging, blockSize);
#endif
#if defined(__SSE2__)
    /* Three to eight channels: eight bytes of every channel, transposed into eight frames of
       eight bytes, each frame stored whole at its place; the bytes a store writes beyond its
       frame belong to the next frame, which is stored after it. */
    if (channels <= 8) {
        /* Rows past the last channel repeat it: their bytes land where the next frame goes. */
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
#endif
    /* Frame by frame, so that the writes run straight through dest. */
    dest += static_cast<size_t>(i) * channels;
    staging += i;
    for (; i < blockSize; i++, staging++)
        for (uint32_t ch = 0; ch < channels; ch++)
            *dest++ = staging[static_cast<size_t>(ch) * blockSize];
}

/* Reverses the bits of every byte of a word: swap neighbouring bits, then bit pairs, then nibbles. */
static inline uint64_t ReverseBytesBits(uint64_t x)
{
    x = ((x >> 1) & 0x5555555555555555ull) | ((x & 0x5555555555555555ull) << 1);
    x = ((x >> 2) & 0x3333333333333333ull) | ((x & 0x3333333333333333ull) << 2);
    return ((x >> 4) & 0x0F0F0F0F0F0F0F0Full) | ((x & 0x0F0F0F0F0F0F0F0Full) << 4);
}

void ReverseBits(uint8_t *out, const uint8_t *in, size_t n)
{
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i m1 = _mm_set1_epi8(0x55), m2 = _mm_set1_epi8(0x33), m4 = _mm_set1_epi8(0x0F);
    for (; i + 16 <= n; i += 16) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i));
        /* 16-bit shifts: the masks drop the bits that cross into the neighbouring byte. */
        x = _mm_or_si128(_mm_and_si128(_mm_srli_epi16(x, 1), m1), _mm_slli_epi16(_mm_and_si128(x, m1), 1));
        x = _mm_or_si128(_mm_and_si128(_mm_srli_epi16(x, 2), m2), _mm_slli_epi16(_mm_and_si128(x, m2), 2));
        x = _mm_or_si128(_mm_and_si128(_mm_srli_epi16(x, 4), m4), _mm_slli_epi16(_mm_and_si128(x, m4), 4));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), x);
    }
#endif
    for (; i + 8 <= n; i += 8) {
        uint64_t x;
        memcpy(&x, in + i, 8);
        x = ReverseBytesBits(x);
        memcpy(out + i, &x, 8);
    }
    for (; i < n; i++)
        out[i] = bitReverse[in[i]];
}

uint32_t PackDop(float *out, const uint8_t *in, uint32_t channels, uint32_t frames, uint32_t marker,
                 bool lsbFirst)
{
    for (uint32_t f = 0; f < frames; f++, in += 2 * channels, out += channels) {
        const uint8_t *newer = in + channels;
        if (lsbFirst) {
            for (uint32_t c = 0; c < channels; c++) {
                uint32_t word = marker | static_cast<uint32_t>(bitReverse[in[c]]) << 8 | bitReverse[newer[c]];
                out[c] = static_cast<float>(static_cast<int32_t>(word)) * 0x1p-23f;
            }
        } else {
            for (uint32_t c = 0; c < channels; c++) {
                uint32_t word = marker | static_cast<uint32_t>(in[c]) << 8 | newer[c];
                out[c] = static_cast<float>(static_cast<int32_t>(word)) * 0x1p-23f;
            }
        }
        marker ^= 0xFFFF0000u;
    }
    return marker;
}
