/*
 * hq_decimator.h - the high-quality PCM converter.
 *
 * A first FIR stage on the DSD bits (byte tables of 32-bit integers, the
 * gain folded in) followed by linear-phase half-band stages on 32-bit samples
 * with Q31 taps, summed exactly in 64 bits and rounded once per output (and
 * held to 32 bits, which only bits far beyond full scale can reach). The
 * samples carry a scale of 2^shift, the largest at which no first-stage sum
 * can leave 32 bits for any bits at the stream's gain. Integer sums are exact,
 * so every kernel may add in any order and every platform gives the same
 * bytes. Output sample n of
 * the stream is centred on DSD bit 8 x ratio x n: sample 0 is time 0. Before
 * the data and after its end the signal counts as zero.
 *
 * Every stage is a finite filter, so a restart some samples ahead of a seek
 * target leaves exactly the state that the linear decode has there: the
 * output after a seek equals the linear decode's from that sample on.
 */
#ifndef VELMDSD_HQ_DECIMATOR_H
#define VELMDSD_HQ_DECIMATOR_H

#include <math.h>
#include <stdint.h>

#include "create/dsd_stream.h"

#define HQ_MAX_BANDS 16
#define HQ_BLOCK 256     /* first-stage outputs computed in one go */
#define HQ_MAX_WINDOW 32 /* bytes per channel in the longest first-stage window */

/* The kernel sets (convert/kernels.h) by index; on x86 these are the sets: the half-bands one
   output at a time (plain, SSE2), or eight side by side (AVX2, in the AVX and AVX-512 sets).
   Exact integer sums: all give the same bytes. */
#define HQ_KERNEL_PLAIN 0
#define HQ_KERNEL_SSE2 1
#define HQ_KERNEL_AVX 2
#define HQ_KERNEL_AVX512 3

/* A half-band stage keeps its inputs of even and odd index apart: an output's mirrored pairs
   are all odd inputs, its centre the even one, so two neighbouring outputs read neighbouring
   values. `evens` holds the centres from the next output's on, `odds` the pairs' inputs from
   `pairs` before it on. The counts are the same for every channel. */
struct HqBand {
    const double *taps; /* the `pairs` nonzero taps of one half, then the centre, as designed */
    int32_t q31[48];    /* the same rounded to Q31 */
    uint32_t length;    /* taps in all, 4 x pairs - 1 */
    uint32_t pairs;
    uint32_t odd; /* 1: the next input has an odd index */
    uint32_t evenCount, oddCount;
    int32_t *evens, *odds; /* per channel: HQ_BLOCK + 4 and HQ_BLOCK + 2 x pairs + 4 values */
};

struct HqState {
    const double *first; /* first-stage taps 0 to 4 x firstBytes */
    uint32_t firstBytes; /* bytes per channel in one first-stage window */
    uint32_t step;       /* bytes per channel between first-stage outputs */
    uint32_t windows;    /* first-stage windows each byte enters: firstBytes / step */
    uint32_t lanes;      /* windows rounded up to a multiple of 4 */
    uint32_t bands;      /* half-band stages after the first */
    uint32_t channels;
    uint32_t warmup; /* outputs a restart runs ahead of its target */
    uint32_t kernel; /* HQ_KERNEL_*: HqBestKernel() unless a test chooses */
    int32_t shift;   /* the samples are the signal (full scale 1, gain applied) times 2^shift */
    HqBand band[HQ_MAX_BANDS];
    uint64_t firstNext;     /* index of the next first-stage output */
    uint64_t inPos;         /* sound byte (per channel) at the start of the work buffer */
    uint64_t outNext;       /* index of the next output sample to compute */
    uint64_t skipBefore;    /* output samples before this one are computed but not delivered */
    uint64_t endOut;        /* output samples the data makes; HQ_END_UNKNOWN until its end is seen */
    uint32_t heldCount;     /* computed samples per channel that the output had no room for */
    int32_t (*tables)[256]; /* the first stage's byte tables: entry g, b is byte b at place g */
    int32_t *rows;          /* the same by phase: row (p, b) holds, for the windows that a byte
                               b at place p (mod step) enters, its entries, last window first;
                               `lanes` values, zeros past `windows` */
    int32_t *scratch;       /* HQ_BLOCK + 64 values: first-stage sums under way */
    int32_t *work[2];       /* per channel HQ_BLOCK values each: a block between stages */
    int32_t *held;          /* per channel HQ_BLOCK values */
};

