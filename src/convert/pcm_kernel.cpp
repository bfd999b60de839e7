/*
 * The scalar PCM conversion kernels. One sample's 25 additions form a dependent
 * chain; the unrolled kernel runs the chains of several frames side by side, so
 * that the table loads, not the addition latency, set the pace.
 */
#include "convert/pcm_kernel.h"

#include <stddef.h>

#include "convert/stream_read.h"

#if defined(__GNUC__) && !defined(__clang__)
/* Left to itself GCC packs the independent sums into vectors filled load by load, which
   costs more instructions than the scalar additions it replaces. */
#pragma GCC optimize("no-tree-slp-vectorize")
#endif

static inline void Store(float *out, float v)
{
    *out = v;
}
static inline void Store(int16_t *out, float v)
{
    *out = PcmToInt16(v);
}

template <typename Out> static void PlainKernel(const float (*tables)[256], const uint8_t *in,
                                                PcmLayout layout, uint32_t channels, uint32_t ratio,
                                                uint32_t frames, void *out)
{
    Out *o = static_cast<Out *>(out);
    const size_t frameStep = static_cast<size_t>(ratio) * layout.byteStep;
    for (uint32_t f = 0; f < frames; f++, in += frameStep) {
        for (uint32_t c = 0; c < channels; c++) {
            const uint8_t *bytes = in + c * layout.channelStep;
            float acc = 0.0f;
            for (int g = 0; g < FILTER_GROUPS; g++)
                acc += tables[g][bytes[static_cast<size_t>(g) * layout.byteStep]];
            Store(o++, acc);
        }
    }
}

/* One table's entries added to every sum of the block. */
template <int F>
static inline void Add(float (&acc)[F], const float *table, const uint8_t *bytes, size_t step)
{
#pragma GCC unroll 8
    for (int f = 0; f < F; f++)
        acc[f] += table[bytes[f * step]];
}

/*
 * F consecutive frames of one channel: F independent sums. `in` is the channel's first byte in
 * the first window, `step` the bytes from one window to the next, `byteStep` from one byte of
 * the channel to its next (ByteStep when known at compile time, 0: `byteStep`), and
 * `outStride` the samples from one frame's output to the next (likewise OutStride).
 */
template <int F, uint32_t ByteStep, uint32_t OutStride, typename Out> static inline void
Block(const float (*tables)[256], const uint8_t *in, size_t step, size_t byteStep, size_t outStride, Out *out)
{
    if (OutStride != 0)
        outStride = OutStride;
    float acc[F];
#pragma GCC unroll 8
    for (int f = 0; f < F; f++)
        acc[f] = 0.0f;
    if constexpr (ByteStep != 0) {
        /* Every byte offset is a constant. */
#pragma GCC unroll 25
        for (int g = 0; g < FILTER_GROUPS; g++)
            Add<F>(acc, tables[g], in + static_cast<size_t>(g) * ByteStep, step);
    } else {
        const uint8_t *bytes = in;
#pragma GCC unroll 5
        for (int g = 0; g < FILTER_GROUPS; g++, bytes += byteStep)
            Add<F>(acc, tables[g], bytes, step);
    }
#pragma GCC unroll 8
    for (int f = 0; f < F; f++)
        Store(out + static_cast<size_t>(f) * outStride, acc[f]);
}

/* Every frame of one channel, F frames at a time. */
template <int F, uint32_t ByteStep, uint32_t OutStride, typename Out>
__attribute__((noinline)) static void ChannelRun(const float (*tables)[256], const uint8_t *in,
                                                 size_t byteStep, size_t step, uint32_t frames,
                                                 size_t outStride, Out *out)
{
    uint32_t f = 0;
    for (; f + F <= frames; f += F, in += F * step, out += F * outStride)
        Block<F, ByteStep, OutStride>(tables, in, step, byteStep, outStride, out);
    for (; f < frames; f++, in += step, out += outStride)
        Block<1, ByteStep, OutStride>(tables, in, step, byteStep, outStride, out);
}

/*
 * Planar bytes at a window step of Step bytes: F frames' windows overlap, so each byte is
 * loaded once and its table entries added to every sum whose window holds it. Byte j is
 * entry j - f x Step of frame f; taking j in ascending order adds each sum's entries in
 * ascending order, as every kernel does.
 */
template <int F, int Step, typename Out>
static inline void SharedBlock(const float (*tables)[256], const uint8_t *in, size_t outStride, Out *out)
{
    float acc[F];
#pragma GCC unroll 8
    for (int f = 0; f < F; f++)
        acc[f] = 0.0f;
#pragma GCC unroll 128
    for (int j = 0; j < (F - 1) * Step + FILTER_GROUPS; j++) {
        const uint8_t b = in[j];
#pragma GCC unroll 8
        for (int f = 0; f < F; f++) {
            const int g = j - f * Step;
            if (g >= 0 && g < FILTER_GROUPS)
                acc[f] += tables[g][b];
        }
    }
#pragma GCC unroll 8
    for (int f = 0; f < F; f++)
        Store(out + static_cast<size_t>(f) * outStride, acc[f]);
}

