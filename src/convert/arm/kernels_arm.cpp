/*
 * The ARM kernel sets: the unrolled scalar kernels, and where the build has NEON (ARMv7 with
 * VELMDSD_ARM_FPU=neon; AArch64 always) the designed filter's vector kernels and the byte work
 * of DoP and raw DSD.
 *
 * A vector holds four neighbouring output samples of one channel, never parts of one sum. At a
 * window step of S bytes (the ratio), byte j of a block's bytes enters sample k's sum as entry
 * g = j - k x S. For steps 1 to 8 the preparation rearranges the tables so that the entries one
 * byte value adds to four neighbouring sums lie side by side, with zeros where g falls outside
 * 0 to 24: each byte is loaded once and added to every sum that holds it with one vector load
 * and one addition (vaddq_f32, never a fused multiply-add). Each lane adds its own entries in
 * ascending g, as the plain kernel does; a sum starts at +0 and so is never -0, which makes
 * adding +0 exact: the lanes give the plain kernel's bits. From step 16 on windows barely
 * overlap, and each lane gathers its own 25 entries (GatherRun), again in ascending g.
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
#include <string.h>

#include <type_traits>
#include <utility>

#include "convert/stream_read.h"

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
    default: /* the gathering kernel: no rows */
        break;
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

/* The lanes to out, out + stride, ... (AArch64: one address register stepped by the stores, which
   the compiler would otherwise keep one register and one addition a lane for). */
static inline void Store4(float *out, size_t stride, float32x4_t v)
{
#if defined(__aarch64__)
    asm volatile("st1 {%2.s}[0], [%0], %1\n\tst1 {%2.s}[1], [%0], %1\n\t"
                 "st1 {%2.s}[2], [%0], %1\n\tst1 {%2.s}[3], [%0], %1"
                 : "+r"(out)
                 : "r"(stride * sizeof(float)), "w"(v)
                 : "memory");
#else
    vst1q_lane_f32(out, v, 0);
    vst1q_lane_f32(out + stride, v, 1);
    vst1q_lane_f32(out + 2 * stride, v, 2);
    vst1q_lane_f32(out + 3 * stride, v, 3);
#endif
}

/* PcmToInt16 four at a time: the conversion truncates toward zero and saturates, NaN gives 0,
   the narrowing saturates to 16 bits. */
static inline void Store4(int16_t *out, size_t stride, float32x4_t v)
{
    const int16x4_t s = vqmovn_s32(vcvtq_s32_f32(v));
#if defined(__aarch64__)
    asm volatile("st1 {%2.h}[0], [%0], %1\n\tst1 {%2.h}[1], [%0], %1\n\t"
                 "st1 {%2.h}[2], [%0], %1\n\tst1 {%2.h}[3], [%0], %1"
                 : "+r"(out)
                 : "r"(stride * sizeof(int16_t)), "w"(s)
                 : "memory");
#else
    vst1_lane_s16(out, s, 0);
    vst1_lane_s16(out + stride, s, 1);
    vst1_lane_s16(out + 2 * stride, s, 2);
    vst1_lane_s16(out + 3 * stride, s, 3);
#endif
}

static inline void Store1(float *out, float v)
{
    *out = v;
}
static inline void Store1(int16_t *out, float v)
{
    *out = PcmToInt16(v);
}

/* One sample the plain way: the frames after a run's last block. */
template <typename Out>
static inline void Sample(const float (*tables)[256], const uint8_t *in, size_t byteStep, Out *out)
{
    float acc = 0.0f;
    for (int g = 0; g < FILTER_GROUPS; g++)
        acc += tables[g][in[static_cast<size_t>(g) * byteStep]];
    Store1(out, acc);
}

/* run(BS, channel's first byte, channel's first sample) for every channel, BS the byte step as a
   compile-time constant where it is 1 (planar, or mono) or 2 (interleaved stereo), else 0. */
template <typename Out, typename Run>
static inline void EachChannel(const uint8_t *in, PcmLayout layout, uint32_t channels, Out *out, Run run)
{
    for (uint32_t c = 0; c < channels; c++) {
        const uint8_t *bytes = in + c * layout.channelStep;
        if (layout.byteStep == 1)
            run(std::integral_constant<int, 1>(), bytes, out + c);
        else if (layout.byteStep == 2)
            run(std::integral_constant<int, 2>(), bytes, out + c);
        else
            run(std::integral_constant<int, 0>(), bytes, out + c);
    }
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
    for (; f < frames; f++, in += step, out += outStride)
        Sample(tables, in, byteStep, out);
}

