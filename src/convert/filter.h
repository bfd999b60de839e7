/*
 * filter.h - bit reversal and the PCM conversion filter.
 *
 * The PCM filter is a 200-tap Blackman-windowed sinc. Its taps are folded
 * into 25 tables of 256 entries, one per byte of a 25-byte window of one
 * channel, so that one output sample is 25 look-ups and 25 additions.
 */
#ifndef VELMDSD_FILTER_H
#define VELMDSD_FILTER_H

#include <stdint.h>

#include "create/dsd_stream.h"

#define FILTER_TAPS 200

/* Entry i is i with its bit order reversed. Built once at start-up. */
extern uint8_t bitReverse[256];

void BuildBitReverse(void);

/* The normalised cutoff, rounded to float. */
double FilterCutoff(uint32_t dsdRate, int32_t ratio);

/* The 200 taps (symmetric, summing to 1) for a DSD rate and decimation ratio. */
void DesignFilterTaps(uint32_t dsdRate, int32_t ratio, float taps[FILTER_TAPS]);

/* The amplitude factor for a gain in dB: scaled by 32768 for 16-bit output. */
float FilterGain(float gainDb, bool floatOutput);

/* Fills stream->filterTables from dsdRate, ratio, gainDb, flags and lsbFirst. */
void BuildFilterTables(DsdStream *stream);

#endif /* VELMDSD_FILTER_H */
