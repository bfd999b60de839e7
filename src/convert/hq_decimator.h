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

#include <stdint.h>

#include "create/dsd_stream.h"

#define HQ_MAX_BANDS 16

struct HqBand {
    const double *taps; /* the nonzero taps of one half and the centre */
    uint32_t length;    /* taps in all, 4k - 1 */
    uint32_t write;     /* ring slot the next input goes to, the same for every channel */
    uint32_t due;       /* inputs still to come before the next output */
    double *rings;      /* per channel: 2 x length values, each written twice */
};

struct HqState {
    const double *first; /* first-stage taps 0 to 4 x firstBytes */
    uint32_t firstBytes; /* bytes per channel in one first-stage window */
    uint32_t step;       /* bytes per channel between first-stage outputs */
    uint32_t bands;      /* half-band stages after the first */
    uint32_t channels;
    uint32_t warmup; /* outputs a restart runs ahead of its target */
    HqBand band[HQ_MAX_BANDS];
    uint64_t firstNext;  /* index of the next first-stage output */
    uint64_t inPos;      /* sound byte (per channel) at the start of the work buffer */
    uint64_t outNext;    /* index of the next output sample */
    uint64_t skipBefore; /* output samples before this one are computed but not delivered */
    uint64_t endOut;     /* output samples the data makes; HQ_END_UNKNOWN until its end is seen */
    double *frame;       /* one value per channel */
};

#define HQ_END_UNKNOWN UINT64_MAX

/* The converter for a decimation ratio (a power of two) and channel count, at the stream's
   start; null when it cannot be allocated. One block; free() releases it. */
HqState *HqCreate(int32_t ratio, uint32_t channels);

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

/* A converter output as a 16-bit sample: rounded to nearest, clamped; NaN gives 0. */
int16_t HqToInt16(double v);

#endif /* VELMDSD_HQ_DECIMATOR_H */