template <int S, typename Out> static void Channels(const float (*tables)[256], const float *rows,
                                                    const uint8_t *in, PcmLayout layout, uint32_t channels,
                                                    uint32_t frames, Out *out)
{
    EachChannel(in, layout, channels, out, [&](auto bs, const uint8_t *bytes, Out *o) {
        constexpr int BS = decltype(bs)::value;
        ChannelRun<S, BS>(tables, rows, bytes, BS != 0 ? BS : layout.byteStep, frames, channels, o);
    });
}

/*
 * Steps of 16 bytes and more (and any step without rows): a byte enters at most two windows, so
 * there is little to share, and each lane gathers its own entries. Per group g, the bytes of
 * neighbouring samples (sixteen on AArch64, four on ARMv7) pick their entries of table g, loaded
 * one by one and moved into vectors of four (AArch64: zipped from the registers the loads fill;
 * ARMv7: loaded as words into core registers, two of them moved into a half of the vector at
 * once), and one addition a vector adds entry g to four sums. Written in assembly only where the
 * compiler would otherwise build the vectors lane by lane through zeroed registers or the stack.
 */
static inline float32x4_t Gather(const float *table, uint32_t a, uint32_t b, uint32_t c, uint32_t d)
{
    float32x4_t v;
#if defined(__aarch64__)
    float32x4_t w;
    /* Lanes 0 and 1 of each register are the two entries; the second zip joins the pairs. */
    asm("zip1 %0.2s, %1.2s, %2.2s" : "=w"(v) : "w"(table[a]), "w"(table[b]));
    asm("zip1 %0.2s, %1.2s, %2.2s" : "=w"(w) : "w"(table[c]), "w"(table[d]));
    asm("zip1 %0.2d, %0.2d, %1.2d" : "+w"(v) : "w"(w));
#else
    /* The entries' bits, as words: the vector's lanes receive them unchanged. */
    typedef uint32_t Word __attribute__((may_alias));
    const Word *words = reinterpret_cast<const Word *>(table);
    asm("vmov %e0, %1, %2\n\tvmov %f0, %3, %4"
        : "=w"(v)
        : "r"(words[a]), "r"(words[b]), "r"(words[c]), "r"(words[d]));
#endif
    return v;
}

/* 4 x V neighbouring samples of one channel, V vectors of four, from `in` (the first window's
   first byte), `step` bytes from one window to the next and `bs` from one byte to the next. */
template <int V, typename Out> static inline void
GatherBlock(const float (*tables)[256], const uint8_t *in, size_t step, size_t bs, size_t outStride, Out *out)
{
    float32x4_t acc[V];
    for (int v = 0; v < V; v++)
        acc[v] = vdupq_n_f32(0.0f);
    const uint8_t *p = in;
    /* Five groups an iteration, from a table address the compiler keeps in a register (it
       would rather fold each group's offset into every load's index, one addition a load). */
#pragma GCC unroll 1
    for (int g = 0; g < FILTER_GROUPS; g += 5, p += 5 * bs) {
        const float(*t)[256] = tables + g;
        asm("" : "+r"(t));
#pragma GCC unroll 5
        for (int i = 0; i < 5; i++)
#pragma GCC unroll 4
            for (int v = 0; v < V; v++) {
                const uint8_t *q = p + i * bs + 4 * v * step;
                acc[v] = vaddq_f32(acc[v], Gather(t[i], q[0], q[step], q[2 * step], q[3 * step]));
            }
    }
    for (int v = 0; v < V; v++)
        Store4(out + 4 * v * outStride, outStride, acc[v]);
}

/* S: the window step in bytes, BS the bytes from one byte of the channel to its next (0 for
   either: known only at run time, `step` and `byteStep`). */
template <int S, int BS, typename Out>
__attribute__((noinline)) static void GatherRun(const float (*tables)[256], const uint8_t *in, size_t step,
                                                size_t byteStep, uint32_t frames, size_t outStride, Out *out)
{
    if (S != 0 && BS != 0)
        step = static_cast<size_t>(S) * BS;
    const size_t bs = BS != 0 ? BS : byteStep;
    /* Vectors of four samples a block: four on AArch64 (the loop's address work and the block's
       stores shared by sixteen samples), then blocks of one; one on ARMv7, whose sixteen core
       registers would not hold the bytes and entries of two without spilling. */
#if defined(__aarch64__)
    constexpr int V = 4;
#else
    constexpr int V = 1;
#endif
    uint32_t f = 0;
    for (; f + 4 * V <= frames; f += 4 * V, in += 4 * V * step, out += 4 * V * outStride)
        GatherBlock<V>(tables, in, step, bs, outStride, out);
    if constexpr (V > 1)
        for (; f + 4 <= frames; f += 4, in += 4 * step, out += 4 * outStride)
            GatherBlock<1>(tables, in, step, bs, outStride, out);
    for (; f < frames; f++, in += step, out += outStride)
        Sample(tables, in, bs, out);
}