#define HQ_END_UNKNOWN UINT64_MAX

/* The converter for a decimation ratio (a power of two) and channel count, at the stream's
   start; null when it cannot be allocated. One block; free() releases it. */
HqState *HqCreate(int32_t ratio, uint32_t channels);

/* The fastest half-band kernel this processor runs: the preferred kernel set's index. */
uint32_t HqBestKernel(void);

/* `outputs` outputs of a half-band with `pairs` mirrored pairs and Q31 `taps` (the pairs' taps,
   then the centre's) into y, output i from odds[i..i + 2 x pairs) and evens[i], by kernel set
   `kernel`'s half-band kernel and the plain loop for the rest. A kernel may read one value
   past the last of odds and of evens. */
void HqHalfBandRun(uint32_t kernel, const int32_t *taps, uint32_t pairs, const int32_t *odds,
                   const int32_t *evens, int32_t *y, uint32_t outputs);

/* One half-band output, exactly: the sum of taps[t] x odds[t], taps[t] x odds[2 x pairs - 1 - t]
   and taps[pairs] x evens[0] (within 2^62: the taps' magnitudes sum to less than 2), divided by
   2^31, rounded to nearest (halves up) and held within 32 bits. */
static inline int32_t HqHalfBand(const int32_t *taps, uint32_t pairs, const int32_t *odds,
                                 const int32_t *evens)
{
    int64_t acc = int64_t{1} << 30;
    for (uint32_t t = 0; t < pairs; t++)
        acc +=
            static_cast<int64_t>(taps[t]) * odds[t] + static_cast<int64_t>(taps[t]) * odds[2 * pairs - 1 - t];
    acc += static_cast<int64_t>(taps[pairs]) * evens[0];
    const int64_t most = (int64_t{1} << 62) - 1;
    acc = acc > most ? most : acc < -most - 1 ? -most - 1 : acc;
    return static_cast<int32_t>(acc >> 31);
}

/* `frames` frames from per-channel runs HQ_BLOCK values apart into the output from sample `at`
   on: floats, each value times 2^-shift rounded to float, or 16-bit samples, HqToInt16 of each
   value times 2^(15 - shift) (shift >= 16; the converter's scale always is). */
void HqStoreFrames(const int32_t *v, uint32_t channels, uint32_t frames, bool floatOutput, int32_t shift,
                   void *out, uint32_t at);

/* The bytes HqCreate allocates; 0 when it would refuse. */
uint64_t HqStateBytes(int32_t ratio, uint32_t channels);

/* The first stage's byte tables for the stream's gain, and the scale (hq->shift) they set. */
void HqBuildTables(DsdStream *stream);

/* Output samples in perChannelBytes of data: one per `ratio` bytes. */
uint64_t HqSamples(uint64_t perChannelBytes, int32_t ratio);

/* The sound byte (per channel) from which the data must be read again to deliver output
   sample `target` next; HqRestart then sets the converter up for it. */
uint64_t HqRestartByte(const HqState *hq, uint64_t target);
void HqRestart(HqState *hq, uint64_t target);

/*
 * Converts from the `fill` bytes waiting (byte-interleaved) into out[done..want) and
 * returns the new done. `ended`: no more data will come, missing bytes count as zero
 * signal. *consumed: the bytes no longer needed, possibly more than fill (the rest are
 * dropped from the next refill).
 */
uint32_t HqProduce(DsdStream *s, int32_t fill, void *out, uint32_t done, uint32_t want, bool floatOutput,
                   bool ended, uint64_t *consumed);

/* True when every sample the data makes has been delivered. */
static inline bool HqFinished(const HqState *hq)
{
    return hq->outNext >= hq->endOut && hq->heldCount == 0;
}

/* A converter output as a 16-bit sample: rounded to nearest, half away from zero, clamped;
   NaN gives 0. */
static inline int16_t HqToInt16(double v)
{
    if (v != v)
        return 0;
    if (v >= 32767.0)
        return 32767;
    if (v <= -32768.0)
        return -32768;
    return static_cast<int16_t>(static_cast<int32_t>(v + copysign(0.5, v)));
}

#endif /* VELMDSD_HQ_DECIMATOR_H */
