/*
 * pcm_kernel.h - the PCM conversion kernels.
 *
 * Sample c of frame f is the sum of tables[g][in[c * channelStep + (f * ratio + g) * byteStep]]
 * for g = 0 to 24, added in that order in single precision starting from 0, and
 * is stored as float or as a clamped 16-bit integer at out[f * channels + c].
 * Interleaved bytes (frame after frame) have channelStep 1 and byteStep
 * channels; planar ones (each channel's bytes in a plane of their own) have
 * channelStep the plane size and byteStep 1.
 * The plain kernel computes one sample after the other; the fast one keeps
 * several samples in flight so that their dependent additions overlap. Both
 * add the same values in the same order and give the same bits.
 */
#ifndef VELMDSD_PCM_KERNEL_H
#define VELMDSD_PCM_KERNEL_H

#include <stddef.h>
#include <stdint.h>

#include "create/dsd_stream.h"

/* Where a channel's bytes are: the distance from one channel's to the next one's, and from one
   byte of a channel to its next. */
struct PcmLayout {
    size_t channelStep;
    size_t byteStep;
};

typedef void PcmKernel(const float (*tables)[256], const uint8_t *in, PcmLayout layout, uint32_t channels,
                       uint32_t ratio, uint32_t frames, void *out);

struct PcmKernels {
    PcmKernel *toFloat;
    PcmKernel *toInt16;
};

extern const PcmKernels pcmKernelsPlain; /* the reference */
extern const PcmKernels pcmKernelsFast;  /* what the read procedure uses */

#endif /* VELMDSD_PCM_KERNEL_H */
