#include "convert/dsd_bytes.h"

#include <string.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "convert/filter.h"

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
