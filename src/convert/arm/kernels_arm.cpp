/*
 * The ARM kernel sets: the unrolled scalar kernels, and where the build has NEON (ARMv7 with
 * VELMDSD_ARM_FPU=neon; AArch64 always) the designed filter's vector kernels.
 *
 * A vector holds four neighbouring output samples of one channel, never parts of one sum. At a
 * window step of S bytes (the ratio), byte j of a block's bytes enters sample k's sum as entry
 * g = j - k x S. The preparation rearranges the tables so that the entries one byte value adds
 * to four neighbouring sums lie side by side, with zeros where g falls outside 0 to 24: each byte
 * is loaded once and added to every sum that holds it with one vector load and one addition
 * (vaddq_f32, never a fused multiply-add). Each lane adds its own entries in ascending g, as the
 * plain kernel does; a sum starts at +0 and so is never -0, which makes adding +0 exact: the
 * lanes give the plain kernel's bits.
 *
 * Denormals: ARMv7 NEON flushes them to zero, so the vector kernels must never meet one. Every
 * table entry is a float, so a multiple of its own unit in the last place, and so of the unit u
 * of the smallest nonzero entry; every partial sum of entries is then a multiple of u too, zero
 * or at least u in magnitude. The preparation checks that u is at least FLT_MIN (the smallest
 * nonzero entry at least 2^-103) and that 25 entries cannot overflow; where they fail (gains
 * far below any the attribute accepts) the stream stays on the scalar kernels. The kernel test
 * shows that every gain from -100 to +60 dB passes.
 */
#include "convert/kernels.h"

#if defined(__arm__) || defined(__aarch64__)

#include <float.h>
#include <math.h>
#include <stddef.h>

#include <utility>

#include "convert/stream_read.h"

static const ConvertKernels scalarKernels = {
    "scalar",         /* name */
    nullptr,          /* pcmPrepare */
    PcmUnrolledFloat, /* pcmFloat */
    PcmUnrolledInt16, /* pcmInt16 */
    nullptr,          /* hqHalfBand */
};

#if defined(__ARM_NEON)
#include <arm_neon.h>

/* Rows for steps 1, 2 and 4: per residue j mod S and byte value, Row floats, entry n the one
   of g = r + S x (Q - n); sample k of a block takes byte j's entry from row[Q - j / S + k].
   Step 8: rows of four, entry n the one of g = r + 8 x (3 - n), shifted into place per byte. */
template <int S> struct Rows {
    static constexpr int Q = 3 + 24 / S;
    static constexpr int Row = S == 8 ? 4 : (Q + 4 + 3) / 4 * 4;
    static_assert(S * 256 * Row <= PCM_LANE_FLOATS, "the rows fit the stream's lane tables");
};

template <int S> static void FillRows(const float (*tables)[256], float *rows)
{
    constexpr int Q = S == 8 ? 3 : Rows<S>::Q, Row = Rows<S>::Row;
    for (int r = 0; r < S; r++)
        for (int b = 0; b < 256; b++)
            for (int n = 0; n < Row; n++) {
                const int m = Q - n, g = r + S * m;
                rows[(r * 256 + b) * Row + n] = m >= 0 && g < FILTER_GROUPS ? tables[g][b] : 0.0f;
            }
}

/* The smallest nonzero entry at least 2^-103 (every partial sum a multiple of a unit of at least
   FLT_MIN) and none so large that 25 of them could overflow. */
static bool NoDenormalSums(const float (*tables)[256])
{
    for (int g = 0; g < FILTER_GROUPS; g++)
        for (int b = 0; b < 256; b++) {
            const float v = fabsf(tables[g][b]);
            if (!(v <= FLT_MAX / 32) || (v != 0.0f && v < 0x1p-103f))
                return false;
        }
    return true;
}

static void NeonPrepare(const float (*tables)[256], uint32_t ratio, PcmLaneTables *lanes)
{
    lanes->ratio = 0;
    if (!NoDenormalSums(tables))
        return;
    switch (ratio) {
    case 1:
        FillRows<1>(tables, lanes->rows);
        break;
    case 2:
        FillRows<2>(tables, lanes->rows);
        break;
    case 4:
        FillRows<4>(tables, lanes->rows);
        break;
    case 8:
        FillRows<8>(tables, lanes->rows);
        break;
    default:
        return;
    }
    lanes->ratio = ratio;
}

/* Row entries n.. of a step-8 row placed for a byte q x 8 + r bytes into the block's sums:
   sample k takes entry 3 - q + k, zero where that falls outside the row. */
static inline float32x4_t Place(float32x4_t row, int q)
{
    const float32x4_t z = vdupq_n_f32(0.0f);
    switch (q) {
    case 0:
        return vextq_f32(row, z, 3);
    case 1:
        return vextq_f32(row, z, 2);
    case 2:
        return vextq_f32(row, z, 1);
    case 3:
        return row;
    case 4:
        return vextq_f32(z, row, 3);
    case 5:
        return vextq_f32(z, row, 2);
    default:
        return vextq_f32(z, row, 1);
    }
}

static inline void Store4(float *out, size_t stride, float32x4_t v)
{
    vst1q_lane_f32(out, v, 0);
    vst1q_lane_f32(out + stride, v, 1);
    vst1q_lane_f32(out + 2 * stride, v, 2);
    vst1q_lane_f32(out + 3 * stride, v, 3);
}

/* PcmToInt16 four at a time: the conversion truncates toward zero and saturates, NaN gives 0,
   the narrowing saturates to 16 bits. */
