/* The kernel table: the plain set, the sets of the processor, chosen once. */
#include "convert/kernels.h"

const ConvertKernels convertKernelsPlain = {
    "plain",       /* name */
    nullptr,       /* pcmPrepare */
    PcmPlainFloat, /* pcmFloat */
    PcmPlainInt16, /* pcmInt16 */
    nullptr,       /* hqHalfBand */
};

#if !defined(__x86_64__) && !defined(__i386__) && !defined(__arm__) && !defined(__aarch64__)
/* Other processors: the unrolled scalar kernels. */
static const ConvertKernels scalarKernels = {
    "scalar",         /* name */
    nullptr,          /* pcmPrepare */
    PcmUnrolledFloat, /* pcmFloat */
    PcmUnrolledInt16, /* pcmInt16 */
    nullptr,          /* hqHalfBand */
};
static const ConvertKernels *const otherSets[] = {&convertKernelsPlain, &scalarKernels};

const ConvertKernels *const *PlatformKernelList(void)
{
    return otherSets;
}
uint32_t PlatformKernelsUsable(void)
{
    return 2;
}
#endif

/* Found on first use; every thread that races to it finds the same answer. */
static uint32_t usableSets;

static const ConvertKernels *const *Sets(uint32_t *count)
{
    uint32_t n = __atomic_load_n(&usableSets, __ATOMIC_RELAXED);
    if (n == 0) {
        n = PlatformKernelsUsable();
        __atomic_store_n(&usableSets, n, __ATOMIC_RELAXED);
    }
    *count = n;
    return PlatformKernelList();
}

uint32_t ConvertKernelCount(void)
{
    uint32_t n;
    Sets(&n);
    return n;
}

const ConvertKernels *ConvertKernelAt(uint32_t i)
{
    uint32_t n;
    const ConvertKernels *const *sets = Sets(&n);
    return sets[i < n ? i : n - 1];
}

const ConvertKernels *ConvertKernelsBest(void)
{
    return ConvertKernelAt(UINT32_MAX);
}