template <int F, int Step, typename Out> __attribute__((noinline)) static void
SharedRun(const float (*tables)[256], const uint8_t *in, uint32_t frames, size_t outStride, Out *out)
{
    uint32_t f = 0;
    for (; f + F <= frames; f += F, in += F * Step, out += F * outStride)
        SharedBlock<F, Step>(tables, in, outStride, out);
    for (; f < frames; f++, in += Step, out += outStride)
        SharedBlock<1, Step>(tables, in, outStride, out);
}

/* Run(channel's first byte, channel's first sample) for every channel. */
template <typename Out, typename Run>
static inline void EachChannel(const uint8_t *in, size_t channelStep, uint32_t channels, Out *out, Run run)
{
    for (uint32_t c = 0; c < channels; c++)
        run(in + c * channelStep, out + c);
}

template <typename Out> static void UnrolledKernel(const float (*tables)[256], const uint8_t *in,
                                                   PcmLayout layout, uint32_t channels, uint32_t ratio,
                                                   uint32_t frames, void *out)
{
    Out *o = static_cast<Out *>(out);
    const size_t step = static_cast<size_t>(ratio) * layout.byteStep;
    const size_t cs = layout.channelStep;
    /* Eight frames of one channel at a time: across frames the byte offsets within a block
       are multiples of step, which keeps the compiler from building vectors load by load.
       Planar bytes (byte step 1) and interleaved stereo and 5.1, in mono, stereo and 5.1:
       constant byte and sample offsets save the general path's address work. The layout is
       told apart once for all channels. */
    const size_t byteStep = layout.byteStep;
    if (byteStep == 1 && step == 1) /* DSD64 to 352.8 kHz: 32 byte loads for 8 frames, not 200 */
        EachChannel(in, cs, channels, o,
                    [&](const uint8_t *b, Out *d) { SharedRun<8, 1>(tables, b, frames, channels, d); });
    else if (byteStep == 1 && channels == 1)
        EachChannel(in, cs, channels, o,
                    [&](const uint8_t *b, Out *d) { ChannelRun<8, 1, 1>(tables, b, 1, step, frames, 1, d); });
    else if (byteStep == 1 && channels == 2)
        EachChannel(in, cs, channels, o,
                    [&](const uint8_t *b, Out *d) { ChannelRun<8, 1, 2>(tables, b, 1, step, frames, 2, d); });
    else if (byteStep == 1 && channels == 6)
        EachChannel(in, cs, channels, o,
                    [&](const uint8_t *b, Out *d) { ChannelRun<8, 1, 6>(tables, b, 1, step, frames, 6, d); });
    else if (byteStep == 1)
        EachChannel(in, cs, channels, o, [&](const uint8_t *b, Out *d) {
            ChannelRun<8, 1, 0>(tables, b, 1, step, frames, channels, d);
        });
    else if (byteStep == 2 && channels == 2)
        EachChannel(in, cs, channels, o,
                    [&](const uint8_t *b, Out *d) { ChannelRun<8, 2, 2>(tables, b, 2, step, frames, 2, d); });
    else if (byteStep == 6 && channels == 6)
        EachChannel(in, cs, channels, o,
                    [&](const uint8_t *b, Out *d) { ChannelRun<8, 6, 6>(tables, b, 6, step, frames, 6, d); });
    else
        EachChannel(in, cs, channels, o, [&](const uint8_t *b, Out *d) {
            ChannelRun<8, 0, 0>(tables, b, byteStep, step, frames, channels, d);
        });
}

void PcmPlainFloat(const float (*tables)[256], const PcmLaneTables *, const uint8_t *in, PcmLayout layout,
                   uint32_t channels, uint32_t ratio, uint32_t frames, void *out)
{
    PlainKernel<float>(tables, in, layout, channels, ratio, frames, out);
}
void PcmPlainInt16(const float (*tables)[256], const PcmLaneTables *, const uint8_t *in, PcmLayout layout,
                   uint32_t channels, uint32_t ratio, uint32_t frames, void *out)
{
    PlainKernel<int16_t>(tables, in, layout, channels, ratio, frames, out);
}
void PcmUnrolledFloat(const float (*tables)[256], const PcmLaneTables *, const uint8_t *in, PcmLayout layout,
                      uint32_t channels, uint32_t ratio, uint32_t frames, void *out)
{
    UnrolledKernel<float>(tables, in, layout, channels, ratio, frames, out);
}
void PcmUnrolledInt16(const float (*tables)[256], const PcmLaneTables *, const uint8_t *in, PcmLayout layout,
                      uint32_t channels, uint32_t ratio, uint32_t frames, void *out)
{
    UnrolledKernel<int16_t>(tables, in, layout, channels, ratio, frames, out);
}
