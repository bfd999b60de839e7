/* The kernel table: the plain set, the sets of the processor, chosen once. */
#include "convert/kernels.h"

const ConvertKernels convertKernelsPlain = {
    "plain",           /* name */
    nullptr,           /* pcmPrepare */
    PcmPlainFloat,     /* pcmFloat */
    PcmPlainInt16,     /* pcmInt16 */
    DeinterleavePlain, /* deinterleave */
    ReverseBitsPlain,  /* reverseBits */
    PackDopPlain,      /* packDop */
    nullptr,           /* hqHalfBand */
};

const ConvertKernels convertKernelsScalar = {
    "scalar",          /* name */
    nullptr,           /* pcmPrepare */
    PcmUnrolledFloat,  /* pcmFloat */
    PcmUnrolledInt16,  /* pcmInt16 */
    DeinterleavePlain, /* deinterleave */
    ReverseBitsPlain,  /* reverseBits */
    PackDopPlain,      /* packDop */
    nullptr,           /* hqHalfBand */
};

#if !defined(__x86_64__) && !defined(__i386__) && !defined(__arm__) && !defined(__aarch64__)
/* Other processors: the scalar kernels. */
const ConvertKernels *const platformKernelSets[] = {&convertKernelsPlain, &convertKernelsScalar};
uint32_t PlatformKernelsUsable(void)
{
    return 2;
}
#endif

uint32_t convertKernelsUsable;

uint32_t ConvertKernelsFind(void)
{
    const uint32_t n = PlatformKernelsUsable();
    __atomic_store_n(&convertKernelsUsable, n, __ATOMIC_RELAXED);
    return n;
}
