/*
 * The high-quality converter's ARM kernels.
 *
 * AArch64 (Advanced SIMD has double lanes): the half-bands four outputs at a time, two
 * neighbouring outputs in each vector, each lane adding in the plain loop's order (a multiply,
 * then an add: vmulq_f64 and vaddq_f64, never a fused multiply-add), so that the lanes give the
 * plain loop's bits. ARMv7 NEON has no double lanes: its kernel makes no output and the plain
 * loop makes them all.
 */
#include "convert/kernels.h"

#if defined(__aarch64__)

#include <arm_neon.h>

/* Outputs i to i + 3 from odds[i..) and evens[i..), with PAIRS pairs (0: `pairs` at run time). */
template <uint32_t PAIRS> static inline void Quad(const double *taps, uint32_t pairs, const double *odds,
                                                  const double *evens, double *y)
{
    if (PAIRS != 0)
        pairs = PAIRS;
    float64x2_t a0 = vdupq_n_f64(0.0), a1 = a0, b0 = a0, b1 = a0;
    const double *hi = odds + 2 * pairs - 1;
    uint32_t t = 0;
#pragma GCC unroll 20
    for (; t + 1 < pairs; t += 2) {
        const float64x2_t even = vdupq_n_f64(taps[t]), odd = vdupq_n_f64(taps[t + 1]);
        a0 = vaddq_f64(a0, vmulq_f64(even, vaddq_f64(vld1q_f64(odds + t), vld1q_f64(hi - t))));
        b0 = vaddq_f64(b0, vmulq_f64(even, vaddq_f64(vld1q_f64(odds + t + 2), vld1q_f64(hi - t + 2))));
        a1 = vaddq_f64(a1, vmulq_f64(odd, vaddq_f64(vld1q_f64(odds + t + 1), vld1q_f64(hi - t - 1))));
        b1 = vaddq_f64(b1, vmulq_f64(odd, vaddq_f64(vld1q_f64(odds + t + 3), vld1q_f64(hi - t + 1))));
    }
    if (t < pairs) {
        const float64x2_t even = vdupq_n_f64(taps[t]);
        a0 = vaddq_f64(a0, vmulq_f64(even, vaddq_f64(vld1q_f64(odds + t), vld1q_f64(hi - t))));
        b0 = vaddq_f64(b0, vmulq_f64(even, vaddq_f64(vld1q_f64(odds + t + 2), vld1q_f64(hi - t + 2))));
    }
    const float64x2_t centre = vdupq_n_f64(taps[pairs]);
    vst1q_f64(y, vaddq_f64(vaddq_f64(a0, a1), vmulq_f64(centre, vld1q_f64(evens))));
    vst1q_f64(y + 2, vaddq_f64(vaddq_f64(b0, b1), vmulq_f64(centre, vld1q_f64(evens + 2))));
}

template <uint32_t PAIRS> static uint32_t Quads(const double *taps, uint32_t pairs, const double *odds,
                                                const double *evens, double *y, uint32_t outputs)
{
    uint32_t i = 0;
    for (; i + 3 < outputs; i += 4)
        Quad<PAIRS>(taps, pairs, odds + i, evens + i, y + i);
    return i;
}

uint32_t HqArmHalfBand(const double *taps, uint32_t pairs, const double *odds, const double *evens, double *y,
                       uint32_t outputs)
{
    /* The stages' lengths (15, 19, 31, 111 and 143 taps) with their taps unrolled. */
    switch (pairs) {
    case 4:
        return Quads<4>(taps, pairs, odds, evens, y, outputs);
    case 5:
        return Quads<5>(taps, pairs, odds, evens, y, outputs);
    case 8:
        return Quads<8>(taps, pairs, odds, evens, y, outputs);
    case 28:
        return Quads<28>(taps, pairs, odds, evens, y, outputs);
    case 36:
        return Quads<36>(taps, pairs, odds, evens, y, outputs);
    default:
        return Quads<0>(taps, pairs, odds, evens, y, outputs);
    }
}

#elif defined(__arm__)

uint32_t HqArmHalfBand(const double *, uint32_t, const double *, const double *, double *, uint32_t)
{
    return 0;
}

#endif
