/*
 * dsd_bytes.h - byte work of the read procedure that does not filter:
 * interleaving DSF block groups, bit reversal for raw output, DoP packing.
 */
#ifndef VELMDSD_DSD_BYTES_H
#define VELMDSD_DSD_BYTES_H

#include <stddef.h>
#include <stdint.h>

/* A DSF block group holds blockSize bytes of each channel in turn; dest receives it frame by
   frame, channel 0 first. */
void Deinterleave(uint8_t *dest, const uint8_t *staging, uint32_t blockSize, uint32_t channels);

/* out[i] is in[i] with its bit order reversed (the regions do not overlap). */
void ReverseBits(uint8_t *out, const uint8_t *in, size_t n);

/*
 * DoP units of `frames` frames: unit c of frame f carries in[2fC + c] (older) and
 * in[2fC + C + c] (newer), bit-reversed first when lsbFirst, under the frame's marker, as
 * float(marker | older << 8 | newer) / 2^23. The marker alternates from frame to frame;
 * returns the marker of the frame after the last.
 */
uint32_t PackDop(float *out, const uint8_t *in, uint32_t channels, uint32_t frames, uint32_t marker,
                 bool lsbFirst);

#endif /* VELMDSD_DSD_BYTES_H */
