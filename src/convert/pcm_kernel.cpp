/*
 * The PCM conversion kernels. One sample's 25 additions form a dependent
 * chain; the fast kernel runs the chains of several frames side by side, so
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
                                                uint32_t channels, uint32_t ratio, uint32_t frames, void *out)
{
    Out *o = static_cast<Out *>(out);
    const size_t frameStep = static_cast<size_t>(ratio) * channels;
    for (uint32_t f = 0; f < frames; f++, in += frameStep) {
        for (uint32_t c = 0; c < channels; c++) {
            float acc = 0.0f;
            for (int g = 0; g < FILTER_GROUPS; g++)
                acc += tables[g][in[static_cast<size_t>(g) * channels + c]];
            Store(o++, acc);
        }
    }
}

/* One table's entries added to every sum of the block. */
template <int F, int CH>
static inline void Add(float (&acc)[F][CH], const float *table, const uint8_t *bytes, size_t step)
{
#pragma GCC unroll 8
    for (int f = 0; f < F; f++)
#pragma GCC unroll 8
        for (int ch = 0; ch < CH; ch++)
            acc[f][ch] += table[bytes[f * step + ch]];
}

/*
 * F consecutive frames of CH consecutive channels: F x CH independent sums.
 * `in` is the first channel's byte in the first window, `step` the bytes from
 * one window to the next; Channels is the channel count when known at
 * compile time (0: `channels`).
 */
template <int F, int CH, uint32_t Channels, typename Out> static inline void
Block(const float (*tables)[256], const uint8_t *in, size_t step, uint32_t channels, Out *out)
{
    if (Channels != 0)
        channels = Channels;
    float acc[F][CH];
#pragma GCC unroll 8
    for (int f = 0; f < F; f++)
#pragma GCC unroll 8
        for (int ch = 0; ch < CH; ch++)
            acc[f][ch] = 0.0f;
    if constexpr (Channels != 0) {
        /* Every byte offset is a constant. */
#pragma GCC unroll 25
        for (int g = 0; g < FILTER_GROUPS; g++)
            Add<F, CH>(acc, tables[g], in + static_cast<size_t>(g) * Channels, step);
    } else {
        const uint8_t *bytes = in;
#pragma GCC unroll 5
        for (int g = 0; g < FILTER_GROUPS; g++, bytes += channels)
            Add<F, CH>(acc, tables[g], bytes, step);
    }
#pragma GCC unroll 8
    for (int f = 0; f < F; f++)
#pragma GCC unroll 8
        for (int ch = 0; ch < CH; ch++)
            Store(out + static_cast<size_t>(f) * channels + ch, acc[f][ch]);
}

/* Channels c to c + CH - 1 of every frame, F frames at a time. */
template <int F, int CH, uint32_t Channels, typename Out>
__attribute__((noinline)) static void ChannelRun(const float (*tables)[256], const uint8_t *in,
                                                 uint32_t channels, size_t step, uint32_t frames, uint32_t c,
                                                 Out *out)
{
    const uint8_t *p = in + c;
    Out *o = out + c;
    uint32_t f = 0;
    for (; f + F <= frames; f += F, p += F * step, o += static_cast<size_t>(F) * channels)
        Block<F, CH, Channels>(tables, p, step, channels, o);
    for (; f < frames; f++, p += step, o += channels)
        Block<1, CH, Channels>(tables, p, step, channels, o);
}

template <typename Out> static void FastKernel(const float (*tables)[256], const uint8_t *in,
                                               uint32_t channels, uint32_t ratio, uint32_t frames, void *out)
{
    Out *o = static_cast<Out *>(out);
    const size_t step = static_cast<size_t>(ratio) * channels;
    /* Eight frames of one channel at a time: across frames the byte offsets within a block
       are multiples of step, which keeps the compiler from building vectors load by load. */
    for (uint32_t c = 0; c < channels; c++) {
        if (channels == 1)
            ChannelRun<8, 1, 1>(tables, in, channels, step, frames, c, o);
        else if (channels == 2)
            ChannelRun<8, 1, 2>(tables, in, channels, step, frames, c, o);
        else if (channels == 6) /* 5.1: constant offsets save the general path's address work */
            ChannelRun<8, 1, 6>(tables, in, channels, step, frames, c, o);
        else
            ChannelRun<8, 1, 0>(tables, in, channels, step, frames, c, o);
    }
}

const PcmKernels pcmKernelsPlain = {PlainKernel<float>, PlainKernel<int16_t>};
const PcmKernels pcmKernelsFast = {FastKernel<float>, FastKernel<int16_t>};