template <int S, typename Out> static void GatherChannels(const float (*tables)[256], const uint8_t *in,
                                                          PcmLayout layout, uint32_t channels, uint32_t ratio,
                                                          uint32_t frames, Out *out)
{
    const size_t step = static_cast<size_t>(ratio) * layout.byteStep;
    EachChannel(in, layout, channels, out, [&](auto bs, const uint8_t *bytes, Out *o) {
        constexpr int BS = decltype(bs)::value;
        GatherRun<S, BS>(tables, bytes, step, BS != 0 ? BS : layout.byteStep, frames, channels, o);
    });
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
    case 16:
        return GatherChannels<16>(tables, in, layout, channels, ratio, frames, o);
    case 32:
        return GatherChannels<32>(tables, in, layout, channels, ratio, frames, o);
    case 64:
        return GatherChannels<64>(tables, in, layout, channels, ratio, frames, o);
    case 0: /* no lane tables: the tables could make denormal sums */
        return (sizeof(Out) == 4 ? PcmUnrolledFloat : PcmUnrolledInt16)(tables, lanes, in, layout, channels,
                                                                        ratio, frames, out);
    default:
        return GatherChannels<0>(tables, in, layout, channels, ratio, frames, o);
    }
}

/*
 * The byte work of DoP and raw DSD. De-interleaving: two, three and four channels by the
 * interleaving stores (sixteen frames at a time), six and eight by zipping channel pairs into
 * 16-bit units first (eight frames at a time). Bit reversal: AArch64 reverses the bits of every
 * byte in one instruction; ARMv7 looks both nibbles up in 16-byte tables. DoP, one or two
 * channels: eight frames at a time, each unit the plain kernel's integer converted exactly (24
 * bits) and scaled by a power of two. The last frames, and other channel counts, as the plain
 * kernels.
 */
void Deinterleave(uint8_t *dest, const uint8_t *staging, uint32_t blockSize, uint32_t channels)
{
    if (channels == 1) {
        memcpy(dest, staging, blockSize);
        return;
    }
    const auto row = [&](uint32_t ch) { return staging + static_cast<size_t>(ch) * blockSize; };
    uint32_t i = 0;
    switch (channels) {
    case 2:
        for (; i + 16 <= blockSize; i += 16)
            vst2q_u8(dest + 2 * i, (uint8x16x2_t{{vld1q_u8(row(0) + i), vld1q_u8(row(1) + i)}}));
        break;
    case 3:
        for (; i + 16 <= blockSize; i += 16)
            vst3q_u8(dest + 3 * i,
                     (uint8x16x3_t{{vld1q_u8(row(0) + i), vld1q_u8(row(1) + i), vld1q_u8(row(2) + i)}}));
        break;
    case 4:
        for (; i + 16 <= blockSize; i += 16)
            vst4q_u8(dest + 4 * i, (uint8x16x4_t{{vld1q_u8(row(0) + i), vld1q_u8(row(1) + i),
                                                  vld1q_u8(row(2) + i), vld1q_u8(row(3) + i)}}));
        break;
    case 6:
    case 8: {
        /* Channels 2k and 2k + 1 as one 16-bit unit (little-endian: channel 2k first). */
        const auto pair = [&](uint32_t k) {
            const uint8x8x2_t z = vzip_u8(vld1_u8(row(2 * k) + i), vld1_u8(row(2 * k + 1) + i));
            return vreinterpretq_u16_u8(vcombine_u8(z.val[0], z.val[1]));
        };
        uint16_t *d = reinterpret_cast<uint16_t *>(dest);
        if (channels == 6)
            for (; i + 8 <= blockSize; i += 8)
                vst3q_u16(d + 3 * i, (uint16x8x3_t{{pair(0), pair(1), pair(2)}}));
        else
            for (; i + 8 <= blockSize; i += 8)
                vst4q_u16(d + 4 * i, (uint16x8x4_t{{pair(0), pair(1), pair(2), pair(3)}}));
        break;
    }
    default:
        break;
    }
    if (i < blockSize)
        DeinterleaveFrom(dest, staging, blockSize, channels, i);
}

#if defined(__aarch64__)
static inline uint8x8_t Reverse8(uint8x8_t x)
{
    return vrbit_u8(x);
}
static inline uint8x16_t Reverse16(uint8x16_t x)
{
    return vrbitq_u8(x);
}
#else
/* Nibble n reversed, in the high nibble and in the low one. */
static const uint8_t reversedHigh[16] = {0x00, 0x80, 0x40, 0xC0, 0x20, 0xA0, 0x60, 0xE0,
                                         0x10, 0x90, 0x50, 0xD0, 0x30, 0xB0, 0x70, 0xF0};
