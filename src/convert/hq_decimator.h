/*
 * hq_decimator.h - the high-quality PCM converter.
 *
 * A first FIR stage on the DSD bits (byte tables in the record's
 * filterTables, gain folded in, summed in double precision) followed by
 * linear-phase half-band stages in double precision, all in a fixed order of
 * operations so that every platform gives the same bytes. Output sample n of
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
#define HQ_BLOCK 256 /* first-stage outputs computed in one go */

/* How the half-bands are computed: one output at a time, two (SSE2), four (AVX) or eight
   (AVX-512) side by side. Every kernel adds in the same order, so all give the same bytes. The
   numbers index the kernel sets (convert/kernels.h); on x86 these are the sets. */
#define HQ_KERNEL_PLAIN 0
#define HQ_KERNEL_SSE2 1
#define HQ_KERNEL_AVX 2
#define HQ_KERNEL_AVX512 3

/* A half-band stage keeps its inputs of even and odd index apart: an output's mirrored pairs
   are all odd inputs, its centre the even one, so two neighbouring outputs read neighbouring
   values. `evens` holds the centres from the next output's on, `odds` the pairs' inputs from
   `pairs` before it on. The counts are the same for every channel. */
struct HqBand {
    const double *taps; /* the `pairs` nonzero taps of one half, then the centre */
    uint32_t length;    /* taps in all, 4 x pairs - 1 */
    uint32_t pairs;
    uint32_t odd; /* 1: the next input has an odd index */
    uint32_t evenCount, oddCount;
    double *evens, *odds; /* per channel: HQ_BLOCK + 4 and HQ_BLOCK + 2 x pairs + 4 values */
};

struct HqState {
    const double *first; /* first-stage taps 0 to 4 x firstBytes */
    uint32_t firstBytes; /* bytes per channel in one first-stage window */
    uint32_t step;       /* bytes per channel between first-stage outputs */
    uint32_t bands;      /* half-band stages after the first */
    uint32_t channels;
    uint32_t warmup; /* outputs a restart runs ahead of its target */
    uint32_t kernel; /* HQ_KERNEL_*: HqBestKernel() unless a test chooses */
    HqBand band[HQ_MAX_BANDS];
    uint64_t firstNext;    /* index of the next first-stage output */
    uint64_t inPos;        /* sound byte (per channel) at the start of the work buffer */
    uint64_t outNext;      /* index of the next output sample to compute */
    uint64_t skipBefore;   /* output samples before this one are computed but not delivered */
    uint64_t endOut;       /* output samples the data makes; HQ_END_UNKNOWN until its end is seen */
    uint32_t heldCount;    /* computed samples per channel that the output had no room for */
    double (*tables)[256]; /* the first stage's byte tables (the record's, widened) */
    double *work[2];       /* per channel HQ_BLOCK values each: a block between stages */
    double *held;          /* per channel HQ_BLOCK values */
};

#define HQ_END_UNKNOWN UINT64_MAX

/* The converter for a decimation ratio (a power of two) and channel count, at the stream's
   start; null when it cannot be allocated. One block; free() releases it. */
HqState *HqCreate(int32_t ratio, uint32_t channels);

/* The fastest half-band kernel this processor runs: the preferred kernel set's index. */
uint32_t HqBestKernel(void);

/* `outputs` outputs of a half-band with `pairs` mirrored pairs and `taps` (the pairs' taps, then
   the centre's) into y, output i from odds[i..i + 2 x pairs) and evens[i], by kernel set
   `kernel`'s half-band kernel and the plain loop for the rest. */
void HqHalfBandRun(uint32_t kernel, const double *taps, uint32_t pairs, const double *odds,
                   const double *evens, double *y, uint32_t outputs);

/* `frames` frames from per-channel runs HQ_BLOCK values apart into the output (floats, or
   16-bit samples by HqToInt16) from sample `at` on. */
void HqStoreFrames(const double *v, uint32_t channels, uint32_t frames, bool floatOutput, void *out,
                   uint32_t at);

/* The bytes HqCreate allocates; 0 when it would refuse. */
uint64_t HqStateBytes(int32_t ratio, uint32_t channels);

/* Fills stream->filterTables with the first stage's byte tables, the stream's gain folded in. */
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
