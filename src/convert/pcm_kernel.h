/*
 * pcm_kernel.h - the PCM conversion kernels.
 *
 * Sample c of frame f is the sum of tables[g][in[(f * ratio + g) * channels + c]]
 * for g = 0 to 24, added in that order in single precision starting from 0, and
 * is stored as float or as a clamped 16-bit integer at out[f * channels + c].
 * The plain kernel computes one sample after the other; the fast one keeps
 * several samples in flight so that their dependent additions overlap. Both
 * add the same values in the same order and give the same bits.
 */
#ifndef VELMDSD_PCM_KERNEL_H
#define VELMDSD_PCM_KERNEL_H

#include <stdint.h>

#include "create/dsd_stream.h"

typedef void PcmKernel(const float (*tables)[256], const uint8_t *in, uint32_t channels, uint32_t ratio,
                       uint32_t frames, void *out);

struct PcmKernels {
    PcmKernel *toFloat;
    PcmKernel *toInt16;
};

extern const PcmKernels pcmKernelsPlain; /* the reference */
extern const PcmKernels pcmKernelsFast;  /* what the read procedure uses */

#endif /* VELMDSD_PCM_KERNEL_H */
