/*
 * The high-quality converter's ARM kernels (ARMv7 NEON and AArch64 Advanced SIMD alike).
 *
 * The half-bands four outputs at a time: each input times its Q31 tap accumulated into 64-bit
 * lanes (vmlal), then rounded, held within 32 bits and narrowed by vqrshrn. Integer sums are
 * exact, so the lanes give the plain loop's values whatever the order.
 */
#include "convert/kernels.h"

#if defined(__ARM_NEON)

#include <arm_neon.h>

/* Outputs i to i + 3 from odds[i..) and evens[i..), with PAIRS pairs (0: `pairs` at run time). */
template <uint32_t PAIRS> static inline void Quad(const int32_t *taps, uint32_t pairs, const int32_t *odds,
                                                  const int32_t *evens, int32_t *y)
{
    if (PAIRS != 0)
        pairs = PAIRS;
    const int32_t *hi = odds + 2 * pairs - 1;
    int64x2_t a0 = vdupq_n_s64(0), b0 = a0, a1 = a0, b1 = a0;
    uint32_t t = 0;
#pragma GCC unroll 20
    for (; t + 1 < pairs; t += 2) {
        const int32x2_t tap = vld1_s32(taps + t);
        const int32x4_t l0 = vld1q_s32(odds + t), h0 = vld1q_s32(hi - t);
        const int32x4_t l1 = vld1q_s32(odds + t + 1), h1 = vld1q_s32(hi - t - 1);
        a0 = vmlal_lane_s32(a0, vget_low_s32(l0), tap, 0);
        b0 = vmlal_lane_s32(b0, vget_high_s32(l0), tap, 0);
        a1 = vmlal_lane_s32(a1, vget_low_s32(h0), tap, 0);
        b1 = vmlal_lane_s32(b1, vget_high_s32(h0), tap, 0);
        a0 = vmlal_lane_s32(a0, vget_low_s32(l1), tap, 1);
        b0 = vmlal_lane_s32(b0, vget_high_s32(l1), tap, 1);
        a1 = vmlal_lane_s32(a1, vget_low_s32(h1), tap, 1);
        b1 = vmlal_lane_s32(b1, vget_high_s32(h1), tap, 1);
    }
    if (t < pairs) {
        const int32x2_t tap = vdup_n_s32(taps[t]);
        const int32x4_t l = vld1q_s32(odds + t), h = vld1q_s32(hi - t);
        a0 = vmlal_s32(a0, vget_low_s32(l), tap);
        b0 = vmlal_s32(b0, vget_high_s32(l), tap);
        a1 = vmlal_s32(a1, vget_low_s32(h), tap);
        b1 = vmlal_s32(b1, vget_high_s32(h), tap);
    }
    const int32x2_t centre = vdup_n_s32(taps[pairs]);
    const int32x4_t e = vld1q_s32(evens);
    a0 = vmlal_s32(vaddq_s64(a0, a1), vget_low_s32(e), centre);
    b0 = vmlal_s32(vaddq_s64(b0, b1), vget_high_s32(e), centre);
    vst1q_s32(y, vcombine_s32(vqrshrn_n_s64(a0, 31), vqrshrn_n_s64(b0, 31)));
}

template <uint32_t PAIRS> static uint32_t Quads(const int32_t *taps, uint32_t pairs, const int32_t *odds,
                                                const int32_t *evens, int32_t *y, uint32_t outputs)
{
    uint32_t i = 0;
    for (; i + 3 < outputs; i += 4)
        Quad<PAIRS>(taps, pairs, odds + i, evens + i, y + i);
    return i;
}

uint32_t HqArmHalfBand(const int32_t *taps, uint32_t pairs, const int32_t *odds, const int32_t *evens,
                       int32_t *y, uint32_t outputs)
{
    /* The stages' lengths (15, 19, 31, 39, 111, 119 and 127 taps) with their taps unrolled. */
    switch (pairs) {
    case 4:
        return Quads<4>(taps, pairs, odds, evens, y, outputs);
    case 5:
        return Quads<5>(taps, pairs, odds, evens, y, outputs);
    case 8:
        return Quads<8>(taps, pairs, odds, evens, y, outputs);
    case 10:
        return Quads<10>(taps, pairs, odds, evens, y, outputs);
    case 28:
        return Quads<28>(taps, pairs, odds, evens, y, outputs);
    case 30:
        return Quads<30>(taps, pairs, odds, evens, y, outputs);
    case 32:
        return Quads<32>(taps, pairs, odds, evens, y, outputs);
    default:
        return Quads<0>(taps, pairs, odds, evens, y, outputs);
    }
}

#elif defined(__arm__) || defined(__aarch64__)

/* Without NEON the plain loop makes every output. */
uint32_t HqArmHalfBand(const int32_t *, uint32_t, const int32_t *, const int32_t *, int32_t *, uint32_t)
{
    return 0;
}

#endif
