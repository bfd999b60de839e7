/*
 * pcm_kernel.h - the PCM conversion kernels.
 *
 * Sample c of frame f is the sum of tables[g][in[c * channelStep + (f * ratio + g) * byteStep]]
 * for g = 0 to 24, added in that order in single precision starting from 0, and
 * is stored as float or as a clamped 16-bit integer at out[f * channels + c].
 * Interleaved bytes (frame after frame) have channelStep 1 and byteStep
 * channels; planar ones (each channel's bytes in a plane of their own) have
 * channelStep the plane size and byteStep 1.
 * The plain kernel computes one sample after the other; the unrolled one keeps
 * several samples in flight so that their dependent additions overlap; vector
 * kernels (convert/arm/) hold neighbouring samples in the lanes of a vector.
 * All add the same values in the same order and give the same bits. Which
 * one a stream uses is chosen once, in convert/kernels.h.
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

/* `lanes`: what the kernel's own preparation derived from `tables` (kernels without one ignore it). */
typedef void PcmKernel(const float (*tables)[256], const PcmLaneTables *lanes, const uint8_t *in,
                       PcmLayout layout, uint32_t channels, uint32_t ratio, uint32_t frames, void *out);

/* Derives a kernel's rows from the tables for one ratio, once per table build. */
typedef void PcmPrepare(const float (*tables)[256], uint32_t ratio, PcmLaneTables *lanes);

/* The reference, and the unrolled scalar kernel. */
PcmKernel PcmPlainFloat, PcmPlainInt16, PcmUnrolledFloat, PcmUnrolledInt16;

#endif /* VELMDSD_PCM_KERNEL_H */