static inline void Store4(int16_t *out, size_t stride, float32x4_t v)
{
    const int16x4_t s = vqmovn_s32(vcvtq_s32_f32(v));
    vst1_lane_s16(out, s, 0);
    vst1_lane_s16(out + stride, s, 1);
    vst1_lane_s16(out + 2 * stride, s, 2);
    vst1_lane_s16(out + 3 * stride, s, 3);
}

static inline void Store1(float *out, float v)
{
    *out = v;
}
static inline void Store1(int16_t *out, float v)
{
    *out = PcmToInt16(v);
}

/*
 * 8 consecutive samples of one channel at a window step of S bytes, two vectors of four.
 * `in`: the first window's first byte; BS: the bytes from one byte of the channel to its next
 * (0: byteStep).
 */
template <int S, int BS, typename Out>
static inline void Block(const float *rows, const uint8_t *in, size_t byteStep, size_t outStride, Out *out)
{
    constexpr int Q = Rows<S>::Q, Row = Rows<S>::Row, Span = 3 * S + FILTER_GROUPS;
    const size_t bs = BS != 0 ? BS : byteStep;
    float32x4_t acc0 = vdupq_n_f32(0.0f), acc1 = vdupq_n_f32(0.0f);
    [&]<int... J>(std::integer_sequence<int, J...>)
    {
        (
            [&] {
                constexpr int j = J, r = j % S;
                const float *row = rows + (static_cast<size_t>(r) * 256 + in[j * bs]) * Row;
                constexpr int j0 = j, j1 = j - 4 * S; /* the byte's place in each vector's windows */
                if constexpr (S == 8) {
                    const float32x4_t v = vld1q_f32(row);
                    if constexpr (j0 < Span)
                        acc0 = vaddq_f32(acc0, Place(v, j0 / S));
                    if constexpr (j1 >= 0)
                        acc1 = vaddq_f32(acc1, Place(v, j1 / S));
                } else {
                    if constexpr (j0 < Span)
                        acc0 = vaddq_f32(acc0, vld1q_f32(row + Q - j0 / S));
                    if constexpr (j1 >= 0)
                        acc1 = vaddq_f32(acc1, vld1q_f32(row + Q - j1 / S));
                }
            }(),
            ...);
    }
    (std::make_integer_sequence<int, 4 * S + Span>());
    Store4(out, outStride, acc0);
    Store4(out + 4 * outStride, outStride, acc1);
}

template <int S, int BS, typename Out>
__attribute__((noinline)) static void ChannelRun(const float (*tables)[256], const float *rows,
                                                 const uint8_t *in, size_t byteStep, uint32_t frames,
                                                 size_t outStride, Out *out)
{
    const size_t step = static_cast<size_t>(S) * byteStep;
    uint32_t f = 0;
    for (; f + 8 <= frames; f += 8, in += 8 * step, out += 8 * outStride)
        Block<S, BS>(rows, in, byteStep, outStride, out);
    for (; f < frames; f++, in += step, out += outStride) {
        float acc = 0.0f;
        for (int g = 0; g < FILTER_GROUPS; g++)
            acc += tables[g][in[static_cast<size_t>(g) * byteStep]];
        Store1(out, acc);
    }
}

template <int S, typename Out> static void Channels(const float (*tables)[256], const float *rows,
                                                    const uint8_t *in, PcmLayout layout, uint32_t channels,
                                                    uint32_t frames, Out *out)
{
    for (uint32_t c = 0; c < channels; c++) {
        const uint8_t *bytes = in + c * layout.channelStep;
        if (layout.byteStep == 1)
            ChannelRun<S, 1>(tables, rows, bytes, 1, frames, channels, out + c);
        else if (layout.byteStep == 2)
            ChannelRun<S, 2>(tables, rows, bytes, 2, frames, channels, out + c);
        else
            ChannelRun<S, 0>(tables, rows, bytes, layout.byteStep, frames, channels, out + c);
    }
}

template <typename Out> static void NeonKernel(const float (*tables)[256], const PcmLaneTables *lanes,
                                               const uint8_t *in, PcmLayout layout, uint32_t channels,
                                               uint32_t ratio, uint32_t frames, void *out)
{
    Out *o = static_cast<Out *>(out);
    const float *rows = lanes->rows;
    switch (lanes->ratio == ratio ? ratio : 0) {
    case 1:
        return Channels<1>(tables, rows, in, layout, channels, frames, o);
    case 2:
        return Channels<2>(tables, rows, in, layout, channels, frames, o);
    case 4:
        return Channels<4>(tables, rows, in, layout, channels, frames, o);
    case 8:
        return Channels<8>(tables, rows, in, layout, channels, frames, o);
    default: /* no rows for this ratio */
        return (sizeof(Out) == 4 ? PcmUnrolledFloat : PcmUnrolledInt16)(tables, lanes, in, layout, channels,
                                                                        ratio, frames, out);
    }
}

static const ConvertKernels neonKernels = {
    "neon",              /* name */
    NeonPrepare,         /* pcmPrepare */
    NeonKernel<float>,   /* pcmFloat */
    NeonKernel<int16_t>, /* pcmInt16 */
    HqArmHalfBand,       /* hqHalfBand */
};
const ConvertKernels *const platformKernelSets[] = {&convertKernelsPlain, &scalarKernels, &neonKernels};
#else
const ConvertKernels *const platformKernelSets[] = {&convertKernelsPlain, &scalarKernels};
#endif

/* NEON is part of the build's instruction set (and of every AArch64 processor): nothing to ask. */
uint32_t PlatformKernelsUsable(void)
{
    return sizeof platformKernelSets / sizeof platformKernelSets[0];
}

#endif