static const uint8_t reversedLow[16] = {0x0, 0x8, 0x4, 0xC, 0x2, 0xA, 0x6, 0xE,
                                        0x1, 0x9, 0x5, 0xD, 0x3, 0xB, 0x7, 0xF};
static inline uint8x8_t Reverse8(uint8x8_t x)
{
    const uint8x8x2_t high = {{vld1_u8(reversedHigh), vld1_u8(reversedHigh + 8)}};
    const uint8x8x2_t low = {{vld1_u8(reversedLow), vld1_u8(reversedLow + 8)}};
    return vorr_u8(vtbl2_u8(high, vand_u8(x, vdup_n_u8(0x0F))), vtbl2_u8(low, vshr_n_u8(x, 4)));
}
static inline uint8x16_t Reverse16(uint8x16_t x)
{
    return vcombine_u8(Reverse8(vget_low_u8(x)), Reverse8(vget_high_u8(x)));
}
#endif

void ReverseBits(uint8_t *out, const uint8_t *in, size_t n)
{
    size_t i = 0;
    for (; i + 16 <= n; i += 16)
        vst1q_u8(out + i, Reverse16(vld1q_u8(in + i)));
    ReverseBitsFrom(out, in, n, i);
}

/* The units of eight frames of one channel, marker | older << 8 | newer, as floats. */
static inline void DopUnits(uint8x8_t older, uint8x8_t newer, uint32x4_t markers, float32x4_t &first,
                            float32x4_t &second)
{
    const uint8x8x2_t z = vzip_u8(newer, older); /* little-endian: newer the low byte */
    const uint16x8_t units = vreinterpretq_u16_u8(vcombine_u8(z.val[0], z.val[1]));
    const auto scaled = [&](uint16x4_t u) {
        const int32x4_t word = vreinterpretq_s32_u32(vorrq_u32(markers, vmovl_u16(u)));
        return vmulq_n_f32(vcvtq_f32_s32(word), 0x1p-23f);
    };
    first = scaled(vget_low_u16(units));
    second = scaled(vget_high_u16(units));
}

uint32_t PackDop(float *out, const uint8_t *in, uint32_t channels, uint32_t frames, uint32_t marker,
                 bool lsbFirst)
{
    uint32_t f = 0;
    if (channels <= 2) {
        /* Frames alternate their marker; eight frames keep the first one's. */
        const uint32_t other = marker ^ 0xFFFF0000u;
        const uint32x4_t markers = vcombine_u32(vcreate_u32(marker | static_cast<uint64_t>(other) << 32),
                                                vcreate_u32(marker | static_cast<uint64_t>(other) << 32));
        const auto bytes = [&](uint8x8_t v) { return lsbFirst ? Reverse8(v) : v; };
        float32x4_t a, b, c, d;
        if (channels == 1)
            for (; f + 8 <= frames; f += 8, in += 16, out += 8) {
                const uint8x8x2_t v = vld2_u8(in);
                DopUnits(bytes(v.val[0]), bytes(v.val[1]), markers, a, b);
                vst1q_f32(out, a);
                vst1q_f32(out + 4, b);
            }
        else
            for (; f + 8 <= frames; f += 8, in += 32, out += 16) {
                const uint8x8x4_t v = vld4_u8(in); /* older 0, older 1, newer 0, newer 1 */
                DopUnits(bytes(v.val[0]), bytes(v.val[2]), markers, a, b);
                DopUnits(bytes(v.val[1]), bytes(v.val[3]), markers, c, d);
                vst2q_f32(out, (float32x4x2_t{{a, c}}));
                vst2q_f32(out + 8, (float32x4x2_t{{b, d}}));
            }
    }
    return PackDopPlain(out, in, channels, frames - f, marker, lsbFirst);
}

static const ConvertKernels neonKernels = {
    "neon",              /* name */
    NeonPrepare,         /* pcmPrepare */
    NeonKernel<float>,   /* pcmFloat */
    NeonKernel<int16_t>, /* pcmInt16 */
    Deinterleave,        /* deinterleave */
    ReverseBits,         /* reverseBits */
    PackDop,             /* packDop */
    HqArmHalfBand,       /* hqHalfBand */
};
const ConvertKernels *const platformKernelSets[] = {&convertKernelsPlain, &convertKernelsScalar,
                                                    &neonKernels};
#else
const ConvertKernels *const platformKernelSets[] = {&convertKernelsPlain, &convertKernelsScalar};
#endif

/* NEON is part of the build's instruction set (and of every AArch64 processor): nothing to ask. */
uint32_t PlatformKernelsUsable(void)
{
    return sizeof platformKernelSets / sizeof platformKernelSets[0];
}

#endif
