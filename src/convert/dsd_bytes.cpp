#include "convert/dsd_bytes.h"

#include <string.h>

#include "convert/filter.h"

#if !defined(__SSE2__) && !defined(__ARM_NEON)
/* A build without SSE2 or NEON: the plain kernels. (With them, the file of the instruction set
   defines these as its own kernels, which every set of the build shares.) */
void Deinterleave(uint8_t *dest, const uint8_t *staging, uint32_t blockSize, uint32_t channels)
{
    DeinterleavePlain(dest, staging, blockSize, channels);
}

void ReverseBits(uint8_t *out, const uint8_t *in, size_t n)
{
    ReverseBitsPlain(out, in, n);
}
#endif

void DeinterleavePlain(uint8_t *dest, const uint8_t *staging, uint32_t blockSize, uint32_t channels)
{
    if (channels == 1)
        memcpy(dest, staging, blockSize);
    else
        DeinterleaveFrom(dest, staging, blockSize, channels, 0);
}

void ReverseBitsPlain(uint8_t *out, const uint8_t *in, size_t n)
{
    ReverseBitsFrom(out, in, n, 0);
}

static inline uint32_t PackDopUnits(float *out, const uint8_t *in, uint32_t channels, uint32_t frames,
                                    uint32_t marker, bool lsbFirst)
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

uint32_t PackDopPlain(float *out, const uint8_t *in, uint32_t channels, uint32_t frames, uint32_t marker,
                      bool lsbFirst)
{
    return PackDopUnits(out, in, channels, frames, marker, lsbFirst);
}

#if !defined(__ARM_NEON)
/* No vector DoP kernel but NEON's: the plain one, compiled in here. */
uint32_t PackDop(float *out, const uint8_t *in, uint32_t channels, uint32_t frames, uint32_t marker,
                 bool lsbFirst)
{
    return PackDopUnits(out, in, channels, frames, marker, lsbFirst);
}
#endif
