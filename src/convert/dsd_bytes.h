/*
 * dsd_bytes.h - byte work of the read procedure that does not filter:
 * interleaving DSF block groups, bit reversal for raw output, DoP packing.
 */
#ifndef VELMDSD_DSD_BYTES_H
#define VELMDSD_DSD_BYTES_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "convert/filter.h"

/* A DSF block group holds blockSize bytes of each channel in turn; dest receives it frame by
   frame, channel 0 first. */
void Deinterleave(uint8_t *dest, const uint8_t *staging, uint32_t blockSize, uint32_t channels);
typedef void DeinterleaveKernel(uint8_t *dest, const uint8_t *staging, uint32_t blockSize, uint32_t channels);

/* out[i] is in[i] with its bit order reversed (the regions do not overlap). */
void ReverseBits(uint8_t *out, const uint8_t *in, size_t n);
typedef void ReverseBitsKernel(uint8_t *out, const uint8_t *in, size_t n);

/*
 * DoP units of `frames` frames: unit c of frame f carries in[2fC + c] (older) and
 * in[2fC + C + c] (newer), bit-reversed first when lsbFirst, under the frame's marker, as
 * float(marker | older << 8 | newer) / 2^23. The marker alternates from frame to frame;
 * returns the marker of the frame after the last.
 */
uint32_t PackDop(float *out, const uint8_t *in, uint32_t channels, uint32_t frames, uint32_t marker,
                 bool lsbFirst);
typedef uint32_t PackDopKernel(float *out, const uint8_t *in, uint32_t channels, uint32_t frames,
                               uint32_t marker, bool lsbFirst);

/* The plain kernels, the reference of the others in the kernel sets (convert/kernels.h). The
   functions above are bound at build time to the kernels of the build's instruction set (every
   set a build can choose has the same ones): those of SSE2, of NEON, or these. */
DeinterleaveKernel DeinterleavePlain;
ReverseBitsKernel ReverseBitsPlain;
PackDopKernel PackDopPlain;

/* Frames `first` on of Deinterleave, and bytes `first` on of ReverseBits: the plain kernels,
   and the vector kernels' last frames and bytes. */
static inline void DeinterleaveFrom(uint8_t *dest, const uint8_t *staging, uint32_t blockSize,
                                    uint32_t channels, uint32_t first)
{
    /* Frame by frame, so that the writes run straight through dest. */
    dest += static_cast<size_t>(first) * channels;
    staging += first;
    for (uint32_t i = first; i < blockSize; i++, staging++)
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

static inline void ReverseBitsFrom(uint8_t *out, const uint8_t *in, size_t n, size_t first)
{
    size_t i = first;
    for (; i + 8 <= n; i += 8) {
        uint64_t x;
        memcpy(&x, in + i, 8);
        x = ReverseBytesBits(x);
        memcpy(out + i, &x, 8);
    }
    for (; i < n; i++)
        out[i] = bitReverse[in[i]];
}

#endif /* VELMDSD_DSD_BYTES_H */
