/*
 * kernels.h - the one table through which the converters reach their fast kernels.
 *
 * A kernel set is a static const record of function pointers: the plain C++
 * reference set, always built, and one or more sets per instruction set in
 * convert/x86/ and convert/arm/. The sets this processor runs are found once
 * (x86: cpuid and xgetbv; ARMv7: NEON when the build enables it; AArch64:
 * Advanced SIMD always), listed from the plain set to the preferred one.
 * Every set gives the plain set's bits; the kernel tests run each against it.
 *
 * Adding a kernel: write it in the file of its instruction set, fill its slot
 * in that file's set (or a new set appended to its list, with the check the
 * processor needs in that file's chooser), and the tests cover it.
 */
#ifndef VELMDSD_KERNELS_H
#define VELMDSD_KERNELS_H

#include <stdint.h>

#include "convert/dsd_bytes.h"
#include "convert/pcm_kernel.h"

/*
 * Half-band outputs of the high-quality converter (as HqHalfBandRun describes them), as many
 * as the kernel takes from the first on; returns how many it made. The plain loop makes the
 * rest.
 */
typedef uint32_t HqHalfBandKernel(const int32_t *taps, uint32_t pairs, const int32_t *odds,
                                  const int32_t *evens, int32_t *y, uint32_t outputs);
HqHalfBandKernel HqArmHalfBand; /* convert/arm/hq_arm.cpp */

struct ConvertKernels {
    const char *name;                 /* for test messages */
    PcmPrepare *pcmPrepare;           /* designed filter: rows of the vector kernels; null: none */
    PcmKernel *pcmFloat;              /* designed filter, float output */
    PcmKernel *pcmInt16;              /* designed filter, 16-bit output */
    DeinterleaveKernel *deinterleave; /* DSF block groups to frames */
    ReverseBitsKernel *reverseBits;   /* raw output of LSB-first bytes */
    PackDopKernel *packDop;           /* DoP units */
    HqHalfBandKernel *hqHalfBand;     /* high quality: vector half-bands; null: the plain loop */
};

extern const ConvertKernels convertKernelsPlain;  /* the reference */
extern const ConvertKernels convertKernelsScalar; /* the unrolled scalar kernels, in every list */

/* Each instruction set's file: its sets, plain first, and how many of them this processor runs
   (asked of the processor on every call). Exactly one file defines them for a build. */
extern const ConvertKernels *const platformKernelSets[];
uint32_t PlatformKernelsUsable(void);

/* How many sets this processor runs; 0 until first asked. */
extern uint32_t convertKernelsUsable;
uint32_t ConvertKernelsFind(void);

/* The sets this processor runs, the plain one first (index 0), the preferred one last. Found
   on first use; every thread that races to it finds the same answer. */
static inline uint32_t ConvertKernelCount(void)
{
    const uint32_t n = __atomic_load_n(&convertKernelsUsable, __ATOMIC_RELAXED);
    return n != 0 ? n : ConvertKernelsFind();
}
/* Set i, or the preferred one when i is beyond the last. */
static inline const ConvertKernels *ConvertKernelAt(uint32_t i)
{
    const uint32_t n = ConvertKernelCount();
    return platformKernelSets[i < n ? i : n - 1];
}
/* What the converters use. */
static inline const ConvertKernels *ConvertKernelsBest(void)
{
    return platformKernelSets[ConvertKernelCount() - 1];
}

#endif /* VELMDSD_KERNELS_H */
